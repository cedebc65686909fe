#include "evasion.h"

#include <algorithm>

#include "fnv.h"
#include "utf8.h"

namespace vantrel_tools {

namespace {

struct Named {
  Evasion evasion;
  const char* name;
};

constexpr Named kNames[] = {
    {Evasion::TagCharacters, "tag"},    {Evasion::ReversedBidi, "bidi"},
    {Evasion::DottedLetters, "dots"},   {Evasion::HyphenLetters, "hyphens"},
    {Evasion::EmojiLetters, "emoji"},   {Evasion::SwappedLetters, "swaps"},
    {Evasion::BrokenLines, "linebreaks"},
};

// Sentences an attacker might put in front of hidden text; one is picked by
// the text's hash.
constexpr const char* kCover[] = {
    "Please summarise the following article in two sentences.",
    "What is a good recipe for a vegetable soup?",
    "Can you help me plan a weekend trip to the mountains?",
};

bool is_letter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

std::string hidden_behind_cover(std::string_view text, Evasion e, std::uint64_t h) {
  std::string out = kCover[h % std::size(kCover)];
  out += ' ';
  if (e == Evasion::TagCharacters) {
    // Tag characters carry printable ASCII only; other characters are kept.
    for (std::size_t i = 0; i < text.size();) {
      const char32_t c = vantrel_core::utf8::next(text, i);
      vantrel_core::utf8::append(out, c >= 0x20 && c <= 0x7E ? 0xE0000 + c : c);
    }
    return out;
  }
  std::vector<char32_t> cps;
  for (std::size_t i = 0; i < text.size();) cps.push_back(vantrel_core::utf8::next(text, i));
  // A right-to-left override ends at a line break, so each line is reversed
  // behind its own override (a carriage return before a line feed belongs to
  // the break, not to the line).
  std::size_t begin = 0;
  while (begin <= cps.size()) {
    std::size_t end = begin;
    while (end < cps.size() && cps[end] != '\n') ++end;
    const std::size_t line_end = end > begin && cps[end - 1] == '\r' ? end - 1 : end;
    vantrel_core::utf8::append(out, 0x202E);
    for (std::size_t k = line_end; k > begin; --k) vantrel_core::utf8::append(out, cps[k - 1]);
    vantrel_core::utf8::append(out, 0x202C);
    if (end == cps.size()) break;
    out += line_end < end ? "\r\n" : "\n";
    begin = end + 1;
  }
  return out;
}

// Rewrites one word of ASCII letters.
void disguise_word(std::string_view word, Evasion e, std::string& out) {
  switch (e) {
    case Evasion::DottedLetters:
    case Evasion::HyphenLetters:
    case Evasion::EmojiLetters: {
      const char* sep = e == Evasion::DottedLetters ? "." : e == Evasion::HyphenLetters ? "-" : "\xF0\x9F\x94\xA5";
      for (std::size_t i = 0; i < word.size(); ++i) {
        if (i > 0) out += sep;
        out += word[i];
      }
      return;
    }
    case Evasion::SwappedLetters: {
      std::string w(word);
      const std::size_t at = 1 + (w.size() - 3) / 2;  // an inner pair
      std::swap(w[at], w[at + 1]);
      out += w;
      return;
    }
    case Evasion::BrokenLines:
      out += word.substr(0, word.size() / 2);
      out += '\n';
      out += word.substr(word.size() / 2);
      return;
    default:
      out += word;
  }
}

}  // namespace

const std::vector<Evasion>& all_evasions() {
  static const std::vector<Evasion> all = [] {
    std::vector<Evasion> v;
    for (const Named& n : kNames) v.push_back(n.evasion);
    return v;
  }();
  return all;
}

const char* evasion_name(Evasion e) {
  for (const Named& n : kNames) {
    if (n.evasion == e) return n.name;
  }
  return "?";
}

std::optional<Evasion> parse_evasion(std::string_view name) {
  for (const Named& n : kNames) {
    if (name == n.name) return n.evasion;
  }
  return std::nullopt;
}

std::string evade(std::string_view text, Evasion e) {
  const std::uint64_t h = vantrel_core::fnv1a(text);
  if (e == Evasion::TagCharacters || e == Evasion::ReversedBidi) return hidden_behind_cover(text, e, h);
  std::string out;
  out.reserve(text.size() * 2);
  std::size_t i = 0, word_no = 0;
  while (i < text.size()) {
    if (!is_letter(text[i])) {
      out += text[i++];
      continue;
    }
    std::size_t j = i;
    while (j < text.size() && is_letter(text[j])) ++j;
    const std::string_view word = text.substr(i, j - i);
    // Only whole words: a run of letters glued to digits or other scripts is kept.
    const bool whole = (j == text.size() || static_cast<unsigned char>(text[j]) < 0x80);
    if (whole && word.size() >= 4 && (mix(h + word_no) & 1) == 0) {
      disguise_word(word, e, out);
    } else {
      out += word;
    }
    ++word_no;
    i = j;
  }
  return out;
}

}  // namespace vantrel_tools
