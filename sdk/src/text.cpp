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

bool is_unicode_whitespace(char32_t cp) {
  return u_isUWhiteSpace(static_cast<UChar32>(cp)) != 0;
}

std::string_view trim_trailing_unicode_whitespace(std::string_view text) {
  std::size_t end = text.size();
  while (end > 0) {
    std::size_t i = end;
    if (!u_isUWhiteSpace(static_cast<UChar32>(utf8::prev(text, i)))) break;
    end = i;
  }
  return text.substr(0, end);
}

std::string_view trim_unicode_whitespace(std::string_view text) {
  text = trim_trailing_unicode_whitespace(text);
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t i = start;
    if (!u_isUWhiteSpace(static_cast<UChar32>(utf8::next(text, i)))) break;
    start = i;
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
