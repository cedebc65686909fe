#include "gate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "probability.h"

namespace vantrel_core {
namespace {


Signal sig(const char* skill, const char* type, double lr) { return Signal(skill, type, "d", lr); }

TEST(GateConfigHash, FrontEndDefaultsHaveKnownFingerprints) {
  GateConfig c;
  EXPECT_EQ(gate_config_hash(c), 0x2414dc1b6ae3c1b0ULL);
  c.warning_mode_enabled = false;
  EXPECT_EQ(gate_config_hash(c), 0xb215c38bf3282495ULL);
}

TEST(GateConfigHash, EveryFieldTakesPart) {
  const GateConfig base;
  const std::uint64_t h = gate_config_hash(base);
  auto differs = [&](auto mutate) {
    GateConfig c = base;
    mutate(c);
    return gate_config_hash(c) != h;
  };
  EXPECT_TRUE(differs([](GateConfig& c) { c.reinforcement_max_log = 1; }));
  EXPECT_TRUE(differs([](GateConfig& c) { c.reinforcement_step_log = 1; }));
  EXPECT_TRUE(differs([](GateConfig& c) { c.correlation_dedup_enabled = false; }));
  EXPECT_TRUE(differs([](GateConfig& c) { c.score_v2_enabled = false; }));
  EXPECT_TRUE(differs([](GateConfig& c) { c.low_start_prob = 0.31; }));
  EXPECT_TRUE(differs([](GateConfig& c) { c.toolcall_lr_cap = 1499; }));
  // The running state of a gate never changes its fingerprint.
  BayesianGate g(base);
  const Signal s = sig("pattern", "prompt_injection", 50);
  g.update_with_evidence({&s, 1});
  EXPECT_EQ(g.config_hash(), h);
}

TEST(BayesianGate, StartsAtPriorLogOdds) {
  BayesianGate g{GateConfig()};
  EXPECT_NEAR(g.log_odds(), std::log(0.01 / 0.99), 1e-12);
  EXPECT_NEAR(g.posterior(), 0.01, 1e-12);
  EXPECT_TRUE(g.update_with_evidence({}).empty());
  EXPECT_NEAR(g.posterior(), 0.01, 1e-12);
}

TEST(BayesianGate, ObfuscationCapThenBudgetThenSuppression) {
  BayesianGate g{GateConfig()};
  const Signal hex = sig("normalize", "hex_detected", 50);
  const double start = g.log_odds();

  auto first = g.update_with_evidence({&hex, 1});
  ASSERT_EQ(first.size(), 1u);
  EXPECT_DOUBLE_EQ(first[0].likelihood_ratio, 12.0);
  EXPECT_DOUBLE_EQ(first[0].log_lr, std::log(12.0));
  EXPECT_TRUE(first[0].capped);
  EXPECT_FALSE(first[0].suppressed);

  auto second = g.update_with_evidence({&hex, 1});
  const double remaining = 3.0 - std::log(12.0);
  EXPECT_DOUBLE_EQ(second[0].log_lr, remaining);
  EXPECT_DOUBLE_EQ(second[0].likelihood_ratio, std::exp(remaining));
  EXPECT_TRUE(second[0].capped);
  EXPECT_FALSE(second[0].suppressed);

  auto third = g.update_with_evidence({&hex, 1});
  EXPECT_EQ(third[0].likelihood_ratio, 1.0);
  EXPECT_EQ(third[0].log_lr, 0.0);
  EXPECT_TRUE(third[0].capped);
  EXPECT_TRUE(third[0].suppressed);
  EXPECT_NEAR(g.log_odds() - start, 3.0, 1e-12);
}

TEST(BayesianGate, BudgetOffStillCapsObfuscation) {
  GateConfig c;
  c.obfuscation_log_budget = 0;
  BayesianGate g(c);
  const Signal hex = sig("normalize", "hex_detected", 50);
  for (int i = 0; i < 3; ++i) {
    auto ev = g.update_with_evidence({&hex, 1});
    EXPECT_DOUBLE_EQ(ev[0].likelihood_ratio, 12.0);
    EXPECT_FALSE(ev[0].suppressed);
  }
  EXPECT_NEAR(g.log_odds() - logit(0.01), 3 * std::log(12.0), 1e-12);
}

TEST(BayesianGate, GlobalAndToolCallCaps) {
  BayesianGate g{GateConfig()};
  const Signal batch[] = {sig("pattern", "prompt_injection", 10000), sig("toolcall", "tool_call", 1800),
                          sig("toolcall", "tool_call", 1000), sig("pattern", "jailbreak", 700)};
  auto ev = g.update_with_evidence(batch);
  EXPECT_EQ(ev[0].likelihood_ratio, 2000.0);
  EXPECT_TRUE(ev[0].capped);
  EXPECT_EQ(ev[1].likelihood_ratio, 1500.0);
  EXPECT_TRUE(ev[1].capped);
  EXPECT_EQ(ev[2].likelihood_ratio, 1000.0);
  EXPECT_FALSE(ev[2].capped);
  EXPECT_EQ(ev[3].likelihood_ratio, 700.0);
  EXPECT_FALSE(ev[3].capped);
  // A tool-call signal above the global cap takes its own, lower cap.
  const Signal big = sig("toolcall", "tool_call", 5000);
  EXPECT_EQ(g.update_with_evidence({&big, 1})[0].likelihood_ratio, 1500.0);
}

TEST(BayesianGate, HeuristicDiscountMarksSuppressed) {
  BayesianGate g{GateConfig()};
  // An entropy signal is itself obfuscation evidence, so its own batch is discounted.
  const Signal high = sig("entropy", "high_entropy", 25);
  auto ev = g.update_with_evidence({&high, 1});
  EXPECT_DOUBLE_EQ(ev[0].likelihood_ratio, 10.0);
  EXPECT_TRUE(ev[0].suppressed);
  EXPECT_FALSE(ev[0].capped);
  EXPECT_DOUBLE_EQ(g.obfuscation_log_used(), std::log(10.0));

  // The listed stats types are discounted; role tokens are not, even beside them.
  BayesianGate g2{GateConfig()};
  const Signal stats[] = {sig("stats", "digit_ratio", 4), sig("stats", "role_token", 5)};
  auto ev2 = g2.update_with_evidence(stats);
  EXPECT_DOUBLE_EQ(ev2[0].likelihood_ratio, 4 * 0.4);
  EXPECT_TRUE(ev2[0].suppressed);
  EXPECT_EQ(ev2[1].likelihood_ratio, 5.0);
  EXPECT_FALSE(ev2[1].suppressed);

  // Raw entropy is obfuscation evidence but never discounted.
  BayesianGate g3{GateConfig()};
  const Signal raw = sig("entropy_raw", "entropy_score", 6);
  auto ev3 = g3.update_with_evidence({&raw, 1});
  EXPECT_EQ(ev3[0].likelihood_ratio, 6.0);
  EXPECT_FALSE(ev3[0].suppressed);

  // Without obfuscation in the batch a pattern-only batch is untouched.
  BayesianGate g4{GateConfig()};
  const Signal entropy_alone[] = {sig("entropy", "other_type", 7)};
  EXPECT_FALSE(g4.update_with_evidence(entropy_alone)[0].suppressed);
}

TEST(BayesianGate, ZeroRatioIsClampedNotCapped) {
  BayesianGate g{GateConfig()};
  const Signal zero = sig("pattern", "x", 0);
  auto ev = g.update_with_evidence({&zero, 1});
  EXPECT_EQ(ev[0].likelihood_ratio, 1e-15);
  EXPECT_DOUBLE_EQ(ev[0].log_lr, std::log(1e-15));
  EXPECT_FALSE(ev[0].capped);
}

TEST(BayesianGate, EvidenceCopiesSignalFields) {
  BayesianGate g{GateConfig()};
  Signal s("stats", "role_token", "Role token markers detected", 5);
  s.raw_score = 1.0;
  s.offset = 7;
  auto ev = g.update_with_evidence({&s, 1});
  EXPECT_EQ(ev[0].skill, "stats");
  EXPECT_EQ(ev[0].signal_type, "role_token");
  EXPECT_EQ(ev[0].description, "Role token markers detected");
  EXPECT_EQ(ev[0].raw_score, 1.0);
  EXPECT_EQ(ev[0].offset, 7u);
}

TEST(BayesianGate, LegacyDecisionBands) {
  GateConfig c;  // block 0.9, allow 0.1
  const auto verdict_at = [&](double lr) {
    BayesianGate g(c);
    const Signal s = sig("pattern", "x", lr);
    g.update_with_evidence({&s, 1});
    return g.legacy_decision(0.5, ThreatType::Jailbreak);
  };
  const auto block = verdict_at(2000);  // p ~ 0.95 >= 0.9
  EXPECT_FALSE(block.safe);
  EXPECT_EQ(block.threat_type, ThreatType::Jailbreak);
  const auto allow = verdict_at(1);  // p = 0.01 <= 0.1
  EXPECT_TRUE(allow.safe);
  EXPECT_EQ(allow.threat_type, ThreatType::Benign);
  const auto middle_low = verdict_at(50);  // p ~ 0.336: between, below the cut-off
  EXPECT_TRUE(middle_low.safe);
  const auto middle_high = verdict_at(300);  // p ~ 0.75: between, above the cut-off
  EXPECT_FALSE(middle_high.safe);
  EXPECT_EQ(middle_high.threat_type, ThreatType::Jailbreak);
}

TEST(ObfuscationSignals, ExactSkillAndTypePairs) {
  EXPECT_TRUE(is_obfuscation_signal("normalize", "spaced_letters_detected"));
  EXPECT_TRUE(is_obfuscation_signal("stats", "compression_ratio"));
  EXPECT_TRUE(is_obfuscation_signal("entropy_raw", "suspicious_entropy"));
  EXPECT_FALSE(is_obfuscation_signal("stats", "role_token"));
  EXPECT_FALSE(is_obfuscation_signal("normalize", "HEX_DETECTED"));
  EXPECT_FALSE(is_obfuscation_signal("pattern", "hex_detected"));
}

}  // namespace
}  // namespace vantrel_core
