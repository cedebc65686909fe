#include "matcher.h"

namespace vantrel_core {

// Interim matcher: a direct search with the same semantics as the automaton
// that replaces it.
namespace {
unsigned char fold(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c + 32 : c; }
}  // namespace

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string_view> phrases) {
  PhraseMatcher m;
  m.phrase_count_ = phrases.size();
  for (auto p : phrases) m.phrases_.emplace_back(p);
  return m;
}

Expected<PhraseMatcher, std::string> PhraseMatcher::build(std::span<const std::string> phrases) {
  std::vector<std::string_view> views(phrases.begin(), phrases.end());
  return build(std::span<const std::string_view>(views));
}

std::vector<PhraseMatch> PhraseMatcher::find_all(std::string_view text) const {
  std::vector<PhraseMatch> out;
  std::size_t pos = 0;
  while (pos <= text.size()) {
    bool found = false;
    for (std::size_t s = pos; s < text.size() && !found; ++s) {
      for (std::size_t i = 0; i < phrases_.size(); ++i) {
        const std::string& p = phrases_[i];
        if (p.empty() || s + p.size() > text.size()) continue;
        bool eq = true;
        for (std::size_t k = 0; k < p.size() && eq; ++k) {
          eq = fold(static_cast<unsigned char>(text[s + k])) == fold(static_cast<unsigned char>(p[k]));
        }
        if (eq) {
          out.push_back({static_cast<std::uint32_t>(i), s, s + p.size()});
          pos = s + p.size();
          found = true;
          break;
        }
      }
    }
    if (!found) break;
  }
  return out;
}

}  // namespace vantrel_core
