#include "pattern_db.h"

#include <simdjson.h>

#include <algorithm>
#include <array>

#include "../fnv.h"

namespace vantrel_core {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

// True when some key occurs twice in the object. Reading then rejects the
// text rather than pick one of the values.
bool has_repeated_key(object obj) {
  constexpr std::size_t kFew = 16;
  std::array<std::string_view, kFew> seen;
  std::size_t count = 0;
  for (auto field : obj) {
    if (count == kFew) {
      std::vector<std::string_view> keys;
      keys.reserve(obj.size());
      for (auto f : obj) keys.push_back(f.key);
      std::sort(keys.begin(), keys.end());
      return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
    }
    for (std::size_t i = 0; i < count; ++i) {
      if (seen[i] == field.key) return true;
    }
    seen[count++] = field.key;
  }
  return false;
}

bool read_string(element e, std::string& out) {
  std::string_view s;
  if (e.get_string().get(s) != simdjson::SUCCESS) return false;
  out.assign(s);
  return true;
}

// Any JSON number; integers become the nearest double.
bool read_number(element e, double& out) {
  switch (e.type()) {
    case element_type::INT64:
      out = static_cast<double>(e.get_int64().value_unsafe());
      return true;
    case element_type::UINT64:
      out = static_cast<double>(e.get_uint64().value_unsafe());
      return true;
    case element_type::DOUBLE:
      out = e.get_double().value_unsafe();
      return true;
    default:
      return false;
  }
}

// An integer written without fraction, exponent or sign that fits 64 bits.
bool read_window(element e, std::uint64_t& out) {
  switch (e.type()) {
    case element_type::INT64: {
      const std::int64_t v = e.get_int64().value_unsafe();
      if (v < 0) return false;
      out = static_cast<std::uint64_t>(v);
      return true;
    }
    case element_type::UINT64:
      out = e.get_uint64().value_unsafe();
      return true;
    default:
      return false;
  }
}

bool read_modifier(element e, std::optional<ContextModifier>& out) {
  if (e.is_null()) return true;
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_repeated_key(obj)) return false;
  ContextModifier m;
  bool has_patterns = false, has_multiplier = false, has_window = false;
  for (auto field : obj) {
    if (field.key == "patterns") {
      simdjson::dom::array list;
      if (field.value.get_array().get(list) != simdjson::SUCCESS) return false;
      m.patterns.reserve(list.size());
      for (element s : list) {
        if (!read_string(s, m.patterns.emplace_back())) return false;
      }
      has_patterns = true;
    } else if (field.key == "multiplier") {
      if (!read_number(field.value, m.multiplier)) return false;
      has_multiplier = true;
    } else if (field.key == "window") {
      if (!read_window(field.value, m.window)) return false;
      has_window = true;
    }
  }
  if (!has_patterns || !has_multiplier || !has_window) return false;
  out = std::move(m);
  return true;
}

bool read_context(element e, std::optional<PatternContext>& out) {
  if (e.is_null()) return true;
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_repeated_key(obj)) return false;
  PatternContext c;
  for (auto field : obj) {
    if (field.key == "boost") {
      if (!read_modifier(field.value, c.boost)) return false;
    } else if (field.key == "suppress") {
      if (!read_modifier(field.value, c.suppress)) return false;
    }
  }
  out = std::move(c);
  return true;
}

bool read_pattern(element e, Pattern& p) {
  object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS || has_repeated_key(obj)) return false;
  bool has_text = false, has_type = false, has_ratio = false, has_description = false;
  for (auto field : obj) {
    if (field.key == "text") {
      if (!read_string(field.value, p.text)) return false;
      has_text = true;
    } else if (field.key == "threat_type") {
      if (!read_string(field.value, p.threat_type)) return false;
      has_type = true;
    } else if (field.key == "likelihood_ratio") {
      if (!read_number(field.value, p.likelihood_ratio)) return false;
      has_ratio = true;
    } else if (field.key == "description") {
      if (!read_string(field.value, p.description)) return false;
      has_description = true;
    } else if (field.key == "context") {
      if (!read_context(field.value, p.context)) return false;
    }
  }
  return has_text && has_type && has_ratio && has_description;
}

