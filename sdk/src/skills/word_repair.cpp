#include "skills/word_repair.h"

#include <algorithm>
#include <array>

#include "fnv.h"

namespace vantrel_core {

namespace {

constexpr std::uint32_t kAmbiguous = 0xffffffffu;
constexpr std::size_t kMinLetters = 4;
constexpr std::size_t kMaxLetters = 40;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// First and last letter, length and the sorted letters between them, hashed;
// `word` is lower case, kMinLetters to kMaxLetters long.
std::uint64_t shuffle_key(std::string_view word) {
  std::array<char, kMaxLetters> buf{};
  std::copy(word.begin(), word.end(), buf.begin());
  std::sort(buf.begin() + 1, buf.begin() + static_cast<std::ptrdiff_t>(word.size()) - 1);
  return fnv1a(std::string_view(buf.data(), word.size()));
}

// Calls f(begin, end) for each run of ASCII letters.
template <class F>
void for_each_word(std::string_view text, F&& f) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (!is_letter(text[i])) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && is_letter(text[j])) ++j;
    f(i, j);
    i = j;
  }
}

}  // namespace

WordRepair::WordRepair(const std::vector<std::string_view>& phrases) {
  for (const std::string_view phrase : phrases) {
    for_each_word(phrase, [&](std::size_t b, std::size_t e) {
      if (e - b < kMinLetters || e - b > kMaxLetters) return;
      std::string w(phrase.substr(b, e - b));
      for (char& c : w) c = lower(c);
      if (!exact_.insert(w).second) return;
      const auto [it, fresh] = by_key_.emplace(shuffle_key(w), static_cast<std::uint32_t>(words_.size()));
      if (!fresh) it->second = kAmbiguous;
      words_.push_back(std::move(w));
    });
  }
}

const std::string* WordRepair::repair_of(std::string_view word) const {
  if (word.size() < kMinLetters || word.size() > kMaxLetters) return nullptr;
  std::array<char, kMaxLetters> buf{};
  for (std::size_t k = 0; k < word.size(); ++k) buf[k] = lower(word[k]);
  const std::string_view w(buf.data(), word.size());
  const auto it = by_key_.find(shuffle_key(w));
  if (it == by_key_.end() || it->second == kAmbiguous) return nullptr;
  const std::string& candidate = words_[it->second];
  // The key is a hash: check the letters themselves, and leave words that
  // are already right (the candidate itself, or another database word).
  if (candidate == w || candidate.front() != w.front() || candidate.back() != w.back()) return nullptr;
  if (!std::is_permutation(candidate.begin(), candidate.end(), w.begin(), w.end())) return nullptr;
  if (exact_.count(std::string(w)) != 0) return nullptr;
  return &candidate;
}

std::string WordRepair::repaired_stretches(std::string_view text) const {
  struct Word {
    std::size_t begin, end, line;
    const std::string* repair;
  };
  std::vector<Word> words;
  bool any = false;
  std::size_t line = 0, scanned = 0;
  for_each_word(text, [&](std::size_t b, std::size_t e) {
    line += static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(scanned),
                                                text.begin() + static_cast<std::ptrdiff_t>(b), '\n'));
    scanned = b;
    const std::string* r = repair_of(text.substr(b, e - b));
    any = any || r != nullptr;
    words.push_back({b, e, line, r});
  });
  std::string out;
  if (!any) return out;
  std::size_t written_to = 0;  // words before this index are written
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (words[i].repair == nullptr) continue;
    std::size_t first = i > kContextWords ? i - kContextWords : 0;
    while (words[first].line != words[i].line) ++first;
    first = std::max(first, written_to);
    std::size_t last = std::min(i + kContextWords, words.size() - 1);
    while (words[last].line != words[i].line) --last;
    if (first > last) continue;
    if (first > 0 && first == written_to && !out.empty() && words[first - 1].line == words[first].line) {
      out.pop_back();  // continues the stretch just written
      out.append(text, words[first - 1].end, words[first].begin - words[first - 1].end);
    }
    for (std::size_t k = first; k <= last; ++k) {
      if (k > first) out.append(text, words[k - 1].end, words[k].begin - words[k - 1].end);
      if (words[k].repair != nullptr) {
        out += *words[k].repair;
      } else {
        out.append(text, words[k].begin, words[k].end - words[k].begin);
      }
    }
    out += '\n';
    written_to = last + 1;
  }
  return out;
}

}  // namespace vantrel_core
