// The configured, immutable scanning engine. Build it once, then scan any
// number of texts; a Scanner may be shared by threads that only scan.
// Embedders use the public vantrel::Scanner (vantrel/scanner.h), a layer over
// this one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "pattern_load_error.h"
#include "score_profile.h"
#include "vantrel/config.h"
#include "vantrel/expected.h"
#include "vantrel/result.h"

namespace vantrel_core {

class Skill;
class PatternSkill;
class OutputSkill;
class ToolCallSkill;
class NormalizationSkill;
class BayesianGate;
class ClassifierModel;
class ClassifierSkill;
class WordRepair;

// The score profile a scanner holds, if any, and the warning that travels in
// every result when there is none for a reason worth telling.
struct ProfileSelection {
  std::unique_ptr<ScoreProfile> profile;
  std::optional<std::string> warning;
};

// The profile the environment selects: VANTREL_SCORE_V2_DISABLE_PROFILE
// ("1", "on", "yes", "true" or "TRUE" switch it off), else the file named by
// VANTREL_SCORE_V2_PROFILE_PATH. Never fails: problems become the warning.
ProfileSelection select_score_profile_from_environment();

// Not copyable. Movable.
class Scanner {
 public:
  // Takes ownership of an already built pattern skill; the score profile is
  // the one the environment selects. With a classifier model the learned
  // detector runs too: its input model first in the second tier (and the
  // pattern skill once more over what the detector's view reveals), its
  // output model in output scans before the output skill (the model is
  // copied; copies share its bytes).
  static Scanner with_pattern_skill(const GateConfig& config, std::size_t max_input_bytes,
                                    std::unique_ptr<PatternSkill> patterns,
                                    const ClassifierModel* classifier = nullptr);
  // As with_pattern_skill, with the score profile chosen by the caller.
  static Scanner with_pattern_skill_and_profile(const GateConfig& config,
                                                std::size_t max_input_bytes,
                                                std::unique_ptr<PatternSkill> patterns,
                                                ProfileSelection profile,
                                                const ClassifierModel* classifier = nullptr);
  // Built-in pattern database, limit kDefaultInputLimit.
  static Scanner with_config(const GateConfig& config);
  // Built-in database plus, when a path is given, the records of that file
  // appended after it.
  static Expected<Scanner, PatternLoadError> with_config_and_limits_and_additive_patterns(
      const GateConfig& config, std::size_t max_input_bytes,
      const std::optional<std::string>& additive_patterns_path);

  Scanner(Scanner&&) noexcept;
  Scanner& operator=(Scanner&&) noexcept;
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner();

  // A user prompt, both tiers.
  ScanResult scan(std::string_view text) const;
  // A user prompt, stopping after tier `max_tier` (1 runs normalization only).
  ScanResult scan_to_tier(std::string_view text, std::uint8_t max_tier) const;
  // A model response: normalization, then the output skill.
  ScanResult scan_output(std::string_view text) const;
  // An agent's tool-call arguments, matched as given (no normalization).
  ScanResult scan_tool_call(std::string_view arguments) const;
  // The result for a text over the size limit.
  ScanResult size_error(ThreatType threat_type) const;

  const GateConfig& config() const;
  std::size_t max_input_bytes() const { return max_input_bytes_; }
  const std::optional<std::string>& pattern_db_version() const { return pattern_db_version_; }
  std::uint64_t pattern_db_hash() const { return pattern_db_hash_; }
  const std::optional<std::string>& score_profile_warning() const { return score_profile_warning_; }
  bool has_score_profile() const { return score_profile_ != nullptr; }

 private:
  Scanner();

  std::unique_ptr<ScoreProfile> score_profile_;
  std::vector<std::unique_ptr<Skill>> first_tier_;
  std::vector<std::unique_ptr<Skill>> second_tier_;
  std::unique_ptr<OutputSkill> output_skill_;
  std::unique_ptr<ToolCallSkill> toolcall_skill_;
  std::unique_ptr<NormalizationSkill> output_normalizer_;
  std::unique_ptr<ClassifierSkill> output_classifier_;  // absent unless asked for
  // The pattern skill, also run over what the learned detector's view
  // reveals; null unless the detector is on.
  const PatternSkill* revealing_patterns_ = nullptr;
  // Words with shuffled letters put back for that second reading; null
  // unless the detector is on.
  std::unique_ptr<WordRepair> word_repair_;
  std::optional<std::string> pattern_db_version_;
  std::uint64_t pattern_db_hash_ = 0;
  std::optional<std::string> score_profile_warning_;
  // Holds the configuration; every scan starts from a copy.
  std::unique_ptr<BayesianGate> fresh_gate_;
  std::size_t max_input_bytes_ = kMinInputLimit;
};

}  // namespace vantrel_core
