#include "score_profile.h"

#include <simdjson.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>

#include "file_io.h"
#include "probability.h"
#include "strict_json.h"
#include "utf8.h"
#include "vantrel/text.h"

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

namespace {

namespace dom = simdjson::dom;

constexpr std::string_view kParseError = "Unable to parse profile JSON";
constexpr std::string_view kProfileVersion = "score_v2_profile/v1";
constexpr std::string_view kModelType = "elastic_net_logistic";
constexpr std::string_view kFeatureSchemaVersion = "score_v2_signal_features_v1";
constexpr ModeThreshold kDefaultThresholds{0.3, 0.6};

// ---- Typed members (false = structurally wrong) ----------------------------

// A member that must be present and not null.
bool required_member(dom::object obj, std::string_view key, dom::element& out) {
  if (obj.at_key(key).get(out) != simdjson::SUCCESS) return false;
  return !out.is_null();
}

// A member that may be absent or null (both leave `present` false).
bool optional_member(dom::object obj, std::string_view key, dom::element& out, bool& present) {
  const auto err = obj.at_key(key).get(out);
  if (err == simdjson::NO_SUCH_FIELD) {
    present = false;
    return true;
  }
  if (err != simdjson::SUCCESS) return false;
  present = !out.is_null();
  return true;
}

// Integers of either sign and fractions, as a double.
bool read_number(dom::element e, double& out) {
  return e.get_double().get(out) == simdjson::SUCCESS;
}

bool read_string(dom::element e, std::string& out) {
  std::string_view sv;
  if (e.get_string().get(sv) != simdjson::SUCCESS) return false;
  out.assign(sv);
  return true;
}

bool read_string_array(dom::element e, std::vector<std::string>& out) {
  dom::array arr;
  if (e.get_array().get(arr) != simdjson::SUCCESS) return false;
  out.clear();
  out.reserve(arr.size());
  for (dom::element item : arr) {
    if (!read_string(item, out.emplace_back())) return false;
  }
  return true;
}

bool read_required_string(dom::object obj, std::string_view key, std::string& out) {
  dom::element e;
  return required_member(obj, key, e) && read_string(e, out);
}

bool read_required_number(dom::object obj, std::string_view key, double& out) {
  dom::element e;
  return required_member(obj, key, e) && read_number(e, out);
}

bool read_optional_number(dom::object obj, std::string_view key, std::optional<double>& out) {
  dom::element e;
  bool present = false;
  if (!optional_member(obj, key, e, present)) return false;
  if (!present) return true;
  return read_number(e, out.emplace());
}

bool read_optional_string(dom::object obj, std::string_view key, std::optional<std::string>& out) {
  dom::element e;
  bool present = false;
  if (!optional_member(obj, key, e, present)) return false;
  if (!present) return true;
  return read_string(e, out.emplace());
}

bool read_metadata(dom::element e, ProfileMetadata& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return false;
  return read_required_string(obj, "profile_version", out.profile_version) &&
         read_required_string(obj, "model_type", out.model_type) &&
         read_required_string(obj, "feature_schema_version", out.feature_schema_version);
}

bool read_coefficients(dom::element e, std::vector<double>& out) {
  dom::array arr;
  if (e.get_array().get(arr) != simdjson::SUCCESS) return false;
  out.reserve(arr.size());
  for (dom::element item : arr) {
    if (!read_number(item, out.emplace_back())) return false;
  }
  return true;
}

bool read_thresholds(dom::element e, std::map<std::string, ModeThreshold, std::less<>>& out) {
  dom::object modes;
  if (e.get_object().get(modes) != simdjson::SUCCESS) return false;
  for (dom::key_value_pair field : modes) {
    dom::object entry;
    if (field.value.get_object().get(entry) != simdjson::SUCCESS) return false;
    ModeThreshold t;
    if (!read_required_number(entry, "warn_prob", t.warn_prob) ||
        !read_required_number(entry, "block_prob", t.block_prob)) {
      return false;
    }
    out.insert_or_assign(std::string(field.key), t);
  }
  return true;
}

bool read_calibration(dom::element e, ProbabilityCalibration& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return false;
  return read_optional_number(obj, "platt_a", out.platt_a) &&
         read_optional_number(obj, "platt_b", out.platt_b) &&
         read_optional_string(obj, "method", out.method);
}

bool read_provenance(dom::element e, ProfileProvenance& out) {
  dom::object obj;
  if (e.get_object().get(obj) != simdjson::SUCCESS) return false;
  dom::element hashes;
  bool present = false;
  if (!optional_member(obj, "dataset_hashes", hashes, present)) return false;
  if (present && !read_string_array(hashes, out.dataset_hashes.emplace())) return false;
  return read_optional_string(obj, "commit_sha", out.commit_sha) &&
         read_optional_string(obj, "training_config_hash", out.training_config_hash);
}

// Fills every field from the document; false on any structural problem.
bool read_profile(dom::element root, ScoreProfile& p) {
  dom::object obj;
  if (root.get_object().get(obj) != simdjson::SUCCESS) return false;
  dom::element e;
  if (!required_member(obj, "profile_metadata", e) || !read_metadata(e, p.profile_metadata))
    return false;
  if (!required_member(obj, "feature_order", e) || !read_string_array(e, p.feature_order))
    return false;
  if (!required_member(obj, "coefficients", e) || !read_coefficients(e, p.coefficients))
    return false;
  if (!read_required_number(obj, "intercept", p.intercept)) return false;
  if (!required_member(obj, "thresholds_by_mode", e) || !read_thresholds(e, p.thresholds_by_mode)) {
    return false;
  }
  bool present = false;
  if (!optional_member(obj, "probability_calibration", e, present)) return false;
  if (present && !read_calibration(e, p.probability_calibration.emplace())) return false;
  if (!optional_member(obj, "provenance", e, present)) return false;
  if (present && !read_provenance(e, p.provenance.emplace())) return false;
  return read_optional_string(obj, "profile_hash", p.profile_hash);
}

// ---- Validation ---------------------------------------------------------------

bool valid_probability(double x) {
  return x >= 0.0 && x <= 1.0;
}  // false for NaN

}  // namespace

