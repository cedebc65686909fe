#include "skills/entropy.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "vantrel/text.h"

namespace vantrel_core {
namespace {

// n distinct printable bytes, each once.
std::string distinct_bytes(std::size_t n) {
  std::string s;
  for (std::size_t i = 0; i < n; ++i) s += static_cast<char>('!' + i);
  return s;
}

const EntropySkill kSkill;  // the scanner's settings

TEST(ByteEntropy, IsShannonEntropyInBitsPerByte) {
  EXPECT_EQ(byte_entropy(""), 0.0);
  EXPECT_EQ(byte_entropy(std::string(1000, 'x')), 0.0);
  EXPECT_EQ(byte_entropy("abab"), 1.0);
  EXPECT_EQ(byte_entropy(distinct_bytes(16)), 4.0);
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  EXPECT_EQ(byte_entropy(all), 8.0);
}

TEST(EntropySkill, ShortOrLowEntropyTextsGiveNothing) {
  EXPECT_EQ(kSkill.name(), "entropy");
  EXPECT_EQ(kSkill.tier(), 1);
  for (const std::string& text :
       {distinct_bytes(15), distinct_bytes(16), std::string(4096, 'a'), std::string("")}) {
    const SkillOutput out = kSkill.scan(text);
    EXPECT_TRUE(out.signals.empty()) << text.size();
    EXPECT_EQ(out.threat_type, ThreatType::Benign);
    EXPECT_FALSE(out.normalized_text);
    EXPECT_FALSE(out.normalization);
  }
}

TEST(EntropySkill, ElevatedSignalBelowThirtyTwoBytes) {
  for (std::size_t n : {24u, 31u}) {
    const SkillOutput out = kSkill.scan(distinct_bytes(n));
    ASSERT_EQ(out.signals.size(), 1u) << n;
    const Signal& s = out.signals[0];
    EXPECT_EQ(s.skill, "entropy");
    EXPECT_EQ(s.signal_type, "suspicious_entropy");  // 31 bytes: too short for "high"
    EXPECT_EQ(s.likelihood_ratio, 10.0);
    EXPECT_NEAR(*s.raw_score, std::log2(static_cast<double>(n)), 1e-12);
    EXPECT_FALSE(s.offset);
    EXPECT_EQ(out.threat_type, ThreatType::EncodingAttack);
  }
  EXPECT_EQ(
      kSkill.scan(distinct_bytes(24)).signals[0].description,
      "Elevated entropy detected: 4.58 bits/char (threshold: 4.5). May indicate obfuscation.");
}

TEST(EntropySkill, HighSignalIncludesItsBound) {
  SkillOutput out = kSkill.scan(distinct_bytes(32));
  ASSERT_EQ(out.signals.size(), 1u);
  EXPECT_EQ(out.signals[0].signal_type, "high_entropy");
  EXPECT_EQ(out.signals[0].likelihood_ratio, 25.0);
  EXPECT_EQ(*out.signals[0].raw_score, 5.0);
  EXPECT_EQ(out.signals[0].description,
            "Very high entropy detected: 5.00 bits/char (threshold: 5.0). "
            "Likely obfuscated or encoded content.");

  const std::string b64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  out = kSkill.scan(b64);
  ASSERT_EQ(out.signals.size(), 1u);
  EXPECT_EQ(out.signals[0].signal_type, "high_entropy");
  EXPECT_EQ(*out.signals[0].raw_score, 6.0);
  EXPECT_EQ(out.threat_type, ThreatType::EncodingAttack);
}

TEST(EntropySkill, LongTextBetweenTheThresholdsIsElevated) {
  // 24 distinct bytes, each twice: 48 bytes at log2 24 bits.
  const std::string text = distinct_bytes(24) + distinct_bytes(24);
  const SkillOutput out = kSkill.scan(text);
  ASSERT_EQ(out.signals.size(), 1u);
  EXPECT_EQ(out.signals[0].signal_type, "suspicious_entropy");
}

TEST(EntropySkill, ConfiguredThresholdsAppearWithOneDecimal) {
  const EntropySkill custom(4.25, 4.75, 8, 2.0, 3.0);
  SkillOutput out = custom.scan(distinct_bytes(24));
  ASSERT_EQ(out.signals.size(), 1u);
  // 4.25 rounds half to even.
  EXPECT_EQ(
      out.signals[0].description,
      "Elevated entropy detected: 4.58 bits/char (threshold: 4.2). May indicate obfuscation.");
  EXPECT_EQ(out.signals[0].likelihood_ratio, 2.0);
}

TEST(EntropySkill, MinimumLengthIsInclusive) {
  const EntropySkill low(1.0, 5.0, 8, 10.0, 25.0);
  EXPECT_TRUE(low.scan("abcdabc").signals.empty());
  EXPECT_EQ(low.scan("abcdabcd").signals.size(), 1u);
}

// The entropy as written plainly: one logarithm per byte value present.
double direct_entropy(std::string_view bytes) {
  if (bytes.empty()) return 0.0;
  std::array<std::uint64_t, 256> counts{};
  for (unsigned char b : bytes) ++counts[b];
  const double n = static_cast<double>(bytes.size());
  double h = 0.0;
  for (std::uint64_t c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    h -= p * std::log2(p);
  }
  return h;
}

// The counts are taken eight bytes at a time into several tables: the
// entropy must be exactly the one a byte-by-byte count gives, for every
// length (tails of 0 to 7 bytes) and for skewed and long single-value runs.
TEST(ByteEntropy, AsTheByteByByteCountGives) {
  std::mt19937_64 rng(0xE27);
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    // Short texts are counted one way, long ones (from 4096 bytes) another.
    const std::size_t length = round % 10 == 0 ? 4090 + rng() % 3000 : rng() % 70;
    const unsigned spread = 1 + static_cast<unsigned>(rng() % 256);
    while (text.size() < length) {
      const char c = static_cast<char>(rng() % spread);
      text.append(rng() % 5 == 0 ? 1 + rng() % 300 : 1, c);
    }
    text.resize(length);
    ASSERT_EQ(byte_entropy(text), direct_entropy(text)) << round;
  }
}

// The skill's rules over the direct entropy.
std::vector<Signal> direct_signals(std::string_view text, double elevated, double high) {
  std::vector<Signal> out;
  if (text.size() < 16) return out;
  const double h = direct_entropy(text);
  const bool is_high = text.size() >= 32 && h >= high;
  if (!is_high && !(h >= elevated)) return out;
  std::string desc = is_high ? "Very high entropy detected: " : "Elevated entropy detected: ";
  append_fixed(desc, h, 2);
  desc += " bits/char (threshold: ";
  append_fixed(desc, is_high ? high : elevated, 1);
  desc += is_high ? "). Likely obfuscated or encoded content." : "). May indicate obfuscation.";
  Signal s("entropy", is_high ? "high_entropy" : "suspicious_entropy", desc, is_high ? 25.0 : 10.0);
  s.raw_score = h;
  out.push_back(s);
  return out;
}

// Texts over k byte values with random weights, so that their entropies
// spread over both thresholds; some of exactly equal counts, whose entropy
// is exactly log2 k.
std::string random_text(std::mt19937_64& rng) {
  const std::size_t k = 1 + rng() % 96;
  std::vector<double> weights(k);
  for (double& w : weights) w = std::pow(static_cast<double>(rng() % 1000 + 1), 0.3 + (rng() % 4));
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  const auto base = static_cast<unsigned char>(rng() % 160);
  std::string text;
  const std::size_t len = rng() % 4 == 0 ? rng() % 20000 : rng() % 600;
  if (rng() % 5 == 0) {
    for (std::size_t i = 0; i < len; ++i) text += static_cast<char>(base + i % k);
    return text;
  }
  for (std::size_t i = 0; i < len; ++i) text += static_cast<char>(base + pick(rng));
  return text;
}

TEST(ByteEntropy, BitForBitTheDirectSum) {
  std::mt19937_64 rng(0xE17);
  for (int i = 0; i < 4000; ++i) {
    const std::string text = random_text(rng);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(byte_entropy(text)),
              std::bit_cast<std::uint64_t>(direct_entropy(text)))
        << "length " << text.size();
  }
}

