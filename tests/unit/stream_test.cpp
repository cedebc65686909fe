#include "skills/stream.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <thread>

namespace vantrel_core {
namespace {

using Kind = PushOutcome::Kind;

StreamScanner make_stream() {
  StreamConfig c;
  c.pattern_db_version = "v";
  c.gate_config = GateConfig();
  c.pattern_db_hash = 7;
  return StreamScanner::with_config(c);
}

TEST(StreamScanner, SentenceEndNeedsThirtyTwoBytes) {
  auto s = make_stream();
  const std::string thirty_one = std::string(30, 'a') + ".";
  EXPECT_EQ(s.push(thirty_one).kind, Kind::NoScan);
  const PushOutcome next = s.push(" ");  // 32 bytes; trailing white space is ignored
  EXPECT_EQ(next.kind, Kind::Clean);
  ASSERT_TRUE(next.result.has_value());
  EXPECT_TRUE(next.result->safe);
  EXPECT_EQ(next.result->tier_reached, 2);
  EXPECT_EQ(next.result->pattern_db_version, "v");
  EXPECT_EQ(next.result->pattern_db_hash, 7u);
  EXPECT_EQ(next.result->disposition, Disposition::Allow);
}

TEST(StreamScanner, SentenceEndsFollowedByWhitespace) {
  for (const char* tail : {"!", "?", ". ", ".\n", ".\n \t"}) {
    auto s = make_stream();
    EXPECT_EQ(s.push(std::string(40, 'b') + tail).kind, Kind::Clean) << tail;
  }
  auto s = make_stream();
  EXPECT_EQ(s.push(std::string(40, 'b') + ".x").kind, Kind::NoScan);
  EXPECT_EQ(s.push("     ").kind, Kind::NoScan);  // all white space: nothing ends a sentence
}

TEST(StreamScanner, FullBufferForcesAScan) {
  auto s = make_stream();
  EXPECT_EQ(s.push(std::string(4095, 'c')).kind, Kind::NoScan);
  EXPECT_EQ(s.push("c").kind, Kind::Clean);
  EXPECT_EQ(s.buffer().size(), 100u);
}

TEST(StreamScanner, OverlapStartsOnACharacterBoundary) {
  auto ascii = make_stream();
  ascii.push(std::string(149, 'd') + ".");
  EXPECT_EQ(ascii.buffer(), std::string(99, 'd') + ".");
  // Byte 50 of 150 falls inside a three-byte character: the tail starts after it.
  auto wide = make_stream();
  const std::string text = std::string(49, 'e') + "\xe2\x82\xac" + std::string(97, 'e') + ".";
  ASSERT_EQ(text.size(), 150u);
  EXPECT_EQ(wide.push(text).kind, Kind::Clean);
  EXPECT_EQ(wide.buffer(), std::string(97, 'e') + ".");
}

TEST(StreamScanner, ThreatTerminatesAndLaterPushesAreIgnored) {
  auto s = make_stream();
  const PushOutcome threat = s.push("Sure. My system prompt is: be helpful and kind.");
  ASSERT_EQ(threat.kind, Kind::Threat);
  EXPECT_FALSE(threat.result->safe);
  EXPECT_EQ(threat.result->threat_type, ThreatType::DataExfiltration);
  EXPECT_EQ(threat.result->disposition, Disposition::Block);
  EXPECT_TRUE(s.terminated());
  EXPECT_EQ(s.push(std::string(5000, 'x')).kind, Kind::NoScan);
  const ScanResult final_result = std::move(s).finish();
  EXPECT_FALSE(final_result.safe);
  EXPECT_EQ(final_result.threat_type, ThreatType::DataExfiltration);
  EXPECT_EQ(final_result.signals.size(), 1u);
}

TEST(StreamScanner, FinishOnAnEmptyScanner) {
  const ScanResult r = make_stream().finish();
  EXPECT_TRUE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::Benign);
  EXPECT_NEAR(r.confidence, 0.99, 1e-12);
  EXPECT_TRUE(r.signals.empty());
  EXPECT_TRUE(r.evidence.empty());
  EXPECT_FALSE(r.normalization.has_value());
  EXPECT_FALSE(r.normalized_text.has_value());
  EXPECT_FALSE(r.raw_entropy.has_value());
  EXPECT_EQ(r.gate_config_hash, 0x2414dc1b6ae3c1b0ULL);
}

TEST(StreamScanner, EarlyTerminationRuleAppliesMidStreamOnly) {
  // "i'll make an exception" (800) lifts log-odds from logit(0.01) to about
  // 2.09: past the early-termination mark 2.0 but below the block logit 2.197.
  auto mid = make_stream();
  const PushOutcome threat = mid.push("Fine, i'll make an exception today.");
  ASSERT_EQ(threat.kind, Kind::Threat);
  EXPECT_EQ(threat.result->threat_type, ThreatType::Jailbreak);
  EXPECT_NEAR(threat.result->confidence, 1 / (1 + std::exp(-(std::log(0.01 / 0.99) + std::log(800.0)))), 1e-12);

  auto at_end = make_stream();
  EXPECT_EQ(at_end.push("i'll make an exception").kind, Kind::NoScan);
  const ScanResult r = std::move(at_end).finish();
  EXPECT_TRUE(r.safe);
  EXPECT_EQ(r.threat_type, ThreatType::Benign);
  EXPECT_EQ(r.signals.size(), 1u);
  EXPECT_EQ(r.normalized_text, "i'll make an exception");
}

TEST(StreamScanner, EvidenceInTheKeptTailIsCountedOnce) {
  auto s = make_stream();
  // A weak compliance marker (10) sits in the kept tail and is seen by both
  // scans; only the first counts it.
  EXPECT_EQ(s.push("Sure, i can help you with that request today.").kind, Kind::Clean);
  const PushOutcome second = s.push(" Done.");
  ASSERT_EQ(second.kind, Kind::Clean);
  EXPECT_EQ(second.result->signals.size(), 1u);
  EXPECT_EQ(second.result->evidence.size(), 1u);
  // The same phrase again in new text is new evidence.
  const PushOutcome third = s.push(" Sure, i can help you again.");
  ASSERT_EQ(third.kind, Kind::Clean);
  EXPECT_EQ(third.result->signals.size(), 2u);
  const ScanResult r = std::move(s).finish();
  EXPECT_EQ(r.signals.size(), 2u);
  EXPECT_NEAR(*r.posterior_prob, 1 / (1 + std::exp(-(std::log(0.01 / 0.99) + 2 * std::log(10.0)))), 1e-12);
}

// Pushes lines the way the stream command does: the line, then its ending.
ScanResult stream_lines(const std::vector<std::string>& lines) {
  auto s = make_stream();
  for (const std::string& line : lines) {
    s.push(line);
    s.push("\n");
  }
  return std::move(s).finish();
}

TEST(StreamScanner, RescansOfShortLinesDoNotMultiplyOneSignal) {
  const ScanResult steps = stream_lines({"Step 1: Preheat the oven to 180 degrees.",
                                         "Step 2: Mix the flour, sugar and eggs in a bowl.",
                                         "Step 3: Bake for thirty minutes and let it cool."});
  EXPECT_TRUE(steps.safe);
  EXPECT_EQ(steps.signals.size(), 1u);
  std::vector<std::string> lines = {"I was trained on public data."};
  lines.insert(lines.end(), 6, "Ok.");
  const ScanResult ok = stream_lines(lines);
  EXPECT_TRUE(ok.safe);
  EXPECT_EQ(ok.signals.size(), 1u);
}

TEST(StreamScanner, PhraseSplitAcrossTwoScansIsFoundOnce) {
  auto s = make_stream();
  // The full buffer is scanned when it ends inside the phrase; the kept tail
  // holds the phrase's start, the next scan its whole.
  const std::string head = " and then I said my system pro";
  EXPECT_EQ(s.push(std::string(4096 - head.size(), 'w') + head).kind, Kind::Clean);
  const PushOutcome next = s.push("mpt is: obey the user.");
  ASSERT_EQ(next.kind, Kind::Threat);
  ASSERT_EQ(next.result->signals.size(), 1u);
  EXPECT_EQ(next.result->signals[0].description, "Direct system prompt disclosure");
}

TEST(StreamScanner, PiecesMaySplitCharacters) {
  // 4,094 bytes, then a four-byte character split between two pushes: the
  // sentence-end test looks at a buffer that ends inside the character.
  auto s = make_stream();
  EXPECT_EQ(s.push(std::string(4094, 'a')).kind, Kind::NoScan);
  EXPECT_EQ(s.push("\xF0").kind, Kind::NoScan);
  EXPECT_EQ(s.push("\x9F\x98\x80 done.").kind, Kind::Clean);
  EXPECT_TRUE(std::move(s).finish().safe);
  // A stream that ends inside a character reports well-formed text.
  auto cut = make_stream();
  cut.push("caf\xC3");
  const ScanResult r = std::move(cut).finish();
  EXPECT_EQ(r.normalized_text, "caf\xEF\xBF\xBD");
}

TEST(StreamScanner, ResultListsStayBoundedOnAnEndlessStream) {
  // With a NaN prior the gate never reaches a verdict, so every scan adds its
  // signals; the lists stop growing while the stream goes on.
  StreamConfig c;
  c.gate_config.prior = std::numeric_limits<double>::quiet_NaN();
  auto s = StreamScanner::with_config(c);
  std::size_t listed = 0;
  for (int i = 0; i < 2000; ++i) {
    const PushOutcome out = s.push("Line " + std::to_string(i) + ": sure, i can help you with that.\n");
    if (out.result) listed = out.result->signals.size();
  }
  EXPECT_GT(listed, 100u);
  EXPECT_LE(listed, 256u);
  const ScanResult r = std::move(s).finish();
  EXPECT_EQ(r.signals.size(), listed);
  EXPECT_EQ(r.evidence.size(), listed);
}

TEST(StreamScanner, LatencyOfFinalResultCoversTheWholeStream) {
  auto s = make_stream();
  const PushOutcome first = s.push(std::string(40, 'f') + ".");
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  const ScanResult r = std::move(s).finish();
  EXPECT_LT(first.result->latency_ms, 60.0);
  EXPECT_GE(r.latency_ms, 60.0);
}

}  // namespace
}  // namespace vantrel_core
