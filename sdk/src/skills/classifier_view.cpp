#include "classifier_view.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "../utf8.h"

namespace vantrel_core {

namespace {

constexpr std::size_t kSoupWindow = 16;
// A separator between single letters: one to four symbols (an emoji with its
// variation selector and skin tone is up to four code points), or one space.
constexpr std::size_t kMaxSeparator = 4;
constexpr std::uint32_t kMinJoinedLetters = 3;

// Classes of the ASCII characters, looked up once per character.
enum : std::uint8_t { kLetter = 1, kDigit = 2, kSpace = 4, kLower = 8 };
constexpr std::array<std::uint8_t, 128> kAsciiClass = [] {
  std::array<std::uint8_t, 128> t{};
  for (int c = 'a'; c <= 'z'; ++c) t[c] = kLetter | kLower;
  for (int c = 'A'; c <= 'Z'; ++c) t[c] = kLetter;
  for (int c = '0'; c <= '9'; ++c) t[c] = kDigit;
  t[' '] = t['\n'] = t['\t'] = kSpace;
  return t;
}();

inline bool is_letter(char32_t c) {
  if (c < 0x80) return (kAsciiClass[c] & kLetter) != 0;
  return u_isalpha(static_cast<UChar32>(c)) != 0;
}

inline bool is_alnum(char32_t c) {
  if (c < 0x80) return (kAsciiClass[c] & (kLetter | kDigit)) != 0;
  return u_isalnum(static_cast<UChar32>(c)) != 0;
}

inline bool is_space(char32_t c) {
  if (c < 0x80) return (kAsciiClass[c] & kSpace) != 0;
  return u_isUWhiteSpace(static_cast<UChar32>(c)) != 0;
}

inline bool is_lower_letter(char32_t c) {
  if (c < 0x80) return (kAsciiClass[c] & kLower) != 0;
  return u_islower(static_cast<UChar32>(c)) != 0;
}

inline char32_t to_lower(char32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  return static_cast<char32_t>(u_tolower(static_cast<UChar32>(c)));
}

bool is_bidi_control(char32_t c) {
  return (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069) || c == 0x200E ||
         c == 0x200F || c == 0x061C;
}

// A coarse script of a letter, enough to tell a token that mixes scripts.
int script_of(char32_t c) {
  if (c < 0x250 || (c >= 0x1E00 && c <= 0x1EFF)) return 0;  // Latin
  if (c >= 0x370 && c <= 0x3FF) return 1;                    // Greek
  if (c >= 0x400 && c <= 0x52F) return 2;                    // Cyrillic
  if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x4E00 && c <= 0x9FFF) ||
      (c >= 0xAC00 && c <= 0xD7AF))
    return 3;  // Japanese kana, CJK ideographs, Hangul
  return 4;
}

// Half-open ranges of positions.
using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

// Decodes the text into code points with tag characters decoded and
// bidirectional controls resolved.
// With `hidden`, also the ranges of code points that were hidden (decoded
// tag characters, reversed runs), in ascending order.
std::vector<char32_t> resolve_hidden_text(std::string_view text, ViewStats& stats, Ranges* hidden = nullptr) {
  std::vector<char32_t> cps;
  cps.reserve(text.size());
  std::size_t reversed_from = 0;
  bool reversing = false;
  auto mark = [&](std::size_t from, std::size_t to) {
    if (hidden == nullptr || from == to) return;
    if (!hidden->empty() && hidden->back().second >= from) {
      hidden->back().second = std::max(hidden->back().second, to);
    } else {
      hidden->emplace_back(from, to);
    }
  };
  auto end_reversal = [&] {
    if (!reversing) return;
    std::reverse(cps.begin() + static_cast<std::ptrdiff_t>(reversed_from), cps.end());
    mark(reversed_from, cps.size());
    reversing = false;
  };
  for (std::size_t i = 0; i < text.size();) {
    const char32_t c = utf8::next(text, i);
    if (c >= 0xE0000 && c <= 0xE007F) {
      if (c >= 0xE0020 && c <= 0xE007E) {
        cps.push_back(c - 0xE0000);
        ++stats.tag_characters;
        if (!reversing) mark(cps.size() - 1, cps.size());
      }
      continue;
    }
    if (is_bidi_control(c)) {
      if (c == 0x202E) {  // right-to-left override
        if (!reversing) {
          reversing = true;
          reversed_from = cps.size();
          ++stats.reversed_runs;
        }
      } else if (c == 0x202C || c == 0x2069 || c == 0x202D) {
        end_reversal();
      }
      continue;
    }
    if (c == '\n') end_reversal();
    cps.push_back(c);
  }
  end_reversal();
  return cps;
}

