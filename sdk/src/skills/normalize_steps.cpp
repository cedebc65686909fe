#include "normalize_steps.h"

#include <unicode/bytestream.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>
#include <vector>

#include "byte_blocks.h"
#include "utf8.h"


namespace vantrel_core::normalize_steps {

namespace {

inline unsigned char byte_at(std::string_view s, std::size_t i) {
  return static_cast<unsigned char>(s[i]);
}

// ---- Character classes -------------------------------------------------------

inline bool is_ascii_letter(char32_t c) {
  return (c | 0x20) - U'a' < 26u;
}
inline bool is_ascii_upper(char32_t c) {
  return c - U'A' < 26u;
}
inline bool is_ascii_digit(char32_t c) {
  return c - U'0' < 10u;
}
inline bool is_ascii_alnum(char32_t c) {
  return is_ascii_letter(c) || is_ascii_digit(c);
}

// Unicode alphanumeric: Alphabetic, or general category Nd, Nl or No. Within
// ASCII that is exactly the letters and digits.
bool is_alnum(char32_t c) {
  if (c < 0x80) return is_ascii_alnum(c);
  const auto u = static_cast<UChar32>(c);
  if (u_hasBinaryProperty(u, UCHAR_ALPHABETIC)) return true;
  const auto t = u_charType(u);
  return t == U_DECIMAL_DIGIT_NUMBER || t == U_LETTER_NUMBER || t == U_OTHER_NUMBER;
}

// Unicode White_Space; within ASCII that is tab to carriage return and space.
// Beyond ASCII only U+0085, U+00A0 and characters from U+1680 to U+3000 have
// the property, so most letters, marks and ideographs skip the lookup.
bool is_white_space(char32_t c) {
  if (c < 0x80) return c == U' ' || (c >= U'\t' && c <= U'\r');
  if ((c < kFirstWideWhiteSpace || c > kLastWideWhiteSpace) && c != 0x85 && c != 0xA0) return false;
  return u_isUWhiteSpace(static_cast<UChar32>(c)) != 0;
}

// ---- Word-at-a-time byte tests ----------------------------------------------
//
// Eight bytes are tested at once to skip stretches a pass leaves unchanged.
// Each helper sets the high bit of exactly the lanes it names; lanes never
// influence each other, so the result does not depend on byte order.

constexpr std::uint64_t kLanes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
constexpr std::uint64_t kLow7 = 0x7F7F7F7F7F7F7F7FULL;

inline std::uint64_t load8(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
// Lanes equal to zero.
inline std::uint64_t zero_lanes(std::uint64_t x) {
  return ~(((x & kLow7) + kLow7) | x | kLow7);
}
// Lanes equal to c.
inline std::uint64_t eq_lanes(std::uint64_t x, unsigned char c) {
  return zero_lanes(x ^ (kLanes * c));
}
// Lanes below 0x80 that are >= c (c <= 0x7F). Setting every high bit first
// keeps the subtraction from borrowing across lanes.
inline std::uint64_t ge_lanes(std::uint64_t x, unsigned char c) {
  return ((x | kHigh) - kLanes * c) & ~x & kHigh;
}
// Lanes below 0x80 in [lo, hi] (hi < 0x7F).
inline std::uint64_t range_lanes(std::uint64_t x, unsigned char lo, unsigned char hi) {
  return ge_lanes(x, lo) & ~ge_lanes(x, static_cast<unsigned char>(hi + 1)) & kHigh;
}

// The UTF-8 first bytes of the White_Space characters beyond ASCII: C2 for
// U+0085 and U+00A0, E1 to E3 for U+1680 to U+3000 (see is_white_space).
// Every other character beyond ASCII is ordinary to the layout pass.
inline bool may_be_wide_white_space(unsigned char b) {
  return b == 0xC2 || (b >= 0xE1 && b <= 0xE3);
}
inline std::uint64_t may_be_wide_white_space(std::uint64_t x) {
  return eq_lanes(x, 0xC2) | eq_lanes(x, 0xE1) | eq_lanes(x, 0xE2) | eq_lanes(x, 0xE3);
}

// ---- Sixteen bytes at a time --------------------------------------------------
//
// Where the processor has SSE2 (every x86-64 one), the searches below test
// sixteen bytes at a time and take the first hit's position from the lane
// mask; the word-at-a-time loops serve elsewhere and for the last bytes.

#ifdef VANTREL_SIXTEEN_BYTES
inline __m128i may_be_wide_white_space16(__m128i x) {
  return _mm_or_si128(
      _mm_or_si128(eq16(x, static_cast<char>(0xC2)), eq16(x, static_cast<char>(0xE1))),
      _mm_or_si128(eq16(x, static_cast<char>(0xE2)), eq16(x, static_cast<char>(0xE3))));
}
#endif

// Byte length of the character starting at i (1 at the end of the text).
inline std::size_t utf8_length(std::string_view s, std::size_t i) {
  if (i >= s.size()) return 1;
  const unsigned char b = byte_at(s, i);
  return b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
}

// First position at or after `i` holding a byte of a non-ASCII character.
std::size_t find_non_ascii(std::string_view s, std::size_t i) {
#ifdef VANTREL_SIXTEEN_BYTES
  for (; i + 16 <= s.size(); i += 16) {
    if (const std::uint32_t hits = bits16(load16(s.data() + i))) return i + std::countr_zero(hits);
  }
#endif
  while (i + 8 <= s.size() && (load8(s.data() + i) & kHigh) == 0) i += 8;
  while (i < s.size() && byte_at(s, i) < 0x80) ++i;
  return i;
}

// First position at or after `i` holding an ASCII byte.
std::size_t find_ascii(std::string_view s, std::size_t i) {
#ifdef VANTREL_SIXTEEN_BYTES
  for (; i + 16 <= s.size(); i += 16) {
    if (const std::uint32_t hits = ~bits16(load16(s.data() + i)) & 0xFFFF) {
      return i + std::countr_zero(hits);
    }
  }
#endif
  while (i < s.size() && byte_at(s, i) >= 0x80) ++i;
  return i;
}

// ---- Tables ------------------------------------------------------------------

// Byte length of the invisible character starting at i, or 0. The lead bytes
// tested never occur inside another character, so a match is a whole character.
std::size_t invisible_length_at(std::string_view t, std::size_t i) {
  const std::size_t n = t.size();
  switch (byte_at(t, i)) {
    case 0xC2:  // U+00AD
      return i + 1 < n && byte_at(t, i + 1) == 0xAD ? 2 : 0;
    case 0xE2:
      if (i + 2 >= n) return 0;
      if (byte_at(t, i + 1) == 0x80 && byte_at(t, i + 2) >= 0x8B && byte_at(t, i + 2) <= 0x8D) {
        return 3;  // U+200B..U+200D
      }
      if (byte_at(t, i + 1) == 0x81 && byte_at(t, i + 2) >= 0xA0 && byte_at(t, i + 2) <= 0xA4) {
        return 3;  // U+2060..U+2064
      }
      return 0;
    case 0xEF:  // U+FEFF
      return i + 2 < n && byte_at(t, i + 1) == 0xBB && byte_at(t, i + 2) == 0xBF ? 3 : 0;
    default:
      return 0;
  }
}

constexpr std::array<std::pair<char32_t, char>, 40> kConfusables = {{
    {0x0430, 'a'}, {0x0435, 'e'}, {0x0456, 'i'}, {0x043E, 'o'}, {0x0440, 'p'}, {0x0441, 'c'},
    {0x0443, 'y'}, {0x0445, 'x'}, {0x0458, 'j'}, {0x04CF, 'l'}, {0x0410, 'A'}, {0x0412, 'B'},
    {0x0415, 'E'}, {0x041A, 'K'}, {0x041C, 'M'}, {0x041D, 'H'}, {0x041E, 'O'}, {0x0420, 'P'},
    {0x0421, 'C'}, {0x0422, 'T'}, {0x0425, 'X'}, {0x03B1, 'a'}, {0x03B5, 'e'}, {0x03BF, 'o'},
    {0x03C1, 'p'}, {0x03C5, 'u'}, {0x0391, 'A'}, {0x0392, 'B'}, {0x0395, 'E'}, {0x0397, 'H'},
    {0x0399, 'I'}, {0x039A, 'K'}, {0x039C, 'M'}, {0x039D, 'N'}, {0x039F, 'O'}, {0x03A1, 'P'},
    {0x03A4, 'T'}, {0x03A7, 'X'}, {0x03A5, 'Y'}, {0x0396, 'Z'},
}};
constexpr char32_t kConfusableFirst = 0x0391;
constexpr char32_t kConfusableLast = 0x04CF;
// UTF-8 lead bytes of U+0391..U+04CF.
constexpr unsigned char kConfusableLeadFirst = 0xCE;
constexpr unsigned char kConfusableLeadLast = 0xD3;

constexpr auto kConfusableMap = [] {
  std::array<char, kConfusableLast - kConfusableFirst + 1> m{};
  for (const auto& [cp, ascii] : kConfusables) m[cp - kConfusableFirst] = ascii;
  return m;
}();

// The ASCII letter a look-alike stands for, or 0.
char confusable_ascii(char32_t c) {
  if (c < kConfusableFirst || c > kConfusableLast) return 0;
  return kConfusableMap[c - kConfusableFirst];
}

// Leetspeak readings; 0 for characters without one (2 and 6 included).
char leet_digit(char32_t c) {
  static constexpr char kDigits[10] = {'o', 'i', 0, 'e', 'a', 's', 0, 't', 'b', 'g'};
  return is_ascii_digit(c) ? kDigits[c - U'0'] : 0;
}

char leet_symbol(char32_t c) {
  switch (c) {
    case U'@':
      return 'a';
    case U'$':
      return 's';
    case U'!':
      return 'i';
    case U'+':
      return 't';
    case U'|':
      return 'i';
    case U'(':
      return 'c';
    case U'[':
      return 'c';
    case U'{':
      return 'c';
    default:
      return 0;
  }
}

// ---- NFKC --------------------------------------------------------------------

// The stream-safe limit of UAX #15. Longer runs of characters that cannot
// start a normalization segment make ICU's insertion-based canonical
// reordering quadratic (64 KB of alternating marks takes about 300 ms).
constexpr std::size_t kMaxNonStarterRun = 30;

bool has_long_nonstarter_run(std::string_view text, const icu::Normalizer2& nfkd) {
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (byte_at(text, i) < 0x80) {
      run = 0;  // ASCII characters are starters
      i = find_non_ascii(text, i);
      continue;
    }
    const char32_t c = utf8::next(text, i);
    if (nfkd.hasBoundaryBefore(static_cast<UChar32>(c))) {
      run = 0;
    } else if (++run > kMaxNonStarterRun) {
      return true;
    }
  }
  return false;
}

// NFKD of the text, built by decomposing each code point and stable-sorting
// each run of non-starters by combining class. Fed to the NFKC normalizer,
// this is already in canonical order, so ICU's reordering does no work and
// the result is the NFKC of the original text.
std::string ordered_decomposition(std::string_view text, const icu::Normalizer2& nfkd) {
  struct Mark {
    std::uint8_t ccc;
    char32_t cp;
  };
  std::vector<Mark> cps;
  cps.reserve(text.size());
  icu::UnicodeString decomposition;
  auto push = [&](UChar32 c) { cps.push_back({u_getCombiningClass(c), static_cast<char32_t>(c)}); };
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<UChar32>(utf8::next(text, i));
    if (c < 0x80 || !nfkd.getDecomposition(c, decomposition)) {
      push(c);
      continue;
    }
    for (int32_t k = 0; k < decomposition.length();) {
      const UChar32 d = decomposition.char32At(k);
      push(d);
      k += U16_LENGTH(d);
    }
  }
  // Canonical order: each run of non-starters stably sorted by combining
  // class; long runs by counting (classes are bytes), so they stay linear.
  constexpr std::size_t kShortRun = 32;
  std::vector<Mark> sorted;
  for (std::size_t i = 0; i < cps.size();) {
    if (cps[i].ccc == 0) {
      ++i;
      continue;
    }
    std::size_t end = i + 1;
    while (end < cps.size() && cps[end].ccc != 0) ++end;
    if (end - i <= kShortRun) {
      for (std::size_t k = i + 1; k < end; ++k) {  // insertion sort, stable
        const Mark m = cps[k];
        std::size_t j = k;
        for (; j > i && cps[j - 1].ccc > m.ccc; --j) cps[j] = cps[j - 1];
        cps[j] = m;
      }
      i = end;
      continue;
    }
    std::array<std::size_t, 257> start{};
    for (std::size_t k = i; k < end; ++k) ++start[cps[k].ccc + 1u];
    for (std::size_t c = 1; c < start.size(); ++c) start[c] += start[c - 1];
    sorted.resize(end - i);
    for (std::size_t k = i; k < end; ++k) sorted[start[cps[k].ccc]++] = cps[k];
    std::copy(sorted.begin(), sorted.end(), cps.begin() + static_cast<std::ptrdiff_t>(i));
    i = end;
  }
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  for (const Mark& m : cps) utf8::append(out, m.cp);
  return out;
}

icu::StringPiece piece_of(std::string_view s) {
  return icu::StringPiece(s.data(), static_cast<int32_t>(s.size()));
}

// ---- Leetspeak, spaced letters and layout ------------------------------------
//
// These three passes inspect neighbours by character index. They are written
// once over a sequence of characters: bytes for pure ASCII text (where bytes
// and characters coincide) and code points otherwise.

template <class C>
inline char32_t char_of(C c) {
  if constexpr (sizeof(C) == 1) {
    return static_cast<unsigned char>(c);
  } else {
    return c;
  }
}

// The character before position i (i > 0) and the one starting at i with
// its length, in either representation. UTF-8 text is decoded only where a
// byte is not ASCII.
inline char32_t char_before(std::u32string_view s, std::size_t i) {
  return s[i - 1];
}
inline char32_t char_before(std::string_view s, std::size_t i) {
  if (byte_at(s, i - 1) < 0x80) return byte_at(s, i - 1);
  return utf8::prev(s, i);
}
inline char32_t char_at(std::u32string_view s, std::size_t i, std::size_t& length) {
  length = 1;
  return s[i];
}
inline char32_t char_at(std::string_view s, std::size_t i, std::size_t& length) {
  const std::size_t start = i;
  const char32_t c = utf8::next(s, i);
  length = i - start;
  return c;
}
inline char32_t char_at(std::u32string_view s, std::size_t i) {
  return s[i];
}
inline char32_t char_at(std::string_view s, std::size_t i) {
  std::size_t length;
  return char_at(s, i, length);
}

// Writes a pass's output over its own input. Each pass emits at most as many
// characters as it has read, so writing trails reading, and it reads behind
// its position only where nothing has been written yet (or through values it
// saved). Unchanged stretches are moved only once something before them was
// dropped; a pass that changes nothing writes nothing.
template <class C>
class InPlaceWriter {
 public:
  explicit InPlaceWriter(std::basic_string<C>& buf) : buf_(buf) {}

