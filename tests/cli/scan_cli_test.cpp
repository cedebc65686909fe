// The one-shot `scan` command as a user sees it: error lines, exit codes and
// how the text to scan is obtained.
#include <gtest/gtest.h>

#include "run_vantrel.h"

namespace {

using vantrel_test::run_vantrel;
using vantrel_test::RunOptions;

const std::string kUsageLine = "Use 'vantrel help' for usage information.\n";

void expect_usage_error(const std::vector<std::string>& args, const std::string& message) {
  const auto r = run_vantrel(args);
  EXPECT_EQ(r.exit_code, 2) << message;
  EXPECT_EQ(r.out, "") << message;
  EXPECT_EQ(r.err, "Error: " + message + "\n" + kUsageLine);
}

TEST(ScanCli, EveryCommandLineErrorUsesTheTwoLineFormat) {
  expect_usage_error({"frobnicate"}, "Unknown command: frobnicate. Use 'vantrel help' for usage.");
  expect_usage_error({"scan", "--bogus"}, "Unknown option: --bogus");
  expect_usage_error({"scan", "-"}, "Unknown option: -");
  expect_usage_error({"stream", "--mode"}, "Unknown option for stream: --mode");
  expect_usage_error({"stream", "word"}, "Unknown option for stream: word");
  expect_usage_error({"scan", "-m"}, "--mode requires a value ('input' or 'output')");
  expect_usage_error({"scan", "--mode", "Output"}, "Invalid mode 'Output'. Use 'input' or 'output'.");
  expect_usage_error({"scan", "--prior"}, "--prior requires a value");
  expect_usage_error({"scan", "--prior", "abc"}, "Invalid prior");
  expect_usage_error({"scan", "--block-threshold"}, "--block-threshold requires a value");
  expect_usage_error({"scan", "--block-threshold", " 1"}, "Invalid block threshold");
  expect_usage_error({"scan", "--allow-threshold"}, "--allow-threshold requires a value");
  expect_usage_error({"scan", "--allow-threshold", "1_0"}, "Invalid allow threshold");
  expect_usage_error({"scan", "--patterns"}, "--patterns requires a file path");
  expect_usage_error({"scan", "--stdin", "hello"}, "--stdin cannot be used with positional INPUT");
  expect_usage_error({"scan", "hello", "--stdin"}, "--stdin cannot be used with positional INPUT");
}

TEST(ScanCli, DefaultReportAndConfigurationHash) {
  const auto r = run_vantrel({"scan", "hello"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind("Gate config hash: 0x2414dc1b6ae3c1b0\nPattern DB hash: 0x", 0), 0u);
  EXPECT_NE(r.out.find("\nThresholds used: warn=0.30 block=0.60 ramp=[0.30,0.40,0.50,0.60]\n"
                       "Policy flags: score_v2=true warning_mode=true correlation_dedup=true\n"),
            std::string::npos);
  const auto quiet = run_vantrel({"scan", "--no-warning-mode", "hello"});
  EXPECT_EQ(quiet.out.rfind("Gate config hash: 0xb215c38bf3282495\n", 0), 0u);
  EXPECT_NE(quiet.out.find(" policy=sv2:on warn:off dedup:corr [0.30/0.60]\n"), std::string::npos);
}

TEST(ScanCli, AbsurdThresholdsAreScannedAsGiven) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"scan", "--prior", "5", "x"}, {"scan", "--prior", "nan", "x"},
        {"scan", "--block-threshold", "-inf", "--allow-threshold", "inf", "x"}, {"scan", "--prior", "-1", "--json", "x"},
        {"scan", "--prior", "1e-400", "x"}}) {
    const auto r = run_vantrel(args);
    EXPECT_EQ(r.exit_code, 0) << args[2];
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(r.out.empty());
  }
}

TEST(ScanCli, QuietJsonAndExitOnThreat) {
  const auto safe = run_vantrel({"scan", "-q", "-j", "-e", "hello"});
  EXPECT_EQ(safe.exit_code, 0);
  EXPECT_EQ(safe.out, "");
  // An oversized text is always a threat, whatever the database holds.
  const std::string big(1048577, 'a');
  RunOptions piped;
  piped.stdin_data = big;
  const auto threat = run_vantrel({"scan", "-q", "-j", "-e"}, piped);
  EXPECT_EQ(threat.exit_code, 1);
  EXPECT_EQ(threat.out, "");
  EXPECT_EQ(threat.err, "");
  const auto no_e = run_vantrel({"scan", "--json"}, piped);
  EXPECT_EQ(no_e.exit_code, 0);
  EXPECT_EQ(no_e.out.rfind("{\"safe\":false,\"threat_type\":\"encoding_attack\",", 0), 0u);
  EXPECT_EQ(no_e.out.back(), '\n');
  RunOptions output_mode = piped;
  const auto out = run_vantrel({"scan", "--json", "--mode", "output"}, output_mode);
  EXPECT_EQ(out.out.rfind("{\"safe\":false,\"threat_type\":\"data_exfiltration\",", 0), 0u);
}

