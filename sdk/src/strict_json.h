// Strict reading of the JSON texts the library and its front end accept
// (pattern files, score profiles, daemon requests): numbers the parser would
// misread are read as the values they denote, and repeated keys can be found
// so that a text another reader might take differently is refused.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel_core::strict_json {

struct ReadOptions {
  // Bytes after the text that may be read; simdjson::SIMDJSON_PADDING or more
  // lets the parser work in place instead of copying the text.
  std::size_t readable_padding = 0;
  // Read an integer "-0" as the float -0.0 (the parser would read the integer
  // 0 and lose the sign).
  bool minus_zero_as_float = false;
};

// Parses `text` into `root` (a view into `parser`'s document). Integers wider
// than 64 bits, which the parser rejects, are read as the nearest double, as
// a fraction written with the same digits would be. Returns the parser's
// error code; on failure `root` is unspecified.
simdjson::error_code parse(simdjson::dom::parser& parser, std::string_view text,
                           simdjson::dom::element& root, const ReadOptions& options = {});

// The text with every integer literal the parser would misread followed by
// ".0" (wider than 64 bits; "-0" too with `minus_zero_as_float`), so that it
// reads as the float it denotes. Nothing when no literal needs it. Strings
// are left untouched; a literal that was invalid stays invalid.
std::optional<std::string> rewrite_misread_integers(std::string_view json,
                                                    bool minus_zero_as_float);

// A key that occurs more than once in the object, if any.
std::optional<std::string_view> repeated_key(simdjson::dom::object obj);
inline bool repeats_key(simdjson::dom::object obj) {
  return repeated_key(obj).has_value();
}

// True when one of `keys` occurs twice in the object (other keys may repeat).
// At most 64 keys.
bool repeats_key(simdjson::dom::object obj, std::initializer_list<std::string_view> keys);

// True when any object anywhere in the value repeats a key. Depth is bounded
// by the parser's nesting limit.
bool repeats_key_anywhere(simdjson::dom::element value);

}  // namespace vantrel_core::strict_json
