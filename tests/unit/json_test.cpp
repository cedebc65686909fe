#include "vantrel/json.h"

#include <gtest/gtest.h>
#include <simdjson.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>

namespace vantrel_core {
namespace {

std::string num(double v) {
  std::string s;
  append_json_number(s, v);
  return s;
}

TEST(JsonNumber, LayoutByDecimalExponent) {
  EXPECT_EQ(num(1.0), "1.0");
  EXPECT_EQ(num(0.25), "0.25");
  EXPECT_EQ(num(0.5), "0.5");
  EXPECT_EQ(num(100000.0), "100000.0");
  EXPECT_EQ(num(1e-5), "0.00001");
  EXPECT_EQ(num(1e15), "1000000000000000.0");
  EXPECT_EQ(num(1e16), "1e+16");
  EXPECT_EQ(num(2.5e-7), "2.5e-7");
  EXPECT_EQ(num(1e-6), "1e-6");
  EXPECT_EQ(num(1e-9), "1e-9");
  EXPECT_EQ(num(1.5e300), "1.5e+300");
  EXPECT_EQ(num(123.456), "123.456");
  EXPECT_EQ(num(-0.001), "-0.001");
  EXPECT_EQ(num(-1234567.5), "-1234567.5");
  EXPECT_EQ(num(0.1 + 0.2), "0.30000000000000004");
  EXPECT_EQ(num(5e-324), "5e-324");
  EXPECT_EQ(num(std::numeric_limits<double>::max()), "1.7976931348623157e+308");
}

// The layout rule spelled out over strings: shortest digits and decimal
// exponent from std::to_chars, plain notation for exponents -5 to 15.
std::string reference_num(double v) {
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string sci(buf, end);
  std::string out;
  if (sci[0] == '-') {
    out = "-";
    sci.erase(0, 1);
  }
  const std::size_t e = sci.find('e');
  std::string digits = sci.substr(0, e);
  digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
  const int exponent = std::stoi(sci.substr(e + 1));
  const int n = static_cast<int>(digits.size());
  if (exponent < -5 || exponent > 15) {
    return out + digits.substr(0, 1) + (n > 1 ? "." + digits.substr(1) : "") + "e" +
           (exponent < 0 ? "-" : "+") + std::to_string(std::abs(exponent));
  }
  if (exponent < 0) return out + "0." + std::string(-exponent - 1, '0') + digits;
  if (exponent + 1 >= n) return out + digits + std::string(exponent + 1 - n, '0') + ".0";
  return out + digits.substr(0, exponent + 1) + "." + digits.substr(exponent + 1);
}

TEST(JsonNumber, LayoutAsTheRuleOverStrings) {
  std::mt19937_64 rng(0x15);
  for (int i = 0; i < 200000; ++i) {
    // Random bits, and every decimal exponent around the notation change.
    double v = std::bit_cast<double>(rng());
    if (i % 2 == 0) {
      v = static_cast<double>(rng() % 1000000) *
          std::pow(10.0, static_cast<double>(static_cast<int>(rng() % 30) - 14)) *
          (i % 6 == 0 ? -1.0 : 1.0);
    }
    if (!std::isfinite(v) || v == 0) continue;
    ASSERT_EQ(num(v), reference_num(v));
  }
}

TEST(JsonNumber, ZerosAndNonFinite) {
  EXPECT_EQ(num(0.0), "0.0");
  EXPECT_EQ(num(-0.0), "-0.0");
  EXPECT_EQ(num(std::nan("")), "null");
  EXPECT_EQ(num(HUGE_VAL), "null");
  EXPECT_EQ(num(-HUGE_VAL), "null");
}

TEST(JsonNumber, EveryFiniteDoubleReadsBackExactly) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 200000; ++i) {
    double v = std::bit_cast<double>(rng());
    if (!std::isfinite(v)) continue;
    if (i % 4 == 0) v = static_cast<double>(rng() % 100000) / 1000.0;  // short decimals too
    const std::string s = num(v);
    const double back = std::strtod(s.c_str(), nullptr);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(v)) << s;
    ASSERT_TRUE(s.find('.') != std::string::npos || s.find('e') != std::string::npos) << s;
  }
}

