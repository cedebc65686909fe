#include "skills/stream.h"

#include <algorithm>

#include "classifier.h"
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

// However long a stream runs, its result lists stay this short: later signals
// still move the gate but are not listed.
constexpr std::size_t kMaxRecordedSignals = 256;

// The same evidence, wherever in the scanned text it was found.
bool same_evidence(const Signal& a, const Signal& b) {
  return a.likelihood_ratio == b.likelihood_ratio && a.skill == b.skill &&
         a.signal_type == b.signal_type && a.description == b.description &&
         a.raw_score == b.raw_score;
}

// Removes from `batch` one signal for each equal one in `seen`, consuming
// the matched entries of `seen`.
void drop_seen(std::vector<Signal>& batch, std::vector<Signal>& seen) {
  if (seen.empty()) return;
  std::erase_if(batch, [&](const Signal& s) {
    for (auto it = seen.begin(); it != seen.end(); ++it) {
      if (same_evidence(*it, s)) {
        seen.erase(it);
        return true;
      }
    }
    return false;
  });
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
  std::vector<Signal> found;
  ScanResult result = scan_buffer(&found);
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
    counted_in_tail_ = find_signals(buffer_);
  } else {
    counted_in_tail_ = std::move(found);  // the whole text just scanned is kept
  }
  return {PushOutcome::Kind::Clean, std::move(result)};
}

void StreamScanner::feed(std::vector<Signal> batch) {
  std::vector<Signal> kept = deduplicate_signals_with_gate_config(std::move(batch), config_.gate_config);
  total_signals_ += kept.size();
  std::vector<SignalEvidence> ev = gate_->update_with_evidence(kept);
  const std::size_t room = kMaxRecordedSignals - std::min(signals_.size(), kMaxRecordedSignals);
  const auto n = static_cast<std::ptrdiff_t>(std::min(room, kept.size()));
  signals_.insert(signals_.end(), std::make_move_iterator(kept.begin()),
                  std::make_move_iterator(kept.begin() + n));
  evidence_.insert(evidence_.end(), std::make_move_iterator(ev.begin()),
                   std::make_move_iterator(ev.begin() + n));
}

std::vector<Signal> StreamScanner::find_signals(std::string_view text) const {
  const WellFormedText well_formed(text);
  SkillOutput n = normalizer_->scan(well_formed.view());
  const std::string_view normalized =
      n.normalized_text ? std::string_view(*n.normalized_text) : well_formed.view();
  SkillOutput o = output_skill_->scan(normalized);
  std::vector<Signal> all = std::move(n.signals);
  all.insert(all.end(), std::make_move_iterator(o.signals.begin()),
             std::make_move_iterator(o.signals.end()));
  return all;
}

ScanResult StreamScanner::scan_buffer(std::vector<Signal>* found) {
  const auto t0 = std::chrono::steady_clock::now();
  // Pieces pushed by a library caller may split a character; scan the
  // buffer with such bytes replaced rather than hand skills ill-formed text.
  const WellFormedText buffer(buffer_);
  SkillOutput n = normalizer_->scan(buffer.view());
  std::string text = n.normalized_text ? std::move(*n.normalized_text) : std::string(buffer.view());
  // The kept tail was scanned last time; what it holds alone was counted then.
  std::vector<Signal> counted = std::move(counted_in_tail_);
  counted_in_tail_.clear();
  if (found != nullptr) *found = n.signals;
  drop_seen(n.signals, counted);
  feed(std::move(n.signals));
  if (n.normalization) normalization_ = n.normalization;
  if (n.threat_type != ThreatType::Benign) last_threat_type_ = n.threat_type;

  if (config_.classifier) {
    SkillOutput c = config_.classifier->scan(text);
    feed(std::move(c.signals));
    if (c.threat_type != ThreatType::Benign) last_threat_type_ = c.threat_type;
  }
  SkillOutput o = output_skill_->scan(text);
  if (found != nullptr) found->insert(found->end(), o.signals.begin(), o.signals.end());
  drop_seen(o.signals, counted);
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
  // A library caller's last piece may end inside a character.
  if (!buffer_.empty()) {
    r.normalized_text = is_valid_utf8(buffer_) ? std::move(buffer_) : to_valid_utf8(buffer_);
  }
  copy_policy_snapshot(cfg, r);
  r.gate_config_hash = gate_->config_hash();
  r.pattern_db_hash = config_.pattern_db_hash;
  r.pattern_db_version = config_.pattern_db_version;
  return r;
}

}  // namespace vantrel_core
