// The phrase matcher against a naive reference: leftmost-first (earliest
// start, then earliest phrase in the list), non-overlapping, ASCII letters
// folded, every other byte exact, empty phrases allowed.
#include <optional>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "matcher.h"

namespace {

using vantrel_core::PhraseMatch;
using vantrel_fuzz::check;

char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool matches_at(std::string_view text, std::size_t at, std::string_view phrase) {
  if (phrase.size() > text.size() - at) return false;
  for (std::size_t i = 0; i < phrase.size(); ++i) {
    if (fold(text[at + i]) != fold(phrase[i])) return false;
  }
  return true;
}

std::optional<PhraseMatch> naive_find(const std::vector<std::string>& phrases,
                                      std::string_view text, std::size_t from) {
  for (std::size_t at = from; at <= text.size(); ++at) {
    for (std::size_t p = 0; p < phrases.size(); ++p) {
      if (matches_at(text, at, phrases[p])) {
        return PhraseMatch{static_cast<std::uint32_t>(p), at, at + phrases[p].size()};
      }
    }
  }
  return std::nullopt;
}

std::vector<PhraseMatch> naive_find_all(const std::vector<std::string>& phrases,
                                        std::string_view text) {
  std::vector<PhraseMatch> out;
  std::optional<std::size_t> last_end;
  for (std::size_t at = 0; at <= text.size();) {
    const auto m = naive_find(phrases, text, at);
    if (!m) break;
    if (m->start == m->end && last_end == m->end) {  // an empty match right after a match
      at = m->end + 1;
      continue;
    }
    out.push_back(*m);
    last_end = m->end;
    at = m->end;
  }
  return out;
}

}  // namespace

VANTREL_FUZZ_TARGET(matcher) {
  vantrel_fuzz::Input in(data, size);
  // Up to 24 phrases of up to 15 bytes each, then the text.
  std::vector<std::string> phrases(in.byte() % 25);
  for (std::string& p : phrases) p = std::string(in.take(in.byte() % 16));
  const std::string_view text = in.rest();

  auto built = vantrel_core::PhraseMatcher::build(std::span<const std::string>(phrases));
  check(built.has_value(), "a small phrase list builds");
  check(built->find_all(text) == naive_find_all(phrases, text), "matches equal the reference");
  return 0;
}