  // Input [at, at + len) is left out; put() right after inserts in its place.
  void drop(std::size_t at, std::size_t len) {
    flush(at);
    kept_from_ = at + len;
  }
  void put(C c) { buf_[w_++] = c; }
  // Last character of the output once input [0, at) is processed; 0 if none.
  char32_t last_char(std::size_t at) const {
    if (at > kept_from_) return char_of(buf_[at - 1]);
    return w_ > 0 ? char_of(buf_[w_ - 1]) : 0;
  }
  void remove_last(std::size_t at) {
    flush(at);
    --w_;
  }
  void finish() {
    flush(buf_.size());
    buf_.resize(w_);
  }

 private:
  void flush(std::size_t at) {
    if (w_ != kept_from_)
      std::copy(buf_.begin() + kept_from_, buf_.begin() + at, buf_.begin() + w_);
    w_ += at - kept_from_;
    kept_from_ = at;
  }

  std::basic_string<C>& buf_;
  std::size_t kept_from_ = 0;  // start of the input not yet accounted for
  std::size_t w_ = 0;          // output length so far
};

// Encodes a code-point pass's output as UTF-8 into a separate buffer; same
// interface as InPlaceWriter.
class Utf8Writer {
 public:
  Utf8Writer(std::u32string_view in, std::string& out) : in_(in), out_(out) {}
  void drop(std::size_t at, std::size_t len) {
    flush(at);
    kept_from_ = at + len;
  }
  void put(char32_t c) { utf8::append(out_, c); }
  char32_t last_char(std::size_t at) const {
    if (at > kept_from_) return in_[at - 1];
    return out_.empty() ? 0 : static_cast<unsigned char>(out_.back());
  }
  // Only ever removes a space, which is one byte.
  void remove_last(std::size_t at) {
    flush(at);
    out_.pop_back();
  }
  void finish() { flush(in_.size()); }

