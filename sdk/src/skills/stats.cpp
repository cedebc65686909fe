#include "stats.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "byte_blocks.h"
#include "utf8.h"
#include "vantrel/text.h"

namespace vantrel_core {

namespace {

// Shorter texts are too small for their shape to mean anything.
constexpr std::size_t kMinLength = 24;

// Role markers are "<word>:" and "<|<word>|>"; both forms are found by
// anchoring on ':' and on "<|" rather than trying nine strings at every byte.
constexpr std::array<std::string_view, 5> kColonRoles = {"system", "user", "assistant", "tool",
                                                         "developer"};
constexpr std::array<std::string_view, 4> kTemplateRoles = {"system", "user", "assistant", "tool"};

// Lower-cases A-Z only; every other byte is returned unchanged.
char fold_ascii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when text[pos, pos + word.size()) equals the lower-case word, ignoring
// ASCII case only.
bool matches_folded(std::string_view text, std::size_t pos, std::string_view word) {
  if (pos > text.size() || word.size() > text.size() - pos) return false;
  for (std::size_t k = 0; k < word.size(); ++k) {
    if (fold_ascii(text[pos + k]) != word[k]) return false;
  }
  return true;
}

// True when any of the nine chat-template role markers occurs, ASCII case
// ignored. memchr finds the anchors, so prose without ':' or '<' costs two
// vectorised passes.
bool has_role_marker(std::string_view text) {
  if (text.empty()) return false;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* p = begin;
       (p = static_cast<const char*>(std::memchr(p, ':', static_cast<std::size_t>(end - p))));
       ++p) {
    const auto i = static_cast<std::size_t>(p - begin);
    for (std::string_view role : kColonRoles) {
      if (i >= role.size() && matches_folded(text, i - role.size(), role)) return true;
    }
  }
  for (const char* p = begin;
       (p = static_cast<const char*>(std::memchr(p, '<', static_cast<std::size_t>(end - p))));
       ++p) {
    const auto i = static_cast<std::size_t>(p - begin);
    if (i + 1 >= text.size() || text[i + 1] != '|') continue;
    for (std::string_view role : kTemplateRoles) {
      const std::size_t close = i + 2 + role.size();
      if (matches_folded(text, i + 2, role) && close + 1 < text.size() && text[close] == '|' &&
          text[close + 1] == '>') {
        return true;
      }
    }
  }
  return false;
}

// A run of n bytes costs n's decimal digits plus one: 2, and one more for
// each of 10, 100, 1000, ... that n reaches. So the cost is twice the number
// of runs plus the number of positions where a run reaches such a length.
class RunLengthCost {
 public:
  // Byte `b` follows the bytes seen so far.
  void add(unsigned char b) {
    if (runs_ == 0 || b != last_) {
      ++runs_;
      run_ = 1;
      next_power_ = 10;
    } else if (++run_ == next_power_) {
      ++reached_;
      next_power_ *= 10;
    }
    last_ = b;
  }

  // Sixty-four bytes at once: bit k of `same` tells whether byte k equals
  // the byte before it (the block's first byte is compared with the last
  // one seen, so at least one byte has been added before). `last` is the
  // block's last byte.
  void add_block(std::uint64_t same, unsigned char last) {
    runs_ += 64 - static_cast<std::uint64_t>(std::popcount(same));
    // The run in progress grows by the block's leading equal bytes.
    const int lead = std::countr_one(same);
    run_ += static_cast<std::uint64_t>(lead);
    while (run_ >= next_power_) {
      ++reached_;
      next_power_ *= 10;
    }
    last_ = last;
    if (lead == 64) return;
    // Runs starting inside the block are shorter than 65 bytes, so of the
    // lengths that cost a digit only 10 can be reached: where nine equal
    // bytes in a row end, but not ten.
    const std::uint64_t inner = same & (~std::uint64_t{0} << lead);
    const std::uint64_t two = inner & inner << 1;
    const std::uint64_t four = two & two << 2;
    const std::uint64_t eight = four & four << 4;
    const std::uint64_t nine = eight & inner << 8;
    const std::uint64_t ten = eight & two << 8;
    reached_ += static_cast<std::uint64_t>(std::popcount(nine & ~ten));
    run_ = static_cast<std::uint64_t>(std::countl_one(same)) + 1;
    next_power_ = run_ >= 10 ? 100 : 10;
  }

  std::uint64_t cost() const { return 2 * runs_ + reached_; }

 private:
  std::uint64_t runs_ = 0;
  std::uint64_t reached_ = 0;
  std::uint64_t run_ = 0;  // length of the run in progress
  std::uint64_t next_power_ = 10;
  unsigned char last_ = 0;
};

enum AsciiClass : unsigned char { kLower, kUpper, kDigit, kSpace, kSymbol };

// Class of every ASCII byte, so the common case needs one lookup, not a chain
// of comparisons.
constexpr std::array<unsigned char, 128> kAsciiClass = [] {
  std::array<unsigned char, 128> t{};
  for (int b = 0; b < 128; ++b) {
    if (b >= 'a' && b <= 'z') {
      t[b] = kLower;
    } else if (b >= 'A' && b <= 'Z') {
      t[b] = kUpper;
    } else if (b >= '0' && b <= '9') {
      t[b] = kDigit;
    } else if (b == ' ' || (b >= '\t' && b <= '\r')) {  // ASCII White_Space
      t[b] = kSpace;
    } else {
      t[b] = kSymbol;
    }
  }
  return t;
}();

// At most one signal of each kind.
constexpr std::size_t kMaxSignals = 5;

// Appends a ratio signal whose description prints the value with two decimals.
void emit(SkillOutput& out, const char* type, const char* prefix, double value, const char* suffix,
          double lr) {
  if (out.signals.empty()) out.signals.reserve(kMaxSignals);
  std::string desc(prefix);
  desc.reserve(desc.size() + 24 + std::char_traits<char>::length(suffix));
  append_fixed(desc, value, 2);
  desc += suffix;
  Signal sig("stats", type, std::move(desc), lr);
  sig.raw_score = value;
  out.signals.push_back(std::move(sig));
}

}  // namespace