TEST(ScanCli, PipedInputIsScannedUnchangedIncludingItsNewline) {
  // 1048576 bytes are within the limit; the piped newline makes it one over.
  RunOptions piped;
  piped.stdin_data = std::string(1048576, 'a');
  EXPECT_EQ(run_vantrel({"scan", "-q", "-e"}, piped).exit_code, 0);
  piped.stdin_data += "\n";
  EXPECT_EQ(run_vantrel({"scan", "-q", "-e"}, piped).exit_code, 1);
}

TEST(ScanCli, InputOverTheLimitIsAnsweredWithoutReadingToTheEnd) {
  using namespace std::chrono_literals;
  // The producer never closes its end: the command must answer once the text
  // is over the limit, and nothing after that point is looked at.
  vantrel_test::InteractiveProcess p({"scan", "--json", "-e"});
  ASSERT_TRUE(p.write(std::string(1048577, 'a') + "\xff never read"));
  const auto line = p.read_line(10s);
  ASSERT_TRUE(line.has_value()) << "no answer while the input stayed open";
  EXPECT_EQ(line->rfind("{\"safe\":false,\"threat_type\":\"encoding_attack\",\"confidence\":1.0,", 0), 0u);
  EXPECT_NE(line->find("\"description\":\"Input exceeds 1048576 bytes\""), std::string::npos);
  EXPECT_EQ(p.wait(10s), 1);
  // Invalid UTF-8 within the bytes read is still an error.
  RunOptions piped;
  piped.stdin_data = std::string(1048000, 'a') + "\xff" + std::string(1000, 'a');
  EXPECT_EQ(run_vantrel({"scan"}, piped).err, "Error reading from stdin\n");
}

TEST(ScanCli, EmptyArgumentScansTheEmptyTextWithoutReadingStdin) {
  RunOptions piped;
  piped.stdin_data = std::string(1048577, 'a');
  const auto r = run_vantrel({"scan", "-e", "--json", ""}, piped);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("{\"safe\":true,", 0), 0u);
}

TEST(ScanCli, InvalidUtf8OnStdinIsAnError) {
  for (const std::string& bad : {std::string("abc\xff"), std::string("\xc0\x80"), std::string("\xed\xa0\x80")}) {
    RunOptions piped;
    piped.stdin_data = bad;
    const auto r = run_vantrel({"scan"}, piped);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Error reading from stdin\n");
  }
}

TEST(ScanCli, TerminalInputIsOneLineWithoutTrailingWhitespace) {
  RunOptions tty;
  tty.stdin_is_terminal = true;
  tty.stdin_data = "hello  \t\n";
  const auto r = run_vantrel({"scan", "--json"}, tty);
  if (r.terminal_unavailable) GTEST_SKIP() << "no pseudo-terminal available";
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("{\"safe\":true,", 0), 0u);
}

TEST(ScanCli, PatternFileErrorsComeAfterStdinIsRead) {
  vantrel_test::TempDir dir;
  const std::string bad = dir.write("bad.json", "{not json");
  RunOptions piped;
  piped.stdin_data = "text";
  const auto missing = run_vantrel({"scan", "--patterns", dir.path() + "/missing.json"}, piped);
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err.rfind("Error loading patterns: Failed to read patterns file: ", 0), 0u) << missing.err;
  const auto empty_path = run_vantrel({"scan", "--patterns", "", "x"});
  EXPECT_EQ(empty_path.exit_code, 2);
  EXPECT_EQ(empty_path.err.rfind("Error loading patterns: Failed to read patterns file: ", 0), 0u);
  // Invalid UTF-8 on stdin is reported first: the text is read before the scanner is built.
  piped.stdin_data = "\xff";
  const auto order = run_vantrel({"scan", "--patterns", bad}, piped);
  EXPECT_EQ(order.err, "Error reading from stdin\n");
}

}  // namespace
