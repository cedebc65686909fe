#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>

#include "vantrel/json.h"

namespace vantrel_core {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// Appends `s` as the inside of a JSON string: '"', '\\', tab, line feed and
// carriage return by their short escapes, backspace and form feed too when
// `short_b_f` (the report) or as \u0008 and \u000c otherwise (the daemon's
// own fields), every other control character as \u00XX, all else unchanged.
void append_escaped(std::string& out, std::string_view s, bool short_b_f) {
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"':
        out += "\\\"";
        continue;
      case '\\':
        out += "\\\\";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\b':
        if (!short_b_f) break;
        out += "\\b";
        continue;
      case '\f':
        if (!short_b_f) break;
        out += "\\f";
        continue;
      default:
        break;
    }
    if (c < 0x20) {
      out += "\\u00";
      out += kHex[c >> 4];
      out += kHex[c & 0xF];
    } else {
      out += ch;
    }
  }
}

// A string inside the report, quoted.
void append_report_string(std::string& out, std::string_view s) {
  out += '"';
  append_escaped(out, s, true);
  out += '"';
}

void append_u64(std::string& out, std::uint64_t v) {
  char buf[24];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, end);
}

void append_bool(std::string& out, bool b) {
  out += b ? "true" : "false";
}

void append_opt_number(std::string& out, const std::optional<double>& v) {
  if (v) {
    append_json_number(out, *v);
  } else {
    out += "null";
  }
}

void append_opt_string(std::string& out, const std::optional<std::string>& v) {
  if (v) {
    append_report_string(out, *v);
  } else {
    out += "null";
  }
}

// Appends ,"key": (or "key": for the first member).
void key(std::string& out, std::string_view k, bool first = false) {
  if (!first) out += ',';
  out += '"';
  out += k;
  out += "\":";
}

}  // namespace

void append_json_number(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  if (v == 0) {
    out += std::signbit(v) ? "-0.0" : "0.0";
    return;
  }
  // Shortest round-trip digits in the form d[.ddd]e[+-]XX, taken apart in
  // place: this runs for every number of every report.
  char buf[64];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  const char* p = buf;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  char digits[32];
  std::size_t n = 0;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits[n++] = *p;
  }
  const bool negative_exponent = p[1] == '-';
  int exponent = 0;
  for (const char* q = p + 2; q < end; ++q) exponent = exponent * 10 + (*q - '0');
  if (negative_exponent) exponent = -exponent;
  const std::string_view d(digits, n);
  if (exponent >= -5 && exponent <= 15) {
    const auto whole = static_cast<std::size_t>(exponent + 1);
    if (exponent < 0) {
      out += "0.";
      out.append(static_cast<std::size_t>(-exponent - 1), '0');
      out += d;
    } else if (whole >= n) {
      out += d;
      out.append(whole - n, '0');
      out += ".0";
    } else {
      out += d.substr(0, whole);
      out += '.';
      out += d.substr(whole);
    }
    return;
  }
  out += d[0];
  if (n > 1) {
    out += '.';
    out += d.substr(1);
  }
  out += 'e';
  out += negative_exponent ? '-' : '+';
  append_u64(out, static_cast<std::uint64_t>(negative_exponent ? -exponent : exponent));
}

std::string escape_json_string(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 8);
  append_escaped(out, text, false);
  return out;
}

