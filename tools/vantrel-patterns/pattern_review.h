// What a pattern file's author needs to know before relying on it: the form
// the normalizer leaves each phrase and context word in, records that can
// never be reported, and which records fire on a given text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "skills/normalize.h"
#include "skills/pattern.h"

namespace vantrel_patterns {

// The phrase as the normalizer leaves it where it stands in running text,
// between spaces or punctuation: what a record's text has to say for the
// phrase to be found in a scanned prompt. Takes valid UTF-8.
std::string normalized_form(std::string_view phrase);

// A context word as it has to be written to occur in a match's window, which
// is normalized text lower-cased.
std::string context_form(std::string_view word);

struct Finding {
  std::size_t record = 0;  // 0-based index in the reviewed list
  // A warning means the record does not work as written; otherwise the
  // finding is a note.
  bool warning = false;
  std::string message;
};

// Reviews the records [first, end) of `skill`: phrases and context words the
// normalizer rewrites, empty phrases, records an earlier record always
// hides, and threat type names that label signals benign. Records before
// `first` are described as the built-in database's. Linear in the size of
// the reviewed records.
std::vector<Finding> review(const vantrel_core::PatternSkill& skill, std::size_t first);

struct Firing {
  std::size_t offset = 0;  // into the normalized text
  std::string matched;     // the bytes of the normalized text that matched
  std::uint32_t record = 0;
  double ratio = 0;  // after the record's context rules
};

struct TextReport {
  std::string normalized;
  std::vector<Firing> firings;  // ascending offset
};

// What an input-mode scan gives the pattern skill for `text` (valid UTF-8)
// and the records it reports there.
TextReport records_firing(const vantrel_core::NormalizationSkill& normalizer,
                          const vantrel_core::PatternSkill& skill, std::string_view text);

// A string as a JSON string literal, ready to paste into a pattern file.
std::string json_quoted(std::string_view text);

}  // namespace vantrel_patterns