 private:
  void flush(std::size_t at) {
    for (std::size_t k = kept_from_; k < at; ++k) utf8::append(out_, in_[k]);
    kept_from_ = at;
  }

  std::u32string_view in_;
  std::string& out_;
  std::size_t kept_from_ = 0;
};

// -- Leetspeak --

constexpr auto kLeetTrigger = [] {
  std::array<bool, 128> t{};
  for (char c = '0'; c <= '9'; ++c) t[static_cast<unsigned char>(c)] = true;
  for (char c : {'!', '$', '(', '+', '@', '[', '{', '|'}) t[static_cast<unsigned char>(c)] = true;
  return t;
}();

// First position at or after `i` holding a digit or a leetspeak symbol.
std::size_t find_leet_trigger(std::u32string_view s, std::size_t i) {
  while (i < s.size() && !(s[i] < 128 && kLeetTrigger[s[i]])) ++i;
  return i;
}
std::size_t find_leet_trigger(std::string_view s, std::size_t i) {
#ifdef VANTREL_SIXTEEN_BYTES
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i w = load16(s.data() + i);
    const __m128i symbols = _mm_or_si128(_mm_or_si128(_mm_or_si128(eq16(w, '!'), eq16(w, '$')),
                                                      _mm_or_si128(eq16(w, '('), eq16(w, '+'))),
                                         _mm_or_si128(_mm_or_si128(eq16(w, '@'), eq16(w, '[')),
                                                      _mm_or_si128(eq16(w, '{'), eq16(w, '|'))));
    if (const std::uint32_t hits = bits16(_mm_or_si128(symbols, range16(w, '0', '9')))) {
      return i + std::countr_zero(hits);
    }
  }
#endif
  for (; i + 8 <= s.size(); i += 8) {
    const std::uint64_t w = load8(s.data() + i);
    const std::uint64_t hit = range_lanes(w, '0', '9') | eq_lanes(w, '!') | eq_lanes(w, '$') |
                              eq_lanes(w, '(') | eq_lanes(w, '+') | eq_lanes(w, '@') |
                              eq_lanes(w, '[') | eq_lanes(w, '{') | eq_lanes(w, '|');
    if (hit != 0) break;
  }
  while (i < s.size() && !(byte_at(s, i) < 128 && kLeetTrigger[byte_at(s, i)])) ++i;
  return i;
}

