// The learned detector's model: linear weights over the hashed and shape
// features of classifier_features.h, a calibration from score to likelihood
// ratio, and a second set of weights that tells the two attack types apart.
//
// A model file holds one model per scan mode (input, and optionally output).
// It is written by the training tool and read in place, without parsing;
// every number is little-endian.
//
//   header, 64 bytes:
//     0   magic "VTRLCLF\0"
//     8   u32 format version (1)
//     12  u32 number of models (1 or 2)
//     16  u64 payload size: the bytes after the header
//     24  u64 FNV-1a hash of the payload
//     32  zero
//   per model, in the payload:
//     u32 scan mode (0 input, 1 output), u32 feature families, u32 hash bits,
//     u32 threat type for a positive type score, u32 for a negative one,
//     u32 window block words (0: the whole text is one window),
//     f64 bias, weight scale, type bias, type weight scale, ratio cap, least
//     ratio reported, length power,
//     u32 calibration knots (1-64), u32 zero,
//     per knot f64 score, f64 log likelihood ratio (scores increasing, ratios
//     not decreasing),
//     f32 shape weights[16], f32 shape type weights[16],
//     i8 weights[2^bits], i8 type weights[2^bits]
//
// A model scores a text as
//   s = bias + max over windows (scale * (sum of the weights of the window's
//       hashed features) * n^-power) + (sum of the weights of its shape slots)
// over the n hashed feature occurrences of each window (see
// for_each_hashed_feature_in_blocks; without window blocks the whole text is
// the one window); its log likelihood ratio of attack is read from the
// calibration knots (linear between them, constant beyond), capped, and
// reported when the ratio reaches the least ratio. The type score is formed from the type weights over the whole text.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classifier_features.h"
#include "vantrel/expected.h"
#include "vantrel/result.h"

namespace vantrel_core {

inline constexpr std::uint32_t kClassifierFormatVersion = 1;
inline constexpr std::size_t kClassifierHeaderBytes = 64;
inline constexpr std::uint32_t kMinHashBits = 8;
inline constexpr std::uint32_t kMaxHashBits = 24;
inline constexpr std::uint32_t kMaxWindowWords = 4096;
inline constexpr std::uint32_t kMaxCalibrationKnots = 64;
// Larger files are refused before they are read.
inline constexpr std::size_t kMaxClassifierFileBytes = std::size_t{64} << 20;

// The log likelihood ratio of a score under calibration knots (ascending
// scores): linear between knots, the end values beyond them.
double calibrated_log_ratio(std::span<const std::pair<double, double>> knots, double score);

// The values of one model, as the training tool fills them in.
struct LinearModelData {
  ScanMode mode = ScanMode::Input;
  std::uint32_t families = kAllFeatureFamilies;
  std::uint32_t bits = 18;
  std::uint32_t window_words = 0;
  ThreatType positive_type = ThreatType::Jailbreak;
  ThreatType negative_type = ThreatType::PromptInjection;
  double bias = 0, scale = 1, type_bias = 0, type_scale = 1;
  double ratio_cap = 2000, least_ratio = 2, length_power = 0.5;
  std::vector<std::pair<double, double>> calibration{{0.0, 0.0}};  // score, log ratio
  std::array<float, kShapeSlots> shape{}, shape_type{};
  std::vector<std::int8_t> weights, type_weights;  // 2^bits each
};

// One model, reading its weights in place from the bytes it was loaded from.
class LinearModel {
 public:
  ScanMode mode() const { return mode_; }
  std::uint32_t families() const { return families_; }
  std::uint32_t bits() const { return bits_; }
  std::uint32_t window_words() const { return window_words_; }
  ThreatType positive_type() const { return positive_type_; }
  ThreatType negative_type() const { return negative_type_; }
  double bias() const { return bias_; }
  double scale() const { return scale_; }
  double type_bias() const { return type_bias_; }
  double type_scale() const { return type_scale_; }
  std::span<const std::pair<double, double>> calibration() const { return calibration_; }
  double ratio_cap() const { return ratio_cap_; }
  double least_ratio() const { return least_ratio_; }
  double length_power() const { return length_power_; }
  const std::array<float, kShapeSlots>& shape() const { return shape_; }
  const std::array<float, kShapeSlots>& shape_type() const { return shape_type_; }
  std::span<const std::int8_t> weights() const { return weights_; }
  std::span<const std::int8_t> type_weights() const { return type_weights_; }

  // The log likelihood ratio the calibration gives a score, uncapped.
  double log_ratio_of_score(double score) const;
  // The likelihood ratio of attack for a score, capped.
  double ratio_of_score(double score) const;

 private:
  friend class ClassifierModel;
  ScanMode mode_ = ScanMode::Input;
  std::uint32_t families_ = 0, bits_ = 0, window_words_ = 0;
  ThreatType positive_type_ = ThreatType::Jailbreak, negative_type_ = ThreatType::PromptInjection;
  double bias_ = 0, scale_ = 1, type_bias_ = 0, type_scale_ = 1;
  double ratio_cap_ = 2000, least_ratio_ = 2, length_power_ = 0.5;
  std::vector<std::pair<double, double>> calibration_;
  std::array<float, kShapeSlots> shape_{}, shape_type_{};
  std::span<const std::int8_t> weights_, type_weights_;
};

// The models of one file. Immutable; copies share the bytes. Copyable.
class ClassifierModel {
 public:
  // Checks every size, number and the payload hash. The error says why the
  // bytes are not a model, without the file name.
  static Expected<ClassifierModel, std::string> from_bytes(std::vector<std::byte> bytes);
  // Reads and checks a model file. The error names what is wrong, without the
  // file name.
  static Expected<ClassifierModel, std::string> load(const std::string& path);
  // The model compiled into the program. Its bytes were checked when they
  // were compiled in, so only the header is looked at; the payload hash is
  // not recomputed.
  static const ClassifierModel& built_in();
  // A model over bytes that stay alive as long as it does (no copy). With
  // `check_hash` false the payload hash is not recomputed.
  static Expected<ClassifierModel, std::string> from_static_bytes(std::span<const std::byte> bytes,
                                                                  bool check_hash);

  // Writes the models as a file image.
  static std::string serialize(std::span<const LinearModelData> models);

  // The model for a scan mode, if the file holds one.
  const LinearModel* for_mode(ScanMode mode) const;
  // FNV-1a hash of the payload, as stored in the header.
  std::uint64_t payload_hash() const { return payload_hash_; }

 private:
  std::shared_ptr<const std::vector<std::byte>> owned_;
  std::vector<LinearModel> models_;
  std::uint64_t payload_hash_ = 0;
};

// The model bytes compiled into the program (generated at build time).
std::span<const std::byte> embedded_classifier_image();

}  // namespace vantrel_core
