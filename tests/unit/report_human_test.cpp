#include "report_human.h"

#include <gtest/gtest.h>

#include <cmath>

#include "vantrel/text.h"

namespace vantrel {
namespace {

using namespace vantrel_core;

const std::string kGreen = "\x1b[32m";
const std::string kRed = "\x1b[31m";
const std::string kReset = "\x1b[0m";

TEST(FormatFixed, RoundsTheExactBinaryValueTiesToEven) {
  EXPECT_EQ(format_fixed(0.125, 2), "0.12");  // exact tie
  EXPECT_EQ(format_fixed(0.135, 2), "0.14");  // just above the tie in binary
  EXPECT_EQ(format_fixed(0.375, 2), "0.38");
  EXPECT_EQ(format_fixed(2.5, 0), "2");
  EXPECT_EQ(format_fixed(99.975, 1), "100.0");
  EXPECT_EQ(format_fixed(-1.25, 1), "-1.2");
  EXPECT_EQ(format_fixed(1e20, 1), "100000000000000000000.0");
  EXPECT_EQ(format_fixed(std::nan(""), 2), "NaN");
  EXPECT_EQ(format_fixed(HUGE_VAL, 3), "inf");
  EXPECT_EQ(format_fixed(-HUGE_VAL, 3), "-inf");
}

TEST(SummaryLine, SafeWithoutOptionalParts) {
  ScanResult r;
  r.safe = true;
  r.confidence = 0.99;
  r.latency_ms = 0.123;
  EXPECT_EQ(format_result_human(r), kGreen + "[SAFE]" + kReset + " confidence=99.0% latency=0.12ms");
  r.confidence = 0.99975;
  r.latency_ms = 0.125;
  EXPECT_EQ(format_result_human(r), kGreen + "[SAFE]" + kReset + " confidence=100.0% latency=0.12ms");
  r.latency_ms = 0.135;
  EXPECT_EQ(format_result_human(r), kGreen + "[SAFE]" + kReset + " confidence=100.0% latency=0.14ms");
}

TEST(SummaryLine, ThreatWithEveryOptionalPart) {
  ScanResult r;
  r.safe = false;
  r.threat_type = ThreatType::PromptInjection;
  r.confidence = 0.973;
  r.latency_ms = 0.42;
  r.disposition = Disposition::Block;
  r.posterior_prob = 0.973;
  r.effective_lr = 3567.667;
  r.severity = Severity::Critical;
  r.score_v2_enabled = r.warning_mode_enabled = r.correlation_dedup_enabled = true;
  r.warn_prob = 0.3;
  r.block_prob = 0.6;
  EXPECT_EQ(format_result_human(r),
            kRed + "[THREAT]" + kReset +
                " Prompt Injection (confidence=97.3%, latency=0.42ms) disposition=block posterior_prob=0.973 "
                "effective_lr=3567.667 severity=critical policy=sv2:on warn:on dedup:corr [0.30/0.60]");
  r.threat_type = ThreatType::Benign;
  r.score_v2_enabled = r.warning_mode_enabled = false;
  r.correlation_dedup_enabled = true;
  const std::string s = format_result_human(r);
  EXPECT_NE(s.find(" Unknown (confidence="), std::string::npos);
  EXPECT_NE(s.find(" policy=sv2:off warn:off dedup:corr [0.30/0.60]"), std::string::npos);
}

ScanResult sample_result() {
  ScanResult r;
  r.safe = true;
  r.confidence = 0.99;
  r.latency_ms = 1.0;
  r.gate_config_hash = 31;
  r.pattern_db_hash = 0xcbf29ce484222325ULL;
  r.correlation_dedup_enabled = false;
  Signal s("stats", "role_token", "Role token markers detected", 5.0);
  r.signals.push_back(s);
  SignalEvidence e;
  e.skill = "stats";
  e.signal_type = "role_token";
  e.log_lr = std::log(5.0);
  e.raw_score = 1.0;
  r.evidence.push_back(e);
  return r;
}

TEST(ScanReport, SafeResultShowsEvidenceButNoSignals) {
  const std::string report = format_scan_report(sample_result());
  EXPECT_EQ(report, "Gate config hash: 0x000000000000001f\n"
                    "Pattern DB hash: 0xcbf29ce484222325\n" +
                        kGreen + "[SAFE]" + kReset +
                        " confidence=99.0% latency=1.00ms\n"
                        "\n"
                        "Evidence breakdown:\n"
                        "  - [stats] role_token log_lr=1.609 capped=false suppressed=false raw=1.00\n");
}

TEST(ScanReport, ThreatShowsEveryBlock) {
  ScanResult r = sample_result();
  r.safe = false;
  r.threat_type = ThreatType::Jailbreak;
  r.pattern_db_version = "embedded-min";
  r.warning_message = "Blocked (critical): attack-likelihood score 95%";
  r.thresholds_used = ThresholdsUsed{0.3, 0.6, 0.3, 0.4, 0.5, 0.6};
  r.warn_prob = 0.3;
  r.block_prob = 0.6;
  r.correlation_dedup_enabled = false;
  r.warning_mode_enabled = true;
  const std::string report = format_scan_report(r);
  EXPECT_EQ(report, "Gate config hash: 0x000000000000001f\n"
                    "Pattern DB hash: 0xcbf29ce484222325\n"
                    "Pattern DB version: embedded-min\n" +
                        kRed + "[THREAT]" + kReset +
                        " Jailbreak (confidence=99.0%, latency=1.00ms) policy=sv2:off warn:on dedup:offset [0.30/0.60]\n"
                        "Policy: Blocked (critical): attack-likelihood score 95%\n"
                        "Thresholds used: warn=0.30 block=0.60 ramp=[0.30,0.40,0.50,0.60]\n"
                        "Policy flags: score_v2=false warning_mode=true correlation_dedup=false\n"
                        "\n"
                        "Signals detected:\n"
                        "  - [stats] role_token (LR=5.0, raw=n/a) : Role token markers detected\n"
                        "\n"
                        "Evidence breakdown:\n"
                        "  - [stats] role_token log_lr=1.609 capped=false suppressed=false raw=1.00\n");
}

TEST(StreamThreatReport, SummaryFirstAndNoPolicyLines) {
  ScanResult r = sample_result();
  r.safe = false;
  r.threat_type = ThreatType::DataExfiltration;
  r.warning_message = "ignored";
  r.thresholds_used = ThresholdsUsed{};
  r.warning_mode_enabled = true;
  const std::string report = format_stream_threat_report(r);
  EXPECT_EQ(report.find(kRed + "[THREAT]" + kReset + " Data Exfiltration"), 0u);
  EXPECT_NE(report.find("\nGate config hash: 0x000000000000001f\nPattern DB hash: "), std::string::npos);
  EXPECT_NE(report.find("\n\nSignals detected:\n"), std::string::npos);
  EXPECT_NE(report.find("\n\nEvidence breakdown:\n"), std::string::npos);
  EXPECT_EQ(report.find("Policy"), std::string::npos);
  EXPECT_EQ(report.find("Thresholds"), std::string::npos);
}

}  // namespace
}  // namespace vantrel
