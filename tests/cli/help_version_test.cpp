#include <gtest/gtest.h>

#include "run_vantrel.h"

using vantrel_test::run_vantrel;

namespace {

TEST(HelpVersion, HelpTextIsExactForEverySpelling) {
  const auto base = run_vantrel({});
  EXPECT_EQ(base.exit_code, 0);
  EXPECT_EQ(base.out.size(), 4246u);
  EXPECT_TRUE(base.err.empty());
  EXPECT_EQ(base.out.substr(0, 41), "Vantrel Ward - Security for On-Device AI\n");
  EXPECT_NE(base.out.find("--mode output\n    \n    # STREAMING"), std::string::npos);
  EXPECT_NE(base.out.find("harmful output.\n    \n    Features:"), std::string::npos);
  EXPECT_EQ(base.out.substr(base.out.size() - 22), "examples/llamafile/.\n\n");
  for (const char* spelling : {"help", "-h", "--help"}) {
    const auto r = run_vantrel({spelling, "--bogus", "scan"});
    EXPECT_EQ(r.exit_code, 0) << spelling;
    EXPECT_EQ(r.out, base.out) << spelling;
    EXPECT_TRUE(r.err.empty());
  }
}

TEST(HelpVersion, VersionPrintsThreeLinesAndIgnoresTheRest) {
  for (const char* spelling : {"version", "-v", "--version"}) {
    const auto r = run_vantrel({spelling, "--nonsense", "x"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.err.empty());
    ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
    EXPECT_EQ(r.out.rfind("vantrel 0.4.0\nVantrel Ward - Security for On-Device AI\nhttps://", 0), 0u);
  }
}

}  // namespace
