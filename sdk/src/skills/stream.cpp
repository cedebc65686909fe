#include "skills/stream.h"

#include "dedup.h"
#include "gate.h"
#include "probability.h"
#include "scan_state.h"
#include "utf8.h"
#include "well_formed_text.h"
#include "normalize.h"
#include "output.h"
#include "vantrel/text.h"

namespace vantrel_core {

namespace {
double elapsed_ms(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}
}  // namespace

StreamScanner StreamScanner::with_config(StreamConfig config) {
  StreamScanner s;
  s.buffer_.reserve(config.max_buffer_bytes);
  s.output_skill_ = std::make_unique<OutputSkill>();
  s.normalizer_ = std::make_unique<NormalizationSkill>(0.05);
  s.gate_ = std::make_unique<BayesianGate>(config.gate_config);
  s.config_ = std::move(config);
  s.started_at_ = std::chrono::steady_clock::now();
  return s;
}

StreamScanner::StreamScanner(StreamScanner&&) noexcept = default;
StreamScanner& StreamScanner::operator=(StreamScanner&&) noexcept = default;
StreamScanner::~StreamScanner() = default;

PushOutcome StreamScanner::push(std::string_view text) {
  if (state_ != State::Active) return {};
  buffer_.append(text);
  if (buffer_.size() >= config_.max_buffer_bytes) return perform_scan();
  if (buffer_.size() >= config_.min_scan_bytes && config_.scan_on_sentence_end) {
    const std::string_view trimmed = trim_trailing_unicode_whitespace(buffer_);
    if (!trimmed.empty()) {
      const char last = trimmed.back();
      if (last == '.' || last == '!' || last == '?') return perform_scan();
    }
  }
  return {};
}

PushOutcome StreamScanner::perform_scan() {
  ScanResult result = scan_buffer();
  if (!result.safe) {
    state_ = State::Terminated;
    return {PushOutcome::Kind::Threat, std::move(result)};
  }
  if (state_ == State::Active && buffer_.size() > config_.overlap_bytes) {
    // Keep the tail so a phrase cut by this scan point is seen whole next time;
    // the cut moves forward to a character boundary.
    std::size_t start = buffer_.size() - config_.overlap_bytes;
    while (start < buffer_.size() && utf8::is_continuation(static_cast<unsigned char>(buffer_[start]))) {
      ++start;
    }
    buffer_.erase(0, start);
  }
  return {PushOutcome::Kind::Clean, std::move(result)};
}

void StreamScanner::feed(std::vector<Signal> batch) {
  std::vector<Signal> kept = deduplicate_signals_with_gate_config(std::move(batch), config_.gate_config);
  total_signals_ += kept.size();
  std::vector<SignalEvidence> ev = gate_->update_with_evidence(kept);
  signals_.insert(signals_.end(), std::make_move_iterator(kept.begin()),
                  std::make_move_iterator(kept.end()));
  evidence_.insert(evidence_.end(), std::make_move_iterator(ev.begin()),
                   std::make_move_iterator(ev.end()));
}

ScanResult StreamScanner::scan_buffer() {
  const auto t0 = std::chrono::steady_clock::now();
  // Pieces pushed by a library caller may split a character; scan the
  // buffer with such bytes replaced rather than hand skills ill-formed text.
  const WellFormedText buffer(buffer_);
  SkillOutput n = normalizer_->scan(buffer.view());
  std::string text = n.normalized_text ? std::move(*n.normalized_text) : std::string(buffer.view());
  feed(std::move(n.signals));
  if (n.normalization) normalization_ = n.normalization;
  if (n.threat_type != ThreatType::Benign) last_threat_type_ = n.threat_type;

  SkillOutput o = output_skill_->scan(text);
  feed(std::move(o.signals));

  const double l = gate_->log_odds();
  const double early = config_.early_termination_log_odds;
  if (l >= early && total_signals_ > 0) state_ = State::Terminated;
  std::optional<ThreatType> type = last_threat_type_;
  if (o.threat_type != ThreatType::Benign) {
    last_threat_type_ = o.threat_type;
    type = o.threat_type;
  }
  const bool threat = l >= gate_->block_logit() || (l >= early && total_signals_ > 0);
  const double p = sigmoid(l);

  ScanResult r;
  r.safe = !threat;
  r.threat_type = threat ? type.value_or(ThreatType::Benign) : ThreatType::Benign;
  r.confidence = threat ? p : 1.0 - p;
  r.latency_ms = elapsed_ms(t0);
  r.tier_reached = 2;
  const GateConfig& cfg = config_.gate_config;
  if (cfg.score_v2_enabled) {
    r.posterior_prob = p;
    r.effective_lr = effective_likelihood_ratio(p, gate_->prior());
    r.thresholds_used = configured_thresholds(cfg);
    r.disposition = threat ? Disposition::Block : Disposition::Allow;
  }
  r.signals = signals_;
  r.evidence = evidence_;
  r.normalization = std::move(n.normalization);
  r.normalized_text = std::move(text);
  copy_policy_snapshot(cfg, r);
  r.gate_config_hash = gate_->config_hash();
  r.pattern_db_hash = config_.pattern_db_hash;
  r.pattern_db_version = config_.pattern_db_version;
  return r;
}

ScanResult StreamScanner::finish() && {
  bool safe;
  if (state_ == State::Terminated) {
    safe = false;
  } else {
    if (!buffer_.empty()) scan_buffer();
    state_ = State::Finished;
    safe = gate_->log_odds() < gate_->block_logit();
  }
  return build_result(safe);
}

// Consumes the accumulated lists: only finish() calls it.
ScanResult StreamScanner::build_result(bool safe) {
  const double p = gate_->posterior();
  const bool threat = !safe;
  ScanResult r;
  r.safe = safe;
  r.threat_type = threat ? last_threat_type_.value_or(ThreatType::Benign) : ThreatType::Benign;
  r.confidence = threat ? p : 1.0 - p;
  r.latency_ms = elapsed_ms(started_at_);
  r.tier_reached = 2;
  const GateConfig& cfg = config_.gate_config;
  if (cfg.score_v2_enabled) {
    r.posterior_prob = p;
    r.effective_lr = effective_likelihood_ratio(p, gate_->prior());
    r.thresholds_used = configured_thresholds(cfg);
    r.disposition = threat ? Disposition::Block : Disposition::Allow;
  }
  r.signals = std::move(signals_);
  r.evidence = std::move(evidence_);
  r.normalization = std::move(normalization_);
  if (!buffer_.empty()) r.normalized_text = std::move(buffer_);
  copy_policy_snapshot(cfg, r);
  r.gate_config_hash = gate_->config_hash();
  r.pattern_db_hash = config_.pattern_db_hash;
  r.pattern_db_version = config_.pattern_db_version;
  return r;
}

}  // namespace vantrel_core
