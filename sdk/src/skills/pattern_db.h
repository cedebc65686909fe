// Pattern database records, the reader for pattern files (object or bare
// array form) and the database fingerprint.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/expected.h"

namespace vantrel_core {

// Raises or lowers a match's ratio when one of `patterns` occurs within
// `window` bytes of the match.
struct ContextModifier {
  std::vector<std::string> patterns;
  double multiplier = 1.0;
  std::uint64_t window = 0;  // bytes on each side of a match
  bool operator==(const ContextModifier&) const = default;
};

struct PatternContext {
  std::optional<ContextModifier> boost;
  std::optional<ContextModifier> suppress;
  bool operator==(const PatternContext&) const = default;
};

// One attack phrase and the evidence weight of finding it.
struct Pattern {
  std::string text;
  std::string threat_type;  // CamelCase name; unknown names label signals benign
  double likelihood_ratio = 1.0;
  std::string description;
  std::optional<PatternContext> context;
  bool operator==(const Pattern&) const = default;
};

// A pattern file as read: its records in file order and, for the object
// form, its version.
struct PatternDb {
  std::optional<std::string> version;
  std::vector<Pattern> patterns;
};

// Reads a pattern file's text: the object form {"version", "patterns"} when
// it holds at least one record, else a bare array of records. When the text
// is neither (syntax, a missing or ill-typed key, a key repeated in one
// object) the error says what is wrong and where, for example
// `record 3: "likelihood_ratio" must be a number` (records count from 1);
// never a partial list. `readable_padding` is how many bytes after the text
// may be read; 64 or more lets the parser work in place instead of copying.
Expected<PatternDb, std::string> read_pattern_db(std::string_view json,
                                                 std::size_t readable_padding = 0);

// 64-bit FNV-1a over the version (when given) and every record's fields in
// order, numbers as little-endian bytes.
std::uint64_t pattern_db_hash(const std::vector<Pattern>& patterns,
                              const std::optional<std::string>& version);

// The hash as exactly 16 lower-case hex digits: the version of a list that
// has none of its own.
std::string hash_version(std::uint64_t hash);

}  // namespace vantrel_core
