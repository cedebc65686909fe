#include "score_profile.h"

#include "file_io.h"
#include "probability.h"

namespace vantrel_core {

const std::array<std::string_view, kScoreFeatureCount> kScoreFeatureNames = {
    "channel_pattern_log_lr",
    "channel_obfuscation_log_lr",
    "channel_statistical_log_lr",
    "channel_toolcall_log_lr",
    "fused_prethreshold_logit",
    "attack_family_count",
    "distinct_root_span_count",
    "duplicate_hit_count",
    "repetition_indicator",
    "signal_intensity_total",
    "normalization_delta_ratio",
    "leetspeak_substitution_count",
    "confusable_substitution_count",
    "decoded_payload_count",
    "control_char_mapped_count",
    "invisible_char_removed_count",
    "char_class_distortion_score",
    "interaction_pattern_x_obfuscation",
    "interaction_obfuscation_x_statistical",
    "interaction_toolcall_x_pattern",
};

// Interim loader: reads the file, accepts no content yet.
Expected<ScoreProfile, std::string> ScoreProfile::load(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return Unexpected{"Failed reading profile at " + path + ": " + text.error()};
  return Unexpected{std::string("Unable to parse profile JSON")};
}

std::array<double, kScoreFeatureCount> build_score_features(const ScoreFeatureInputs&) {
  return {};
}

ScorePrediction ScoreProfile::predict(std::span<const double>, ScanMode) const {
  return ScorePrediction{0.0, 0.3, 0.6, Disposition::Allow};
}

}  // namespace vantrel_core
