// Scan pipeline and result assembly: size limit, raw-entropy evidence, tiers,
// bands, messages and the legacy path.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "probability.h"
#include "scan_state.h"
#include "engine.h"

namespace vantrel_core {
namespace {


// Result of a state fed one pattern signal of the given ratio (never capped
// below 2000) plus optional further ones.
ScanResult assemble(std::vector<double> ratios, GateConfig cfg = GateConfig()) {
  ScanState state(BayesianGate(cfg), "some text", ScanMode::Input, std::string("v1"), 42);
  SkillOutput out;
  for (std::size_t i = 0; i < ratios.size(); ++i) {
    Signal s("pattern", "prompt_injection", "d", ratios[i]);
    s.offset = i;
    out.signals.push_back(s);
  }
  out.threat_type = ThreatType::PromptInjection;
  state.process(std::move(out));
  return std::move(state).finalize(2, 0.5, nullptr, std::nullopt);
}

// The ratio that moves the prior 0.01 to posterior p.
double ratio_for(double p) { return (p / (1 - p)) * 99.0; }

TEST(ResultAssembly, AllowBelowWarn) {
  const ScanResult r = assemble({ratio_for(0.25)});
  EXPECT_EQ(r.disposition, Disposition::Allow);
  EXPECT_FALSE(r.severity.has_value());
  EXPECT_FALSE(r.warning_message.has_value());
  EXPECT_TRUE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::Benign);
  EXPECT_NEAR(r.confidence, 0.75, 1e-12);
  EXPECT_NEAR(*r.posterior_prob, 0.25, 1e-12);
}

TEST(ResultAssembly, WarningBandWithAndWithoutWarningMode) {
  const ScanResult r = assemble({ratio_for(0.45)});
  EXPECT_EQ(r.disposition, Disposition::AllowWithWarning);
  EXPECT_EQ(r.severity, Severity::Medium);
  EXPECT_EQ(r.warning_message, "Security alert (medium): attack-likelihood score 45%");
  EXPECT_TRUE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::Benign);

  GateConfig quiet;
  quiet.warning_mode_enabled = false;
  const ScanResult q = assemble({ratio_for(0.45)}, quiet);
  EXPECT_EQ(q.disposition, Disposition::AllowWithWarning);
  EXPECT_FALSE(q.severity.has_value());
  EXPECT_FALSE(q.warning_message.has_value());
}

TEST(ResultAssembly, BlockBandsAndPercentRounding) {
  const ScanResult r = assemble({ratio_for(0.6001)});
  EXPECT_EQ(r.disposition, Disposition::Block);
  EXPECT_EQ(r.severity, Severity::Critical);
  EXPECT_EQ(r.warning_message, "Blocked (critical): attack-likelihood score 60%");
  EXPECT_FALSE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::PromptInjection);
  EXPECT_NEAR(r.confidence, 0.6001, 1e-9);

  // 0.996 needs more than one capped signal: 2000 x 12.3255.
  const ScanResult high = assemble({2000, ratio_for(0.996) / 2000});
  EXPECT_NEAR(*high.posterior_prob, 0.996, 1e-9);
  EXPECT_EQ(high.warning_message, "Blocked (critical): attack-likelihood score 100%");
}

TEST(ResultAssembly, BandEdgesCompareInclusively) {
  // Put the block threshold and the high band exactly on the score.
  const double ratio = ratio_for(0.5);
  const double score = sigmoid(logit(0.01) + std::log(ratio));
  GateConfig cfg;
  cfg.block_prob = score;
  cfg.high_start_prob = score;
  cfg.critical_start_prob = 0.9;
  const ScanResult r = assemble({ratio}, cfg);
  EXPECT_EQ(*r.posterior_prob, score);
  EXPECT_EQ(r.disposition, Disposition::Block);
  EXPECT_EQ(r.severity, Severity::High);
  EXPECT_EQ(r.warning_message, "Blocked (high): attack-likelihood score 50%");
  EXPECT_NEAR(*r.effective_lr, 99.0, 1e-9);
}