TEST(EntropySkill, SignalsAsFromTheDirectSum) {
  // The scanner's thresholds, and ones exactly at log2 of a count of
  // distinct bytes.
  const std::array<std::pair<double, double>, 3> thresholds = {
      {{4.5, 5.0}, {4.0, 5.0}, {3.0, 6.0}}};
  std::mt19937_64 rng(0x5106);
  int signals = 0;
  for (const auto& [elevated, high] : thresholds) {
    const EntropySkill skill(elevated, high, 16, 10.0, 25.0);
    for (int i = 0; i < 3000; ++i) {
      const std::string text = random_text(rng);
      const SkillOutput out = skill.scan(text);
      const std::vector<Signal> want = direct_signals(text, elevated, high);
      ASSERT_EQ(out.signals.size(), want.size()) << "length " << text.size();
      if (want.empty()) continue;
      ++signals;
      EXPECT_EQ(out.signals[0].signal_type, want[0].signal_type);
      EXPECT_EQ(out.signals[0].description, want[0].description);
      EXPECT_EQ(out.signals[0].likelihood_ratio, want[0].likelihood_ratio);
      EXPECT_EQ(std::bit_cast<std::uint64_t>(*out.signals[0].raw_score),
                std::bit_cast<std::uint64_t>(*want[0].raw_score));
    }
  }
  EXPECT_GT(signals, 1000);  // both outcomes are well represented
}

}  // namespace
}  // namespace vantrel_core
