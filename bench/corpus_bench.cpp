// Whole scans and normalization of a mebibyte of real prompts and answers
// (the corpus named by VANTREL_BENCH_TEXTS, see bench_data.h), or of
// synthetic prose without it. Joined, the texts hold non-ASCII characters,
// as about half of real prompt bytes do.
#include <benchmark/benchmark.h>

#include <string>

#include "bench_data.h"
#include "engine.h"
#include "skills/normalize.h"

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

const std::string& corpus_mebibyte(std::string* source) {
  static std::string from;
  static const std::string text = vantrel_bench::corpus_or_prose(kMiB, &from);
  *source = from;
  return text;
}

// 0: input mode, 1: output mode.
void BM_ScanCorpusMebibyte(benchmark::State& state) {
  std::string source;
  const std::string& text = corpus_mebibyte(&source);
  const auto scanner = vantrel_core::Scanner::with_config(vantrel_core::GateConfig());
  const bool output = state.range(0) == 1;
  for (auto _ : state) {
    benchmark::DoNotOptimize(output ? scanner.scan_output(text) : scanner.scan(text));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.SetLabel(source + (output ? ", output mode" : ", input mode"));
}
BENCHMARK(BM_ScanCorpusMebibyte)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

void BM_NormalizeCorpusMebibyte(benchmark::State& state) {
  std::string source;
  const std::string& text = corpus_mebibyte(&source);
  const vantrel_core::NormalizationSkill skill(0.05);
  for (auto _ : state) benchmark::DoNotOptimize(skill.scan(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(text.size()));
  state.SetLabel(source);
}
BENCHMARK(BM_NormalizeCorpusMebibyte)->Unit(benchmark::kMillisecond);

}  // namespace
