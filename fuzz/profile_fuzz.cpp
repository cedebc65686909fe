// Score profiles of any content. A profile that loads must validate, predict
// a probability (or NaN) with thresholds from its own table, and never let a
// NaN decide a scan.
#include <cmath>
#include <cstring>

#include "fuzz_target.h"
#include "gate.h"
#include "scan_state.h"
#include "score_profile.h"

namespace {

using namespace vantrel_core;
using vantrel_fuzz::check;

}  // namespace

VANTREL_FUZZ_TARGET(profile) {
  vantrel_fuzz::Input in(data, size);
  // The first 40 bytes pick feature values; the rest is the profile text.
  std::array<double, kScoreFeatureCount> features{};
  for (double& f : features) f = static_cast<std::int8_t>(in.byte()) / 4.0;
  const std::uint8_t posterior_byte = in.byte();
  const std::string_view json = in.rest();

  auto loaded = ScoreProfile::parse(json);
  if (!loaded) return 0;
  const ScoreProfile& profile = *loaded;
  check(!validate_score_profile(profile), "a parsed profile is valid");

  for (ScanMode mode : {ScanMode::Input, ScanMode::Output, ScanMode::ToolCall}) {
    const ScorePrediction p = profile.predict(features, mode);
    if (!std::isnan(p.probability))
      check(p.probability >= 0 && p.probability <= 1, "probability range");
    check(p.warn >= 0 && p.warn < p.block && p.block <= 1,
          "thresholds come from the validated table");
  }

  // Through result assembly: a profile that was applied gave a number.
  static const GateConfig config;  // the command line's
  ScanState state(BayesianGate(config), "Some INPUT text 123 !!", ScanMode::Input, std::nullopt, 0);
  SkillOutput out;
  out.signals.emplace_back("pattern", "prompt_injection", "probe", 1.0 + posterior_byte * 10.0);
  out.threat_type = posterior_byte % 2 == 0 ? ThreatType::PromptInjection : ThreatType::Benign;
  state.process(std::move(out));
  const ScanResult r = std::move(state).result(true, ThreatType::Benign, 2, &profile, std::nullopt);
  if (r.score_profile_applied) {
    check(r.posterior_prob && !std::isnan(*r.posterior_prob), "an applied profile gave a number");
  } else {
    check(r.score_profile_warning.has_value(), "a bypassed profile says why");
  }
  return 0;
}
