#include "report_human.h"

#include <cinttypes>
#include <cstdio>

#include "vantrel/text.h"

namespace vantrel {

using vantrel_core::append_fixed;
using vantrel_core::ScanResult;

namespace {

constexpr const char* kGreen = "\x1b[32m";
constexpr const char* kRed = "\x1b[31m";
constexpr const char* kReset = "\x1b[0m";

void append_hex16(std::string& out, std::uint64_t v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016" PRIx64, v);
  out += buf;
}

void append_raw(std::string& out, const std::optional<double>& raw) {
  if (raw) {
    append_fixed(out, *raw, 2);
  } else {
    out += "n/a";
  }
}

const char* bool_word(bool b) { return b ? "true" : "false"; }

bool any_policy_flag(const ScanResult& r) {
  return r.score_v2_enabled || r.warning_mode_enabled || r.correlation_dedup_enabled;
}

void append_hash_lines(std::string& out, const ScanResult& r) {
  out += "Gate config hash: 0x";
  append_hex16(out, r.gate_config_hash);
  out += "\nPattern DB hash: 0x";
  append_hex16(out, r.pattern_db_hash);
  out += '\n';
  if (r.pattern_db_version) {
    out += "Pattern DB version: ";
    out += *r.pattern_db_version;
    out += '\n';
  }
}

void append_signal_lines(std::string& out, const ScanResult& r) {
  out += "\nSignals detected:\n";
  for (const auto& s : r.signals) {
    out += "  - [";
    out += s.skill;
    out += "] ";
    out += s.signal_type;
    out += " (LR=";
    append_fixed(out, s.likelihood_ratio, 1);
    out += ", raw=";
    append_raw(out, s.raw_score);
    out += ") : ";
    out += s.description;
    out += '\n';
  }
}

void append_evidence_lines(std::string& out, const ScanResult& r) {
  out += "\nEvidence breakdown:\n";
  for (const auto& e : r.evidence) {
    out += "  - [";
    out += e.skill;
    out += "] ";
    out += e.signal_type;
    out += " log_lr=";
    append_fixed(out, e.log_lr, 3);
    out += " capped=";
    out += bool_word(e.capped);
    out += " suppressed=";
    out += bool_word(e.suppressed);
    out += " raw=";
    append_raw(out, e.raw_score);
    out += '\n';
  }
}

}  // namespace

std::string format_result_human(const ScanResult& r) {
  std::string out;
  if (r.safe) {
    out += kGreen;
    out += "[SAFE]";
    out += kReset;
    out += " confidence=";
    append_fixed(out, r.confidence * 100.0, 1);
    out += "% latency=";
    append_fixed(out, r.latency_ms, 2);
    out += "ms";
  } else {
    out += kRed;
    out += "[THREAT]";
    out += kReset;
    out += ' ';
    out += vantrel_core::display_name(r.threat_type);
    out += " (confidence=";
    append_fixed(out, r.confidence * 100.0, 1);
    out += "%, latency=";
    append_fixed(out, r.latency_ms, 2);
    out += "ms)";
  }
  if (r.disposition) {
    out += " disposition=";
    out += vantrel_core::disposition_name(*r.disposition);
  }
  if (r.posterior_prob) {
    out += " posterior_prob=";
    append_fixed(out, *r.posterior_prob, 3);
  }
  if (r.effective_lr) {
    out += " effective_lr=";
    append_fixed(out, *r.effective_lr, 3);
  }
  if (r.severity) {
    out += " severity=";
    out += vantrel_core::severity_name(*r.severity);
  }
  if (any_policy_flag(r)) {
    out += " policy=sv2:";
    out += r.score_v2_enabled ? "on" : "off";
    out += " warn:";
    out += r.warning_mode_enabled ? "on" : "off";
    out += " dedup:";
    out += r.correlation_dedup_enabled ? "corr" : "offset";
    out += " [";
    append_fixed(out, r.warn_prob, 2);
    out += '/';
    append_fixed(out, r.block_prob, 2);
    out += ']';
  }
  return out;
}

std::string format_scan_report(const ScanResult& r) {
  std::string out;
  append_hash_lines(out, r);
  out += format_result_human(r);
  out += '\n';
  if (r.warning_message) {
    out += "Policy: ";
    out += *r.warning_message;
    out += '\n';
  }
  if (r.thresholds_used) {
    const auto& t = *r.thresholds_used;
    out += "Thresholds used: warn=";
    append_fixed(out, t.warn_prob, 2);
    out += " block=";
    append_fixed(out, t.block_prob, 2);
    out += " ramp=[";
    append_fixed(out, t.low_start_prob, 2);
    out += ',';
    append_fixed(out, t.medium_start_prob, 2);
    out += ',';
    append_fixed(out, t.high_start_prob, 2);
    out += ',';
    append_fixed(out, t.critical_start_prob, 2);
    out += "]\n";
  }
  if (any_policy_flag(r)) {
    out += "Policy flags: score_v2=";
    out += bool_word(r.score_v2_enabled);
    out += " warning_mode=";
    out += bool_word(r.warning_mode_enabled);
    out += " correlation_dedup=";
    out += bool_word(r.correlation_dedup_enabled);
    out += '\n';
  }
  if (!r.safe && !r.signals.empty()) append_signal_lines(out, r);
  if (!r.evidence.empty()) append_evidence_lines(out, r);
  return out;
}

std::string format_stream_threat_report(const ScanResult& r) {
  std::string out = format_result_human(r);
  out += '\n';
  append_hash_lines(out, r);
  if (!r.signals.empty()) append_signal_lines(out, r);
  if (!r.evidence.empty()) append_evidence_lines(out, r);
  return out;
}

}  // namespace vantrel
