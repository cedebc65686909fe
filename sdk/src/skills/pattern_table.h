// The records of a pattern database in flat arrays: the form a scan reads
// and the embedded image holds. All strings live in one pool; threat type
// names and descriptions, which repeat a lot, are stored once each.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "pattern_db.h"

namespace vantrel_core {

class FlatImageReader;
class FlatImageWriter;

// Immutable; copies share their arrays. A default-constructed table is empty.
class PatternTable {
 public:
  static constexpr std::uint32_t kNone = 0xffffffffU;

  // A string in the pool.
  struct StringRef {
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
  };
  // A context modifier; its strings are modifier_strings_[first, first + count).
  struct Modifier {
    double multiplier = 1.0;
    std::uint64_t window = 0;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
  };
  // A record's context: indices of its modifiers, kNone when absent.
  struct Context {
    std::uint32_t boost = kNone;
    std::uint32_t suppress = kNone;
  };

  // The records in order. Nothing when their strings exceed 4 GiB in total.
  static std::optional<PatternTable> build(const std::vector<Pattern>& records);
  // Appends the arrays to an image as sections.
  void write_image(FlatImageWriter& out) const;
  // A table over the sections write_image stored, read in place: the image
  // must outlive it. Nothing when the sections do not fit together.
  static std::optional<PatternTable> read_image(FlatImageReader& in);

  std::size_t size() const { return ratios_.size(); }
  std::string_view text(std::size_t i) const { return str(texts_[i]); }
  std::string_view threat_type(std::size_t i) const { return str(shared_[type_ids_[i]]); }
  // Index of the record's threat type name among the stored strings: equal
  // names have equal ids.
  std::uint32_t threat_type_id(std::size_t i) const { return type_ids_[i]; }
  // How many distinct names and descriptions are stored: ids are below it.
  std::size_t shared_count() const { return shared_.size(); }
  double likelihood_ratio(std::size_t i) const { return ratios_[i]; }
  std::string_view description(std::size_t i) const { return str(shared_[description_ids_[i]]); }
  // The record's context, nullptr when it has none.
  const Context* context(std::size_t i) const {
    return context_ids_[i] == kNone ? nullptr : &contexts_[context_ids_[i]];
  }
  // A modifier of a context (an index other than kNone).
  const Modifier& modifier(std::uint32_t index) const { return modifiers_[index]; }
  // The k-th string of a modifier.
  std::string_view modifier_string(const Modifier& m, std::uint32_t k) const {
    return str(modifier_strings_[m.first + k]);
  }
  // A copy of record i as a Pattern.
  Pattern record(std::size_t i) const;

 private:
  struct Arrays;
  std::string_view str(StringRef r) const { return {pool_.data() + r.offset, r.size}; }

  // The spans point into arrays_ for a built table, into an image for one
  // read in place (arrays_ then empty).
  std::shared_ptr<const Arrays> arrays_;
  std::span<const StringRef> texts_;                // per record
  std::span<const std::uint32_t> type_ids_;         // per record, into shared_
  std::span<const double> ratios_;                  // per record
  std::span<const std::uint32_t> description_ids_;  // per record, into shared_
  std::span<const std::uint32_t> context_ids_;      // per record, into contexts_ or kNone
  std::span<const StringRef> shared_;               // distinct names and descriptions
  std::span<const Context> contexts_;
  std::span<const Modifier> modifiers_;
  std::span<const StringRef> modifier_strings_;
  std::span<const char> pool_;
};

}  // namespace vantrel_core
