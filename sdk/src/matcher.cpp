#include "matcher.h"

namespace vantrel_core {

// Placeholder until the automaton lands: matches nothing.
Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string_view> phrases) {
  PhraseMatcher m;
  m.phrase_count_ = phrases.size();
  return m;
}

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string> phrases) {
  std::vector<std::string_view> views(phrases.begin(), phrases.end());
  return build(std::span<const std::string_view>(views));
}

std::vector<PhraseMatch> PhraseMatcher::find_all(std::string_view) const { return {}; }

}  // namespace vantrel_core