namespace {

void append_normalization(std::string& out, const std::optional<NormalizationReport>& report) {
  if (!report) {
    out += "null";
    return;
  }
  const NormalizationReport& n = *report;
  out += '{';
  key(out, "version", true);
  append_report_string(out, n.version);
  key(out, "line_endings_normalized");
  append_bool(out, n.line_endings_normalized);
  key(out, "control_chars_mapped");
  append_u64(out, n.control_chars_mapped);
  key(out, "invisible_chars_removed");
  append_u64(out, n.invisible_chars_removed);
  key(out, "unicode_normalized");
  append_bool(out, n.unicode_normalized);
  key(out, "confusable_substitutions");
  append_u64(out, n.confusable_substitutions);
  key(out, "leetspeak_substitutions");
  append_u64(out, n.leetspeak_substitutions);
  key(out, "spaced_letters_collapsed");
  append_bool(out, n.spaced_letters_collapsed);
  key(out, "decoded_payloads");
  append_u64(out, n.decoded_payloads);
  key(out, "normalized_hash");
  append_u64(out, n.normalized_hash);
  out += '}';
}

// The six configured probabilities as object members, in the order both
// thresholds_used and policy list them.
void append_probabilities(std::string& out, const ThresholdsUsed& t, bool first) {
  key(out, "warn_prob", first);
  append_json_number(out, t.warn_prob);
  key(out, "block_prob");
  append_json_number(out, t.block_prob);
  key(out, "low_start_prob");
  append_json_number(out, t.low_start_prob);
  key(out, "medium_start_prob");
  append_json_number(out, t.medium_start_prob);
  key(out, "high_start_prob");
  append_json_number(out, t.high_start_prob);
  key(out, "critical_start_prob");
  append_json_number(out, t.critical_start_prob);
}

// Where the six probabilities of thresholds_used stand in the report, to be
// copied when the policy lists the same six.
struct WrittenProbabilities {
  std::size_t begin = 0;
  std::size_t end = 0;
};

// The calibrated path's scores and decision, null when absent.
WrittenProbabilities append_decision(std::string& out, const ScanResult& r) {
  key(out, "posterior_prob");
  append_opt_number(out, r.posterior_prob);
  key(out, "effective_lr");
  append_opt_number(out, r.effective_lr);
  key(out, "disposition");
  if (r.disposition) {
    append_report_string(out, disposition_name(*r.disposition));
  } else {
    out += "null";
  }
  key(out, "severity");
  if (r.severity) {
    append_report_string(out, severity_name(*r.severity));
  } else {
    out += "null";
  }
  key(out, "warning_message");
  append_opt_string(out, r.warning_message);
  key(out, "thresholds_used");
  if (!r.thresholds_used) {
    out += "null";
    return {};
  }
  out += '{';
  WrittenProbabilities written;
  written.begin = out.size();
  append_probabilities(out, *r.thresholds_used, true);
  written.end = out.size();
  out += '}';
  return written;
}

bool same_bits(const ThresholdsUsed& a, const ThresholdsUsed& b) {
  const auto bits = [](double v) { return std::bit_cast<std::uint64_t>(v); };
  return bits(a.warn_prob) == bits(b.warn_prob) && bits(a.block_prob) == bits(b.block_prob) &&
         bits(a.low_start_prob) == bits(b.low_start_prob) &&
         bits(a.medium_start_prob) == bits(b.medium_start_prob) &&
         bits(a.high_start_prob) == bits(b.high_start_prob) &&
         bits(a.critical_start_prob) == bits(b.critical_start_prob);
}

// `thresholds` is where thresholds_used's members were written: the policy
// copies them when it holds the same six values, as it usually does.
void append_policy(std::string& out, const ScanResult& r, WrittenProbabilities thresholds) {
  out += '{';
  key(out, "score_v2_enabled", true);
  append_bool(out, r.score_v2_enabled);
  key(out, "warning_mode_enabled");
  append_bool(out, r.warning_mode_enabled);
  key(out, "correlation_dedup_enabled");
  append_bool(out, r.correlation_dedup_enabled);
  const ThresholdsUsed policy = {r.warn_prob,         r.block_prob,
                                 r.low_start_prob,    r.medium_start_prob,
                                 r.high_start_prob,   r.critical_start_prob};
  if (r.thresholds_used && same_bits(*r.thresholds_used, policy) && thresholds.end > 0) {
    const std::size_t length = thresholds.end - thresholds.begin;
    out.reserve(out.size() + 1 + length);  // the copy's source stays in place
    out += ',';
    out.append(out.data() + thresholds.begin, length);
  } else {
    append_probabilities(out, policy, false);
  }
  key(out, "score_profile_applied");
  append_bool(out, r.score_profile_applied);
  key(out, "score_profile_warning");
  append_opt_string(out, r.score_profile_warning);
  out += '}';
}

// A list of objects, each written by `members`.
template <typename T, typename Members>
void append_objects(std::string& out, const std::vector<T>& items, Members members) {
  out += '[';
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i) out += ',';
    out += '{';
    members(items[i]);
    out += '}';
  }
  out += ']';
}

void append_signals(std::string& out, const std::vector<Signal>& signals) {
  append_objects(out, signals, [&out](const Signal& s) {
    key(out, "skill", true);
    append_report_string(out, s.skill);
    key(out, "type");
    append_report_string(out, s.signal_type);
    key(out, "likelihood_ratio");
    append_json_number(out, s.likelihood_ratio);
    key(out, "raw_score");
    append_opt_number(out, s.raw_score);
    key(out, "description");
    append_report_string(out, s.description);
  });
}

void append_evidence(std::string& out, const std::vector<SignalEvidence>& evidence) {
  append_objects(out, evidence, [&out](const SignalEvidence& e) {
    key(out, "skill", true);
    append_report_string(out, e.skill);
    key(out, "type");
    append_report_string(out, e.signal_type);
    key(out, "log_lr");
    append_json_number(out, e.log_lr);
    key(out, "capped");
    append_bool(out, e.capped);
    key(out, "suppressed");
    append_bool(out, e.suppressed);
    key(out, "raw_score");
    append_opt_number(out, e.raw_score);
  });
}

}  // namespace

std::string format_result_json(const ScanResult& r) {
  std::string out;
  out.reserve(1024 + r.signals.size() * 200);
  out += '{';
  key(out, "safe", true);
  append_bool(out, r.safe);
  key(out, "threat_type");
  append_report_string(out, snake_name(r.threat_type));
  key(out, "confidence");
  append_json_number(out, r.confidence);
  key(out, "latency_ms");
  append_json_number(out, r.latency_ms);
  key(out, "tier_reached");
  append_u64(out, r.tier_reached);
  key(out, "gate_config_hash");
  append_u64(out, r.gate_config_hash);
  key(out, "pattern_db_hash");
  append_u64(out, r.pattern_db_hash);
  key(out, "pattern_db_version");
  append_opt_string(out, r.pattern_db_version);
  key(out, "normalization");
  append_normalization(out, r.normalization);
  const WrittenProbabilities thresholds = append_decision(out, r);
  key(out, "policy");
  append_policy(out, r, thresholds);
  key(out, "signals");
  append_signals(out, r.signals);
  key(out, "evidence");
  append_evidence(out, r.evidence);
  out += '}';
  return out;
}

}  // namespace vantrel_core