// The leetspeak pass rewrites in place but its rules look at the characters before the
// current one as they were: this keeps the originals of the last two
// replaced positions, the only ones a look behind can reach. (Seeing the
// replacements instead would also make a long digit run after a replaced
// digit a candidate at every position: quadratic.)
template <class C>
class LookBehind {
 public:
  explicit LookBehind(std::basic_string_view<C> s) : s_(s) {}
  char32_t at(std::size_t k) const {
    if (k == pos_[0]) return orig_[0];
    if (k == pos_[1]) return orig_[1];
    return char_of(s_[k]);
  }
  void replaced(std::size_t k, char32_t original) {
    pos_[1] = pos_[0];
    orig_[1] = orig_[0];
    pos_[0] = k;
    orig_[0] = original;
  }

 private:
  std::basic_string_view<C> s_;
  std::size_t pos_[2] = {std::string::npos, std::string::npos};
  char32_t orig_[2] = {0, 0};
};

template <class C>
std::uint64_t undo_leetspeak(std::basic_string<C>& buf) {
  const std::basic_string_view<C> s(buf);
  const std::size_t n = s.size();
  LookBehind<C> behind(s);
  std::uint64_t count = 0;
  // One character for one: replacements are written straight in place.
  auto replace = [&](std::size_t at, char32_t original, char r) {
    buf[at] = static_cast<C>(r);
    behind.replaced(at, original);
    ++count;
  };
  std::size_t i = 0;
  while ((i = find_leet_trigger(s, i)) < n) {
    const char32_t c = char_of(s[i]);
    // Absent neighbours read as NUL, which fails every class test below just
    // as "absent" does (and control characters, NUL included, are spaces by now).
    const char32_t p = i > 0 ? behind.at(i - 1) : 0;
    const bool letter_before = is_ascii_letter(p);
    if (is_ascii_digit(c)) {
      std::size_t end = i + 1;
      while (end < n && is_ascii_digit(char_of(s[end]))) ++end;
      const std::size_t len = end - i;
      const bool letter_after = end < n && is_ascii_letter(char_of(s[end]));
      const bool candidate =
          letter_before ? (len <= 2 || letter_after) : (len <= 2 && letter_after);
      if (!candidate) {
        i = end;
        continue;
      }
      // Only this digit is decided here; the rest of the run is looked at
      // afresh (it then has a digit, not a letter, before it). A long run is
      // therefore rescanned at most once before it is passed over whole.
      const char r = leet_digit(c);
      if (r != 0) {
        // A digit is kept when it looks like part of a name or unit ("A1",
        // "B4 ", "3D", "4K") rather than a letter in disguise.
        const char32_t pp = i > 1 ? behind.at(i - 2) : 0;
        const char32_t nx = i + 1 < n ? char_of(s[i + 1]) : 0;
        const char32_t nn = i + 2 < n ? char_of(s[i + 2]) : 0;
        const bool keep = is_ascii_upper(p)
                              ? !is_ascii_alnum(pp) && !is_ascii_alnum(nx)
                              : !is_ascii_alnum(p) && is_ascii_upper(nx) && !is_ascii_alnum(nn);
        if (!keep) replace(i, c, r);
      }
      ++i;
      continue;
    }
    const bool letter_after = i + 1 < n && is_ascii_letter(char_of(s[i + 1]));
    const bool both = letter_before && letter_after;
    if (c == U'!' ? both : (letter_before || letter_after)) replace(i, c, leet_symbol(c));
    ++i;
  }
  return count;
}