bool read_pattern_list(element e, std::vector<Pattern>& out) {
  simdjson::dom::array list;
  if (e.get_array().get(list) != simdjson::SUCCESS) return false;
  out.reserve(list.size());
  for (element item : list) {
    if (!read_pattern(item, out.emplace_back())) return false;
  }
  return true;
}

std::optional<PatternDb> read_object_form(object obj) {
  if (has_repeated_key(obj)) return std::nullopt;
  PatternDb db;
  bool has_patterns = false;
  for (auto field : obj) {
    if (field.key == "version") {
      if (field.value.is_null()) continue;
      if (!read_string(field.value, db.version.emplace())) return std::nullopt;
    } else if (field.key == "patterns") {
      if (!read_pattern_list(field.value, db.patterns)) return std::nullopt;
      has_patterns = true;
    }
  }
  if (!has_patterns) return std::nullopt;
  return db;
}

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

// Integers that the parser would misread: "-0" (stored as 0, which loses the
// sign a minus-zero ratio keeps and hides the minus a window must not have)
// and integers beyond 64 bits (rejected, though a ratio may be any number).
// Both are rewritten with a ".0" so they read as the floats they denote.
// Nothing when no token needs it.
std::optional<std::string> rewrite_misread_integers(std::string_view json) {
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
    if (integer && !digits.empty() &&
        ((negative && digits == "0") || !integer_fits(negative, digits))) {
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

std::optional<PatternDb> read_document(element root) {
  if (root.type() == element_type::OBJECT) {
    // An empty object-form list falls through to the array form, which an
    // object never is.
    auto db = read_object_form(root.get_object().value_unsafe());
    if (db && !db->patterns.empty()) return db;
    return std::nullopt;
  }
  PatternDb db;
  if (!read_pattern_list(root, db.patterns)) return std::nullopt;
  return db;
}

}  // namespace

std::optional<PatternDb> read_pattern_db(std::string_view json, std::size_t readable_padding) {
  simdjson::dom::parser parser;
  std::optional<std::string> rewritten;
  if (may_hold_minus_zero(json)) rewritten = rewrite_misread_integers(json);
  const bool in_place = !rewritten && readable_padding >= simdjson::SIMDJSON_PADDING;
  const std::string_view text = rewritten ? std::string_view(*rewritten) : json;
  element root;
  auto error = parser.parse(text.data(), text.size(), !in_place).get(root);
  if (error == simdjson::NUMBER_ERROR && !rewritten) {
    rewritten = rewrite_misread_integers(json);
    if (rewritten) error = parser.parse(rewritten->data(), rewritten->size(), true).get(root);
  }
  if (error != simdjson::SUCCESS) return std::nullopt;
  return read_document(root);
}

std::uint64_t pattern_db_hash(const std::vector<Pattern>& patterns,
                              const std::optional<std::string>& version) {
  Fnv1a h;
  if (version) h.bytes(*version);
  const auto modifier = [&h](const std::optional<ContextModifier>& m) {
    if (!m) {
      h.byte(0);
      return;
    }
    h.byte(1);
    for (const std::string& s : m->patterns) h.bytes(s);
    h.f64(m->multiplier);
    h.u64(m->window);
  };
  for (const Pattern& p : patterns) {
    h.bytes(p.text);
    h.bytes(p.threat_type);
    h.f64(p.likelihood_ratio);
    h.bytes(p.description);
    if (!p.context) {
      h.byte(0);
      continue;
    }
    h.byte(1);
    modifier(p.context->boost);
    modifier(p.context->suppress);
  }
  return h.value();
}

std::string hash_version(std::uint64_t hash) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string s(16, '0');
  for (int i = 15; i >= 0; --i) {
    s[static_cast<std::size_t>(i)] = kHex[hash & 15];
    hash >>= 4;
  }
  return s;
}

}  // namespace vantrel_core
