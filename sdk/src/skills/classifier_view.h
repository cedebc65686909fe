// The learned detector's own view of a normalized text. The normalizer keeps
// its rewriting as specified for the phrase matcher; this view goes further,
// undoing disguises that a phrase list cannot be taught but that would hide an
// attack from the detector's features:
//   - Unicode tag characters (U+E0020-U+E007E, invisible on screen) become the
//     ASCII text they encode, in place;
//   - bidirectional controls are dropped, and text behind a right-to-left
//     override is reversed to the order in which it is displayed;
//   - separators between single letters are dropped ("i.g.n.o.r.e",
//     "i-g-n-o-r-e", letters joined by emoji or single spaces);
//   - a word broken across a line ("instruc\ntions", "instruc-\ntions") is
//     joined again;
//   - letters are lower-cased.
// Linear in the text length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel_core {

// What the view undid, and the token shapes that its features use but that
// lower-casing would lose.
struct ViewStats {
  std::uint32_t tag_characters = 0;      // decoded tag characters
  std::uint32_t reversed_runs = 0;       // runs behind a right-to-left override
  std::uint32_t joined_letter_runs = 0;  // single letters joined across separators
  std::uint32_t rejoined_lines = 0;      // words joined across a line break
  // Most "odd" tokens (white-space separated tokens that mix letters with
  // inner punctuation or brackets, change case inside a word, mix letters of
  // two scripts, or are runs of symbols) among any 16 consecutive tokens: a
  // run of token soup such as an optimised adversarial suffix scores high.
  std::uint32_t soup_window_max = 0;
  // Longest run of one white-space separated token repeated back to back, and
  // of one non-space character (context flooding).
  std::uint32_t repeated_token_run = 0;
  std::uint32_t repeated_char_run = 0;
};

// Builds the view of `normalized` (valid UTF-8) into `view`, replacing its
// contents, and returns what it undid. The view is valid UTF-8.
ViewStats build_classifier_view(std::string_view normalized, std::string& view);

// The lines of the view that hold something the normalizer left disguised
// (a decoded tag payload, a reversed run, joined letters, a word rejoined
// across a line break), each followed by a line feed; empty when there is
// none. Lets the phrase matcher read what only this view shows.
std::string revealed_text(std::string_view normalized);

}  // namespace vantrel_core