TEST(JsonReport, ResultWithoutOptionalData) {
  ScanResult r;
  r.confidence = 1.0;
  r.latency_ms = 0.5;
  r.warn_prob = 0.3;
  r.block_prob = 0.6;
  EXPECT_EQ(
      format_result_json(r),
      "{\"safe\":true,\"threat_type\":\"benign\",\"confidence\":1.0,\"latency_ms\":0.5,\"tier_"
      "reached\":0,"
      "\"gate_config_hash\":0,\"pattern_db_hash\":0,\"pattern_db_version\":null,\"normalization\":"
      "null,"
      "\"posterior_prob\":null,\"effective_lr\":null,\"disposition\":null,\"severity\":null,"
      "\"warning_message\":null,\"thresholds_used\":null,\"policy\":{\"score_v2_enabled\":false,"
      "\"warning_mode_enabled\":false,\"correlation_dedup_enabled\":false,\"warn_prob\":0.3,"
      "\"block_prob\":0.6,\"low_start_prob\":0.0,\"medium_start_prob\":0.0,\"high_start_prob\":0.0,"
      "\"critical_start_prob\":0.0,\"score_profile_applied\":false,\"score_profile_warning\":null},"
      "\"signals\":[],\"evidence\":[]}");
}

// The policy lists the six probabilities again; written once and copied
// when they are the same, they must read as written afresh, and any that
// differs (by a bit: 0.0 and -0.0) must show its own value.
TEST(JsonReport, PolicyProbabilitiesAsWrittenWhetherOrNotThresholdsMatch) {
  const auto members = [](const char* w, const char* b, const char* l, const char* m,
                          const char* h, const char* c) {
    return std::string("\"warn_prob\":") + w + ",\"block_prob\":" + b +
           ",\"low_start_prob\":" + l + ",\"medium_start_prob\":" + m +
           ",\"high_start_prob\":" + h + ",\"critical_start_prob\":" + c;
  };
  ScanResult r;
  r.warn_prob = 0.3;
  r.block_prob = 0.6;
  r.low_start_prob = 0.3;
  r.medium_start_prob = 0.4;
  r.high_start_prob = 0.5;
  r.critical_start_prob = 0.6;
  r.thresholds_used = ThresholdsUsed{0.3, 0.6, 0.3, 0.4, 0.5, 0.6};
  const std::string same = members("0.3", "0.6", "0.3", "0.4", "0.5", "0.6");
  std::string json = format_result_json(r);
  EXPECT_NE(json.find("\"thresholds_used\":{" + same + "},\"policy\":{"), std::string::npos);
  EXPECT_NE(json.find("\"correlation_dedup_enabled\":false," + same + ",\"score_profile_applied"),
            std::string::npos)
      << json;

  r.thresholds_used = ThresholdsUsed{0.3, 0.6, 0.3, 0.4, 0.5, 0.7};
  r.medium_start_prob = -0.0;
  r.thresholds_used->medium_start_prob = 0.0;
  json = format_result_json(r);
  EXPECT_NE(json.find("\"thresholds_used\":{" + members("0.3", "0.6", "0.3", "0.0", "0.5", "0.7") +
                      "},"),
            std::string::npos)
      << json;
  EXPECT_NE(json.find("\"correlation_dedup_enabled\":false," +
                      members("0.3", "0.6", "0.3", "-0.0", "0.5", "0.6") + ",\"score_profile"),
            std::string::npos)
      << json;
}