TEST(ResultAssembly, ThresholdsAndPolicySnapshot) {
  const ScanResult r = assemble({3});
  ASSERT_TRUE(r.thresholds_used.has_value());
  EXPECT_EQ(r.thresholds_used->warn_prob, 0.3);
  EXPECT_EQ(r.thresholds_used->block_prob, 0.6);
  EXPECT_EQ(r.thresholds_used->low_start_prob, 0.3);
  EXPECT_EQ(r.thresholds_used->critical_start_prob, 0.6);
  EXPECT_EQ(r.warn_prob, 0.3);
  EXPECT_EQ(r.medium_start_prob, 0.4);
  EXPECT_TRUE(r.score_v2_enabled && r.warning_mode_enabled && r.correlation_dedup_enabled);
  EXPECT_FALSE(r.score_profile_applied);
  EXPECT_EQ(r.pattern_db_version, "v1");
  EXPECT_EQ(r.pattern_db_hash, 42u);
  EXPECT_EQ(r.gate_config_hash, 0x2414dc1b6ae3c1b0ULL);
  EXPECT_EQ(r.tier_reached, 2);
  EXPECT_EQ(r.signals.size(), r.evidence.size());
  EXPECT_GE(r.latency_ms, 0.0);
}

TEST(ResultAssembly, LegacyPathLeavesScoresAbsent) {
  GateConfig cfg;
  cfg.score_v2_enabled = false;
  const ScanResult block = assemble({2000}, cfg);  // p ~ 0.953 >= 0.9
  EXPECT_FALSE(block.safe);
  EXPECT_EQ(block.threat_type, ThreatType::PromptInjection);
  EXPECT_FALSE(block.posterior_prob || block.effective_lr || block.thresholds_used ||
               block.disposition || block.severity || block.warning_message);
  EXPECT_EQ(block.warn_prob, 0.3);  // the snapshot is still filled
  EXPECT_FALSE(block.score_v2_enabled);
  const ScanResult allow = assemble({1}, cfg);
  EXPECT_TRUE(allow.safe);
  EXPECT_EQ(allow.threat_type, ThreatType::Benign);
  EXPECT_NEAR(allow.confidence, 0.99, 1e-12);
}

TEST(Scanner, SizeLimitIsRaisedToTheMinimum) {
  const GateConfig cfg;
  EXPECT_EQ(Scanner::with_config_and_limits_and_additive_patterns(cfg, 0, std::nullopt)->max_input_bytes(), 1024u);
  EXPECT_EQ(Scanner::with_config_and_limits_and_additive_patterns(cfg, 1024, std::nullopt)->max_input_bytes(), 1024u);
  EXPECT_EQ(Scanner::with_config_and_limits_and_additive_patterns(cfg, 1025, std::nullopt)->max_input_bytes(), 1025u);
  EXPECT_EQ(Scanner::with_config(cfg).max_input_bytes(), 1048576u);
}

TEST(Scanner, OversizedInputGivesTheSizeLimitResultInBothModes) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const std::string over(1048577, 'a');
  const ScanResult in = scanner.scan(over);
  EXPECT_FALSE(in.safe);
  EXPECT_EQ(in.threat_type, ThreatType::EncodingAttack);
  EXPECT_EQ(in.tier_reached, 0);
  EXPECT_EQ(in.confidence, 1.0);
  EXPECT_EQ(in.latency_ms, 0.0);
  ASSERT_EQ(in.signals.size(), 1u);
  EXPECT_EQ(in.signals[0].skill, "input_validation");
  EXPECT_EQ(in.signals[0].signal_type, "size_limit");
  EXPECT_EQ(in.signals[0].description, "Input exceeds 1048576 bytes");
  EXPECT_EQ(in.signals[0].likelihood_ratio, 1000.0);
  EXPECT_TRUE(in.evidence.empty());
  EXPECT_FALSE(in.raw_entropy || in.normalized_text || in.normalization);
  EXPECT_EQ(in.posterior_prob, 1.0);
  EXPECT_EQ(in.disposition, Disposition::Block);
  EXPECT_EQ(in.severity, Severity::Critical);
  EXPECT_EQ(in.warning_message, "Blocked (critical): attack-likelihood score 100%");
  EXPECT_EQ(*in.effective_lr, 1e15);  // clamped
  EXPECT_EQ(scanner.scan_output(over).threat_type, ThreatType::DataExfiltration);

  const ScanResult exact = scanner.scan(std::string(1048576, 'a'));
  EXPECT_EQ(exact.tier_reached, 2);
  EXPECT_TRUE(exact.safe);
}

