// `vantrel stream`: line-by-line scanning of a model's output with early exit.
#include <gtest/gtest.h>

#include "run_vantrel.h"

namespace {

using namespace std::chrono_literals;
using vantrel_test::InteractiveProcess;
using vantrel_test::run_vantrel;
using vantrel_test::RunOptions;

const std::string kLeak = "Okay. My system prompt is: you are a helpful assistant.\n";
const std::string kSafeHead = "\x1b[32m[SAFE]\x1b[0m confidence=99.0% latency=";
const std::string kThreatHead = "\x1b[31m[THREAT]\x1b[0m Data Exfiltration (confidence=";

vantrel_test::RunResult stream(const std::string& input, std::vector<std::string> extra = {}) {
  RunOptions o;
  o.stdin_data = input;
  std::vector<std::string> args = {"stream"};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_vantrel(args, o);
}

std::size_t count(const std::string& haystack, const std::string& needle) {
  std::size_t n = 0;
  for (std::size_t p = haystack.find(needle); p != std::string::npos; p = haystack.find(needle, p + 1)) ++n;
  return n;
}

TEST(StreamCli, EmptyInputPrintsOnlyTheSafeSummary) {
  const auto r = stream("");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.rfind(kSafeHead, 0), 0u);
  EXPECT_EQ(count(r.out, "\n"), 1u);
  const std::string tail =
      "ms disposition=allow posterior_prob=0.010 effective_lr=1.000 policy=sv2:on warn:on dedup:corr [0.30/0.60]\n";
  EXPECT_EQ(r.out.substr(r.out.size() - tail.size()), tail);
  const auto json = stream("", {"--json"});
  EXPECT_EQ(json.out.rfind("{\"safe\":true,\"threat_type\":\"benign\",\"confidence\":0.99,", 0), 0u);
  EXPECT_EQ(count(json.out, "\n"), 1u);
}

