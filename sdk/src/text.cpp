#include "vantrel/text.h"

#include <unicode/uchar.h>

#include <charconv>
#include <cmath>
#include <simdjson.h>

#include "utf8.h"

namespace vantrel_core {

bool is_valid_utf8(std::string_view bytes) {
  return simdjson::validate_utf8(bytes.data(), bytes.size());
}

namespace {

// Length of the well-formed sequence starting at i, or 0 when it is ill-formed.
std::size_t valid_sequence_length(std::string_view s, std::size_t i) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) return 1;
  std::size_t len;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlongs
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  if (len > s.size() - i) return 0;
  const auto b1 = static_cast<unsigned char>(s[i + 1]);
  if (b1 < lo || b1 > hi) return 0;
  for (std::size_t k = 2; k < len; ++k) {
    if (!utf8::is_continuation(static_cast<unsigned char>(s[i + k]))) return 0;
  }
  return len;
}

}  // namespace

std::size_t well_formed_utf8_prefix(std::string_view bytes) {
  if (is_valid_utf8(bytes)) return bytes.size();
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t len = valid_sequence_length(bytes, i);
    if (len == 0) break;
    i += len;
  }
  return i;
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + 16);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t len = valid_sequence_length(bytes, i);
    if (len == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, len));
      i += len;
    }
  }
  return out;
}

bool is_unicode_whitespace(char32_t cp) {
  return u_isUWhiteSpace(static_cast<UChar32>(cp)) != 0;
}

namespace {

// True when bytes [start, end) are the shortest encoding of a White_Space
// character. Cut, overlong or otherwise malformed sequences are not.
bool is_whitespace_sequence(std::string_view text, std::size_t start, std::size_t end) {
  std::size_t k = start;
  const char32_t cp = utf8::next_lenient(text.substr(0, end), k);
  const std::size_t shortest = cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  return k == end && end - start == shortest && u_isUWhiteSpace(static_cast<UChar32>(cp));
}

// The sequence that ends at `end` starts at most three bytes earlier; no
// byte past `end` is read.
bool whitespace_before(std::string_view text, std::size_t end, std::size_t& start) {
  std::size_t j = end - 1;
  while (j > 0 && end - j < 4 && utf8::is_continuation(static_cast<unsigned char>(text[j]))) --j;
  if (!is_whitespace_sequence(text, j, end)) return false;
  start = j;
  return true;
}

bool whitespace_at(std::string_view text, std::size_t start, std::size_t& end) {
  std::size_t k = start;
  (void)utf8::next_lenient(text, k);
  if (!is_whitespace_sequence(text, start, k)) return false;
  end = k;
  return true;
}

}  // namespace

std::string_view trim_trailing_unicode_whitespace(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0 && whitespace_before(text, end, end)) {
  }
  return text.substr(0, end);
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  text = trim_trailing_unicode_whitespace(text);
  std::size_t start = 0;
  while (start < text.size() && whitespace_at(text, start, start)) {
  }
  return text.substr(start);
}

bool is_blank(std::string_view text) { return trim_trailing_unicode_whitespace(text).empty(); }

void append_fixed(std::string& out, double value, int decimals) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Large enough for any finite double in fixed notation with the
  // precisions this program uses (up to 309 integer digits).
  char buf[400];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
  if (ec != std::errc{}) {
    out += "NaN";  // unreachable for the precisions used; keep output well-formed
    return;
  }
  out.append(buf, end);
}

std::string format_fixed(double value, int decimals) {
  std::string s;
  append_fixed(s, value, decimals);
  return s;
}

}  // namespace vantrel_core
