// The gate configuration handed to every scanner. The library has no defaults
// of its own: callers fill every field (the command line's values are in
// cli/options.h).
#pragma once

namespace vantrel_core {

struct GateConfig {
  double low_start_prob = 0;       // lower edge of the low band (reported only)
  double medium_start_prob = 0;    // score at which severity becomes medium
  double high_start_prob = 0;      // score at which severity becomes high
  double critical_start_prob = 0;  // score at which severity becomes critical
  double warn_prob = 0;            // calibrated path: warning from here
  double block_prob = 0;           // calibrated path: block from here
  double block_threshold = 0;      // legacy block posterior
  double allow_threshold = 0;      // legacy allow posterior
  double prior = 0;                // prior probability of an attack
  double max_likelihood_ratio = 0;    // cap on any signal's ratio
  double toolcall_lr_cap = 0;         // cap on "toolcall" signals
  double heuristic_discount = 0;      // entropy/stats multiplier next to obfuscation evidence
  double obfuscation_lr_cap = 0;      // cap on obfuscation signals
  double obfuscation_log_budget = 0;  // per-scan ln-ratio budget of obfuscation; <= 0 disables
  double reinforcement_base_log = 0;  // reinforcement for two independent spans
  double reinforcement_step_log = 0;  // added per further span
  double reinforcement_max_log = 0;   // ceiling; <= 0 switches reinforcement off
  bool score_v2_enabled = false;
  bool warning_mode_enabled = false;
  bool correlation_dedup_enabled = false;
};

}  // namespace vantrel_core
