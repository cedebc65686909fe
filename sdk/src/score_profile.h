// An optional, externally trained logistic model that replaces the gate
// posterior as the decision score. Loaded once per scanner from a JSON file.
#pragma once

#include <array>
#include <cstddef>
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

struct ModeThreshold {
  double warn_prob = 0;
  double block_prob = 0;
};

struct ProbabilityCalibration {
  std::optional<double> platt_a;
  std::optional<double> platt_b;
  std::optional<std::string> method;
};

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

// The 20 features, in kScoreFeatureNames order.
std::array<double, kScoreFeatureCount> build_score_features(const ScoreFeatureInputs& in);

// Copyable. Immutable once loaded.
class ScoreProfile {
 public:
  // Reads and validates the file; the error is the first failing check's message.
  static Expected<ScoreProfile, std::string> load(const std::string& path);

  ScorePrediction predict(std::span<const double> features, ScanMode mode) const;

  std::vector<std::string> feature_order;
  std::vector<double> coefficients;
  double intercept = 0;
  std::map<std::string, ModeThreshold> thresholds_by_mode;  // ascending key order
  std::optional<ProbabilityCalibration> probability_calibration;
};

}  // namespace vantrel_core