TEST(Scanner, SizeLimitEffectiveRatioWithHighPrior) {
  GateConfig cfg;
  cfg.prior = 0.9;
  const Scanner scanner = Scanner::with_config_and_limits_and_additive_patterns(cfg, 1024, std::nullopt).value();
  const ScanResult r = scanner.scan(std::string(1025, 'x'));
  EXPECT_DOUBLE_EQ(*r.effective_lr, 1000799917193442.5 / (0.9 / (1 - 0.9)));
  EXPECT_EQ(r.signals[0].description, "Input exceeds 1024 bytes");
}

std::string distinct_bytes(int n) {
  std::string s;
  for (int i = 0; i < n; ++i) s += static_cast<char>('!' + i);
  return s;
}

TEST(Scanner, RawEntropyEvidence) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const ScanResult empty = scanner.scan("");
  EXPECT_EQ(empty.raw_entropy, 0.0);
  EXPECT_FALSE(empty.normalized_text.has_value());

  const ScanResult fifteen = scanner.scan(distinct_bytes(15));
  EXPECT_NEAR(*fifteen.raw_entropy, std::log2(15.0), 1e-12);
  EXPECT_TRUE(fifteen.signals.empty());

  EXPECT_EQ(*scanner.scan(distinct_bytes(16)).raw_entropy, 4.0);
  EXPECT_TRUE(scanner.scan(distinct_bytes(16)).signals.empty());

  const ScanResult thirty_two = scanner.scan(distinct_bytes(32));
  EXPECT_EQ(*thirty_two.raw_entropy, 5.0);
  ASSERT_FALSE(thirty_two.signals.empty());
  const Signal& s = thirty_two.signals[0];
  EXPECT_EQ(s.skill, "entropy_raw");
  EXPECT_EQ(s.signal_type, "entropy_score");
  EXPECT_EQ(s.description, "Raw entropy 5.00 bits/char");
  EXPECT_EQ(s.likelihood_ratio, 18.0);
  EXPECT_EQ(s.raw_score, 5.0);
  EXPECT_FALSE(s.offset.has_value());

  // 64 distinct bytes: 6.0 bits, the top step.
  EXPECT_EQ(scanner.scan(distinct_bytes(64)).signals[0].likelihood_ratio, 30.0);
  // 22 distinct bytes: log2 22 ~ 4.46, the lowest step.
  EXPECT_EQ(scanner.scan(distinct_bytes(22)).signals[0].likelihood_ratio, 6.0);
}

TEST(Scanner, ScanToTierOneStopsAfterNormalization) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const ScanResult r = scanner.scan_to_tier("hello there", 1);
  EXPECT_EQ(r.tier_reached, 1);
  EXPECT_TRUE(r.safe);
  for (const auto& s : r.signals) EXPECT_NE(s.skill, "pattern");
  EXPECT_EQ(scanner.scan("hello there").tier_reached, 2);
}

TEST(Scanner, OutputScanKeepsTheInputAsNormalizedText) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const ScanResult r = scanner.scan_output("plain answer");
  EXPECT_EQ(r.normalized_text, "plain answer");
  EXPECT_EQ(r.tier_reached, 2);
}

}  // namespace
}  // namespace vantrel_core
