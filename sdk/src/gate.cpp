#include "gate.h"

#include <cmath>

#include "fnv.h"
#include "probability.h"

namespace vantrel_core {

bool is_obfuscation_signal(std::string_view skill, std::string_view type) {
  if (skill == "normalize") {
    return type == "hex_detected" || type == "base64_detected" || type == "invisible_chars" ||
           type == "confusable_chars" || type == "leetspeak_detected" ||
           type == "unicode_normalization" || type == "spaced_letters_detected";
  }
  if (skill == "stats") {
    return type == "digit_ratio" || type == "symbol_ratio" || type == "uppercase_ratio" ||
           type == "compression_ratio";
  }
  if (skill == "entropy" || skill == "entropy_raw") {
    return type == "high_entropy" || type == "entropy_score" || type == "suspicious_entropy";
  }
  return false;
}

static bool is_discountable_stats(std::string_view type) {
  return type == "digit_ratio" || type == "symbol_ratio" || type == "uppercase_ratio" ||
         type == "compression_ratio";
}

std::uint64_t gate_config_hash(const GateConfig& c) {
  Fnv1a h;
  h.f64(c.block_threshold);
  h.f64(c.allow_threshold);
  h.f64(c.prior);
  h.f64(c.max_likelihood_ratio);
  h.f64(c.toolcall_lr_cap);
  h.f64(c.heuristic_discount);
  h.f64(c.obfuscation_lr_cap);
  h.f64(c.obfuscation_log_budget);
  h.byte(c.score_v2_enabled ? 1 : 0);
  h.byte(c.warning_mode_enabled ? 1 : 0);
  h.f64(c.warn_prob);
  h.f64(c.block_prob);
  h.f64(c.low_start_prob);
  h.f64(c.medium_start_prob);
  h.f64(c.high_start_prob);
  h.f64(c.critical_start_prob);
  h.byte(c.correlation_dedup_enabled ? 1 : 0);
  h.f64(c.reinforcement_base_log);
  h.f64(c.reinforcement_step_log);
  h.f64(c.reinforcement_max_log);
  return h.value();
}

BayesianGate::BayesianGate(const GateConfig& config)
    : prior_(config.prior),
      log_odds_(logit(config.prior)),
      block_logit_(logit(config.block_threshold)),
      allow_logit_(logit(config.allow_threshold)),
      config_hash_(gate_config_hash(config)),
      config_(config) {}

double BayesianGate::posterior() const { return sigmoid(log_odds_); }

std::vector<SignalEvidence> BayesianGate::update_with_evidence(std::span<const Signal> batch) {
  std::vector<SignalEvidence> out;
  out.reserve(batch.size());
  bool obfuscation_present = false;
  for (const Signal& s : batch) {
    if (is_obfuscation_signal(s.skill, s.signal_type)) {
      obfuscation_present = true;
      break;
    }
  }
  const double cap = config_.max_likelihood_ratio;
  const double budget = config_.obfuscation_log_budget;
  for (const Signal& s : batch) {
    double r = s.likelihood_ratio;
    bool capped = false;
    bool suppressed = false;
    if (s.skill == "toolcall") {
      if (r > config_.toolcall_lr_cap) {
        r = config_.toolcall_lr_cap;
        capped = true;
      }
    } else if (obfuscation_present &&
               (s.skill == "entropy" || (s.skill == "stats" && is_discountable_stats(s.signal_type)))) {
      r = config_.heuristic_discount * r;
      suppressed = true;
    }
    const bool obfuscation = is_obfuscation_signal(s.skill, s.signal_type);
    if (obfuscation && r > config_.obfuscation_lr_cap) {
      r = std::min(cap, config_.obfuscation_lr_cap);
      capped = true;
    } else if (r > cap) {
      r = cap;
      capped = true;
    }
    // NaN ratios stay NaN, as in the arithmetic above; the clamp is for
    // zeros and overflow.
    if (r < 1e-15) r = 1e-15;
    if (r > 1e15) r = 1e15;
    double l = std::log(r);
    if (budget > 0 && obfuscation) {
      const double remaining = budget - obfuscation_log_used_;
      if (remaining <= 0) {
        r = 1.0;
        l = 0.0;
        capped = true;
        suppressed = true;
      } else if (l > remaining) {
        r = std::exp(remaining);
        l = remaining;
        capped = true;
      }
      obfuscation_log_used_ += l;
    }
    log_odds_ += l;
    SignalEvidence e;
    e.skill = s.skill;
    e.signal_type = s.signal_type;
    e.description = s.description;
    e.raw_score = s.raw_score;
    e.offset = s.offset;
    e.likelihood_ratio = r;
    e.log_lr = l;
    e.capped = capped;
    e.suppressed = suppressed;
    out.push_back(std::move(e));
  }
  return out;
}

LegacyVerdict BayesianGate::legacy_decision(double cutoff, ThreatType current) const {
  const double l = log_odds_;
  if (l >= block_logit_) return {false, current};
  if (l <= allow_logit_) return {true, ThreatType::Benign};
  if (sigmoid(l) < cutoff) return {true, ThreatType::Benign};
  return {false, current};
}

}  // namespace vantrel_core
