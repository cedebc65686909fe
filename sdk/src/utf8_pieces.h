// Checks a UTF-8 text that arrives in pieces, where a piece may end or begin
// in the middle of a character (a model's tokens often split one).
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace vantrel_core {

// Copyable value; 8 bytes of state.
class Utf8PieceChecker {
 public:
  // Takes the next piece. nullopt when the text so far is well-formed UTF-8,
  // perhaps ending inside a character; otherwise the offset in `piece` of
  // the ill-formed sequence, and the checker is left as it was.
  std::optional<std::size_t> accept(std::string_view piece);

  // True when the text so far ends inside a character.
  bool mid_character() const { return pending_size_ != 0; }

 private:
  char pending_[3] = {};  // the unfinished character's bytes
  std::size_t pending_size_ = 0;
};

}  // namespace vantrel_core