TEST(JsonReport, FullResultParsesWithEveryKeyInOrder) {
  ScanResult r;
  r.safe = false;
  r.threat_type = ThreatType::ToolManipulation;
  r.confidence = std::nan("");
  r.tier_reached = 2;
  r.gate_config_hash = std::numeric_limits<std::uint64_t>::max();
  r.pattern_db_version = "v\"1";
  NormalizationReport n;
  n.decoded_payloads = 2;
  n.normalized_hash = 0xe71fa2190541574bULL;
  r.normalization = n;
  r.posterior_prob = 1e-9;
  r.disposition = Disposition::AllowWithWarning;
  r.severity = Severity::High;
  r.warning_message = "Security alert (high): attack-likelihood score 55%";
  r.thresholds_used = ThresholdsUsed{0.3, 0.6, 0.3, 0.4, 0.5, 0.6};
  r.score_profile_warning = "w";
  Signal s("pattern", "jailbreak", "line\nfeed \x1b esc \x0c ff Привет", 700);
  s.offset = 3;  // not written
  r.signals.push_back(s);
  SignalEvidence e;
  e.skill = "pattern";
  e.signal_type = "jailbreak";
  e.log_lr = std::log(700.0);
  e.raw_score = 4.5;
  r.evidence.push_back(e);

  const std::string json = format_result_json(r);
  EXPECT_NE(json.find("\"gate_config_hash\":18446744073709551615,"), std::string::npos);
  EXPECT_NE(json.find("\"confidence\":null,"), std::string::npos);
  EXPECT_NE(json.find("\"posterior_prob\":1e-9,"), std::string::npos);
  EXPECT_NE(json.find("\"description\":\"line\\nfeed \\u001b esc \\f ff Привет\""),
            std::string::npos);
  EXPECT_NE(json.find("\"pattern_db_version\":\"v\\\"1\""), std::string::npos);
  EXPECT_EQ(json.find('\n'), std::string::npos);

  simdjson::dom::parser parser;
  simdjson::dom::element doc;
  ASSERT_EQ(parser.parse(json).get(doc), simdjson::SUCCESS) << json;
  const std::vector<std::string> expected = {
      "safe",          "threat_type",      "confidence",      "latency_ms",
      "tier_reached",  "gate_config_hash", "pattern_db_hash", "pattern_db_version",
      "normalization", "posterior_prob",   "effective_lr",    "disposition",
      "severity",      "warning_message",  "thresholds_used", "policy",
      "signals",       "evidence"};
  std::vector<std::string> keys;
  for (auto field : doc.get_object()) keys.emplace_back(field.key);
  EXPECT_EQ(keys, expected);
  EXPECT_EQ(std::string_view(doc["threat_type"]), "tool_manipulation");
  EXPECT_EQ(std::string_view(doc["disposition"]), "allow_with_warning");
  EXPECT_EQ(uint64_t(doc["normalization"]["normalized_hash"]), 0xe71fa2190541574bULL);
  EXPECT_EQ(std::string_view(doc["normalization"]["version"]), "norm/v1");
  std::vector<std::string> signal_keys;
  for (auto field : doc["signals"].at(0).get_object()) signal_keys.emplace_back(field.key);
  EXPECT_EQ(signal_keys, (std::vector<std::string>{"skill", "type", "likelihood_ratio", "raw_score",
                                                   "description"}));
  std::vector<std::string> evidence_keys;
  for (auto field : doc["evidence"].at(0).get_object()) evidence_keys.emplace_back(field.key);
  EXPECT_EQ(evidence_keys, (std::vector<std::string>{"skill", "type", "log_lr", "capped",
                                                     "suppressed", "raw_score"}));
  EXPECT_EQ(double(doc["evidence"].at(0)["raw_score"]), 4.5);
}

TEST(EscapeJsonString, DaemonEscaperDiffersFromTheReportEscaper) {
  EXPECT_EQ(escape_json_string("a\"b\\c\nd\te\rf"), "a\\\"b\\\\c\\nd\\te\\rf");
  EXPECT_EQ(escape_json_string("\x08"), "\\u0008");
  EXPECT_EQ(escape_json_string("\x0c"), "\\u000c");
  EXPECT_EQ(escape_json_string("\x1b"), "\\u001b");
  EXPECT_EQ(escape_json_string("\x7f é"), "\x7f é");
  ScanResult r;
  r.warning_message = "\x08\x0c";
  EXPECT_NE(format_result_json(r).find("\"warning_message\":\"\\b\\f\""), std::string::npos);
}

}  // namespace
}  // namespace vantrel_core
