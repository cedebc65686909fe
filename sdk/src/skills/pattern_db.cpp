#include "pattern_db.h"

#include <simdjson.h>

#include <utility>

#include "fnv.h"
#include "strict_json.h"

namespace vantrel_core {

namespace {

using simdjson::dom::element;
using simdjson::dom::element_type;
using simdjson::dom::object;

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

// Reads one document, keeping the first reason for rejecting it. `where`
// names the value being read in the reasons: record 3, "context"."boost".
class DbReader {
 public:
  Expected<PatternDb, std::string> document(element root) {
    if (root.type() == element_type::OBJECT) {
      PatternDb db;
      if (!object_form(root.get_object().value_unsafe(), db)) return Unexpected{reason_};
      return db;
    }
    PatternDb db;
    if (root.type() != element_type::ARRAY) {
      return Unexpected{std::string(
          "the text must be a list of pattern records or an object with a \"patterns\" list")};
    }
    if (!pattern_list(root, "the text", db.patterns)) return Unexpected{reason_};
    return db;
  }

 private:
  bool fail(std::string why) {
    reason_ = std::move(why);
    return false;
  }
  bool wrong_type(const std::string& where, std::string_view expected) {
    return fail(where + " must be " + std::string(expected));
  }
  bool no_repeated_key(object obj, const std::string& where) {
    if (auto key = strict_json::repeated_key(obj))
      return fail("key \"" + std::string(*key) + "\" appears twice in " + where);
    return true;
  }
  bool string(element e, const std::string& where, std::string& out) {
    std::string_view s;
    if (e.get_string().get(s) != simdjson::SUCCESS) return wrong_type(where, "a string");
    out.assign(s);
    return true;
  }

  bool object_form(object obj, PatternDb& db) {
    if (!no_repeated_key(obj, "the top-level object")) return false;
    bool has_patterns = false;
    for (auto field : obj) {
      if (field.key == "version") {
        if (field.value.is_null()) continue;
        if (!string(field.value, "\"version\"", db.version.emplace())) return false;
      } else if (field.key == "patterns") {
        if (!pattern_list(field.value, "\"patterns\"", db.patterns)) return false;
        has_patterns = true;
      }
    }
    // An empty object-form list would fall through to the array form, which
    // an object never is.
    if (!has_patterns) return fail("the top-level object has no \"patterns\" list");
    if (db.patterns.empty()) return fail("\"patterns\" is empty");
    return true;
  }

  bool pattern_list(element e, const std::string& where, std::vector<Pattern>& out) {
    simdjson::dom::array list;
    if (e.get_array().get(list) != simdjson::SUCCESS) {
      return wrong_type(where, "a list of pattern records");
    }
    out.reserve(list.size());
    std::size_t number = 0;
    for (element item : list) {
      if (!pattern(item, "record " + std::to_string(++number), out.emplace_back())) return false;
    }
    return true;
  }

  bool pattern(element e, const std::string& where, Pattern& p) {
    object obj;
    if (e.get_object().get(obj) != simdjson::SUCCESS) return wrong_type(where, "an object");
    if (!no_repeated_key(obj, where)) return false;
    bool has_text = false, has_type = false, has_ratio = false, has_description = false;
    for (auto field : obj) {
      const std::string member = where + ": \"" + std::string(field.key) + "\"";
      if (field.key == "text") {
        if (!string(field.value, member, p.text)) return false;
        has_text = true;
      } else if (field.key == "threat_type") {
        if (!string(field.value, member, p.threat_type)) return false;
        has_type = true;
      } else if (field.key == "likelihood_ratio") {
        if (!read_number(field.value, p.likelihood_ratio)) return wrong_type(member, "a number");
        has_ratio = true;
      } else if (field.key == "description") {
        if (!string(field.value, member, p.description)) return false;
        has_description = true;
      } else if (field.key == "context") {
        if (!context(field.value, member, p.context)) return false;
      }
    }
    for (const auto& [present, key] : {std::pair{has_text, "text"},
                                       {has_type, "threat_type"},
                                       {has_ratio, "likelihood_ratio"},
                                       {has_description, "description"}}) {
      if (!present) return fail(where + " has no \"" + key + "\"");
    }
    return true;
  }

  bool context(element e, const std::string& where, std::optional<PatternContext>& out) {
    if (e.is_null()) return true;
    object obj;
    if (e.get_object().get(obj) != simdjson::SUCCESS) return wrong_type(where, "an object or null");
    if (!no_repeated_key(obj, where)) return false;
    PatternContext c;
    for (auto field : obj) {
      if (field.key == "boost") {
        if (!modifier(field.value, where + ".\"boost\"", c.boost)) return false;
      } else if (field.key == "suppress") {
        if (!modifier(field.value, where + ".\"suppress\"", c.suppress)) return false;
      }
    }
    out = std::move(c);
    return true;
  }

  bool modifier(element e, const std::string& where, std::optional<ContextModifier>& out) {
    if (e.is_null()) return true;
    object obj;
    if (e.get_object().get(obj) != simdjson::SUCCESS) return wrong_type(where, "an object or null");
    if (!no_repeated_key(obj, where)) return false;
    ContextModifier m;
    bool has_patterns = false, has_multiplier = false, has_window = false;
    for (auto field : obj) {
      const std::string member = where + ".\"" + std::string(field.key) + "\"";
      if (field.key == "patterns") {
        simdjson::dom::array list;
        if (field.value.get_array().get(list) != simdjson::SUCCESS)
          return wrong_type(member, "a list of strings");
        m.patterns.reserve(list.size());
        std::size_t index = 0;
        for (element s : list) {
          if (!string(s, member + "[" + std::to_string(index++) + "]", m.patterns.emplace_back()))
            return false;
        }
        has_patterns = true;
      } else if (field.key == "multiplier") {
        if (!read_number(field.value, m.multiplier)) return wrong_type(member, "a number");
        has_multiplier = true;
      } else if (field.key == "window") {
        if (!read_window(field.value, m.window))
          return wrong_type(member, "an integer from 0 to 18446744073709551615");
        has_window = true;
      }
    }
    for (const auto& [present, key] : {std::pair{has_patterns, "patterns"},
                                       {has_multiplier, "multiplier"},
                                       {has_window, "window"}}) {
      if (!present) return fail(where + " has no \"" + key + "\"");
    }
    out = std::move(m);
    return true;
  }

  std::string reason_;
};

}  // namespace

Expected<PatternDb, std::string> read_pattern_db(std::string_view json,
                                                 std::size_t readable_padding) {
  simdjson::dom::parser parser;
  element root;
  const auto error = strict_json::parse(
      parser, json, root, {.readable_padding = readable_padding, .minus_zero_as_float = true});
  if (error != simdjson::SUCCESS)
    return Unexpected{"not valid JSON: " + std::string(simdjson::error_message(error))};
  return DbReader().document(root);
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
