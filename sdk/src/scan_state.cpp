#include "scan_state.h"

#include <algorithm>
#include <cmath>
#include <tuple>

#include "dedup.h"
#include "probability.h"
#include "score_profile.h"

namespace vantrel_core {

ScanState::ScanState(const BayesianGate& fresh_gate, std::string_view input, ScanMode mode,
                     const std::optional<std::string>& pattern_db_version,
                     std::uint64_t pattern_db_hash)
    : input_text_(input),
      pattern_db_version_(pattern_db_version),
      start_(std::chrono::steady_clock::now()),
      gate_(fresh_gate),
      pattern_db_hash_(pattern_db_hash),
      mode_(mode) {}

void ScanState::process(SkillOutput output) {
  std::vector<Signal> kept =
      deduplicate_signals_with_gate_config(std::move(output.signals), gate_.config());
  std::vector<SignalEvidence> ev = gate_.update_with_evidence(kept);
  signals_.insert(signals_.end(), std::make_move_iterator(kept.begin()),
                  std::make_move_iterator(kept.end()));
  evidence_.insert(evidence_.end(), std::make_move_iterator(ev.begin()),
                   std::make_move_iterator(ev.end()));
  if (output.threat_type != ThreatType::Benign) threat_type_ = output.threat_type;
  if (output.normalization) normalization_ = std::move(output.normalization);
}

ThresholdsUsed configured_thresholds(const GateConfig& c) {
  return ThresholdsUsed{c.warn_prob,      c.block_prob,     c.low_start_prob,
                        c.medium_start_prob, c.high_start_prob, c.critical_start_prob};
}

void copy_policy_snapshot(const GateConfig& c, ScanResult& r) {
  r.warn_prob = c.warn_prob;
  r.block_prob = c.block_prob;
  r.low_start_prob = c.low_start_prob;
  r.medium_start_prob = c.medium_start_prob;
  r.high_start_prob = c.high_start_prob;
  r.critical_start_prob = c.critical_start_prob;
  r.score_v2_enabled = c.score_v2_enabled;
  r.warning_mode_enabled = c.warning_mode_enabled;
  r.correlation_dedup_enabled = c.correlation_dedup_enabled;
}

ScanResult ScanState::finalize(std::uint8_t tier, double cutoff, const ScoreProfile* profile,
                               const std::optional<std::string>& profile_warning) && {
  if (gate_.config().score_v2_enabled) {
    return std::move(*this).result(true, threat_type_, tier, profile, profile_warning);
  }
  const LegacyVerdict v = gate_.legacy_decision(cutoff, threat_type_);
  return std::move(*this).result(v.safe, v.threat_type, tier, profile, profile_warning);
}

namespace {

Severity severity_for(double score, const GateConfig& c) {
  if (score >= c.critical_start_prob) return Severity::Critical;
  if (score >= c.high_start_prob) return Severity::High;
  if (score >= c.medium_start_prob) return Severity::Medium;
  return Severity::Low;
}

// Whole percent of a score, halves away from zero.
std::string percent(double score) {
  double clamped = score;
  if (clamped < 0) clamped = 0;
  if (clamped > 1) clamped = 1;
  const double pct = std::round(clamped * 100.0);
  // NaN scores print as 0, as a saturating float-to-integer cast would.
  return std::to_string(std::isnan(pct) ? 0u : static_cast<unsigned>(pct));
}

// True when two signals share skill, type and offset (an absent offset equals
// only another absent offset). Sorting one reserved key list costs a single
// allocation where a node-based set would cost one per signal.
bool has_duplicate_correlation_key(const std::vector<Signal>& signals) {
  using Key = std::tuple<std::string_view, std::string_view, bool, std::size_t>;
  std::vector<Key> keys;
  keys.reserve(signals.size());
  for (const Signal& s : signals) {
    keys.emplace_back(s.skill, s.signal_type, s.offset.has_value(), s.offset.value_or(0));
  }
  std::sort(keys.begin(), keys.end());
  return std::adjacent_find(keys.begin(), keys.end()) != keys.end();
}

}  // namespace

ScanResult ScanState::result(bool safe, ThreatType threat_type, std::uint8_t tier,
                             const ScoreProfile* profile,
                             const std::optional<std::string>& profile_warning) && {
  const GateConfig& cfg = gate_.config();
  const double p = gate_.posterior();
  ScanResult r;
  r.score_profile_warning = profile_warning;

  if (cfg.score_v2_enabled) {
    double score = p;
    double warn = cfg.warn_prob;
    double block = cfg.block_prob;
    std::optional<Disposition> decided;
    if (profile != nullptr) {
      if (cfg.correlation_dedup_enabled && has_duplicate_correlation_key(signals_)) {
        r.score_profile_warning = "score profile fallback: duplicate correlated signals detected";
      } else {
        ScoreFeatureInputs in;
        in.posterior = p;
        in.threat_type = threat_type_;
        in.mode = mode_;
        in.normalization = normalization_ ? &*normalization_ : nullptr;
        in.raw_entropy = raw_entropy_;
        in.input_text = input_text_;
        const auto features = build_score_features(in);
        const ScorePrediction pred = profile->predict(features, mode_);
        // Finite weights can still overflow into a NaN; such a score never
        // decides, the gate's posterior does.
        if (std::isfinite(pred.probability)) {
          score = pred.probability;
          warn = pred.warn;
          block = pred.block;
          decided = pred.decision;
          r.score_profile_applied = true;
        } else {
          r.score_profile_warning = "score profile fallback: calibrated probability is not a number";
        }
      }
    }
    const Disposition d = decided ? *decided
                          : score >= block ? Disposition::Block
                          : score >= warn  ? Disposition::AllowWithWarning
                                           : Disposition::Allow;
    r.disposition = d;
    if (d == Disposition::Block) {
      const Severity sev = severity_for(score, cfg);
      r.severity = sev;
      r.warning_message = "Blocked (" + std::string(severity_name(sev)) +
                          "): attack-likelihood score " + percent(score) + "%";
    } else if (d == Disposition::AllowWithWarning && cfg.warning_mode_enabled) {
      const Severity sev = severity_for(score, cfg);
      r.severity = sev;
      r.warning_message = "Security alert (" + std::string(severity_name(sev)) +
                          "): attack-likelihood score " + percent(score) + "%";
    }
    r.posterior_prob = score;
    r.effective_lr = effective_likelihood_ratio(score, cfg.prior);
    r.thresholds_used = configured_thresholds(cfg);
    r.thresholds_used->warn_prob = warn;
    r.thresholds_used->block_prob = block;
    safe = d != Disposition::Block;
  }

  r.safe = safe;
  if (safe) {
    r.threat_type = ThreatType::Benign;
    r.confidence = 1.0 - p;
  } else {
    r.threat_type = threat_type;
    r.confidence = p;
  }
  r.tier_reached = tier;
  r.latency_ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
  r.signals = std::move(signals_);
  r.evidence = std::move(evidence_);
  r.raw_entropy = raw_entropy_;
  r.normalization = std::move(normalization_);
  if (text_replaced_) {
    if (!owned_text_.empty()) r.normalized_text = std::move(owned_text_);
  } else if (!input_text_.empty()) {
    r.normalized_text = std::string(input_text_);
  }
  r.gate_config_hash = gate_.config_hash();
  r.pattern_db_hash = pattern_db_hash_;
  r.pattern_db_version = std::move(pattern_db_version_);
  copy_policy_snapshot(cfg, r);
  return r;
}

}  // namespace vantrel_core
