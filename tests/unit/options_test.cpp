#include "options.h"

#include <gtest/gtest.h>

#include <cmath>

#include "gate.h"

namespace vantrel {
namespace {

using vantrel_core::ScanMode;

TEST(ParseFloat, AcceptsTheDecimalGrammar) {
  EXPECT_EQ(parse_float("0.5"), 0.5);
  EXPECT_EQ(parse_float(".5"), 0.5);
  EXPECT_EQ(parse_float("5."), 5.0);
  EXPECT_EQ(parse_float("+7"), 7.0);
  EXPECT_EQ(parse_float("-1"), -1.0);
  EXPECT_EQ(parse_float("1e3"), 1000.0);
  EXPECT_EQ(parse_float("2.5E-1"), 0.25);
  EXPECT_EQ(parse_float("1e+2"), 100.0);
  EXPECT_EQ(parse_float("0.1"), 0.1);
  EXPECT_EQ(parse_float("1e400"), HUGE_VAL);
  EXPECT_EQ(parse_float("inf"), HUGE_VAL);
  EXPECT_EQ(parse_float("-Infinity"), -HUGE_VAL);
  EXPECT_EQ(parse_float("INF"), HUGE_VAL);
  ASSERT_TRUE(parse_float("NaN").has_value());
  EXPECT_TRUE(std::isnan(*parse_float("NaN")));
  EXPECT_TRUE(std::isnan(*parse_float("-nan")));
}

TEST(ParseFloat, RejectsEverythingElse) {
  for (const char* bad :
       {"",   " 1", "1 ",  "1_0",   "0x1p3", "0x10",    "abc",    ".",   "-", "+",
        "e5", "1e", "1e+", "1.2.3", "--1",   "infinit", "nan(1)", "1,5", "١", "\xef\xbc\x91"}) {
    EXPECT_FALSE(parse_float(bad).has_value()) << bad;
  }
}

const ScanArgs& scan_args(const Command& c) {
  return std::get<ScanArgs>(c);
}

std::string error_of(const std::vector<std::string>& args) {
  const Command c = parse_command(args);
  const auto* e = std::get_if<ParseError>(&c);
  return e ? e->message : "<no error>";
}

TEST(ParseCommand, DispatchesOnTheFirstWord) {
  EXPECT_TRUE(std::holds_alternative<HelpCommand>(parse_command({})));
  EXPECT_TRUE(std::holds_alternative<HelpCommand>(parse_command({"-h", "scan"})));
  EXPECT_TRUE(std::holds_alternative<VersionCommand>(parse_command({"-v", "--nope"})));
  EXPECT_TRUE(std::holds_alternative<StreamArgs>(parse_command({"stream"})));
  EXPECT_EQ(error_of({"Scan"}), "Unknown command: Scan. Use 'vantrel help' for usage.");
}

TEST(ParseCommand, OnlyTheFirstPositionalIsTheInput) {
  const Command c = parse_command({"scan", "Ignore", "all", "previous"});
  EXPECT_EQ(scan_args(c).input, "Ignore");
  const Command empty = parse_command({"scan", ""});
  EXPECT_EQ(scan_args(empty).input, "");
  EXPECT_EQ(error_of({"scan", "-"}), "Unknown option: -");
}

TEST(ParseCommand, PresetsAndThresholdsApplyInOrder) {
  const auto a = scan_args(parse_command({"scan", "--prior", "0.3", "--high-security"})).options;
  EXPECT_EQ(a.prior, 0.05);
  const auto b = scan_args(parse_command({"scan", "--high-security", "--prior", "0.3"})).options;
  EXPECT_EQ(b.prior, 0.3);
  EXPECT_EQ(b.block_threshold, 0.8);
  EXPECT_EQ(b.allow_threshold, 0.02);
  const auto c =
      scan_args(parse_command({"scan", "--low-latency", "--block-threshold", "7"})).options;
  EXPECT_EQ(c.block_threshold, 7.0);
  EXPECT_EQ(c.allow_threshold, 0.2);
  const auto d = scan_args(parse_command({"scan", "--no-warning-mode", "-m", "output"})).options;
  EXPECT_FALSE(d.warning_mode);
  EXPECT_EQ(d.mode, ScanMode::Output);
}

TEST(ParseCommand, ValueOptionsConsumeTheNextArgumentWhateverItIs) {
  EXPECT_EQ(error_of({"scan", "--prior", "-j"}), "Invalid prior");
  const auto p = scan_args(parse_command({"scan", "--patterns", "--json"}));
  EXPECT_EQ(p.patterns, "--json");
  EXPECT_FALSE(p.json);
  const auto later = scan_args(parse_command({"scan", "--patterns", "a", "--patterns", "b"}));
  EXPECT_EQ(later.patterns, "b");
}

TEST(ParseCommand, ErrorMessages) {
  EXPECT_EQ(error_of({"scan", "--prior"}), "--prior requires a value");
  EXPECT_EQ(error_of({"scan", "--prior", "abc"}), "Invalid prior");
  EXPECT_EQ(error_of({"scan", "--block-threshold"}), "--block-threshold requires a value");
  EXPECT_EQ(error_of({"scan", "--block-threshold", "x"}), "Invalid block threshold");
  EXPECT_EQ(error_of({"scan", "--allow-threshold"}), "--allow-threshold requires a value");
  EXPECT_EQ(error_of({"scan", "--allow-threshold", "0x1p3"}), "Invalid allow threshold");
  EXPECT_EQ(error_of({"scan", "--mode"}), "--mode requires a value ('input' or 'output')");
  EXPECT_EQ(error_of({"scan", "-m", "Output"}), "Invalid mode 'Output'. Use 'input' or 'output'.");
  EXPECT_EQ(error_of({"scan", "--patterns"}), "--patterns requires a file path");
  EXPECT_EQ(error_of({"scan", "--stdin", "text"}), "--stdin cannot be used with positional INPUT");
  EXPECT_EQ(error_of({"scan", "text", "--stdin"}), "--stdin cannot be used with positional INPUT");
  EXPECT_EQ(error_of({"scan", "--bogus"}), "Unknown option: --bogus");
  // Parsing stops at the first error.
  EXPECT_EQ(error_of({"scan", "--bogus", "--prior"}), "Unknown option: --bogus");
}

TEST(ParseCommand, StreamAcceptsOnlyItsOwnOptions) {
  const auto s = std::get<StreamArgs>(
      parse_command({"stream", "-j", "-e", "-q", "--prior", "0.2", "--low-latency"}));
  EXPECT_TRUE(s.json && s.exit_on_threat && s.quiet);
  EXPECT_EQ(s.options.prior, 0.01);
  EXPECT_EQ(s.options.block_threshold, 0.95);
  for (const char* bad : {"--mode", "-m", "--stdin", "--patterns", "word", ""}) {
    EXPECT_EQ(error_of({"stream", bad}), std::string("Unknown option for stream: ") + bad);
  }
  EXPECT_EQ(error_of({"stream", "--prior"}), "--prior requires a value");
}

TEST(ScannerOptionsFromArguments, PresetsAreTheLibrarysNamedOptions) {
  const auto gate_of = [](std::vector<std::string> args) {
    args.insert(args.begin(), "scan");
    return vantrel_core::gate_config_hash(make_gate_config(scan_args(parse_command(args)).options));
  };
  EXPECT_EQ(gate_of({}), vantrel_core::gate_config_hash(ScannerOptions::defaults().gate));
  EXPECT_EQ(gate_of({"--high-security"}),
            vantrel_core::gate_config_hash(ScannerOptions::high_security().gate));
  EXPECT_EQ(gate_of({"--low-latency"}),
            vantrel_core::gate_config_hash(ScannerOptions::low_latency().gate));
}

TEST(ScannerOptionsFromArguments, TheCommandLineAsksForTheSearchAndTheVariables) {
  const ScannerOptions o = make_scanner_options(ScanOptions(), std::string("extra.json"));
  EXPECT_TRUE(o.search_pattern_files);
  EXPECT_TRUE(o.read_profile_environment);
  EXPECT_EQ(o.patterns_file, "extra.json");
  EXPECT_FALSE(o.score_profile_file.has_value());
  EXPECT_EQ(o.max_input_bytes, vantrel_core::kDefaultInputLimit);
}

TEST(GateConfigFromOptions, FrontEndConstants) {
  ScanOptions o;
  o.prior = 0.05;
  o.warning_mode = false;
  const auto c = make_gate_config(o);
  EXPECT_EQ(c.prior, 0.05);
  EXPECT_FALSE(c.warning_mode_enabled);
  EXPECT_EQ(c.max_likelihood_ratio, 2000.0);
  EXPECT_EQ(c.toolcall_lr_cap, 1500.0);
  EXPECT_EQ(c.obfuscation_lr_cap, 12.0);
  EXPECT_EQ(c.obfuscation_log_budget, 3.0);
  EXPECT_EQ(c.reinforcement_max_log, 0.0);
  EXPECT_TRUE(c.score_v2_enabled);
  EXPECT_TRUE(c.correlation_dedup_enabled);
}

}  // namespace
}  // namespace vantrel