// -- Spaced-out letters --

inline bool spaced_pattern_at(std::u32string_view s, std::size_t i) {
  return s[i + 1] == U' ' && s[i + 3] == U' ' && is_ascii_letter(s[i]) &&
         is_ascii_letter(s[i + 2]) && is_ascii_letter(s[i + 4]);
}
inline bool spaced_pattern_at(std::string_view s, std::size_t i) {
  return s[i + 1] == ' ' && s[i + 3] == ' ' && is_ascii_letter(byte_at(s, i)) &&
         is_ascii_letter(byte_at(s, i + 2)) && is_ascii_letter(byte_at(s, i + 4));
}

// First position at or after `i` where ASCII letter, space, letter, space,
// letter begins. Searched on the bytes this is the quick test that lets the
// step skip texts without such a pattern; on code points it is the same test,
// since those five characters are one byte each and no byte of another
// character is ASCII.
std::size_t find_spaced_pattern(std::u32string_view s, std::size_t i) {
  for (; i + 5 <= s.size(); ++i) {
    if (spaced_pattern_at(s, i)) return i;
  }
  return s.size();
}
std::size_t find_spaced_pattern(std::string_view s, std::size_t i) {
  // A pattern needs spaces two apart: look for those sixteen or eight
  // positions at a time.
#ifdef VANTREL_SIXTEEN_BYTES
  for (; i + 20 <= s.size(); i += 16) {
    std::uint32_t pairs =
        bits16(_mm_and_si128(eq16(load16(s.data() + i + 1), ' '), eq16(load16(s.data() + i + 3), ' ')));
    for (; pairs != 0; pairs &= pairs - 1) {
      const std::size_t k = i + std::countr_zero(pairs);
      if (spaced_pattern_at(s, k)) return k;
    }
  }
#endif
  for (; i + 11 <= s.size(); i += 8) {
    const std::uint64_t pairs =
        eq_lanes(load8(s.data() + i + 1), ' ') & eq_lanes(load8(s.data() + i + 3), ' ');
    if (pairs == 0) continue;
    for (std::size_t k = i; k < i + 8; ++k) {
      if (spaced_pattern_at(s, k)) return k;
    }
  }
  for (; i + 5 <= s.size(); ++i) {
    if (spaced_pattern_at(s, i)) return i;
  }
  return s.size();
}

