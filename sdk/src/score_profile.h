// An optional, externally trained logistic model that replaces the gate
// posterior as the decision score. Loaded once per scanner from a JSON file.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/expected.h"
#include "vantrel/result.h"

namespace vantrel_core {

inline constexpr std::size_t kScoreFeatureCount = 20;

// Feature names in coefficient order (schema "score_v2_signal_features_v1").
extern const std::array<std::string_view, kScoreFeatureCount> kScoreFeatureNames;

// Identifies the file format and the model; all three are checked on load.
struct ProfileMetadata {
  std::string profile_version;
  std::string model_type;
  std::string feature_schema_version;
};

// Warn and block probabilities of one scan mode.
struct ModeThreshold {
  double warn_prob = 0;
  double block_prob = 0;
};

// Optional Platt scaling of the logit; only the method "platt" has an effect.
struct ProbabilityCalibration {
  std::optional<double> platt_a;
  std::optional<double> platt_b;
  std::optional<std::string> method;
};

// Where the model came from. Only presence is checked, never the values.
struct ProfileProvenance {
  std::optional<std::vector<std::string>> dataset_hashes;
  std::optional<std::string> commit_sha;
  std::optional<std::string> training_config_hash;
};

// The calibrated score and the thresholds of the scan's mode.
struct ScorePrediction {
  double probability = 0;
  double warn = 0;
  double block = 0;
  Disposition decision = Disposition::Allow;
};

// What a finished scan contributes to the feature vector.
struct ScoreFeatureInputs {
  double posterior = 0;  // gate posterior p
  ThreatType threat_type = ThreatType::Benign;
  ScanMode mode = ScanMode::Input;
  const NormalizationReport* normalization = nullptr;  // absent when null
  std::optional<double> raw_entropy;
  std::string_view input_text;  // the unchanged input
};

// The 20 features, in kScoreFeatureNames order. Allocation-free.
std::array<double, kScoreFeatureCount> build_score_features(const ScoreFeatureInputs& in);

// Share of digits and symbols among the text's characters plus the share of
// upper case among its letters, capped at 3; 0 for an empty text. Invalid
// UTF-8 bytes count as symbols.
double char_class_distortion(std::string_view text);

// Copyable. Immutable once loaded.
class ScoreProfile {
 public:
  // Reads, parses and validates the file; the error is the first failing
  // check's message. Never throws or crashes on malformed content.
  static Expected<ScoreProfile, std::string> load(const std::string& path);
  // Every step after reading, on profile text already in memory.
  static Expected<ScoreProfile, std::string> parse(std::string_view json);

  // Calibrated probability, the thresholds of `mode` (falling back to
  // "input", then to 0.3 / 0.6) and the decision they give. Extra features
  // or extra coefficients beyond the shorter list are ignored.
  ScorePrediction predict(std::span<const double> features, ScanMode mode) const;

  ProfileMetadata profile_metadata;
  std::vector<std::string> feature_order;
  std::vector<double> coefficients;
  double intercept = 0;
  // Ascending byte order of the keys; transparent lookup by string_view.
  std::map<std::string, ModeThreshold, std::less<>> thresholds_by_mode;
  std::optional<ProbabilityCalibration> probability_calibration;
  std::optional<ProfileProvenance> provenance;  // present after a successful load
  std::optional<std::string> profile_hash;      // present after a successful load
};

// The first failing validation check's message, or nullopt when the profile
// is usable. Every number a prediction uses must be finite.
std::optional<std::string> validate_score_profile(const ScoreProfile& profile);

}  // namespace vantrel_core
