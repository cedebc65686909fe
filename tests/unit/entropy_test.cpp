#include "skills/entropy.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

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

}  // namespace
}  // namespace vantrel_core