TEST(StreamCli, ThreatWithoutExitIsReportedTwice) {
  const auto r = stream("Hello there.\n" + kLeak + "More text after the leak.\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(count(r.out, kThreatHead), 2u) << r.out;
  EXPECT_EQ(r.out.rfind(kThreatHead, 0), 0u);
  EXPECT_NE(r.out.find("\nGate config hash: 0x2414dc1b6ae3c1b0\nPattern DB hash: 0x"), std::string::npos);
  EXPECT_NE(r.out.find("\nSignals detected:\n  - [output] leak (LR=2000.0, raw=n/a) : Direct system prompt disclosure\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find("Policy"), std::string::npos);
}

TEST(StreamCli, QuietExitOnThreat) {
  const auto threat = stream(kLeak, {"-q", "-e"});
  EXPECT_EQ(threat.exit_code, 1);
  EXPECT_EQ(threat.out, "");
  const auto clean = stream("Just a friendly answer.\n", {"-q", "-e"});
  EXPECT_EQ(clean.exit_code, 0);
  EXPECT_EQ(clean.out, "");
}

TEST(StreamCli, ThreatAtEndOfInputWithExitOnThreat) {
  // No sentence end and under 4096 bytes: only the final scan sees the leak.
  const auto r = stream("my system prompt is secret", {"-e", "--json"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.rfind("{\"safe\":false,\"threat_type\":\"data_exfiltration\",", 0), 0u);
  EXPECT_EQ(count(r.out, "\n"), 1u);
}

TEST(StreamCli, ExitsAtTheFirstThreatWhileTheProducerIsStillWriting) {
  InteractiveProcess p({"stream", "-e"});
  ASSERT_TRUE(p.write(kLeak));
  // The producer keeps its end open: the command must not wait for it.
  const auto code = p.wait(1s);
  ASSERT_TRUE(code.has_value()) << "stream -e did not exit within a second";
  EXPECT_EQ(*code, 1);
  const auto line = p.read_line(1s);
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(line->rfind(kThreatHead, 0), 0u);
}

TEST(StreamCli, ThreatFoundByTheLineFeedPushIsReportedAtOnce) {
  // A 31-byte line ending in a sentence end only reaches a scan point when its
  // line feed arrives.
  const std::string line = "I'll bend the rules for you ok!";
  ASSERT_EQ(line.size(), 31u);
  InteractiveProcess p({"stream", "-e"});
  ASSERT_TRUE(p.write(line + "\n"));
  const auto code = p.wait(1s);
  ASSERT_TRUE(code.has_value()) << "threat from the line-feed push was not acted on";
  EXPECT_EQ(*code, 1);
}

TEST(StreamCli, CarriageReturnsBeforeLineFeedsAreDropped) {
  const auto crlf = stream("my system prompt is\r\n", {"--json"});
  const auto lf = stream("my system prompt is\n", {"--json"});
  EXPECT_EQ(crlf.exit_code, 0);
  const auto hash_of = [](const std::string& out) {
    const auto p = out.find("\"normalized_hash\":");
    return p == std::string::npos ? std::string("none") : out.substr(p, 40);
  };
  EXPECT_EQ(hash_of(crlf.out), hash_of(lf.out));
  EXPECT_EQ(crlf.out.rfind("{\"safe\":false,\"threat_type\":\"data_exfiltration\",", 0), 0u);
}

TEST(StreamCli, RescansOfShortLinesDoNotAddUpOneSignal) {
  // Every line is scanned at its sentence end and again with its line feed,
  // and the next scan re-reads the kept tail: one weak signal each time.
  const auto steps = stream(
      "Step 1: Preheat the oven to 180 degrees.\nStep 2: Mix the flour and the sugar.\n"
      "Step 3: Bake the cake for thirty minutes.\n",
      {"-e", "--json"});
  EXPECT_EQ(steps.exit_code, 0) << steps.out;
  EXPECT_EQ(count(steps.out, "\"description\":\"Step-by-step"), 1u) << steps.out;
  std::string ok = "I was trained on public data.\n";
  for (int i = 0; i < 6; ++i) ok += "Ok.\n";
  const auto trained = stream(ok, {"-e"});
  EXPECT_EQ(trained.exit_code, 0) << trained.out;
  EXPECT_EQ(trained.out.rfind(kSafeHead.substr(0, 20), 0), 0u);
}

TEST(StreamCli, CarriageReturnOnlyOutputIsScannedAsItArrives) {
  // Output that only ever returns the carriage has no line feed at all.
  InteractiveProcess p({"stream", "-e"});
  ASSERT_TRUE(p.write("Loading model...\rOkay. My system prompt is: you are a helpful assistant.\r"));
  const auto code = p.wait(2s);
  ASSERT_TRUE(code.has_value()) << "a line ended by a carriage return was not scanned";
  EXPECT_EQ(*code, 1);
  // The scanned bytes are those received: the same final text whether the
  // carriage return comes alone or before a line feed.
  const auto hash_of = [](const std::string& out) {
    const auto at = out.find("\"normalized_hash\":");
    return at == std::string::npos ? std::string("none") : out.substr(at, 40);
  };
  EXPECT_EQ(hash_of(stream("a\rb\r", {"--json"}).out), hash_of(stream("a\rb\r\n", {"--json"}).out));
}

TEST(StreamCli, ThreatInsideAnEndlessLineStopsTheStream) {
  // One line far longer than the size limit, still being written: it is
  // scanned in pieces, and the leak in its first piece ends the stream.
  InteractiveProcess p({"stream", "-e", "--json"});
  std::string line = "Okay. My system prompt is: you are a helpful assistant. ";
  line += std::string((1u << 20) + 100, 'z');
  ASSERT_TRUE(p.write(line));
  const auto code = p.wait(5s);
  ASSERT_TRUE(code.has_value()) << "the threat was not acted on before the line ended";
  EXPECT_EQ(*code, 1);
  const auto report = p.read_line(1s);
  ASSERT_TRUE(report.has_value());
  EXPECT_EQ(report->rfind("{\"safe\":false,\"threat_type\":\"data_exfiltration\",", 0), 0u);
}

TEST(StreamCli, InvalidUtf8KeepsEarlierReportsAndExitsTwo) {
  const auto r = stream(kLeak + "bad \xff byte\nmore\n");
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(count(r.out, kThreatHead), 1u);
  EXPECT_EQ(r.err, "Error reading stdin: stream did not contain valid UTF-8\n");
}

TEST(StreamCli, LongLineWithoutLineFeedAndNulBytes) {
  std::string big(3 << 20, 'a');
  big[1000] = '\0';
  const auto r = stream(big);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind(kSafeHead, 0), 0u);
}

TEST(StreamCli, ClosedStdoutDoesNotCrash) {
  InteractiveProcess p({"stream"});
  p.close_stdout();
  p.write(kLeak);
  p.close_stdin();
  const auto code = p.wait(5s);
  ASSERT_TRUE(code.has_value());
  EXPECT_EQ(*code, 2);
  EXPECT_EQ(p.stderr_text(), "Error writing output\n");
}

}  // namespace
