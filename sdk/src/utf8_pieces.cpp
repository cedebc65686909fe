#include "utf8_pieces.h"

#include <algorithm>

#include "vantrel/text.h"

namespace vantrel_core {

namespace {

// Bytes in the character a lead byte starts; 0 for a byte no character
// starts with.
std::size_t lead_length(unsigned char b) {
  if (b < 0x80) return 1;
  if (b >= 0xC2 && b <= 0xDF) return 2;
  if (b >= 0xE0 && b <= 0xEF) return 3;
  if (b >= 0xF0 && b <= 0xF4) return 4;
  return 0;
}

// True when `head` (shorter than its character) can be completed into a
// well-formed character. Only the second byte has a range narrower than any
// continuation byte, and 0x80 or 0xBF is inside every such range.
bool begins_character(std::string_view head) {
  const std::size_t len = lead_length(static_cast<unsigned char>(head[0]));
  if (head.size() >= len) return false;
  for (const char fill : {'\x80', '\xBF'}) {
    char whole[4];
    std::copy_n(head.data(), head.size(), whole);
    std::fill(whole + head.size(), whole + len, fill);
    if (is_valid_utf8(std::string_view(whole, len))) return true;
  }
  return false;
}

}  // namespace

std::optional<std::size_t> Utf8PieceChecker::accept(std::string_view piece) {
  std::size_t used = 0;  // bytes of the piece that finish the pending character
  if (pending_size_ != 0) {
    const std::size_t len = lead_length(static_cast<unsigned char>(pending_[0]));
    used = std::min(len - pending_size_, piece.size());
    char joined[4];
    std::copy_n(pending_, pending_size_, joined);
    std::copy_n(piece.data(), used, joined + pending_size_);
    const std::string_view character(joined, pending_size_ + used);
    if (character.size() < len) {
      if (!begins_character(character)) return 0;
      std::copy_n(joined, character.size(), pending_);
      pending_size_ = character.size();
      return std::nullopt;
    }
    if (!is_valid_utf8(character)) return 0;
  }
  const std::string_view rest = piece.substr(used);
  const std::string_view tail = rest.substr(well_formed_utf8_prefix(rest));
  if (!tail.empty() && (tail.size() > sizeof pending_ || !begins_character(tail)))
    return used + (rest.size() - tail.size());
  std::copy_n(tail.data(), tail.size(), pending_);
  pending_size_ = tail.size();
  return std::nullopt;
}

}  // namespace vantrel_core
