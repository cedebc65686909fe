#include "dedup.h"

#include <gtest/gtest.h>

#include <cmath>


namespace vantrel_core {
namespace {

GateConfig config(bool correlation = true) {
  GateConfig c;
  c.correlation_dedup_enabled = correlation;
  return c;
}

Signal at(const char* skill, const char* type, double lr, std::optional<std::size_t> offset) {
  Signal s(skill, type, "d", lr);
  s.offset = offset;
  return s;
}

std::vector<double> ratios(const std::vector<Signal>& v) {
  std::vector<double> out;
  for (const auto& s : v) out.push_back(s.likelihood_ratio);
  return out;
}

TEST(Dedup, SameKeyKeepsStrictlyStrongerOne) {
  EXPECT_EQ(ratios(deduplicate_signals_with_gate_config(
                {at("pattern", "jailbreak", 50, 3), at("pattern", "jailbreak", 80, 3)}, config())),
            std::vector<double>{80});
  EXPECT_EQ(ratios(deduplicate_signals_with_gate_config(
                {at("pattern", "jailbreak", 80, 3), at("pattern", "jailbreak", 80, 3)}, config())),
            std::vector<double>{80});
  // The replacement takes the later signal's place in batch order.
  auto out = deduplicate_signals_with_gate_config(
      {at("pattern", "a", 50, 3), at("pattern", "b", 1, 9), at("pattern", "a", 80, 3)}, config());
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].signal_type, "b");
  EXPECT_EQ(out[1].likelihood_ratio, 80);
}

TEST(Dedup, SignalsWithoutOffsetNeverCollide) {
  EXPECT_EQ(deduplicate_signals_with_gate_config(
                {at("pattern", "jailbreak", 50, std::nullopt), at("pattern", "jailbreak", 80, std::nullopt)},
                config())
                .size(),
            2u);
  EXPECT_EQ(deduplicate_signals_with_gate_config(
                {at("stats", "x", 5, std::nullopt), at("stats", "x", 5, std::nullopt)}, config(false))
                .size(),
            2u);
}

TEST(Dedup, LegacyModeKeysOnOffsetAlone) {
  const std::vector<Signal> batch = {at("pattern", "jailbreak", 50, 4), at("pattern", "prompt_injection", 80, 4)};
  auto legacy = deduplicate_signals_with_gate_config(batch, config(false));
  ASSERT_EQ(legacy.size(), 1u);
  EXPECT_EQ(legacy[0].signal_type, "prompt_injection");
  EXPECT_EQ(deduplicate_signals_with_gate_config(batch, config(true)).size(), 2u);
}

TEST(Dedup, FrontEndConfigurationNeverReinforces) {
  auto out = deduplicate_signals_with_gate_config(
      {at("pattern", "a", 5, 1), at("pattern", "a", 5, 10), at("pattern", "a", 5, 20)}, config());
  EXPECT_EQ(out.size(), 3u);
  for (const auto& s : out) EXPECT_NE(s.skill, "dedup");
}

TEST(Dedup, BoundedReinforcementPerFamily) {
  GateConfig c = config();
  c.reinforcement_base_log = 1.0;
  c.reinforcement_step_log = 0.5;
  c.reinforcement_max_log = 2.0;
  auto spans = [&](std::vector<std::size_t> offsets) {
    std::vector<Signal> batch;
    for (auto o : offsets) batch.push_back(at("pattern", "a", 5, o));
    return deduplicate_signals_with_gate_config(std::move(batch), c);
  };
  auto two = spans({1, 2});
  ASSERT_EQ(two.size(), 3u);
  EXPECT_EQ(two[2].skill, "dedup");
  EXPECT_EQ(two[2].signal_type, "independent_reinforcement");
  EXPECT_EQ(two[2].description, "Bounded reinforcement for family 'pattern' across 2 independent spans");
  EXPECT_DOUBLE_EQ(two[2].likelihood_ratio, std::exp(1.0));
  EXPECT_EQ(two[2].raw_score, 2.0);
  EXPECT_FALSE(two[2].offset.has_value());
  EXPECT_DOUBLE_EQ(spans({1, 2, 3, 4}).back().likelihood_ratio, std::exp(2.0));
  EXPECT_DOUBLE_EQ(spans({1, 2, 3, 4, 5, 6}).back().likelihood_ratio, std::exp(2.0));
  // Two findings of one skill and type at one offset are one span.
  EXPECT_EQ(spans({7, 7}).size(), 1u);
  // A batch of one is returned unchanged.
  EXPECT_EQ(spans({7}).size(), 1u);
}

TEST(Dedup, ReinforcementFollowsKeptSignalsInFamilyNameOrder) {
  GateConfig c = config();
  c.reinforcement_base_log = 1.0;
  c.reinforcement_max_log = 3.0;
  // Different types at one offset count as one span of their family.
  auto out = deduplicate_signals_with_gate_config(
      {at("stats", "x", 2, 1), at("pattern", "a", 5, 1), at("pattern", "b", 5, 1), at("stats", "y", 2, 9),
       at("pattern", "a", 5, 30)},
      c);
  ASSERT_EQ(out.size(), 7u);
  EXPECT_EQ(out[5].description, "Bounded reinforcement for family 'pattern' across 2 independent spans");
  EXPECT_EQ(out[6].description, "Bounded reinforcement for family 'stats' across 2 independent spans");
}

}  // namespace
}  // namespace vantrel_core
