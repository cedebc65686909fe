#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "score_profile.h"
#include "skills/entropy.h"
#include "skills/stats.h"

namespace {

// The entropy skill over prose: one counting pass and 256 logarithms.
void BM_EntropySkill(benchmark::State& state) {
  const vantrel_core::EntropySkill skill;
  const std::string text = vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(skill.scan(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_EntropySkill)->Arg(1024)->Arg(1 << 20);

// The statistics skill over prose: runs, character classes and the role-marker
// search, each one pass.
void BM_StatsSkill(benchmark::State& state) {
  const vantrel_core::StatsSkill skill;
  const std::string text = vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(skill.scan(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_StatsSkill)->Arg(1024)->Arg(1 << 20);

// The per-scan cost a score profile adds: the feature vector (one pass over
// the input for the character classes) and the prediction.
void BM_ScoreProfileFeaturesAndPredict(benchmark::State& state) {
  vantrel_core::ScoreProfile profile;
  profile.coefficients.assign(vantrel_core::kScoreFeatureCount, 0.1);
  profile.thresholds_by_mode = {{"input", {0.3, 0.6}}};
  const std::string text = vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0)));
  vantrel_core::ScoreFeatureInputs in;
  in.posterior = 0.2;
  in.threat_type = vantrel_core::ThreatType::PromptInjection;
  in.raw_entropy = 4.1;
  in.input_text = text;
  for (auto _ : state) {
    const auto features = vantrel_core::build_score_features(in);
    benchmark::DoNotOptimize(profile.predict(features, vantrel_core::ScanMode::Input));
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ScoreProfileFeaturesAndPredict)->Arg(1024)->Arg(1 << 20);

}  // namespace