template <class C>
bool collapse_spaced_letters(std::basic_string<C>& buf) {
  const std::basic_string_view<C> s(buf);
  const std::size_t n = s.size();
  InPlaceWriter<C> out(buf);
  bool collapsed = false;
  // Only where the pattern occurs can a run of three or more letters start;
  // everywhere else the text is copied unchanged. A collapsed run writes
  // fewer letters than it spans, so the character before the next candidate
  // is never overwritten before it is tested.
  std::size_t i = 0;
  while ((i = find_spaced_pattern(s, i)) < n) {
    // The pattern already guarantees the letters at i and i+2, the space
    // between them and the space at i+3.
    if (i > 0 && is_alnum(char_before(s, i))) {
      ++i;
      continue;
    }
    std::size_t k = i + 2;
    while (k < n) {
      if (char_of(s[k - 1]) != U' ' || !is_ascii_letter(char_of(s[k]))) break;
      if (k + 1 < n && char_of(s[k + 1]) != U' ' && is_alnum(char_at(s, k + 1))) break;
      k += 2;
    }
    if ((k - i) / 2 >= 3) {
      out.drop(i, k - 1 - i);
      for (std::size_t p = i; p < k; p += 2) out.put(s[p]);
      collapsed = true;
      i = k - 1;
    } else {
      ++i;
    }
  }
  out.finish();
  return collapsed;
}

// -- Whitespace and layout --

// First position at or after `i` (i >= 1) where the layout pass may change
// something or must change state: a whitespace character other than a space,
// a space after a space, a quote or a backtick. Everything in between is
// ordinary characters and single spaces, which the pass copies unchanged.
// (In UTF-8 the search also stops at the first byte of every character that
// may be White_Space beyond ASCII, so that the pass decodes it.)
std::size_t find_layout_trigger(std::u32string_view s, std::size_t i) {
  for (; i < s.size(); ++i) {
    const char32_t c = s[i];
    if ((c >= U'\t' && c <= U'\r') || c == U'"' || c == U'`' || (c == U' ' && s[i - 1] == U' ') ||
        (c >= 0x80 && is_white_space(c))) {
      return i;
    }
  }
  return s.size();
}
std::size_t find_layout_trigger(std::string_view s, std::size_t i) {
#ifdef VANTREL_SIXTEEN_BYTES
  for (; i + 16 <= s.size(); i += 16) {
    const __m128i w = load16(s.data() + i);
    const __m128i double_space = _mm_and_si128(eq16(w, ' '), eq16(load16(s.data() + i - 1), ' '));
    const __m128i hit =
        _mm_or_si128(_mm_or_si128(range16(w, '\t', '\r'), _mm_or_si128(eq16(w, '"'), eq16(w, '`'))),
                     _mm_or_si128(double_space, may_be_wide_white_space16(w)));
    if (const std::uint32_t hits = bits16(hit)) return i + std::countr_zero(hits);
  }
#endif
  for (; i + 8 <= s.size(); i += 8) {
    const std::uint64_t w = load8(s.data() + i);
    const std::uint64_t before = load8(s.data() + i - 1);
    const std::uint64_t hit = range_lanes(w, '\t', '\r') | eq_lanes(w, '"') | eq_lanes(w, '`') |
                              may_be_wide_white_space(w) |
                              (eq_lanes(w, ' ') & eq_lanes(before, ' '));
    if (hit != 0) break;
  }
  for (; i < s.size(); ++i) {
    const unsigned char c = byte_at(s, i);
    if ((c >= '\t' && c <= '\r') || c == '"' || c == '`' || may_be_wide_white_space(c) ||
        (c == ' ' && s[i - 1] == ' ')) {
      return i;
    }
  }
  return s.size();
}

template <class C>
std::size_t find_either(std::basic_string_view<C> s, std::size_t i, C a, C b) {
#ifdef VANTREL_SIXTEEN_BYTES
  if constexpr (sizeof(C) == 1) {
    for (; i + 16 <= s.size(); i += 16) {
      const __m128i w = load16(s.data() + i);
      if (const std::uint32_t hits = bits16(_mm_or_si128(eq16(w, a), eq16(w, b)))) {
        return i + std::countr_zero(hits);
      }
    }
  }
#endif
  while (i < s.size() && s[i] != a && s[i] != b) ++i;
  return i;
}

