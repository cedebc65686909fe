#include "strict_json.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

namespace vantrel_core::strict_json {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// True when an integer's digits (after any minus sign) fit the 64-bit type
// the parser stores them in.
bool integer_fits(bool negative, std::string_view digits) {
  const std::string_view limit = negative ? "9223372036854775808" : "18446744073709551615";
  if (digits.size() != limit.size()) return digits.size() < limit.size();
  return digits <= limit;
}

// Cheap test for a "-0" integer token, so the rewrite pass runs only for
// texts that may hold one.
bool may_hold_minus_zero(std::string_view json) {
  for (std::size_t i = json.find("-0"); i != std::string_view::npos; i = json.find("-0", i + 1)) {
    const std::size_t after = i + 2;
    if (after == json.size()) return true;
    const char c = json[after];
    if (c == ',' || c == '}' || c == ']' || c == ' ' || c == '\t' || c == '\n' || c == '\r')
      return true;
  }
  return false;
}

}  // namespace

std::optional<std::string> rewrite_misread_integers(std::string_view json,
                                                    bool minus_zero_as_float) {
  std::string out;
  std::size_t copied = 0;
  const std::size_t n = json.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = json[i];
    if (c == '"') {
      for (++i; i < n && json[i] != '"'; ++i) {
        if (json[i] == '\\') ++i;
      }
      continue;
    }
    if (c != '-' && !is_digit(c)) continue;
    const bool negative = c == '-';
    std::size_t j = negative ? i + 1 : i;
    const std::size_t digits_begin = j;
    while (j < n && is_digit(json[j])) ++j;
    const std::string_view digits = json.substr(digits_begin, j - digits_begin);
    const bool integer = !(j < n && (json[j] == '.' || json[j] == 'e' || json[j] == 'E'));
    const bool minus_zero = minus_zero_as_float && negative && digits == "0";
    if (integer && !digits.empty() && (minus_zero || !integer_fits(negative, digits))) {
      out.append(json.substr(copied, j - copied));
      out += ".0";
      copied = j;
    }
    while (j < n && (is_digit(json[j]) || json[j] == '.' || json[j] == 'e' || json[j] == 'E' ||
                     json[j] == '+' || json[j] == '-')) {
      ++j;
    }
    i = j - 1;
  }
  if (copied == 0) return std::nullopt;
  out.append(json.substr(copied));
  return out;
}

simdjson::error_code parse(simdjson::dom::parser& parser, std::string_view text,
                           simdjson::dom::element& root, const ReadOptions& options) {
  std::optional<std::string> rewritten;
  if (options.minus_zero_as_float && may_hold_minus_zero(text))
    rewritten = rewrite_misread_integers(text, true);
  const bool in_place = !rewritten && options.readable_padding >= simdjson::SIMDJSON_PADDING;
  const std::string_view input = rewritten ? std::string_view(*rewritten) : text;
  auto error = parser.parse(input.data(), input.size(), !in_place).get(root);
  if (error == simdjson::NUMBER_ERROR && !rewritten) {
    rewritten = rewrite_misread_integers(text, options.minus_zero_as_float);
    if (rewritten) error = parser.parse(rewritten->data(), rewritten->size(), true).get(root);
  }
  return error;  // the document keeps its own copy of every string it read
}

std::optional<std::string_view> repeated_key(simdjson::dom::object obj) {
  // Most objects have a handful of keys: compare them pairwise on the stack.
  constexpr std::size_t kFew = 16;
  std::array<std::string_view, kFew> seen;
  std::size_t count = 0;
  for (auto field : obj) {
    if (count == kFew) {
      std::vector<std::string_view> keys;
      keys.reserve(obj.size());
      for (auto f : obj) keys.push_back(f.key);
      std::sort(keys.begin(), keys.end());
      const auto twice = std::adjacent_find(keys.begin(), keys.end());
      if (twice == keys.end()) return std::nullopt;
      return *twice;
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (seen[i] == field.key) return field.key;
    }
    seen[count++] = field.key;
  }
  return std::nullopt;
}

bool repeats_key(simdjson::dom::object obj, std::initializer_list<std::string_view> keys) {
  std::uint64_t seen = 0;
  for (auto field : obj) {
    std::uint64_t bit = 1;
    for (std::string_view key : keys) {
      if (field.key == key) {
        if (seen & bit) return true;
        seen |= bit;
        break;
      }
      bit <<= 1;
    }
  }
  return false;
}

bool repeats_key_anywhere(simdjson::dom::element value) {
  simdjson::dom::array arr;
  if (value.get_array().get(arr) == simdjson::SUCCESS) {
    for (simdjson::dom::element child : arr) {
      if (repeats_key_anywhere(child)) return true;
    }
    return false;
  }
  simdjson::dom::object obj;
  if (value.get_object().get(obj) != simdjson::SUCCESS) return false;
  if (repeats_key(obj)) return true;
  for (auto field : obj) {
    if (repeats_key_anywhere(field.value)) return true;
  }
  return false;
}

}  // namespace vantrel_core::strict_json
