#include "stats.h"

#include <array>
#include <cstddef>
#include <cstring>
#include <string>

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

// Number of decimal digits of n (1 for 0).
std::size_t decimal_digits(std::size_t n) {
  std::size_t d = 1;
  while (n >= 10) {
    n /= 10;
    ++d;
  }
  return d;
}

// Size of the text written as (count, byte) runs, relative to its length.
double run_length_ratio(std::string_view text) {
  std::size_t cost = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t j = i + 1;
    while (j < text.size() && text[j] == text[i]) ++j;
    cost += decimal_digits(j - i) + 1;
    i = j;
  }
  return static_cast<double>(cost) / static_cast<double>(text.size());
}

struct ClassCounts {
  std::size_t letters = 0;  // ASCII letters only
  std::size_t upper = 0;    // A-Z
  std::size_t digits = 0;   // 0-9
  std::size_t spaces = 0;   // Unicode White_Space
  std::size_t symbols = 0;  // everything else, non-ASCII letters included
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

// Classifies every character; malformed UTF-8 bytes count as symbols.
ClassCounts count_classes(std::string_view text) {
  std::array<std::size_t, 5> n{};
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      ++n[kAsciiClass[b]];
      ++i;
    } else {
      ++n[is_unicode_whitespace(utf8::next_lenient(text, i)) ? kSpace : kSymbol];
    }
  }
  ClassCounts c;
  c.upper = n[kUpper];
  c.letters = n[kLower] + n[kUpper];
  c.digits = n[kDigit];
  c.spaces = n[kSpace];
  c.symbols = n[kSymbol];
  return c;
}

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
