// The Bayesian gate's configuration, handed to every scanner. A default
// GateConfig is the command line's default: prompts such as "hello" are
// allowed and "Ignore all previous instructions" is blocked.
//
// The gate starts at the log-odds of `prior`, adds the natural log of each
// signal's likelihood ratio (after the caps below) and turns the sum back
// into a posterior probability. With `score_v2_enabled` that posterior (or a
// loaded score profile's calibrated probability) is compared with the bands
// and the warn/block probabilities; without it, with the legacy thresholds.
//
// The fields are (defaults in parentheses):
#pragma once

#include <cstddef>

namespace vantrel_core {

struct GateConfig {
  double low_start_prob = 0.3;           // (0.3) lower edge of the low band (reported only)
  double medium_start_prob = 0.4;        // (0.4) score at which severity becomes medium
  double high_start_prob = 0.5;          // (0.5) score at which severity becomes high
  double critical_start_prob = 0.6;      // (0.6) score at which severity becomes critical
  double warn_prob = 0.3;                // (0.3) calibrated path: allow with a warning from here
  double block_prob = 0.6;               // (0.6) calibrated path: block from here
  double block_threshold = 0.9;          // (0.9) legacy block posterior
  double allow_threshold = 0.1;          // (0.1) legacy allow posterior
  double prior = 0.01;                   // (0.01) prior probability of an attack
  double max_likelihood_ratio = 2000.0;  // (2000) cap on any signal's ratio
  double toolcall_lr_cap = 1500.0;       // (1500) cap on "toolcall" signals
  // (0.4) multiplier for entropy and statistics ratios in a batch that also
  // holds obfuscation evidence
  double heuristic_discount = 0.4;
  double obfuscation_lr_cap = 12.0;  // (12) cap on obfuscation signals
  // (3.0) total natural-log ratio obfuscation signals may add per scan;
  // 0 or less disables the budget
  double obfuscation_log_budget = 3.0;
  // Bounded reinforcement when one family of signals fires at several
  // independent spans: base log ratio for two spans (0), added per further
  // span (0), ceiling (0; 0 or less switches reinforcement off).
  double reinforcement_base_log = 0.0;
  double reinforcement_step_log = 0.0;
  double reinforcement_max_log = 0.0;
  // (true) calibrated decision path: bands, dispositions, severities and the
  // score profile; false gives the legacy safe/unsafe verdict only
  bool score_v2_enabled = true;
  bool warning_mode_enabled = true;  // (true) emit severities and messages for the warning band
  // (true) correlation-key deduplication, and the duplicate guard before a
  // score profile
  bool correlation_dedup_enabled = true;
};

// The smallest size limit a scanner accepts; smaller requests are raised to it.
inline constexpr std::size_t kMinInputLimit = 1024;
// The size limit scanners get unless asked otherwise: 1 MiB.
inline constexpr std::size_t kDefaultInputLimit = 1048576;

}  // namespace vantrel_core
