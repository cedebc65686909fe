#include "skills/toolcall.h"

#include <gtest/gtest.h>

#include "engine.h"

namespace vantrel_core {
namespace {

std::vector<std::string> descriptions(const SkillOutput& out) {
  std::vector<std::string> d;
  for (const auto& s : out.signals) d.push_back(s.description);
  return d;
}

TEST(ToolCallSkill, MatchesRowsWithAsciiCaseFolding) {
  const ToolCallSkill skill;
  const SkillOutput chmod = skill.scan("chmod -R 777 /srv");
  ASSERT_EQ(chmod.signals.size(), 1u);
  EXPECT_EQ(chmod.signals[0].description, "Recursive insecure perms");
  EXPECT_EQ(chmod.signals[0].likelihood_ratio, 1200);
  EXPECT_EQ(chmod.signals[0].skill, "toolcall");
  EXPECT_EQ(chmod.signals[0].signal_type, "tool_call");
  EXPECT_EQ(chmod.signals[0].offset, 0u);
  EXPECT_EQ(chmod.threat_type, ThreatType::ToolManipulation);
  EXPECT_EQ(descriptions(skill.scan("x = subprocess.Popen(cmd)")),
            std::vector<std::string>{"Process exec: popen"});
  EXPECT_TRUE(skill.scan("curl|sh").signals.empty());
  EXPECT_EQ(descriptions(skill.scan("curl | sh")), std::vector<std::string>{"RCE: curl pipe shell"});
  EXPECT_EQ(skill.scan("hello world").threat_type, ThreatType::Benign);
}

TEST(ToolCallSkill, EscapedCharactersInPhrases) {
  const ToolCallSkill skill;
  EXPECT_EQ(descriptions(skill.scan("..\\..\\boot.ini")),
            (std::vector<std::string>{"Path traversal: Windows parent dir", "Path traversal: Windows parent dir"}));
  EXPECT_EQ(descriptions(skill.scan("C:\\Windows\\System32\\drivers")),
            std::vector<std::string>{"Windows system directory"});
  EXPECT_EQ(descriptions(skill.scan("echo ` `")), std::vector<std::string>{"Shell: backtick substitution"});
  EXPECT_EQ(descriptions(skill.scan(":(){:|:&};:")), std::vector<std::string>{"Fork bomb"});
}

TEST(ToolCallScan, ArgumentsAreMatchedAsGivenAndCappedByTheGate) {
  const Scanner scanner = Scanner::with_config(GateConfig());
  const ScanResult r = scanner.scan_tool_call("{\"path\": \"/etc/passwd\"}");
  EXPECT_FALSE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::ToolManipulation);
  ASSERT_EQ(r.signals.size(), 1u);
  EXPECT_EQ(r.signals[0].likelihood_ratio, 2000);
  EXPECT_EQ(r.signals[0].offset, 10u);
  ASSERT_EQ(r.evidence.size(), 1u);
  EXPECT_EQ(r.evidence[0].likelihood_ratio, 1500);  // the tool-call cap
  EXPECT_TRUE(r.evidence[0].capped);
  // "eval(" would not survive normalization; the arguments are scanned raw.
  EXPECT_FALSE(scanner.scan_tool_call("eval(payload)").safe);
  EXPECT_TRUE(scanner.scan_tool_call("{\"city\": \"Paris\"}").safe);
  EXPECT_EQ(scanner.scan_tool_call(std::string(1048577, 'a')).threat_type, ThreatType::ToolManipulation);
}

}  // namespace
}  // namespace vantrel_core
