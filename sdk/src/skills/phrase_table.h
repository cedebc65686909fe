// Fixed phrase tables compiled into the program (tool-call and output
// skills): each row a phrase, its likelihood ratio and a description.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "fatal.h"
#include "matcher.h"
#include "vantrel/result.h"

namespace vantrel_core {

struct PhraseEntry {
  std::string_view phrase;
  double likelihood_ratio;
  std::string_view description;
};

// A matcher over the table's phrases in row order; stops the process with
// `failure` if the fixed table cannot be compiled.
inline PhraseMatcher build_table_matcher(std::span<const PhraseEntry> table, std::string_view failure) {
  std::vector<std::string_view> phrases;
  phrases.reserve(table.size());
  for (const PhraseEntry& e : table) phrases.push_back(e.phrase);
  auto m = PhraseMatcher::build(std::span<const std::string_view>(phrases));
  if (!m) fatal_error(failure);
  return std::move(m).value();
}

// Appends one signal per match in text order: the row's ratio and
// description, `offset` the match start.
inline void append_table_signals(const PhraseMatcher& matcher, std::span<const PhraseEntry> table,
                                 std::string_view skill, std::string_view signal_type,
                                 std::string_view text, std::vector<Signal>& out) {
  for (const PhraseMatch& m : matcher.find_all(text)) {
    const PhraseEntry& e = table[m.phrase];
    Signal s(std::string(skill), std::string(signal_type), std::string(e.description), e.likelihood_ratio);
    s.offset = m.start;
    out.push_back(std::move(s));
  }
}

}  // namespace vantrel_core
