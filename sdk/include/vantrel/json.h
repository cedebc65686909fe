// The JSON report, as `vantrel scan --json` prints it and the daemon wraps
// it: one compact object per result, keys in fixed order, every key always
// present (absent values are null).
//
// Wire format, keys in this order:
//   {"safe":false,"threat_type":"prompt_injection","confidence":0.95,
//    "latency_ms":0.05,"tier_reached":2,"gate_config_hash":2599...,
//    "pattern_db_hash":123...,"pattern_db_version":"...",
//    "normalization":{"version":"norm/v1","line_endings_normalized":false,
//      "control_chars_mapped":0,"invisible_chars_removed":0,
//      "unicode_normalized":false,"confusable_substitutions":0,
//      "leetspeak_substitutions":0,"spaced_letters_collapsed":false,
//      "decoded_payloads":0,"normalized_hash":123...} or null,
//    "posterior_prob":0.95 or null,"effective_lr":1990.0 or null,
//    "disposition":"block" or null,"severity":"critical" or null,
//    "warning_message":"..." or null,
//    "thresholds_used":{"warn_prob":..,"block_prob":..,"low_start_prob":..,
//      "medium_start_prob":..,"high_start_prob":..,"critical_start_prob":..} or null,
//    "policy":{"score_v2_enabled":true,"warning_mode_enabled":true,
//      "correlation_dedup_enabled":true,"warn_prob":0.3,"block_prob":0.6,
//      "low_start_prob":0.3,"medium_start_prob":0.4,"high_start_prob":0.5,
//      "critical_start_prob":0.6,"score_profile_applied":false,
//      "score_profile_warning":null},
//    "signals":[{"skill":"pattern","type":"prompt_injection",
//      "likelihood_ratio":10000.0,"raw_score":null,"description":"..."}],
//    "evidence":[{"skill":"pattern","type":"prompt_injection",
//      "log_lr":7.6,"capped":true,"suppressed":false,"raw_score":null}]}
//
// Integers (hashes, counts, tier) are plain decimal. Floats use the fewest
// digits that read back to the same double: positional for decimal exponents
// -5..15 (always with a point: 1.0, 0.00001), else scientific (1e+16, 2.5e-7);
// NaN and infinities are null.
#pragma once

#include <string>
#include <string_view>

#include "vantrel/result.h"

namespace vantrel_core {

// The report of one result, without a line ending.
std::string format_result_json(const ScanResult& r);

// Appends a double as the report writes it (null when not finite).
void append_json_number(std::string& out, double v);

// Escaping for the daemon's own response fields: \t \n \r \" \\, every other
// control character as \u00XX, everything else unchanged.
std::string escape_json_string(std::string_view text);

}  // namespace vantrel_core

namespace vantrel {
using vantrel_core::escape_json_string;
using vantrel_core::format_result_json;
}  // namespace vantrel
