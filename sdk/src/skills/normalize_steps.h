// The individual rewriting passes of the normalization skill. Each is one
// linear pass over valid UTF-8 and keeps valid UTF-8; the skill runs them in
// a fixed order and turns their counts into signals.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel_core::normalize_steps {

// Every White_Space character beyond ASCII other than U+0085 and U+00A0 lies
// between these code points.
inline constexpr char32_t kFirstWideWhiteSpace = 0x1680;
inline constexpr char32_t kLastWideWhiteSpace = 0x3000;

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
// that order, in place on the UTF-8 bytes. The rules look at neighbouring
// characters; a non-ASCII character is decoded only where one of them looks
// past its first byte, so ASCII runs are processed byte by byte.
LayoutOutcome rewrite_layout(std::string text);

// The same three passes over the text decoded to code points, where
// neighbours are plainly one index apart. Slower; rewrite_layout must give
// the same result for every text.
LayoutOutcome rewrite_layout_by_code_points(std::string_view text);

}  // namespace vantrel_core::normalize_steps
