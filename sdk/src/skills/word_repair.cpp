#include "skills/word_repair.h"

#include <algorithm>
#include <array>

#include "fnv.h"

namespace vantrel_core {

namespace {

constexpr std::size_t kMinLetters = 4;
constexpr std::size_t kMaxLetters = 40;

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
char lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr std::uint64_t splitmix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A random number per byte value: a sum of them does not depend on order.
constexpr std::array<std::uint64_t, 256> kLetterValues = [] {
  std::array<std::uint64_t, 256> v{};
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = splitmix(i + 1);
  return v;
}();

// First and last letter, length, and the letters between them in any order;
// `word` is lower case, kMinLetters to kMaxLetters long.
std::uint64_t shuffle_key(std::string_view word) {
  std::uint64_t inner = 0;
  for (std::size_t k = 1; k + 1 < word.size(); ++k) inner += kLetterValues[static_cast<unsigned char>(word[k])];
  const auto ends = static_cast<std::uint64_t>(static_cast<unsigned char>(word.front())) << 16 |
                    static_cast<std::uint64_t>(static_cast<unsigned char>(word.back())) << 8 | word.size();
  return splitmix(ends) ^ inner;
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
  // One slot per shuffle key in a small open-addressing table (built at
  // start-up, so it has to be cheap; fresh memory is what costs most): the
  // key's word, unless two different words have it. A word that is a shuffle
  // of another database word is thereby never repaired, nor does anything
  // become it.
  struct Slot {
    std::uint64_t key = 0;
    const char* word = nullptr;  // in `phrases`, original case; null: unused
    std::uint32_t word_hash = 0;
    std::uint8_t size = 0;
    bool ambiguous = false;
  };
  std::vector<Slot> slots(1024);
  std::size_t used = 0;
  auto place = [](std::vector<Slot>& table, const Slot& s) -> Slot& {
    const std::size_t mask = table.size() - 1;
    std::size_t at = s.key & mask;
    while (table[at].word != nullptr && table[at].key != s.key) at = (at + 1) & mask;
    return table[at];
  };
  std::array<char, kMaxLetters> buf{};
  for (const std::string_view phrase : phrases) {
    for_each_word(phrase, [&](std::size_t b, std::size_t e) {
      if (e - b < kMinLetters || e - b > kMaxLetters) return;
      for (std::size_t k = b; k < e; ++k) buf[k - b] = lower(phrase[k]);
      const std::string_view w(buf.data(), e - b);
      const Slot fresh{shuffle_key(w), phrase.data() + b, static_cast<std::uint32_t>(fnv1a(w)),
                       static_cast<std::uint8_t>(e - b), false};
      Slot& slot = place(slots, fresh);
      if (slot.word == nullptr) {
        slot = fresh;
        if (2 * ++used > slots.size()) {
          std::vector<Slot> bigger(2 * slots.size());
          for (const Slot& s : slots) {
            if (s.word != nullptr) place(bigger, s) = s;
          }
          slots = std::move(bigger);
        }
      } else if (slot.word_hash != fresh.word_hash) {
        slot.ambiguous = true;
      }
    });
  }
  std::vector<std::pair<std::uint64_t, std::pair<std::size_t, std::size_t>>> entries;  // key, span in arena_
  entries.reserve(used);
  for (const Slot& slot : slots) {
    if (slot.word == nullptr) continue;
    if (slot.ambiguous) {
      entries.push_back({slot.key, {0, 0}});
      continue;
    }
    entries.push_back({slot.key, {arena_.size(), slot.size}});
    for (std::size_t k = 0; k < slot.size; ++k) arena_ += lower(slot.word[k]);
  }
  std::sort(entries.begin(), entries.end());
  by_key_.reserve(entries.size());
  for (const auto& [key, span] : entries) {
    by_key_.push_back({key, std::string_view(arena_).substr(span.first, span.second)});
  }
}

const std::string_view* WordRepair::repair_of(std::string_view word) const {
  if (word.size() < kMinLetters || word.size() > kMaxLetters) return nullptr;
  std::array<char, kMaxLetters> buf{};
  for (std::size_t k = 0; k < word.size(); ++k) buf[k] = lower(word[k]);
  const std::string_view w(buf.data(), word.size());
  const std::uint64_t key = shuffle_key(w);
  const auto it = std::lower_bound(by_key_.begin(), by_key_.end(), key,
                                   [](const Keyed& k, std::uint64_t v) { return k.key < v; });
  if (it == by_key_.end() || it->key != key || it->word.empty()) return nullptr;
  const std::string_view candidate = it->word;
  // The key is a hash: check the letters themselves. A word that is itself
  // in the database shares its key with no other word, so it is the
  // candidate and is left as it is.
  if (candidate == w || candidate.size() != w.size() || candidate.front() != w.front() ||
      candidate.back() != w.back()) {
    return nullptr;
  }
  if (!std::is_permutation(candidate.begin(), candidate.end(), w.begin(), w.end())) return nullptr;
  return &it->word;
}

std::string WordRepair::repaired_stretches(std::string_view text) const {
  struct Word {
    std::size_t begin, end, line;
    const std::string_view* repair;
  };
  std::vector<Word> words;
  bool any = false;
  std::size_t line = 0, scanned = 0;
  for_each_word(text, [&](std::size_t b, std::size_t e) {
    line += static_cast<std::size_t>(std::count(text.begin() + static_cast<std::ptrdiff_t>(scanned),
                                                text.begin() + static_cast<std::ptrdiff_t>(b), '\n'));
    scanned = b;
    const std::string_view* r = repair_of(text.substr(b, e - b));
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