// Collapses whitespace runs to one space, drops leading whitespace of lines,
// trailing spaces before line feeds and blank lines; code fences and quoted
// strings are copied untouched.
template <class C, class Writer>
void layout_whitespace(std::basic_string_view<C> s, Writer& rw) {
  const std::size_t n = s.size();
  bool in_fence = false;
  bool in_string = false;
  bool escape_pending = false;
  bool prev_space = false;
  bool line_start = true;
  bool prev_newline = false;
  std::size_t i = 0;
  while (i < n) {
    const char32_t c = char_of(s[i]);
    if (in_string) {
      if (escape_pending) {
        escape_pending = false;
      } else if (c == U'"') {
        in_string = false;
      } else if (c == U'\\') {
        escape_pending = true;
      } else {
        i = find_either(s, i + 1, static_cast<C>('"'), static_cast<C>('\\'));
        continue;
      }
      ++i;
      continue;
    }
    if (c == U'`' && i + 2 < n && char_of(s[i + 1]) == U'`' && char_of(s[i + 2]) == U'`') {
      in_fence = !in_fence;
      prev_space = line_start = prev_newline = false;
      i += 3;
      continue;
    }
    if (in_fence) {
      i = find_either(s, i + 1, static_cast<C>('`'), static_cast<C>('`'));
      continue;
    }
    if (c == U'\n') {
      if (prev_space && rw.last_char(i) == U' ') rw.remove_last(i);
      if (prev_newline) rw.drop(i, 1);
      prev_newline = line_start = true;
      prev_space = false;
      ++i;
      continue;
    }
    if (c == U'"') {
      // The layout flags stay as they were before the string, also after it.
      in_string = true;
      ++i;
      continue;
    }
    // Only now does a whole character matter, not just its first byte.
    std::size_t length = 1;
    const char32_t whole = c < 0x80 ? c : char_at(s, i, length);
    if (is_white_space(whole)) {
      if (line_start || prev_space) {
        rw.drop(i, length);
      } else {
        if (whole != U' ') {
          rw.drop(i, length);
          rw.put(static_cast<C>(' '));
        }
        prev_space = true;
      }
      i += length;
      continue;
    }
    prev_space = line_start = prev_newline = false;
    const std::size_t next = find_layout_trigger(s, i + length);
    if (next > i + length) prev_space = char_of(s[next - 1]) == U' ';
    i = next;
  }
  if (rw.last_char(n) == U' ') rw.remove_last(n);
}

// Leetspeak and spaced letters over one representation, in place.
template <class C>
void undo_leetspeak_and_spacing(std::basic_string<C>& text, LayoutOutcome& r) {
  r.leetspeak_substitutions = undo_leetspeak(text);
  r.spaced_letters_collapsed = collapse_spaced_letters(text);
}

}  // namespace

bool is_ascii(std::string_view text) {
  // Many bytes at a time: an OR of all of them has a high bit set exactly
  // when some byte does.
  std::uint64_t acc = 0;
  std::size_t i = 0;
#ifdef VANTREL_SIXTEEN_BYTES
  __m128i any = _mm_setzero_si128();
  for (; i + 64 <= text.size(); i += 64) {
    const char* p = text.data() + i;
    any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(load16(p), load16(p + 16)),
                                         _mm_or_si128(load16(p + 32), load16(p + 48))));
  }
  if (any16(any)) return false;
#endif
  for (; i + 8 <= text.size(); i += 8) acc |= load8(text.data() + i);
  for (; i < text.size(); ++i) acc |= byte_at(text, i);
  return (acc & kHigh) == 0;
}

bool normalize_line_endings(std::string& text) {
  const std::size_t first = text.find('\r');
  if (first == std::string::npos) return false;
  const std::size_t n = text.size();
  std::size_t w = first;
  for (std::size_t r = first; r < n; ++r) {
    const char c = text[r];
    if (c == '\r') {
      text[w++] = '\n';
      if (r + 1 < n && text[r + 1] == '\n') ++r;
    } else {
      text[w++] = c;
    }
  }
  text.resize(w);
  return true;
}

std::uint64_t map_control_chars(std::string& text) {
  auto is_control = [](unsigned char b) {
    return (b < 0x20 && b != '\t' && b != '\n') || b == 0x7F;
  };
  // Most texts have none, and the rest few: each is found by skipping
  // sixteen or eight bytes at a time.
  const std::size_t n = text.size();
  std::uint64_t count = 0;
  for (std::size_t i = 0;; ++i) {
#ifdef VANTREL_SIXTEEN_BYTES
    for (; i + 16 <= n; i += 16) {
      const __m128i w = load16(text.data() + i);
      const __m128i below_space =
          _mm_andnot_si128(_mm_or_si128(eq16(w, '\t'), eq16(w, '\n')), range16(w, 0x00, 0x1F));
      if (const std::uint32_t hits = bits16(_mm_or_si128(below_space, eq16(w, 0x7F)))) {
        i += std::countr_zero(hits);
        break;
      }
    }
#endif
    for (; i + 8 <= n; i += 8) {
      const std::uint64_t w = load8(text.data() + i);
      const std::uint64_t below_space = ~ge_lanes(w, 0x20) & ~w & kHigh;
      const std::uint64_t controls =
          (below_space & ~eq_lanes(w, '\t') & ~eq_lanes(w, '\n')) | eq_lanes(w, 0x7F);
      if (controls != 0) break;
    }
    while (i < n && !is_control(byte_at(text, i))) ++i;
    if (i >= n) return count;
    text[i] = ' ';
    ++count;
  }
}