// Index access to the code points of either a byte string (pure ASCII) or a
// decoded array.
template <class Seq>
char32_t at(const Seq& s, std::size_t i) {
  return static_cast<char32_t>(static_cast<std::make_unsigned_t<typename Seq::value_type>>(s[i]));
}

// Length of the separator starting at `i`, or 0 when none starts there.
template <class Seq>
std::size_t separator_length(const Seq& s, std::size_t i) {
  if (i < s.size() && at(s, i) == ' ') return 1;
  std::size_t k = i;
  while (k < s.size() && k - i < kMaxSeparator) {
    const char32_t c = at(s, k);
    if (is_alnum(c) || is_space(c)) break;
    ++k;
  }
  return k - i;
}

// True when the letter at `i` stands alone: no alphanumeric neighbour.
template <class Seq>
bool is_single_letter(const Seq& s, std::size_t i) {
  return is_letter(at(s, i)) && (i == 0 || !is_alnum(at(s, i - 1))) &&
         (i + 1 == s.size() || !is_alnum(at(s, i + 1)));
}

// The end of a run of at least kMinJoinedLetters single letters starting at
// `i`, each pair joined by a separator; 0 when no such run starts there.
// A run keeps to one kind of separator, spaces or symbols, so that words
// spelt out letter by letter stay apart ("i-g-n-o-r-e a-l-l"). Reads only as
// far as the run reaches.
template <class Seq>
std::size_t joined_run_end(const Seq& s, std::size_t i) {
  if (!is_single_letter(s, i)) return 0;
  std::uint32_t letters = 1;
  std::size_t end = i + 1;
  int spaced = -1;  // unknown until the first separator
  for (;;) {
    const std::size_t sep = separator_length(s, end);
    if (sep == 0 || end + sep >= s.size() || !is_single_letter(s, end + sep)) break;
    const int is_space_sep = at(s, end) == ' ' ? 1 : 0;
    if (spaced >= 0 && is_space_sep != spaced) break;
    spaced = is_space_sep;
    end += sep + 1;
    ++letters;
  }
  return letters >= kMinJoinedLetters ? end : 0;
}

template <class Seq>
void append_lower(std::string& out, const Seq& s, std::size_t i) {
  const char32_t c = to_lower(at(s, i));
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else {
    utf8::append(out, c);
  }
}

// Joins single letters and words broken across lines, and lower-cases.
// With `revealed`, also the view offsets where something was undone: joined
// letters or lines, or the first character written from each `hidden` range.
template <class Seq>
void write_view(const Seq& s, std::string& out, ViewStats& stats, const Ranges* hidden = nullptr,
                std::vector<std::size_t>* revealed = nullptr) {
  const std::size_t n = s.size();
  std::size_t i = 0, next_hidden = 0;
  auto reveal = [&] {
    if (revealed != nullptr) revealed->push_back(out.size());
  };
  while (i < n) {
    if (hidden != nullptr && next_hidden < hidden->size() && (*hidden)[next_hidden].first <= i) {
      if (i < (*hidden)[next_hidden].second) reveal();
      ++next_hidden;
    }
    const char32_t c = at(s, i);
    if (is_letter(c)) {
      // Only a letter that stands alone can start a joined run.
      const bool alone = (i == 0 || !is_alnum(at(s, i - 1))) && (i + 1 == n || !is_alnum(at(s, i + 1)));
      if (!alone) {
        append_lower(out, s, i);
        ++i;
        continue;
      }
      if (const std::size_t end = joined_run_end(s, i)) {
        reveal();
        for (std::size_t k = i; k < end; ++k) {
          if (is_letter(at(s, k))) append_lower(out, s, k);
        }
        ++stats.joined_letter_runs;
        i = end;
        continue;
      }
    } else if ((c == '\n' || (c == '-' && i + 1 < n && at(s, i + 1) == '\n')) && i > 0) {
      const std::size_t after = c == '\n' ? i + 1 : i + 2;
      // A line that ends inside a word: the next line goes on in the same
      // case ("instruc\ntions", "INSTRUC\nTIONS"), not with a capital.
      const bool same_word = after < n && is_letter(at(s, i - 1)) && is_letter(at(s, after)) &&
                             (is_lower_letter(at(s, after)) || !is_lower_letter(at(s, i - 1)));
      if (same_word) {
        reveal();
        ++stats.rejoined_lines;
        i = after;
        continue;
      }
    }
    append_lower(out, s, i);
    ++i;
  }
}

