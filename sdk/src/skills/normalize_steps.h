// The individual rewriting passes of the normalization skill. Each is one
// linear pass over valid UTF-8 and keeps valid UTF-8; the skill runs them in
// a fixed order and turns their counts into signals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel_core::normalize_steps {

// Every White_Space character beyond ASCII other than U+0085 and U+00A0 is
// at or above this code point.
inline constexpr char32_t kFirstWideWhiteSpace = 0x1680;

// True when every byte is below 0x80.
bool is_ascii(std::string_view text);

// CR LF and lone CR become LF, in place. True when the text contained a CR.
bool normalize_line_endings(std::string& text);

// Every character below U+0020 except tab and line feed, and U+007F, becomes
// a space, in place. Returns how many were replaced.
std::uint64_t map_control_chars(std::string& text);

// Drops the ten invisible characters (soft hyphen, zero-width space, joiners,
// word joiner, invisible operators, byte order mark), in place. Returns how
// many were dropped.
std::uint64_t remove_invisible_chars(std::string& text);

// Applies NFKC. True when the text changed. Linear even on long runs of
// combining marks.
bool apply_nfkc(std::string& text);

// Replaces the forty Cyrillic and Greek look-alikes by their ASCII letters, in
// place. Returns how many were replaced.
std::uint64_t replace_confusables(std::string& text);

// What the last three passes (leetspeak, spaced-out letters, whitespace
// layout) produced.
struct LayoutOutcome {
  std::string text;  // the final normalized text
  std::uint64_t leetspeak_substitutions = 0;
  bool spaced_letters_collapsed = false;
};

// Runs leetspeak undoing, spaced-letter collapsing and whitespace layout in
// that order. Pure ASCII text is processed byte by byte; other text as an
// array of code points, so neighbours are inspected by character index.
LayoutOutcome rewrite_layout(std::string text);

}  // namespace vantrel_core::normalize_steps
