// What the phrase matcher's build and search share: state numbers and kinds,
// case folding, and the arrays of a matcher built in memory.
#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "matcher.h"

namespace vantrel_core {

namespace matcher_tables {

inline constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
inline constexpr std::uint32_t kDeadState = 0;
inline constexpr std::uint32_t kStartState = 1;
// State kinds, bits of PhraseMatcher::kind_.
inline constexpr std::uint8_t kDead = 1;
inline constexpr std::uint8_t kStart = 2;
inline constexpr std::uint8_t kMatch = 4;

inline unsigned char fold(unsigned char b) {
  return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b | 0x20) : b;
}

// 0x20 in each byte of `folded` that is a (lower-case) ASCII letter: the bit
// a text byte may differ in and still match it.
inline std::uint64_t case_bits(std::uint64_t folded) {
  constexpr std::uint64_t kLanes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  // Lanes below 0x80 at or above c; setting every high bit first keeps the
  // subtraction from borrowing across lanes.
  const auto at_least = [folded](unsigned char c) {
    return ((folded | kHigh) - kLanes * c) & ~folded & kHigh;
  };
  return (at_least('a') & ~at_least('z' + 1)) >> 2;
}

}  // namespace matcher_tables

// The arrays of a matcher built in memory, one per span of the matcher.
struct PhraseMatcher::Tables {
  std::vector<std::uint32_t> dense;
  std::vector<std::uint32_t> sparse_begin;
  std::vector<std::uint8_t> sparse_label;
  std::vector<std::uint32_t> sparse_next;
  std::vector<std::uint32_t> sparse_fail;
  std::vector<std::uint8_t> kind;
  std::vector<std::uint32_t> match_phrase;
  std::vector<std::uint16_t> match_gap;
  std::vector<std::uint16_t> phrase_len;
  std::vector<std::uint64_t> window_filter;
  std::vector<WindowSlot> window_slots;
  std::vector<WindowEntry> window_entries;
  std::vector<std::uint8_t> phrase_bytes;
};

}  // namespace vantrel_core