// The per-token bookkeeping both shape passes share: the run of identical
// tokens and the odd tokens among the last kSoupWindow.
class TokenTally {
 public:
  bool any() const { return tokens_ > 0; }
  void add(bool same_as_previous, bool odd, ViewStats& stats) {
    token_run_ = same_as_previous ? token_run_ + 1 : 1;
    if (token_run_ > stats.repeated_token_run) stats.repeated_token_run = token_run_;
    bool& slot = window_[tokens_ % kSoupWindow];
    odd_in_window_ -= slot ? 1 : 0;
    slot = odd;
    odd_in_window_ += odd ? 1 : 0;
    ++tokens_;
    if (odd_in_window_ > stats.soup_window_max) stats.soup_window_max = odd_in_window_;
  }

 private:
  std::array<bool, kSoupWindow> window_{};
  std::size_t tokens_ = 0;
  std::uint32_t odd_in_window_ = 0;
  std::uint32_t token_run_ = 0;
};

// Odd tokens (see ViewStats::soup_window_max) and repeated runs.
template <class Seq>
void measure_shapes(const Seq& s, ViewStats& stats) {
  const std::size_t n = s.size();
  TokenTally tally;
  std::size_t prev_begin = 0, prev_length = 0;
  std::uint32_t char_run = 0;
  char32_t prev_char = 0;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && is_space(at(s, i))) {
      prev_char = 0;
      ++i;
    }
    if (i == n) break;
    const std::size_t begin = i;
    bool letters = false, camel = false, inner_symbol = false;
    bool symbols_only = true, one_symbol = true;
    int script = -1;
    bool mixed_script = false;
    char32_t prev = 0;
    bool alnum_seen = false;
    bool odd_symbol_after_alnum = false;
    for (; i < n; ++i) {
      const char32_t c = at(s, i);
      if (is_space(c)) break;
      char_run = c == prev_char ? char_run + 1 : 1;
      prev_char = c;
      if (char_run > stats.repeated_char_run) stats.repeated_char_run = char_run;
      if (is_alnum(c)) {
        symbols_only = false;
        if (odd_symbol_after_alnum) inner_symbol = true;
        alnum_seen = true;
        if (c >= 0x80 && is_letter(c)) {
          letters = true;
          const int sc = script_of(c);
          if (script >= 0 && sc != script) mixed_script = true;
          script = sc;
        } else if (c < 0x80 && (kAsciiClass[c] & kLetter)) {
          letters = true;
          if (!(kAsciiClass[c] & kLower) && prev >= 'a' && prev <= 'z') camel = true;
          if (script > 0) mixed_script = true;
          script = 0;
        }
      } else {
        if (i != begin && c != at(s, begin)) one_symbol = false;
        // Inner punctuation that ordinary words, numbers, addresses and
        // abbreviations use does not count.
        const bool ordinary = c == '\'' || c == '-' || c == '.' || c == '_' || c == '/' ||
                              c == '@' || c == ',' || c == ':' || c == 0x2019;
        if (alnum_seen && !ordinary) {
          odd_symbol_after_alnum = true;
          // A bracket or symbol after the last letter of a word, other than
          // closing punctuation, is as odd as one inside it.
          const bool closing = c == ';' || c == '!' || c == '?' || c == '"' || c == ')' || c == ']' ||
                               c == '}' || c == '>' || c == '*' || c == 0x201D;
          if (!closing) inner_symbol = true;
        }
      }
      prev = c;
    }
    const std::size_t length = i - begin;
    const bool odd = (letters && (camel || inner_symbol || mixed_script)) ||
                     (symbols_only && length >= 2 && !one_symbol);
    bool same = tally.any() && length == prev_length;
    for (std::size_t k = 0; same && k < length; ++k) same = at(s, begin + k) == at(s, prev_begin + k);
    prev_begin = begin;
    prev_length = length;
    tally.add(same, odd, stats);
  }
}

