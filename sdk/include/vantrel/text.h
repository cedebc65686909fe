// Small text helpers shared by the library and its front ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantrel_core {

// True when bytes are well-formed UTF-8 (no overlongs, surrogates or values
// above U+10FFFF).
bool is_valid_utf8(std::string_view bytes);

// The length of the longest prefix of bytes made of whole well-formed UTF-8
// characters: bytes.size() exactly when is_valid_utf8(bytes).
std::size_t well_formed_utf8_prefix(std::string_view bytes);

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, one per
// offending byte; valid text comes back unchanged.
std::string to_valid_utf8(std::string_view bytes);

// True for code points with the Unicode White_Space property.
bool is_unicode_whitespace(char32_t cp);

// The text without its trailing White_Space characters. Ill-formed or cut
// UTF-8 sequences count as other characters; nothing past the end is read.
std::string_view trim_trailing_unicode_whitespace(std::string_view text);

// The text without leading and trailing White_Space (as above).
std::string_view trim_unicode_whitespace(std::string_view text);

// True when the text is empty or made only of White_Space characters.
bool is_blank(std::string_view text);

// Fixed-point decimal with exactly `decimals` digits after the point, rounded
// from the exact binary value, ties to even. NaN gives "NaN", infinities
// "inf" and "-inf".
std::string format_fixed(double value, int decimals);

// Appends format_fixed(value, decimals) to out without a temporary string.
void append_fixed(std::string& out, double value, int decimals);

}  // namespace vantrel_core
