// Disguised copies of attack texts, for measuring how well detection survives
// the disguises the classifier's own view undoes. Each transform is fixed by
// the text alone (no randomness between runs).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel_tools {

enum class Evasion {
  TagCharacters,   // a harmless sentence, then the text in Unicode tag characters
  ReversedBidi,    // a harmless sentence, then the text reversed behind a right-to-left override
  DottedLetters,   // letters of some words joined by "."
  HyphenLetters,   // ... by "-"
  EmojiLetters,    // ... by an emoji
  SwappedLetters,  // two inner letters swapped in some words
  BrokenLines,     // some words broken across a line
};

// Every evasion, in the order above.
const std::vector<Evasion>& all_evasions();
// "tag", "bidi", "dots", "hyphens", "emoji", "swaps", "linebreaks".
const char* evasion_name(Evasion e);
std::optional<Evasion> parse_evasion(std::string_view name);

// The disguised text. Word transforms apply to about half of the words of
// four or more ASCII letters, chosen by a hash of the text and the word.
std::string evade(std::string_view text, Evasion e);

}  // namespace vantrel_tools