std::optional<std::string> validate_score_profile(const ScoreProfile& p) {
  const ProfileMetadata& m = p.profile_metadata;
  if (m.profile_version != kProfileVersion) {
    return "Unsupported profile_version '" + m.profile_version + "'";
  }
  if (m.model_type != kModelType) return "Unsupported model_type '" + m.model_type + "'";
  if (m.feature_schema_version != kFeatureSchemaVersion) {
    return "Unsupported feature_schema_version '" + m.feature_schema_version + "'";
  }
  if (p.feature_order.size() != kScoreFeatureCount)
    return std::string("Feature order length mismatch");
  for (std::size_t i = 0; i < kScoreFeatureCount; ++i) {
    if (p.feature_order[i] != kScoreFeatureNames[i]) {
      return "Feature order mismatch at index " + std::to_string(i) + ": expected '" +
             std::string(kScoreFeatureNames[i]) + "' got '" + p.feature_order[i] + "'";
    }
  }
  if (p.coefficients.size() != kScoreFeatureCount) {
    return std::string("Coefficient length mismatch vs feature_order");
  }
  for (std::size_t i = 0; i < kScoreFeatureCount; ++i) {
    if (!std::isfinite(p.coefficients[i])) {
      return "Non-finite coefficient at index " + std::to_string(i);
    }
  }
  if (!std::isfinite(p.intercept)) return std::string("Non-finite intercept");
  for (const char* mode : {"input", "output", "toolcall"}) {
    if (!p.thresholds_by_mode.contains(std::string_view(mode))) {
      return std::string("Missing thresholds_by_mode.") + mode;
    }
  }
  for (const auto& [key, t] : p.thresholds_by_mode) {
    if (!valid_probability(t.warn_prob) || !valid_probability(t.block_prob) ||
        !(t.warn_prob < t.block_prob)) {
      return "Invalid thresholds for mode '" + key + "'";
    }
  }
  if (const auto& cal = p.probability_calibration;
      cal && cal->method == "platt" && (!cal->platt_a || !cal->platt_b)) {
    return std::string("Platt calibration requires platt_a and platt_b");
  }
  if (const auto& cal = p.probability_calibration) {
    if (cal->platt_a && !std::isfinite(*cal->platt_a)) return std::string("Non-finite platt_a");
    if (cal->platt_b && !std::isfinite(*cal->platt_b)) return std::string("Non-finite platt_b");
  }
  if (!p.provenance) return std::string("Missing provenance block");
  if (!p.provenance->dataset_hashes || !p.provenance->commit_sha ||
      !p.provenance->training_config_hash) {
    return std::string("Missing required provenance fields");
  }
  if (!p.profile_hash) return std::string("Missing profile_hash");
  return std::nullopt;
}

Expected<ScoreProfile, std::string> ScoreProfile::load(const std::string& path) {
  auto text = read_text_file(path, kMaxProfileFileBytes);
  if (!text) return Unexpected{"Failed reading profile at " + path + ": " + text.error()};
  return parse(*text);
}

Expected<ScoreProfile, std::string> ScoreProfile::parse(std::string_view json) {
  // A profile may write any integer; a repeated key anywhere is refused.
  dom::parser parser;
  dom::element root;
  if (strict_json::parse(parser, json, root) != simdjson::SUCCESS ||
      strict_json::repeats_key_anywhere(root)) {
    return Unexpected{std::string(kParseError)};
  }

  ScoreProfile profile;
  if (!read_profile(root, profile)) return Unexpected{std::string(kParseError)};
  if (auto message = validate_score_profile(profile)) return Unexpected{std::move(*message)};
  return profile;
}

