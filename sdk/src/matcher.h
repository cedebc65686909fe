// Multi-phrase matcher: an Aho-Corasick automaton over an ordered phrase list.
// ASCII letters match regardless of case, every other byte exactly. Search is
// unanchored, leftmost-first (earliest start wins; at one start the earliest
// phrase in the list wins, even when a later one is longer) and
// non-overlapping (after a match the search resumes at its end).
//
// An empty phrase matches with zero length. An empty match that ends where
// the previous match ended is not reported; the search moves on one byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/expected.h"

namespace vantrel_core {

class FlatImageReader;
class FlatImageWriter;

struct PhraseMatch {
  std::uint32_t phrase = 0;  // index in the build list
  std::size_t start = 0;
  std::size_t end = 0;  // exclusive
  bool operator==(const PhraseMatch&) const = default;
};

// What a phrase list may hold. The defaults serve every caller; tests lower
// them to reach the failures cheaply.
struct PhraseMatcherLimits {
  std::size_t max_phrases = std::size_t{1} << 20;
  // Longest phrase in bytes (at most 65535). It also bounds the look-ahead a
  // leftmost-first search may repeat after each match.
  std::size_t max_phrase_bytes = 1024;
  // Automaton states, the dead state included.
  std::size_t max_states = std::size_t{1} << 23;
};

// Immutable once built; safe to share between threads. Movable and copyable
// (copies share their tables). A default-constructed matcher has no phrases
// and matches nothing.
class PhraseMatcher {
 public:
  // Compiles the list; fails with a description when it exceeds a limit.
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string_view> phrases,
                                                    const PhraseMatcherLimits& limits = {});
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string> phrases,
                                                    const PhraseMatcherLimits& limits = {});

  // All matches in text order.
  std::vector<PhraseMatch> find_all(std::string_view text) const;

  // Calls on_match(const PhraseMatch&) for every match in text order, without
  // allocating. Starts ascend strictly.
  template <class F>
  void for_each(std::string_view text, F&& on_match) const {
    constexpr std::size_t kNoEnd = ~std::size_t{0};
    std::size_t at = 0;
    std::size_t last_end = kNoEnd;
    PhraseMatch m;
    while (at <= text.size() && find_at(text, at, m)) {
      if (m.start == m.end && m.end == last_end) {
        at = m.end + 1;
        continue;
      }
      on_match(m);
      last_end = m.end;
      at = m.end;
    }
  }

  // The leftmost-first match that starts at or after `at` (at <= text.size()),
  // ignoring everything before `at`. False when there is none.
  bool find_at(std::string_view text, std::size_t at, PhraseMatch& match) const;

  std::size_t phrase_count() const { return phrase_count_; }
  // Automaton states, including the dead state.
  std::size_t state_count() const { return kind_.size(); }
  // States with a full transition row; the rest step through their children.
  std::size_t dense_state_count() const { return dense_count_; }

  // Appends the compiled tables to an image as sections.
  void write_image(FlatImageWriter& out) const;
  // A matcher over the tables write_image stored, read in place: the image
  // must outlive it. Nothing when the sections do not fit together.
  static std::optional<PhraseMatcher> read_image(FlatImageReader& in);

 private:
  struct Tables;
  // Skips positions where no phrase can start: a hashed set of the first
  // `gram` bytes (up to 8, case bit cleared) of every phrase that can be
  // reported. gram 0 disables it.
  struct Prefilter {
    unsigned gram = 0;
    unsigned shift = 0;                   // 64 - log2(table size)
    std::uint64_t mask = 0;               // keeps the gram's bytes, without the case bit
    std::span<const std::uint8_t> table;  // one byte per slot: a byte load is the cheapest test
    // Slot of the gram starting with the eight bytes `word` (little-endian).
    std::size_t slot(std::uint64_t word) const {
      return static_cast<std::size_t>(((word & mask) * 0x9E3779B97F4A7C15ULL) >> shift);
    }
    bool hit(std::uint64_t word) const { return table[slot(word)] != 0; }
    // Smallest candidate start >= pos, or npos.
    std::size_t next(const unsigned char* text, std::size_t size, std::size_t pos) const;
  };

  // Transition of a state at or beyond dense_count_.
  [[gnu::always_inline]] inline std::uint32_t sparse_step(std::uint32_t state,
                                                          unsigned char byte) const;

  // Points the spans at tables built in memory, which the matcher then shares.
  void adopt(std::shared_ptr<const Tables> tables);

  std::size_t phrase_count_ = 0;
  // State 0 is dead, state 1 the start. States below dense_count_ have a full
  // row in dense_ (one entry per byte class); the others step through their
  // trie children (sparse_begin_ is indexed by state) and fall back through
  // sparse_fail_ (indexed from dense_count_).
  std::array<std::uint8_t, 256> byte_class_{};
  unsigned stride_shift_ = 0;
  std::uint32_t dense_count_ = 0;
  // The arrays below live in tables_ for a built matcher, in an image for
  // one read in place (tables_ then empty).
  std::shared_ptr<const Tables> tables_;
  std::span<const std::uint32_t> dense_;
  std::span<const std::uint32_t> sparse_begin_;  // per state, plus one
  std::span<const std::uint8_t> sparse_label_;   // folded byte
  std::span<const std::uint32_t> sparse_next_;
  std::span<const std::uint32_t> sparse_fail_;   // the dead state cuts a decided match
  std::span<const std::uint8_t> kind_;           // kDead, kStart, kMatch bits
  std::span<const std::uint32_t> match_phrase_;  // best match seen, for match states
  std::span<const std::uint16_t> match_gap_;     // bytes from that match's end to here
  std::span<const std::uint16_t> phrase_len_;
  Prefilter prefilter_;
};

}  // namespace vantrel_core
