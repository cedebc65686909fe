#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "engine.h"

namespace {

// Whole input scan of a benign prompt, the daemon's and the one-shot scan's
// steady-state cost.
void BM_ScanBenignPrompt(benchmark::State& state) {
  const auto scanner = vantrel_core::Scanner::with_config(vantrel_core::GateConfig());
  const std::string text = vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(scanner.scan(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ScanBenignPrompt)->Arg(200)->Arg(1024)->Arg(4096)->Arg(1 << 20);

}  // namespace