// measure_shapes for ASCII text. A token of letters and digits alone is odd
// only when it changes case inside a word; only tokens with other
// characters go through the full rules.
void measure_shapes_ascii(std::string_view text, ViewStats& stats) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  constexpr std::uint8_t kAlnum = kLetter | kDigit;
  TokenTally tally;
  std::uint32_t char_run = 0;
  std::size_t prev_begin = 0, prev_length = 0;
  std::size_t i = 0;
  while (i < n) {
    while (i < n && (kAsciiClass[p[i]] & kSpace)) ++i;
    if (i == n) break;
    const std::size_t begin = i;
    bool camel = false, plain = true;
    unsigned char prev = 0;
    char_run = 0;
    for (; i < n; ++i) {
      const unsigned char c = p[i];
      const std::uint8_t cl = kAsciiClass[c];
      if (cl & kSpace) break;
      char_run = c == prev ? char_run + 1 : 1;
      if (char_run > stats.repeated_char_run) stats.repeated_char_run = char_run;
      plain &= (cl & kAlnum) != 0;
      camel |= (cl & kLetter) && !(cl & kLower) && prev >= 'a' && prev <= 'z';
      prev = c;
    }
    const std::size_t length = i - begin;
    bool odd = camel;
    if (!plain) {
      ViewStats one;
      measure_shapes(text.substr(begin, length), one);
      odd = one.soup_window_max > 0;
    }
    const bool same =
        tally.any() && length == prev_length && std::memcmp(p + begin, p + prev_begin, length) == 0;
    prev_begin = begin;
    prev_length = length;
    tally.add(same, odd, stats);
  }
}

bool is_ascii(std::string_view text) {
  // Eight bytes at a time: no byte has its top bit set.
  std::size_t i = 0;
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, 8);
    if (word & 0x8080808080808080ULL) return false;
  }
  for (; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return false;
  }
  return true;
}

// True when an ASCII text holds something write_view would join: single
// letters joined by separators, or a line break inside a word. Most text has
// neither, and its view is then the text lower-cased.
bool needs_joining(std::string_view s) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  constexpr std::uint8_t kAlnum = kLetter | kDigit;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t cl = kAsciiClass[p[i]];
    if (p[i] == '\n') {
      if (i > 0 && i + 1 < n && (kAsciiClass[p[i + 1]] & kLetter) &&
          ((kAsciiClass[p[i - 1]] & kLetter) || p[i - 1] == '-'))
        return true;
      continue;
    }
    if (!(cl & kLetter)) continue;
    if (i + 1 < n && (kAsciiClass[p[i + 1]] & kAlnum)) {
      // Inside a word of two or more characters: skip to its last one.
      while (i + 1 < n && (kAsciiClass[p[i + 1]] & kAlnum)) ++i;
      continue;
    }
    if (i > 0 && (kAsciiClass[p[i - 1]] & kAlnum)) continue;
    if (joined_run_end(s, i) != 0) return true;
  }
  return false;
}

// The view of an ASCII text with nothing to join: the text lower-cased.
void write_lowercase(std::string_view s, std::string& out) {
  out.resize(s.size());
  const auto* in = reinterpret_cast<const unsigned char*>(s.data());
  char* o = out.data();
  for (std::size_t i = 0; i < s.size(); ++i) {
    const unsigned char c = in[i];
    o[i] = static_cast<char>(c + (static_cast<unsigned char>(c - 'A') < 26 ? 32 : 0));
  }
}

}  // namespace

ViewStats build_classifier_view(std::string_view normalized, std::string& view) {
  ViewStats stats;
  view.clear();
  view.reserve(normalized.size());
  if (is_ascii(normalized)) {
    measure_shapes_ascii(normalized, stats);
    if (needs_joining(normalized)) {
      write_view(normalized, view, stats);
    } else {
      write_lowercase(normalized, view);
    }
  } else {
    const std::vector<char32_t> cps = resolve_hidden_text(normalized, stats);
    measure_shapes(cps, stats);
    write_view(cps, view, stats);
  }
  return stats;
}

std::string revealed_text(std::string_view normalized) {
  ViewStats stats;
  std::string view;
  std::vector<std::size_t> at;
  if (is_ascii(normalized)) {
    if (!needs_joining(normalized)) return {};
    write_view(normalized, view, stats, nullptr, &at);
  } else {
    Ranges hidden;
    const std::vector<char32_t> cps = resolve_hidden_text(normalized, stats, &hidden);
    write_view(cps, view, stats, &hidden, &at);
  }
  // Each line holding an offset, once; one forward pass over the view.
  std::string out;
  std::size_t line_start = 0, line_end = 0;  // the last line written: [start, end)
  bool any = false;
  for (const std::size_t offset : at) {
    if (any && offset < line_end) continue;
    std::size_t start = any ? line_end : 0;
    for (std::size_t k = start; k < offset && k < view.size(); ++k) {
      if (view[k] == '\n') start = k + 1;
    }
    const std::size_t nl = view.find('\n', offset);
    line_start = start;
    line_end = nl == std::string::npos ? view.size() : nl;
    out.append(view, line_start, line_end - line_start);
    out += '\n';
    any = true;
  }
  return out;
}

}  // namespace vantrel_core
