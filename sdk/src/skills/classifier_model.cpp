#include "classifier_model.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <iterator>

#include "fatal.h"
#include "file_io.h"
#include "fnv.h"

namespace vantrel_core {

namespace {

constexpr char kMagic[8] = {'V', 'T', 'R', 'L', 'C', 'L', 'F', '\0'};
constexpr std::size_t kModelFixedBytes = 6 * 4 + 7 * 8 + 2 * 4 + 2 * kShapeSlots * 4;

// Little-endian reads from a checked range.
class ByteReader {
 public:
  explicit ByteReader(std::span<const std::byte> bytes) : bytes_(bytes) {}
  std::size_t remaining() const { return bytes_.size() - at_; }
  std::uint64_t unsigned_le(std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i)
      v |= static_cast<std::uint64_t>(bytes_[at_ + i]) << (8 * i);
    at_ += width;
    return v;
  }
  std::uint32_t u32() { return static_cast<std::uint32_t>(unsigned_le(4)); }
  std::uint64_t u64() { return unsigned_le(8); }
  double f64() { return std::bit_cast<double>(u64()); }
  float f32() { return std::bit_cast<float>(u32()); }
  std::span<const std::int8_t> int8s(std::size_t n) {
    const auto* p = reinterpret_cast<const std::int8_t*>(bytes_.data() + at_);
    at_ += n;
    return {p, n};
  }