// ---- Features and prediction ----------------------------------------------

double char_class_distortion(std::string_view text) {
  std::size_t chars = 0;
  std::size_t letters = 0;
  std::size_t upper = 0;
  std::size_t digits = 0;
  std::size_t others = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    ++chars;
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {  // ASCII without a property lookup
      ++i;
      if (b >= 'A' && b <= 'Z') {
        ++letters;
        ++upper;
      } else if (b >= 'a' && b <= 'z') {
        ++letters;
      } else if (b >= '0' && b <= '9') {
        ++digits;
      } else if (b != ' ' && (b < '\t' || b > '\r')) {
        ++others;
      }
      continue;
    }
    const char32_t cp = utf8::next_lenient(text, i);
    const auto c = static_cast<UChar32>(cp);
    if (u_isUAlphabetic(c)) {
      ++letters;
      if (u_isUUppercase(c)) ++upper;
    } else if (!is_unicode_whitespace(cp)) {
      ++others;  // no non-ASCII character is an ASCII digit
    }
  }
  if (chars == 0) return 0.0;
  const double score =
      static_cast<double>(digits + others) / static_cast<double>(chars) +
      static_cast<double>(upper) / static_cast<double>(std::max<std::size_t>(letters, 1));
  return std::min(score, 3.0);
}

std::array<double, kScoreFeatureCount> build_score_features(const ScoreFeatureInputs& in) {
  const ThreatType t = in.threat_type;
  const bool benign = t == ThreatType::Benign;
  const bool encoding = t == ThreatType::EncodingAttack;

  double q = benign ? 1.0 - in.posterior : in.posterior;
  q = std::clamp(q, 1e-6, 0.999999);
  const double y = std::log(q / (1.0 - q));
  const double y_pos = std::max(y, 0.0);

  const double pattern = (!encoding && !benign) ? 1.0 : 0.0;
  const double tool =
      (in.mode == ScanMode::ToolCall || t == ThreatType::ToolManipulation) ? 1.0 : 0.0;
  const double threat = benign ? 0.0 : 1.0;

  double ctl = 0, inv = 0, conf = 0, leet = 0, dec = 0;
  if (const NormalizationReport* r = in.normalization) {
    ctl = static_cast<double>(r->control_chars_mapped);
    inv = static_cast<double>(r->invisible_chars_removed);
    conf = static_cast<double>(r->confusable_substitutions);
    leet = static_cast<double>(r->leetspeak_substitutions);
    dec = static_cast<double>(r->decoded_payloads);
  }
  const double changes = inv + ctl + conf + leet + dec;

  const double p0 = pattern * y_pos;
  const double p1 = std::log(1.0 + inv + ctl + dec + conf + leet + (encoding ? 2.0 : 0.0));
  const double p2 = in.raw_entropy ? std::max(*in.raw_entropy - 4.0, 0.0) : 0.0;
  const double p3 = tool * std::max(0.75 * y_pos, 0.0);

  const double n = static_cast<double>(in.input_text.size());
  const double delta_ratio = std::min(changes / std::max(n / 8.0, 1.0), 1.0);
  const double duplicate_hit = dec > 1.0 ? 1.0 : 0.0;
  const double repetition = delta_ratio >= 0.2 ? 1.0 : 0.0;

  return {
      p0,
      p1,
      p2,
      p3,
      p3 + p0 + p1 + p2,
      threat,  // attack_family_count: an indicator, as trained
      threat,  // distinct_root_span_count: the same indicator
      duplicate_hit,
      repetition,
      threat + tool + duplicate_hit + repetition,
      delta_ratio,
      leet,
      conf,
      dec,
      ctl,
      inv,
      char_class_distortion(in.input_text),
      p0 * p1,
      p1 * p2,
      p0 * p3,
  };
}

ScorePrediction ScoreProfile::predict(std::span<const double> features, ScanMode mode) const {
  const std::size_t n = std::min(features.size(), coefficients.size());
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += coefficients[i] * features[i];
  double z = intercept + sum;
  if (probability_calibration && probability_calibration->method == "platt") {
    z = z * probability_calibration->platt_a.value_or(1.0) +
        probability_calibration->platt_b.value_or(0.0);
  }

  ScorePrediction out;
  out.probability = sigmoid(z);
  ModeThreshold t = kDefaultThresholds;
  if (auto it = thresholds_by_mode.find(scan_mode_name(mode)); it != thresholds_by_mode.end()) {
    t = it->second;
  } else if (auto in = thresholds_by_mode.find(std::string_view("input"));
             in != thresholds_by_mode.end()) {
    t = in->second;
  }
  out.warn = t.warn_prob;
  out.block = t.block_prob;
  out.decision = t.block_prob <= out.probability  ? Disposition::Block
                 : t.warn_prob <= out.probability ? Disposition::AllowWithWarning
                                                  : Disposition::Allow;
  return out;
}

}  // namespace vantrel_core
