// Training the learned detector: the features of each text (counted by the
// library's own feature code), an L2-regularised logistic regression fitted
// by averaged stochastic gradient descent, a calibration from score to
// likelihood ratio measured on held-out folds, and a second regression that
// tells the two attack types apart. The same examples and settings give the
// same model, bit for bit.
#pragma once

#include <array>
#include <cmath>
#include <optional>
#include <cstdint>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "skills/classifier_model.h"

namespace vantrel_tools {

// Character 3- and 4-grams are left out by default: measured on sources held
// out from training, they teach the style of the training sources more than
// attack language (words and word pairs carry that; 5-grams add robustness
// to typos).
inline constexpr std::uint32_t kDefaultFeatureFamilies = vantrel_core::kWordFeatures |
                                                         vantrel_core::kWordPairFeatures |
                                                         vantrel_core::kChar5Features | vantrel_core::kShapeFeatures;

struct FeatureSettings {
  std::uint32_t bits = 18;
  std::uint32_t families = kDefaultFeatureFamilies;
  std::uint32_t window_words = 0;  // words per window block; 0: the whole text
};

// Hashed feature counts of a text or of one window of it.
struct BucketCounts {
  std::vector<std::pair<std::uint32_t, std::uint32_t>> counts;  // bucket, occurrences; ascending
  std::uint64_t occurrences = 0;                                // all hashed feature occurrences
};

// The features of one normalized text, as the skill counts them.
struct FeatureCounts : BucketCounts {
  std::vector<std::uint8_t> shape_slots;  // in the skill's order
  std::vector<BucketCounts> windows;      // in order, with window blocks only
};

FeatureCounts count_features(std::string_view normalized, const FeatureSettings& settings);

// Feature families from a comma-separated list of "words", "pairs", "char3",
// "char4", "char5", "shape" (or "all"); nothing for an unknown name.
std::optional<std::uint32_t> parse_feature_families(std::string_view list);

struct Example {
  const FeatureCounts* features = nullptr;
  bool attack = false;
  int type = -1;            // 1 the positive attack type, 0 the negative one, -1 not an attack
  double weight = 1;        // relative; classes are balanced by the trainer
  std::uint64_t fold = 0;   // examples with equal values stay in one calibration fold
  std::uint32_t source = 0;  // the file it came from
  // The scanner's log-odds for the text without the learned detector (prior
  // and every other signal); NaN when not known.
  double context = NAN;
};

struct TrainSettings {
  FeatureSettings features;
  double l2 = 1e-4;             // on the hashed weights
  double shape_l2 = 1e-3;       // on the shape weights
  int epochs = 12;
  int calibration_folds = 5;    // 0: no calibration (slope 1, intercept 0)
  double ratio_cap = 2000;
  double least_ratio = 2;
  double length_power = 0.5;    // see occurrence_weight
  // With window blocks: rounds of refitting on the best windows (an attack's
  // best one, a benign text's `benign_windows` best ones).
  int window_rounds = 3;
  std::size_t benign_windows = 3;
  // The operating point: the detector reports only ratios that block on
  // their own (from the prior to the block probability); when the examples
  // carry their context, the calibration is lowered until, on held-out folds
  // and on the training texts, the learned detector adds blocked benign texts
  // to no more than these shares, over all benign examples and within each
  // source.
  double block_log_odds = 0.4054651081081644;   // logit of the block probability 0.6
  double prior_log_odds = -4.59511985013459;    // logit of the prior 0.01
  double added_fpr = 0.003;
  double added_source_fpr = 0.01;
  bool adjust_for_length = true;  // fit length weights, then leave them out
  std::uint64_t seed = 1;
  vantrel_core::ScanMode mode = vantrel_core::ScanMode::Input;
  vantrel_core::ThreatType positive_type = vantrel_core::ThreatType::Jailbreak;
  vantrel_core::ThreatType negative_type = vantrel_core::ThreatType::PromptInjection;
};

// The score the skill computes for these features under `model`, without
// the view: the same integer sums and the same floating-point steps.
double model_score(const vantrel_core::LinearModelData& model, const FeatureCounts& features);

// Trains, calibrates and quantises one model. Attack and benign examples
// both need at least one member; the type regression uses the attack
// examples whose type is 0 or 1.
vantrel_core::LinearModelData train_model(std::span<const Example> examples, const TrainSettings& settings);

// Held-out scores of every example under models trained on the other
// calibration folds (uncalibrated, quantised).
std::vector<double> out_of_fold_scores(std::span<const Example> examples, const TrainSettings& settings);

}  // namespace vantrel_tools
