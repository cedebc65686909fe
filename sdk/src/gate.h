// Fuses the likelihood ratios of a scan's signals into a posterior in
// natural-log odds, with caps that keep correlated evidence from running away.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "vantrel/config.h"
#include "vantrel/result.h"

namespace vantrel_core {

// True for the signals that measure obfuscation rather than intent; they share
// a per-scan cap and budget.
bool is_obfuscation_signal(std::string_view skill, std::string_view signal_type);

// FNV-1a over the configuration's fields in fixed order; depends on the
// configuration only.
std::uint64_t gate_config_hash(const GateConfig& config);

struct LegacyVerdict {
  bool safe;
  ThreatType threat_type;
};

// Copyable. One gate lives in each scan, copied from the scanner's fresh one;
// the stream scanner keeps one across its rescans.
class BayesianGate {
 public:
  explicit BayesianGate(const GateConfig& config);

  // Applies one deduplicated batch in order and returns one record per signal.
  std::vector<SignalEvidence> update_with_evidence(std::span<const Signal> batch);

  double log_odds() const { return log_odds_; }
  double posterior() const;
  double prior() const { return prior_; }
  double block_logit() const { return block_logit_; }
  double allow_logit() const { return allow_logit_; }
  double obfuscation_log_used() const { return obfuscation_log_used_; }
  const GateConfig& config() const { return config_; }
  std::uint64_t config_hash() const { return config_hash_; }

  // Threshold verdict used when the calibrated path is off; `current` is the
  // scan's threat type, `cutoff` the posterior below which the middle band is
  // safe.
  LegacyVerdict legacy_decision(double cutoff, ThreatType current) const;

 private:
  double prior_;
  double log_odds_;
  double block_logit_;
  double allow_logit_;
  double obfuscation_log_used_ = 0;
  std::uint64_t config_hash_;
  GateConfig config_;
};

}  // namespace vantrel_core
