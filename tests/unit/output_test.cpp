#include "skills/output.h"

#include <gtest/gtest.h>

namespace vantrel_core {
namespace {

struct Expected {
  std::string type;
  double ratio;
  std::size_t offset;
  std::string description;
};

void expect_signals(const SkillOutput& out, const std::vector<Expected>& expected) {
  ASSERT_EQ(out.signals.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const Signal& s = out.signals[i];
    EXPECT_EQ(s.skill, "output");
    EXPECT_EQ(s.signal_type, expected[i].type) << i;
    EXPECT_EQ(s.likelihood_ratio, expected[i].ratio) << i;
    EXPECT_EQ(s.offset, expected[i].offset) << i;
    EXPECT_EQ(s.description, expected[i].description) << i;
    EXPECT_FALSE(s.raw_score.has_value());
  }
}

class OutputSkillTest : public ::testing::Test {
 protected:
  OutputSkill skill;
};

TEST_F(OutputSkillTest, EmptyResponseFindsNothing) {
  const SkillOutput out = skill.scan("");
  EXPECT_TRUE(out.signals.empty());
  EXPECT_EQ(out.threat_type, ThreatType::Benign);
  EXPECT_FALSE(out.normalized_text || out.normalization);
}

TEST_F(OutputSkillTest, ComplianceMarkers) {
  const SkillOutput out = skill.scan("Sure, I can help you. Step 1: ...");
  expect_signals(out, {{"harmful_compliance", 10, 0, "Compliance marker (context needed)"},
                       {"harmful_compliance", 20, 22, "Step-by-step instruction (context needed)"}});
  EXPECT_EQ(out.threat_type, ThreatType::Jailbreak);
}

TEST_F(OutputSkillTest, LeaksAreDataExfiltration) {
  const SkillOutput out = skill.scan("My system prompt is: be helpful");
  expect_signals(out, {{"leak", 2000, 0, "Direct system prompt disclosure"}});
  EXPECT_EQ(out.threat_type, ThreatType::DataExfiltration);
  // Any positive ratio beats the initial 0.
  const SkillOutput weak = skill.scan("I was trained on");
  expect_signals(weak, {{"leak", 2, 0, "Training reference"}});
  EXPECT_EQ(weak.threat_type, ThreatType::DataExfiltration);
}

TEST_F(OutputSkillTest, CaseFoldingAndTypographicApostrophes) {
  expect_signals(skill.scan("[DAN] ok"), {{"safety_bypass", 1200, 0, "DAN mode marker"}});
  expect_signals(skill.scan("As DAN, I will"), {{"safety_bypass", 1500, 0, "DAN persona activated"}});
  EXPECT_TRUE(skill.scan("I\xe2\x80\x99ll make an exception").signals.empty());
  expect_signals(skill.scan("I'LL MAKE AN EXCEPTION"), {{"safety_bypass", 800, 0, "Exception to safety rules"}});
}

TEST_F(OutputSkillTest, LeftmostFirstWithinAPassButPassesAreIndependent) {
  expect_signals(skill.scan("here is my system prompt is"),
                 {{"leak", 2000, 0, "Direct system prompt disclosure"}});
  expect_signals(skill.scan("i'll make an exception just this once"),
                 {{"safety_bypass", 800, 0, "Exception to safety rules"},
                  {"safety_bypass", 400, 23, "One-time safety bypass"}});
  // One stretch can count in two groups.
  const SkillOutput both = skill.scan("here's how to bypass");
  expect_signals(both, {{"harmful_compliance", 1200, 0, "Bypass instruction compliance"}});
}

TEST_F(OutputSkillTest, GroupOrderAndTieRule) {
  // Bypass text first in the response, leak later: leak signals still come first.
  const SkillOutput out = skill.scan("jailbreak successful. my rules are strict");
  expect_signals(out, {{"leak", 1200, 22, "Rules disclosure"}, {"safety_bypass", 2000, 0, "Explicit jailbreak success"}});
  EXPECT_EQ(out.threat_type, ThreatType::Jailbreak);
  // Equal top ratios: the leak comes first and keeps its type.
  const SkillOutput tie = skill.scan("here's the password, my guidelines are");
  ASSERT_EQ(tie.signals.size(), 2u);
  EXPECT_EQ(tie.signals[0].likelihood_ratio, tie.signals[1].likelihood_ratio);
  EXPECT_EQ(tie.threat_type, ThreatType::DataExfiltration);
}

}  // namespace
}  // namespace vantrel_core