 private:
  std::span<const std::byte> bytes_;
  std::size_t at_ = 0;
};

void put_le(std::string& out, std::uint64_t v, std::size_t width) {
  for (std::size_t i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void put_u32(std::string& out, std::uint32_t v) { put_le(out, v, 4); }
void put_f64(std::string& out, double v) { put_le(out, std::bit_cast<std::uint64_t>(v), 8); }
void put_f32(std::string& out, float v) { put_le(out, std::bit_cast<std::uint32_t>(v), 4); }

std::uint64_t payload_hash_of(std::span<const std::byte> payload) {
  Fnv1a h;
  for (std::byte b : payload) h.byte(static_cast<std::uint8_t>(b));
  return h.value();
}

bool is_attack_type(std::uint32_t t) { return t < static_cast<std::uint32_t>(ThreatType::Benign); }

}  // namespace

double calibrated_log_ratio(std::span<const std::pair<double, double>> k, double score) {
  if (!(score > k.front().first)) return k.front().second;
  if (score >= k.back().first) return k.back().second;
  const auto above = std::upper_bound(k.begin(), k.end(), score,
                                      [](double s, const std::pair<double, double>& knot) { return s < knot.first; });
  const auto& [s1, r1] = *above;
  const auto& [s0, r0] = *(above - 1);
  return r0 + (r1 - r0) * (score - s0) / (s1 - s0);
}

double LinearModel::log_ratio_of_score(double score) const { return calibrated_log_ratio(calibration_, score); }

double LinearModel::ratio_of_score(double score) const {
  const double log_ratio = log_ratio_of_score(score);
  return log_ratio >= std::log(ratio_cap_) ? ratio_cap_ : std::exp(log_ratio);
}

Expected<ClassifierModel, std::string> ClassifierModel::from_static_bytes(
    std::span<const std::byte> bytes, bool check_hash) {
  if (bytes.size() < kClassifierHeaderBytes) {
    return Unexpected{"truncated: " + std::to_string(bytes.size()) + " bytes, shorter than the " +
                      std::to_string(kClassifierHeaderBytes) + "-byte header"};
  }
  if (std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return Unexpected{std::string("not a classifier model (wrong magic bytes)")};
  }
  ByteReader header(bytes.subspan(8, kClassifierHeaderBytes - 8));
  const std::uint32_t version = header.u32();
  const std::uint32_t count = header.u32();
  const std::uint64_t payload_size = header.u64();
  const std::uint64_t stored_hash = header.u64();
  if (version != kClassifierFormatVersion) {
    return Unexpected{"unsupported format version " + std::to_string(version) + " (this program reads " +
                      std::to_string(kClassifierFormatVersion) + ")"};
  }
  if (count < 1 || count > 2) {
    return Unexpected{"holds " + std::to_string(count) + " models; 1 or 2 expected"};
  }
  const std::span<const std::byte> payload = bytes.subspan(kClassifierHeaderBytes);
  if (payload_size != payload.size()) {
    return Unexpected{(payload_size > payload.size() ? std::string("truncated") : std::string("wrong size")) +
                      ": the header announces " + std::to_string(payload_size) +
                      " payload bytes, the file has " + std::to_string(payload.size())};
  }
  if (check_hash && payload_hash_of(payload) != stored_hash) {
    return Unexpected{std::string("damaged: the payload does not match the hash in the header")};
  }

  ClassifierModel model;
  model.payload_hash_ = stored_hash;
  ByteReader in(payload);
  for (std::uint32_t m = 0; m < count; ++m) {
    const std::string which = "model " + std::to_string(m + 1) + ": ";
    if (in.remaining() < kModelFixedBytes) {
      return Unexpected{which + "wrong size: " + std::to_string(in.remaining()) +
                        " bytes left, a model needs at least " + std::to_string(kModelFixedBytes)};
    }
    LinearModel lm;
    const std::uint32_t mode = in.u32();
    lm.families_ = in.u32();
    lm.bits_ = in.u32();
    const std::uint32_t positive = in.u32();
    const std::uint32_t negative = in.u32();
    lm.window_words_ = in.u32();
    if (mode > 1) return Unexpected{which + "unknown scan mode " + std::to_string(mode)};
    lm.mode_ = mode == 0 ? ScanMode::Input : ScanMode::Output;
    if (model.for_mode(lm.mode_) != nullptr) {
      return Unexpected{which + "a second model for the same scan mode"};
    }
    if (lm.families_ == 0 || (lm.families_ & ~kAllFeatureFamilies) != 0) {
      return Unexpected{which + "unknown feature families " + std::to_string(lm.families_)};
    }
    if (lm.bits_ < kMinHashBits || lm.bits_ > kMaxHashBits) {
      return Unexpected{which + "hash bits " + std::to_string(lm.bits_) + " outside " +
                        std::to_string(kMinHashBits) + "-" + std::to_string(kMaxHashBits)};
    }
    if (!is_attack_type(positive) || !is_attack_type(negative)) {
      return Unexpected{which + "invalid threat types"};
    }
    if (lm.window_words_ > kMaxWindowWords) {
      return Unexpected{which + "window of " + std::to_string(lm.window_words_) + " words, more than " +
                        std::to_string(kMaxWindowWords)};
    }
    lm.positive_type_ = static_cast<ThreatType>(positive);
    lm.negative_type_ = static_cast<ThreatType>(negative);
    double* const numbers[] = {&lm.bias_,      &lm.scale_,       &lm.type_bias_,   &lm.type_scale_,
                               &lm.ratio_cap_, &lm.least_ratio_, &lm.length_power_};
    static constexpr const char* kNames[] = {"bias",      "weight scale", "type bias",   "type weight scale",
                                             "ratio cap", "least ratio",  "length power"};
    for (std::size_t k = 0; k < std::size(numbers); ++k) {
      *numbers[k] = in.f64();
      if (!std::isfinite(*numbers[k])) return Unexpected{which + kNames[k] + " is not a finite number"};
    }
    if (!(lm.scale_ > 0) || !(lm.type_scale_ > 0)) {
      return Unexpected{which + "weight scales must be positive"};
    }
    if (!(lm.ratio_cap_ >= 1) || !(lm.least_ratio_ >= 1) || lm.ratio_cap_ > 1e15) {
      return Unexpected{which + "ratio cap and least ratio must lie in [1, 1e15]"};
    }
    if (!(lm.length_power_ >= 0) || lm.length_power_ > 1) {
      return Unexpected{which + "length power must lie in [0, 1]"};
    }
    const std::uint32_t knots = in.u32();
    const std::uint32_t pad = in.u32();
    if (knots < 1 || knots > kMaxCalibrationKnots || pad != 0) {
      return Unexpected{which + "calibration of " + std::to_string(knots) + " knots; 1 to " +
                        std::to_string(kMaxCalibrationKnots) + " expected"};
    }
    if (in.remaining() < knots * 16 + 2 * kShapeSlots * 4) {
      return Unexpected{which + "wrong size: the calibration knots do not fit"};
    }
    for (std::uint32_t k = 0; k < knots; ++k) {
      const double score = in.f64(), log_ratio = in.f64();
      if (!std::isfinite(score) || !std::isfinite(log_ratio)) {
        return Unexpected{which + "a calibration knot is not a finite number"};
      }
      if (k > 0 && (!(score > lm.calibration_.back().first) || log_ratio < lm.calibration_.back().second)) {
        return Unexpected{which + "calibration knots must rise in score and not fall in ratio"};
      }
      lm.calibration_.emplace_back(score, log_ratio);
    }
    for (auto* shape : {&lm.shape_, &lm.shape_type_}) {
      for (float& w : *shape) {
        w = in.f32();
        if (!std::isfinite(w)) return Unexpected{which + "a shape weight is not a finite number"};
      }
    }
    const std::size_t buckets = std::size_t{1} << lm.bits_;
    if (in.remaining() < 2 * buckets) {
      return Unexpected{which + "wrong size: " + std::to_string(2 * buckets) + " weight bytes expected for " +
                        std::to_string(lm.bits_) + " hash bits, " + std::to_string(in.remaining()) +
                        " left"};
    }
    lm.weights_ = in.int8s(buckets);
    lm.type_weights_ = in.int8s(buckets);
    model.models_.push_back(lm);
  }
  if (in.remaining() != 0) {
    return Unexpected{"wrong size: " + std::to_string(in.remaining()) + " bytes after the last model"};
  }
  return model;
}

Expected<ClassifierModel, std::string> ClassifierModel::from_bytes(std::vector<std::byte> bytes) {
  auto owned = std::make_shared<const std::vector<std::byte>>(std::move(bytes));
  auto model = from_static_bytes(*owned, true);
  if (!model) return model;
  model->owned_ = std::move(owned);
  return model;
}

Expected<ClassifierModel, std::string> ClassifierModel::load(const std::string& path) {
  auto bytes = read_binary_file(path, kMaxClassifierFileBytes);
  if (!bytes) return Unexpected{std::move(bytes).error()};
  return from_bytes(std::move(bytes).value());
}

const ClassifierModel& ClassifierModel::built_in() {
  static const ClassifierModel model = [] {
    auto m = from_static_bytes(embedded_classifier_image(), false);
    if (!m) fatal_error("Failed to load the embedded classifier model");
    return std::move(m).value();
  }();
  return model;
}

std::string ClassifierModel::serialize(std::span<const LinearModelData> models) {
  std::string payload;
  for (const LinearModelData& m : models) {
    put_u32(payload, m.mode == ScanMode::Output ? 1 : 0);
    put_u32(payload, m.families);
    put_u32(payload, m.bits);
    put_u32(payload, static_cast<std::uint32_t>(m.positive_type));
    put_u32(payload, static_cast<std::uint32_t>(m.negative_type));
    put_u32(payload, m.window_words);
    for (double v : {m.bias, m.scale, m.type_bias, m.type_scale, m.ratio_cap, m.least_ratio, m.length_power})
      put_f64(payload, v);
    put_u32(payload, static_cast<std::uint32_t>(m.calibration.size()));
    put_u32(payload, 0);
    for (const auto& [score, log_ratio] : m.calibration) {
      put_f64(payload, score);
      put_f64(payload, log_ratio);
    }
    for (float w : m.shape) put_f32(payload, w);
    for (float w : m.shape_type) put_f32(payload, w);
    for (std::int8_t w : m.weights) payload += static_cast<char>(w);
    for (std::int8_t w : m.type_weights) payload += static_cast<char>(w);
  }
  std::string out(kMagic, sizeof kMagic);
  put_u32(out, kClassifierFormatVersion);
  put_u32(out, static_cast<std::uint32_t>(models.size()));
  put_le(out, payload.size(), 8);
  put_le(out, fnv1a(payload), 8);
  out.resize(kClassifierHeaderBytes, '\0');
  return out + payload;
}

const LinearModel* ClassifierModel::for_mode(ScanMode mode) const {
  for (const LinearModel& m : models_) {
    if (m.mode() == mode) return &m;
  }
  return nullptr;
}

}  // namespace vantrel_core
