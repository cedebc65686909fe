// Per-scan scratch: the gate, the evidence so far and the current text. Folds
// skill outputs in and turns the finished state into a ScanResult.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "gate.h"
#include "skills/skill.h"
#include "vantrel/config.h"
#include "vantrel/result.h"

namespace vantrel_core {

class ScoreProfile;

// The six configured probabilities, in report order.
ThresholdsUsed configured_thresholds(const GateConfig& config);
// Fills the result's policy snapshot (bands and switches) from the configuration.
void copy_policy_snapshot(const GateConfig& config, ScanResult& result);

// Not copyable. Movable. Consumed by result().
class ScanState {
 public:
  // `fresh_gate` is a gate that has seen no evidence yet (the scanner keeps one).
  ScanState(const BayesianGate& fresh_gate, std::string_view input, ScanMode mode,
            const std::optional<std::string>& pattern_db_version, std::uint64_t pattern_db_hash);

  // Deduplicates the output's signals, feeds them to the gate, records the
  // evidence, and takes over a non-benign threat type and a report.
  void process(SkillOutput output);

  // Legacy verdict (calibrated path off) or hand-over to result assembly.
  ScanResult finalize(std::uint8_t tier, double cutoff, const ScoreProfile* profile,
                      const std::optional<std::string>& profile_warning) &&;

  // Assembles the result. `safe` is the legacy verdict (ignored on the
  // calibrated path, which decides afresh).
  ScanResult result(bool safe, ThreatType threat_type, std::uint8_t tier,
                    const ScoreProfile* profile,
                    const std::optional<std::string>& profile_warning) &&;

  // Later tiers scan the replacement instead of the input.
  void replace_text(std::string text) {
    owned_text_ = std::move(text);
    text_replaced_ = true;
  }
  std::string_view current_text() const { return text_replaced_ ? std::string_view(owned_text_) : input_text_; }
  std::string_view input_text() const { return input_text_; }
  const BayesianGate& gate() const { return gate_; }
  ThreatType threat_type() const { return threat_type_; }
  const std::vector<Signal>& signals() const { return signals_; }
  void set_raw_entropy(double h) { raw_entropy_ = h; }
  ScanMode mode() const { return mode_; }

 private:
  std::optional<double> raw_entropy_;
  std::vector<Signal> signals_;
  std::vector<SignalEvidence> evidence_;
  std::string owned_text_;        // the replacement text, once there is one
  bool text_replaced_ = false;
  std::string_view input_text_;  // the caller's text; outlives the state
  std::optional<std::string> pattern_db_version_;
  std::chrono::steady_clock::time_point start_;
  BayesianGate gate_;
  std::optional<NormalizationReport> normalization_;
  std::uint64_t pattern_db_hash_;
  ScanMode mode_;
  ThreatType threat_type_ = ThreatType::Benign;
};

}  // namespace vantrel_core