namespace {

// What to do with one non-ASCII character: drop `drop` bytes (0 keeps it)
// and put `insert` in their place (0 for nothing).
struct CharEdit {
  std::size_t drop = 0;
  char insert = 0;
};

// Applies `edit(text, at)` to every non-ASCII character, in place, in one
// pass; ASCII runs are skipped and moved down only after an edit. Returns
// the number of characters edited.
template <typename Edit>
std::uint64_t edit_non_ascii(std::string& text, Edit edit) {
  const std::size_t n = text.size();
  std::uint64_t count = 0;
  std::size_t w = 0;  // write position
  std::size_t r = 0;
  while (r < n) {
    const std::size_t next = find_non_ascii(text, r);
    const CharEdit e = next < n ? edit(text, next) : CharEdit{};
    const std::size_t keep_end = e.drop != 0 ? next : std::min(n, next + utf8_length(text, next));
    if (w != r) std::copy(text.begin() + r, text.begin() + keep_end, text.begin() + w);
    w += keep_end - r;
    r = keep_end;
    if (e.drop != 0) {
      if (e.insert != 0) text[w++] = e.insert;
      r += e.drop;
      ++count;
    }
  }
  text.resize(w);
  return count;
}

}  // namespace

std::uint64_t remove_invisible_chars(std::string& text) {
  return edit_non_ascii(text, [](const std::string& t, std::size_t at) {
    return CharEdit{invisible_length_at(t, at), 0};
  });
}

bool apply_nfkc(std::string& text) {
  // ICU takes 32-bit lengths; larger texts (far beyond any scan limit the
  // front end allows) are left as they are.
  if (text.size() > static_cast<std::size_t>(INT32_MAX) / 2) return false;
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
  const icu::Normalizer2* nfkd = icu::Normalizer2::getNFKDInstance(status);
  // Both come from the data built into the library; without them the text
  // passes through unnormalized rather than failing the scan.
  if (U_FAILURE(status)) return false;

  // Every ASCII character is its own normal form and has a normalization
  // boundary before it: the text before it and the text from it on normalize
  // independently. So only the pieces around characters beyond ASCII go to
  // ICU, each from the ASCII character before them (a following mark may
  // join it) up to the next ASCII character; pieces fewer than kJoinGap
  // bytes apart go together, to save calls.
  constexpr std::size_t kJoinGap = 64;
  const std::size_t n = text.size();
  std::string out;  // the normalized text up to `copied`, once a piece changed
  std::size_t copied = 0;
  bool changed = false;
  std::string decomposed;
  for (std::size_t next = find_non_ascii(text, 0); next < n;) {
    const std::size_t start = next > 0 ? next - 1 : 0;
    std::size_t end = find_ascii(text, next);
    while ((next = find_non_ascii(text, end)) < n && next - end < kJoinGap) {
      end = find_ascii(text, next);
    }
    const std::string_view piece = std::string_view(text).substr(start, end - start);
    std::string_view source = piece;
    if (has_long_nonstarter_run(piece, *nfkd)) {
      decomposed = ordered_decomposition(piece, *nfkd);
      source = decomposed;
    } else {
      const UBool normalized = nfkc->isNormalizedUTF8(piece_of(piece), status);
      if (U_FAILURE(status)) return false;
      if (normalized) continue;
    }
    if (copied == 0) out.reserve(n + n / 8);
    out.append(text, copied, start - copied);
    const std::size_t piece_at = out.size();
    icu::StringByteSink<std::string> sink(&out);
    nfkc->normalizeUTF8(0, piece_of(source), sink, nullptr, status);
    if (U_FAILURE(status)) return false;
    changed = changed || std::string_view(out).substr(piece_at) != piece;
    copied = end;
  }
  if (!changed) return false;
  out.append(text, copied, n - copied);
  text = std::move(out);
  return true;
}

std::uint64_t replace_confusables(std::string& text) {
  return edit_non_ascii(text, [](const std::string& t, std::size_t at) {
    // Every confusable is a two-byte character that becomes one ASCII letter.
    if (at + 1 >= t.size() || byte_at(t, at) < kConfusableLeadFirst ||
        byte_at(t, at) > kConfusableLeadLast) {
      return CharEdit{};
    }
    const char32_t c =
        (static_cast<char32_t>(byte_at(t, at) & 0x1F) << 6) | (byte_at(t, at + 1) & 0x3F);
    const char ascii = confusable_ascii(c);
    return ascii != 0 ? CharEdit{2, ascii} : CharEdit{};
  });
}

LayoutOutcome rewrite_layout(std::string text) {
  LayoutOutcome r;
  undo_leetspeak_and_spacing(text, r);
  InPlaceWriter<char> out(text);
  layout_whitespace(std::string_view(text), out);
  out.finish();
  r.text = std::move(text);
  return r;
}

LayoutOutcome rewrite_layout_by_code_points(std::string_view text) {
  LayoutOutcome r;
  std::u32string cps;
  cps.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) cps.push_back(utf8::next(text, i));
  undo_leetspeak_and_spacing(cps, r);
  Utf8Writer out(cps, r.text);
  layout_whitespace(std::u32string_view(cps), out);
  out.finish();
  return r;
}

}  // namespace vantrel_core::normalize_steps
