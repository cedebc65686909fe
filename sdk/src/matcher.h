// Multi-phrase matcher: an Aho-Corasick automaton over an ordered phrase list.
// ASCII letters match regardless of case, every other byte exactly. Search is
// unanchored, leftmost-first (earliest start wins; at one start the earliest
// phrase in the list wins, even when a later one is longer) and
// non-overlapping (after a match the search resumes at its end).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/expected.h"

namespace vantrel_core {

struct PhraseMatch {
  std::uint32_t phrase = 0;  // index in the build list
  std::size_t start = 0;
  std::size_t end = 0;  // exclusive
  bool operator==(const PhraseMatch&) const = default;
};

// Immutable once built; safe to share between threads. Movable.
class PhraseMatcher {
 public:
  // Fails with a description when the list cannot be compiled.
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string_view> phrases);
  static Expected<PhraseMatcher, std::string> build(std::span<const std::string> phrases);

  // All matches in text order.
  std::vector<PhraseMatch> find_all(std::string_view text) const;

  std::size_t phrase_count() const { return phrase_count_; }

 private:
  std::size_t phrase_count_ = 0;
  std::vector<std::string> phrases_;
};

}  // namespace vantrel_core
