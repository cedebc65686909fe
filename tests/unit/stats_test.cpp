#include "skills/stats.h"

#include <gtest/gtest.h>
#include <unicode/uchar.h>

#include <cctype>
#include <random>
#include <string>
#include <vector>

#include "utf8.h"

namespace vantrel_core {
namespace {

const StatsSkill kSkill;

// Runs of the given lengths, each of a letter different from its neighbours.
std::string runs(const std::vector<std::size_t>& lengths) {
  std::string s;
  for (std::size_t i = 0; i < lengths.size(); ++i)
    s.append(lengths[i], static_cast<char>('a' + i % 26));
  return s;
}

// `marked` characters from `pool` followed by lower-case letters, `total` in
// all; no two neighbours are equal, so nothing is repetitive.
std::string mix(std::string_view pool, std::size_t marked, std::size_t total) {
  std::string s;
  for (std::size_t i = 0; i < marked; ++i) s += pool[i % pool.size()];
  for (std::size_t i = marked; i < total; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kSymbols = "!#$%&*+-./=?@^_~";
constexpr std::string_view kCapitals = "ABCDEFGHIJKLMNOPQRSTUVWXYZ";

std::vector<std::string> types(const SkillOutput& out) {
  std::vector<std::string> t;
  for (const Signal& s : out.signals) t.push_back(s.signal_type);
  return t;
}

const Signal* find(const SkillOutput& out, std::string_view type) {
  for (const Signal& s : out.signals) {
    if (s.signal_type == type) return &s;
  }
  return nullptr;
}

using Types = std::vector<std::string>;

TEST(StatsSkill, TextsShorterThanTwentyFourBytesAreNotJudged) {
  EXPECT_EQ(kSkill.name(), "stats");
  EXPECT_EQ(kSkill.tier(), 1);
  const std::string short_text = "system: " + std::string(15, 'a');
  ASSERT_EQ(short_text.size(), 23u);
  EXPECT_TRUE(kSkill.scan(short_text).signals.empty());
  const SkillOutput out = kSkill.scan(short_text + "a");
  EXPECT_EQ(types(out), Types{"role_token"});
  EXPECT_EQ(out.threat_type, ThreatType::PromptInjection);
  // The gate counts bytes: 12 two-byte letters pass, 11 do not.
  std::string accented;
  for (int i = 0; i < 11; ++i) accented += "\u00E9";
  EXPECT_TRUE(kSkill.scan(accented).signals.empty());
  EXPECT_EQ(types(kSkill.scan(accented + "\u00E9")), Types{"symbol_ratio"});
}

TEST(StatsSkill, TwentyFourCapitals) {
  const SkillOutput out = kSkill.scan(std::string(24, 'A'));
  ASSERT_EQ(types(out), (Types{"compression_ratio", "uppercase_ratio"}));
  const Signal& c = out.signals[0];
  EXPECT_EQ(c.skill, "stats");
  EXPECT_EQ(*c.raw_score, 0.125);
  EXPECT_EQ(c.likelihood_ratio, 20.0);
  EXPECT_EQ(c.description,
            "RLE compression ratio 0.12 indicates repetitive payload");  // half to even
  EXPECT_FALSE(c.offset);
  const Signal& u = out.signals[1];
  EXPECT_EQ(*u.raw_score, 1.0);
  EXPECT_EQ(u.likelihood_ratio, 7.0);
  EXPECT_EQ(u.description, "Uppercase ratio 1.00 elevated");
  EXPECT_EQ(out.threat_type, ThreatType::EncodingAttack);
  EXPECT_FALSE(out.normalized_text);
  EXPECT_FALSE(out.normalization);
}

TEST(StatsSkill, RunLengthBoundsAreInclusive) {
  struct Case {
    std::vector<std::size_t> lengths;
    double ratio;
    double lr;  // 0: no signal
  };
  const std::vector<Case> cases = {
      {{14, 9, 9, 9, 9}, 0.22, 20.0},                                            // 11 / 50
      {{14, 6, 6, 6, 6, 6, 6}, 0.3, 8.0},                                        // 15 / 50
      {{5, 5, 5, 5, 5}, 0.4, 3.0},                                               // 10 / 25
      {{10, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 5, 4, 4, 4, 4, 4}, 0.41, 0},  // 41 / 100
  };
  for (const Case& c : cases) {
    const std::string text = runs(c.lengths);
    const SkillOutput out = kSkill.scan(text);
    const Signal* s = find(out, "compression_ratio");
    if (c.lr == 0) {
      EXPECT_EQ(s, nullptr) << text;
      EXPECT_EQ(out.threat_type, ThreatType::Benign);
      continue;
    }
    ASSERT_NE(s, nullptr) << text;
    EXPECT_EQ(*s->raw_score, c.ratio) << text;
    EXPECT_EQ(s->likelihood_ratio, c.lr) << text;
    EXPECT_EQ(out.threat_type, ThreatType::EncodingAttack);
  }
  EXPECT_EQ(find(kSkill.scan(runs({5, 5, 5, 5, 5})), "compression_ratio")->description,
            "RLE compression ratio 0.40 indicates repetitive payload");
}

TEST(StatsSkill, CharacterRatioBoundsAreInclusive) {
  struct Case {
    std::string_view pool;
    std::size_t marked;
    const char* type;
    double lr;  // 0: no signal
    const char* description;
  };
  const std::vector<Case> cases = {
      {kDigits, 34, "digit_ratio", 0, nullptr},
      {kDigits, 35, "digit_ratio", 4.0, "Digit ratio 0.35 elevated"},
      {kDigits, 45, "digit_ratio", 12.0, "Digit ratio 0.45 elevated"},
      {kSymbols, 24, "symbol_ratio", 0, nullptr},
      {kSymbols, 25, "symbol_ratio", 3.0, "Symbol ratio 0.25 elevated"},
      {kSymbols, 35, "symbol_ratio", 8.0, "Symbol ratio 0.35 elevated"},
      {kCapitals, 59, "uppercase_ratio", 0, nullptr},
      {kCapitals, 60, "uppercase_ratio", 3.0, "Uppercase ratio 0.60 elevated"},
      {kCapitals, 75, "uppercase_ratio", 7.0, "Uppercase ratio 0.75 elevated"},
  };
  for (const Case& c : cases) {
    const SkillOutput out = kSkill.scan(mix(c.pool, c.marked, 100));
    if (c.lr == 0) {
      EXPECT_TRUE(out.signals.empty()) << c.type << " " << c.marked;
      continue;
    }
    ASSERT_EQ(types(out), Types{c.type}) << c.marked;
    EXPECT_EQ(out.signals[0].likelihood_ratio, c.lr);
    EXPECT_EQ(*out.signals[0].raw_score, static_cast<double>(c.marked) / 100.0);
    EXPECT_EQ(out.signals[0].description, c.description);
    EXPECT_EQ(out.threat_type, ThreatType::Benign);  // ratios do not name a threat
  }
}

TEST(StatsSkill, OnlyAsciiCountsAsLettersAndDigits) {
  // Cyrillic letters are symbols; the spaces between words are not.
  const SkillOutput out = kSkill.scan(
      "\u041f\u0440\u0438\u0432\u0435\u0442 \u043c\u0438\u0440 "
      "\u043a\u0430\u043a \u0434\u0435\u043b\u0430");
  const Signal* s = find(out, "symbol_ratio");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(*s->raw_score, 16.0 / 19.0);
  // Arabic-Indic digits are symbols too, not digits.
  std::string indic;
  for (int i = 0; i < 12; ++i) indic += i % 2 ? "\u0663" : "\u0664";
  EXPECT_EQ(types(kSkill.scan(indic)), Types{"symbol_ratio"});
  // Non-ASCII White_Space characters are whitespace.
  std::string spaced;
  for (int i = 0; i < 10; ++i) spaced += std::string(1, static_cast<char>('a' + i)) + "\u00A0";
  spaced += "\u3000klmn";
  EXPECT_TRUE(kSkill.scan(spaced).signals.empty());
  // Non-ASCII capitals are symbols: they count in neither side of the uppercase ratio.
  EXPECT_EQ(*find(kSkill.scan(std::string("\u00C9\u00C9\u00C9") + mix(kCapitals, 18, 24)),
                  "uppercase_ratio")
                 ->raw_score,
            18.0 / 24.0);
}

TEST(StatsSkill, AsciiWhitespaceAgreesWithUnicodeProperty) {
  for (int b = 0; b < 0x80; ++b) {
    if (std::isalnum(b)) continue;
    std::string text;
    for (int i = 0; i < 12; ++i) text += std::string("a") + static_cast<char>(b);
    const Signal* s = find(kSkill.scan(text), "symbol_ratio");
    EXPECT_EQ(s == nullptr, u_isUWhiteSpace(b) != 0) << b;
  }
}

TEST(StatsSkill, InvalidUtf8BytesAreSymbols) {
  const SkillOutput out = kSkill.scan(std::string(23, '\xFF') + "\xE2");
  EXPECT_EQ(*find(out, "symbol_ratio")->raw_score, 1.0);
}

TEST(StatsSkill, RoleMarkersIgnoreAsciiCaseOnly) {
  const std::string filler = "the quick brown fox says ";
  for (const char* marker :
       {"system:", "SYSTEM:", "System:", "user:", "Assistant:", "tool:", "developer:", "<|system|>",
        "<|System|>", "<|USER|>", "<|assistant|>", "<|tool|>"}) {
    for (const std::string& text : {filler + marker, marker + filler, filler + marker + filler}) {
      const SkillOutput out = kSkill.scan(text);
      const Signal* s = find(out, "role_token");
      ASSERT_NE(s, nullptr) << text;
      EXPECT_EQ(s->description, "Role token markers detected");
      EXPECT_EQ(*s->raw_score, 1.0);
      EXPECT_EQ(s->likelihood_ratio, 5.0);
      EXPECT_EQ(out.threat_type, ThreatType::PromptInjection);
    }
  }
  for (const char* near_miss : {"system :", "systems;", "<|system|", "<| system|>", "<|developer|>",
                                "<system>", "\u017Fystem:", "tool\u00A0:", "|system|>"}) {
    EXPECT_EQ(find(kSkill.scan(filler + near_miss), "role_token"), nullptr) << near_miss;
  }
}

TEST(StatsSkill, RoleTokenOverridesTheCompressionThreat) {
  const SkillOutput out = kSkill.scan("user: " + std::string(40, 'z'));  // 15 / 46
  EXPECT_EQ(types(out), (Types{"compression_ratio", "role_token"}));
  EXPECT_EQ(out.threat_type, ThreatType::PromptInjection);
}

// The measures one byte or character at a time, as first written: the
// reference for the versions that take sixteen or sixty-four bytes at once.
double reference_run_length_ratio(std::string_view text) {
  std::size_t cost = 0;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t j = i + 1;
    while (j < text.size() && text[j] == text[i]) ++j;
    cost += std::to_string(j - i).size() + 1;
    i = j;
  }
  return static_cast<double>(cost) / static_cast<double>(text.size());
}

ClassCounts reference_class_counts(std::string_view text) {
  ClassCounts c;
  for (std::size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b >= 0x80) {
      (u_isUWhiteSpace(static_cast<UChar32>(utf8::next_lenient(text, i))) ? c.spaces : c.symbols)++;
      continue;
    }
    ++i;
    if (std::isalpha(b)) {
      ++c.letters;
      if (std::isupper(b)) ++c.upper;
    } else if (std::isdigit(b)) {
      ++c.digits;
    } else if (b == ' ' || (b >= '\t' && b <= '\r')) {
      ++c.spaces;
    } else {
      ++c.symbols;
    }
  }
  return c;
}

// Texts of runs, mostly short, some reaching 9 to 11, 99 to 101 or over a
// thousand bytes; of ASCII classes, White_Space beyond ASCII, other
// characters beyond ASCII and stray bytes of broken UTF-8.
std::string random_shaped_text(std::mt19937_64& rng) {
  static const std::vector<std::string> units = {
      "a", "Z", "7", " ", "\t", "\r", ".", "~", "\x7F", std::string(1, '\0'), "\u00A0", "\u0085",
      "\u3000", "\u2028", "\u00E9", "\u4E2D", "\U0001F600", "\xFF", "\xE2\x80", "\xC2", "\x80"};
  std::string text;
  const std::size_t pieces = rng() % 4 == 0 ? rng() % 400 : rng() % 40;
  for (std::size_t p = 0; p < pieces; ++p) {
    const std::string& u = units[rng() % units.size()];
    std::size_t repeat = 1 + rng() % 3;
    switch (rng() % 12) {
      case 0: repeat = 9 + rng() % 3; break;
      case 1: repeat = 99 + rng() % 3; break;
      case 2: repeat = 1000 + rng() % 60; break;
      default: break;
    }
    for (std::size_t r = 0; r < repeat; ++r) text += u;
  }
  return text;
}

TEST(StatsMeasures, BlockwiseAsTheCharacterByCharacterReference) {
  std::mt19937_64 rng(0x57A75);
  for (int round = 0; round < 6000; ++round) {
    const std::string text = random_shaped_text(rng);
    if (text.empty()) continue;
    ASSERT_EQ(run_length_ratio(text), reference_run_length_ratio(text)) << round;
    const ClassCounts got = count_classes(text);
    const ClassCounts want = reference_class_counts(text);
    ASSERT_EQ(got.letters, want.letters) << round;
    ASSERT_EQ(got.upper, want.upper) << round;
    ASSERT_EQ(got.digits, want.digits) << round;
    ASSERT_EQ(got.spaces, want.spaces) << round;
    ASSERT_EQ(got.symbols, want.symbols) << round;
  }
  // Runs of every length from 1 to 130, at every offset within a block.
  for (std::size_t len = 1; len <= 130; ++len) {
    for (std::size_t offset = 0; offset < 64; offset += 7) {
      const std::string text = std::string(offset, 'x') + std::string(len, 'y') + "xz";
      ASSERT_EQ(run_length_ratio(text), reference_run_length_ratio(text)) << len << " " << offset;
    }
  }
}

}  // namespace
}  // namespace vantrel_core
