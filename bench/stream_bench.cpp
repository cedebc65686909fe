#include <benchmark/benchmark.h>

#include "bench_data.h"
#include "engine.h"
#include "skills/stream.h"

namespace {

vantrel_core::StreamConfig stream_config() {
  vantrel_core::StreamConfig c;
  c.gate_config = vantrel_core::GateConfig();
  c.pattern_db_version = "bench";
  return c;
}

// A 20 KB benign response pushed in pieces of `range(0)` bytes, as a model
// streams tokens; bytes/s here bounds how much output one core keeps up with.
void BM_StreamPieces(benchmark::State& state) {
  const std::string response = vantrel_bench::english_prose(20 * 1024);
  const auto piece = static_cast<std::size_t>(state.range(0));
  for (auto _ : state) {
    auto s = vantrel_core::StreamScanner::with_config(stream_config());
    for (std::size_t i = 0; i < response.size(); i += piece) {
      benchmark::DoNotOptimize(s.push(std::string_view(response).substr(i, piece)));
    }
    benchmark::DoNotOptimize(std::move(s).finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * response.size()));
  state.counters["pushes"] = benchmark::Counter(
      static_cast<double>(state.iterations() * ((response.size() + piece - 1) / piece)),
      benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StreamPieces)->Arg(5)->Arg(80);

// The same response as the stream command feeds it: each line, then a line feed.
void BM_StreamLines(benchmark::State& state) {
  std::string response = vantrel_bench::english_prose(20 * 1024);
  for (std::size_t i = 70; i < response.size(); i += 71) response[i] = '\n';
  std::vector<std::string_view> lines;
  std::string_view rest = response;
  for (std::size_t nl; (nl = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(nl + 1)) {
    lines.push_back(rest.substr(0, nl));
  }
  lines.push_back(rest);
  for (auto _ : state) {
    auto s = vantrel_core::StreamScanner::with_config(stream_config());
    for (std::string_view line : lines) {
      benchmark::DoNotOptimize(s.push(line));
      benchmark::DoNotOptimize(s.push("\n"));
    }
    benchmark::DoNotOptimize(std::move(s).finish());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * response.size()));
  state.counters["lines"] =
      benchmark::Counter(static_cast<double>(state.iterations() * lines.size()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_StreamLines);

// A whole response checked at once (`scan --mode output`).
void BM_ScanOutput(benchmark::State& state) {
  const auto scanner = vantrel_core::Scanner::with_config(vantrel_core::GateConfig());
  const std::string text = vantrel_bench::english_prose(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(scanner.scan_output(text));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ScanOutput)->Arg(20 * 1024)->Arg(1 << 20);

}  // namespace
