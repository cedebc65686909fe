// Scanner construction and the scan pipelines: size check, the engine's own
// raw-entropy evidence, the two tiers with the early exit between them, and the
// output and tool-call scans.
#include "engine.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <string>

#include "probability.h"
#include "scan_state.h"
#include "score_profile.h"
#include "skills/classifier.h"
#include "skills/classifier_view.h"
#include "skills/entropy.h"
#include "skills/normalize.h"
#include "skills/output.h"
#include "skills/pattern.h"
#include "skills/stats.h"
#include "skills/toolcall.h"
#include "skills/word_repair.h"
#include "vantrel/text.h"
#include "well_formed_text.h"

namespace vantrel_core {

namespace {

// Posterior from which the legacy verdict (calibrated path off) calls a text unsafe.
constexpr double kLegacyCutoff = 0.5;

// Share of invisible characters from which the normalization skill reports them.
constexpr double kInvisibleRatioThreshold = 0.05;

// The entropy skill's settings: texts of kEntropyMinLength bytes or more give
// evidence from kEntropyElevatedBits bits per byte (ratio kEntropyElevatedRatio)
// and from kEntropyHighBits (ratio kEntropyHighRatio).
constexpr double kEntropyElevatedBits = 4.5;
constexpr double kEntropyHighBits = 5.0;
constexpr std::size_t kEntropyMinLength = 16;
constexpr double kEntropyElevatedRatio = 10.0;
constexpr double kEntropyHighRatio = 25.0;

// The engine's own evidence from the raw text's byte entropy: the first step
// the entropy reaches gives its ratio. Texts shorter than kRawEntropyMinLength
// bytes give none.
struct RawEntropyStep {
  double min_bits;
  double ratio;
};
constexpr std::array<RawEntropyStep, 3> kRawEntropySteps = {{{5.2, 30}, {4.8, 18}, {4.4, 6}}};
constexpr std::size_t kRawEntropyMinLength = 16;

// An environment variable's value; unset and non-UTF-8 values count as unset.
std::optional<std::string> env_var(const char* name) {
  const char* v = std::getenv(name);
  if (v == nullptr) return std::nullopt;
  std::string s(v);
  if (!is_valid_utf8(s)) return std::nullopt;
  return s;
}

}  // namespace

ProfileSelection select_score_profile_from_environment() {
  ProfileSelection sel;
  if (auto disable = env_var("VANTREL_SCORE_V2_DISABLE_PROFILE")) {
    const std::string& v = *disable;
    if (v == "1" || v == "on" || v == "yes" || v == "true" || v == "TRUE") {
      sel.warning = "score profile disabled by environment";
      return sel;
    }
  }
  auto path = env_var("VANTREL_SCORE_V2_PROFILE_PATH");
  if (!path) return sel;
  if (trim_unicode_whitespace(*path).empty()) {
    sel.warning = "score profile fallback: empty VANTREL_SCORE_V2_PROFILE_PATH";
    return sel;
  }
  auto loaded = ScoreProfile::load(*path);
  if (loaded) {
    sel.profile = std::make_unique<ScoreProfile>(std::move(loaded).value());
  } else {
    sel.warning = "score profile fallback: failed to load '" + *path + "': " + loaded.error();
  }
  return sel;
}

Scanner::Scanner() = default;
Scanner::Scanner(Scanner&&) noexcept = default;
Scanner& Scanner::operator=(Scanner&&) noexcept = default;
Scanner::~Scanner() = default;

const GateConfig& Scanner::config() const { return fresh_gate_->config(); }

Scanner Scanner::with_pattern_skill(const GateConfig& config, std::size_t max_input_bytes,
                                    std::unique_ptr<PatternSkill> patterns,
                                    const ClassifierModel* classifier) {
  return with_pattern_skill_and_profile(config, max_input_bytes, std::move(patterns),
                                        select_score_profile_from_environment(), classifier);
}

Scanner Scanner::with_pattern_skill_and_profile(const GateConfig& config,
                                                std::size_t max_input_bytes,
                                                std::unique_ptr<PatternSkill> patterns,
                                                ProfileSelection profile,
                                                const ClassifierModel* classifier) {
  Scanner s;
  s.pattern_db_version_ = patterns->db_version();
  s.pattern_db_hash_ = patterns->db_hash();
  s.score_profile_ = std::move(profile.profile);
  s.score_profile_warning_ = std::move(profile.warning);
  s.first_tier_.push_back(std::make_unique<NormalizationSkill>(kInvisibleRatioThreshold));
  // The learned detector runs before the phrase skill, so that when both find
  // something the phrase evidence names the threat type.
  if (classifier != nullptr && classifier->for_mode(ScanMode::Input) != nullptr) {
    s.second_tier_.push_back(std::make_unique<ClassifierSkill>(*classifier, ScanMode::Input));
    s.revealing_patterns_ = patterns.get();
    s.word_repair_ = std::make_unique<WordRepair>(patterns->texts());
  }
  s.second_tier_.push_back(std::move(patterns));
  s.second_tier_.push_back(std::make_unique<EntropySkill>(kEntropyElevatedBits, kEntropyHighBits,
                                                          kEntropyMinLength, kEntropyElevatedRatio,
                                                          kEntropyHighRatio));
  s.second_tier_.push_back(std::make_unique<StatsSkill>());
  s.toolcall_skill_ = std::make_unique<ToolCallSkill>();
  s.output_skill_ = std::make_unique<OutputSkill>();
  s.output_normalizer_ = std::make_unique<NormalizationSkill>(kInvisibleRatioThreshold);
  if (classifier != nullptr && classifier->for_mode(ScanMode::Output) != nullptr) {
    s.output_classifier_ = std::make_unique<ClassifierSkill>(*classifier, ScanMode::Output);
  }
  s.fresh_gate_ = std::make_unique<BayesianGate>(config);
  s.max_input_bytes_ = max_input_bytes > kMinInputLimit ? max_input_bytes : kMinInputLimit;
  return s;
}

Scanner Scanner::with_config(const GateConfig& config) {
  return with_pattern_skill(config, kDefaultInputLimit,
                            std::make_unique<PatternSkill>(PatternSkill::create()));
}

Expected<Scanner, PatternLoadError> Scanner::with_config_and_limits_and_additive_patterns(
    const GateConfig& config, std::size_t max_input_bytes,
    const std::optional<std::string>& additive_patterns_path) {
  if (!additive_patterns_path) {
    return with_pattern_skill(config, max_input_bytes,
                              std::make_unique<PatternSkill>(PatternSkill::create()));
  }
  auto merged = PatternSkill::with_additive_file(*additive_patterns_path);
  if (!merged) return Unexpected{std::move(merged).error()};
  return with_pattern_skill(config, max_input_bytes,
                            std::make_unique<PatternSkill>(std::move(merged).value()));
}

namespace {

// The engine's own first evidence: the byte entropy of the text as received.
void add_raw_entropy(ScanState& state, std::string_view text) {
  if (text.empty()) {
    state.set_raw_entropy(0.0);
    return;
  }
  const double h = byte_entropy(text);
  state.set_raw_entropy(h);
  if (text.size() < kRawEntropyMinLength || !(h > 0)) return;
  const auto step = std::find_if(kRawEntropySteps.begin(), kRawEntropySteps.end(),
                                 [h](const RawEntropyStep& s) { return h >= s.min_bits; });
  if (step == kRawEntropySteps.end()) return;
  const double ratio = step->ratio;
  std::string desc = "Raw entropy ";
  append_fixed(desc, h, 2);
  desc += " bits/char";
  Signal sig("entropy_raw", "entropy_score", std::move(desc), ratio);
  sig.raw_score = h;
  SkillOutput out;
  out.signals.push_back(std::move(sig));
  out.threat_type = ThreatType::EncodingAttack;
  state.process(std::move(out));
}

}  // namespace

ScanResult Scanner::scan(std::string_view text) const { return scan_to_tier(text, 2); }

ScanResult Scanner::scan_to_tier(std::string_view text, std::uint8_t max_tier) const {
  if (text.size() > max_input_bytes_) return size_error(ThreatType::EncodingAttack);
  const WellFormedText well_formed(text);
  text = well_formed.view();
  ScanState state(*fresh_gate_, text, ScanMode::Input, pattern_db_version_, pattern_db_hash_);
  add_raw_entropy(state, text);

  std::vector<SkillOutput> outputs;
  outputs.reserve(first_tier_.size());
  for (const auto& skill : first_tier_) outputs.push_back(skill->scan(state.current_text()));
  for (SkillOutput& out : outputs) {
    if (out.normalized_text) state.replace_text(std::move(*out.normalized_text));
    state.process(std::move(out));
  }

  const bool early_block = config().score_v2_enabled
                               ? state.gate().posterior() >= config().block_prob
                               : state.gate().log_odds() >= state.gate().block_logit();
  if (early_block) {
    const ThreatType t = state.threat_type();
    return std::move(state).result(false, t, 1, score_profile_.get(), score_profile_warning_);
  }
  if (max_tier <= 1) {
    return std::move(state).result(true, ThreatType::Benign, 1, score_profile_.get(),
                                   score_profile_warning_);
  }

  outputs.clear();
  outputs.reserve(second_tier_.size());
  for (const auto& skill : second_tier_) outputs.push_back(skill->scan(state.current_text()));
  for (SkillOutput& out : outputs) state.process(std::move(out));
  if (revealing_patterns_ != nullptr) {
    // With the learned detector on, the phrases are also looked for in what
    // only its deeper view shows (tag characters, reversed text, spelt-out
    // letters, words with shuffled letters put back); signal offsets then
    // count in that revealed text.
    // The revealed lines are normalized like any text first (hidden text
    // kept its leetspeak and spacing), and only the phrases count.
    std::string revealed = revealed_text(state.current_text());
    revealed += word_repair_->repaired_stretches(state.current_text());
    if (!revealed.empty()) {
      const SkillOutput normalized = first_tier_.front()->scan(revealed);
      state.process(revealing_patterns_->scan(normalized.normalized_text.value_or(revealed)));
    }
  }
  return std::move(state).finalize(2, kLegacyCutoff, score_profile_.get(), score_profile_warning_);
}

ScanResult Scanner::scan_output(std::string_view text) const {
  if (text.size() > max_input_bytes_) return size_error(ThreatType::DataExfiltration);
  const WellFormedText well_formed(text);
  text = well_formed.view();
  ScanState state(*fresh_gate_, text, ScanMode::Output, pattern_db_version_, pattern_db_hash_);
  add_raw_entropy(state, text);

  SkillOutput norm = output_normalizer_->scan(text);
  std::optional<std::string> normalized = std::move(norm.normalized_text);
  state.process(std::move(norm));
  // The response is always checked for signs of a successful attack, however
  // the entropy and normalization evidence came out.
  const std::string_view response = normalized ? std::string_view(*normalized) : text;
  if (output_classifier_) state.process(output_classifier_->scan(response));
  state.process(output_skill_->scan(response));
  return std::move(state).finalize(2, kLegacyCutoff, score_profile_.get(), score_profile_warning_);
}

ScanResult Scanner::scan_tool_call(std::string_view arguments) const {
  if (arguments.size() > max_input_bytes_) return size_error(ThreatType::ToolManipulation);
  const WellFormedText well_formed(arguments);
  arguments = well_formed.view();
  ScanState state(*fresh_gate_, arguments, ScanMode::ToolCall, pattern_db_version_, pattern_db_hash_);
  add_raw_entropy(state, arguments);
  // Arguments are matched as given: normalization would rewrite code such as
  // "eval(" before the phrases could see it.
  state.process(toolcall_skill_->scan(arguments));
  return std::move(state).finalize(2, kLegacyCutoff, score_profile_.get(), score_profile_warning_);
}

ScanResult Scanner::size_error(ThreatType threat_type) const {
  ScanResult r;
  Signal sig("input_validation", "size_limit",
             "Input exceeds " + std::to_string(max_input_bytes_) + " bytes", 1000.0);
  r.signals.push_back(std::move(sig));
  r.safe = false;
  r.threat_type = threat_type;
  r.tier_reached = 0;
  r.confidence = 1.0;
  r.latency_ms = 0.0;
  if (config().score_v2_enabled) {
    // Certainty, as far as the clamped probabilities reach, against the prior.
    r.posterior_prob = 1.0;
    r.effective_lr = effective_likelihood_ratio(1.0, config().prior);
    r.thresholds_used = configured_thresholds(config());
    r.disposition = Disposition::Block;
    r.severity = Severity::Critical;
    r.warning_message = "Blocked (critical): attack-likelihood score 100%";
  }
  copy_policy_snapshot(config(), r);
  r.score_profile_applied = false;
  r.score_profile_warning = score_profile_warning_;
  r.gate_config_hash = fresh_gate_->config_hash();
  r.pattern_db_hash = pattern_db_hash_;
  r.pattern_db_version = pattern_db_version_;
  return r;
}

}  // namespace vantrel_core