double run_length_ratio(std::string_view text) {
  RunLengthCost cost;
  std::size_t i = 0;
#ifdef VANTREL_SIXTEEN_BYTES
  if (!text.empty()) cost.add(static_cast<unsigned char>(text[i++]));
  // Bytes equal to the byte before them, sixteen at a time.
  auto same16 = [](const char* p) { return _mm_cmpeq_epi8(load16(p), load16(p - 1)); };
  for (; i + 64 <= text.size(); i += 64) {
    const char* p = text.data() + i;
    const std::uint64_t same = static_cast<std::uint64_t>(bits16(same16(p))) |
                               static_cast<std::uint64_t>(bits16(same16(p + 16))) << 16 |
                               static_cast<std::uint64_t>(bits16(same16(p + 32))) << 32 |
                               static_cast<std::uint64_t>(bits16(same16(p + 48))) << 48;
    cost.add_block(same, static_cast<unsigned char>(p[63]));
  }
#endif
  for (; i < text.size(); ++i) cost.add(static_cast<unsigned char>(text[i]));
  return static_cast<double>(cost.cost()) / static_cast<double>(text.size());
}

// Classifies every character; malformed UTF-8 bytes count as symbols.
ClassCounts count_classes(std::string_view text) {
  std::array<std::size_t, 5> n{};
  std::size_t i = 0;
  // One character, decoded where it is not ASCII.
  auto count_one = [&] {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++n[kAsciiClass[b]];
      ++i;
    } else {
      ++n[is_unicode_whitespace(utf8::next_lenient(text, i)) ? kSpace : kSymbol];
    }
  };
#ifdef VANTREL_SIXTEEN_BYTES
  // ASCII stretches sixteen bytes at a time, by the same classes as the table.
  while (i + 16 <= text.size()) {
    const __m128i w = load16(text.data() + i);
    if (any16(w)) {
      // A character beyond ASCII: this block one character at a time.
      const std::size_t end = i + 16;
      while (i < end) count_one();  // count_one advances i
      continue;
    }
    const std::uint32_t lower = bits16(range16(w, 'a', 'z'));
    const std::uint32_t upper = bits16(range16(w, 'A', 'Z'));
    const std::uint32_t digit = bits16(range16(w, '0', '9'));
    const std::uint32_t space = bits16(_mm_or_si128(range16(w, '\t', '\r'), eq16(w, ' ')));
    n[kLower] += static_cast<std::size_t>(std::popcount(lower));
    n[kUpper] += static_cast<std::size_t>(std::popcount(upper));
    n[kDigit] += static_cast<std::size_t>(std::popcount(digit));
    n[kSpace] += static_cast<std::size_t>(std::popcount(space));
    n[kSymbol] += 16 - static_cast<std::size_t>(std::popcount(lower | upper | digit | space));
    i += 16;
  }
#endif
  while (i < text.size()) count_one();
  ClassCounts c;
  c.upper = n[kUpper];
  c.letters = n[kLower] + n[kUpper];
  c.digits = n[kDigit];
  c.spaces = n[kSpace];
  c.symbols = n[kSymbol];
  return c;
}


SkillOutput StatsSkill::scan(std::string_view text) const {
  SkillOutput out;
  if (text.size() < kMinLength) return out;

  const double rle = run_length_ratio(text);
  if (rle <= 0.4) {
    const double lr = rle <= 0.22 ? 20.0 : rle <= 0.3 ? 8.0 : 3.0;
    emit(out, "compression_ratio", "RLE compression ratio ", rle, " indicates repetitive payload",
         lr);
    out.threat_type = ThreatType::EncodingAttack;
  }

  const ClassCounts c = count_classes(text);
  std::size_t total = c.letters + c.digits + c.spaces + c.symbols;
  if (total == 0) total = 1;
  const double digit_ratio = static_cast<double>(c.digits) / static_cast<double>(total);
  const double symbol_ratio = static_cast<double>(c.symbols) / static_cast<double>(total);
  const double upper_ratio =
      static_cast<double>(c.upper) / static_cast<double>(c.letters == 0 ? 1 : c.letters);
  if (digit_ratio >= 0.35) {
    emit(out, "digit_ratio", "Digit ratio ", digit_ratio, " elevated",
         digit_ratio >= 0.45 ? 12.0 : 4.0);
  }
  if (symbol_ratio >= 0.25) {
    emit(out, "symbol_ratio", "Symbol ratio ", symbol_ratio, " elevated",
         symbol_ratio >= 0.35 ? 8.0 : 3.0);
  }
  if (upper_ratio >= 0.6) {
    emit(out, "uppercase_ratio", "Uppercase ratio ", upper_ratio, " elevated",
         upper_ratio >= 0.75 ? 7.0 : 3.0);
  }

  if (has_role_marker(text)) {
    Signal sig("stats", "role_token", "Role token markers detected", 5.0);
    sig.raw_score = 1.0;
    out.signals.push_back(std::move(sig));
    out.threat_type = ThreatType::PromptInjection;
  }
  return out;
}

}  // namespace vantrel_core
