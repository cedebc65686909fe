// Decoding of text already known to be valid UTF-8 (size_t offsets, so any
// length works).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel_core::utf8 {

inline bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }

// Decodes the code point starting at `i` and advances `i` past it.
inline char32_t next(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  auto cont = [&](std::size_t k) { return static_cast<char32_t>(static_cast<unsigned char>(s[i + k]) & 0x3F); };
  char32_t cp;
  if (b0 < 0xE0) {
    cp = (static_cast<char32_t>(b0 & 0x1F) << 6) | cont(1);
    i += 2;
  } else if (b0 < 0xF0) {
    cp = (static_cast<char32_t>(b0 & 0x0F) << 12) | (cont(1) << 6) | cont(2);
    i += 3;
  } else {
    cp = (static_cast<char32_t>(b0 & 0x07) << 18) | (cont(1) << 12) | (cont(2) << 6) | cont(3);
    i += 4;
  }
  return cp;
}

// Decodes the code point that ends at `i` and moves `i` back to its start.
inline char32_t prev(std::string_view s, std::size_t& i) {
  std::size_t j = i - 1;
  while (j > 0 && is_continuation(static_cast<unsigned char>(s[j]))) --j;
  std::size_t k = j;
  const char32_t cp = next(s, k);
  i = j;
  return cp;
}

// Like next(), for text that may not be valid UTF-8: a malformed or truncated
// sequence yields U+FFFD and advances one byte. Never reads past the end.
inline char32_t next_lenient(std::string_view s, std::size_t& i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t len;
  if (b0 < 0x80) {
    len = 1;
  } else if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
  } else {
    ++i;
    return 0xFFFD;
  }
  if (len > s.size() - i) {
    ++i;
    return 0xFFFD;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (!is_continuation(static_cast<unsigned char>(s[i + k]))) {
      ++i;
      return 0xFFFD;
    }
  }
  return next(s, i);
}

inline void append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace vantrel_core::utf8
