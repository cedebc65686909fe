// The pattern skill's costs: building it (the image read by every one-shot
// process, and a pattern file of the embedded database's size),
// matching throughput on prose with and without attack phrases, and the
// whole one-shot process.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <malloc.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <string_view>
#include <vector>

#include "bench_data.h"
#include "matcher.h"
#include "skills/embedded_patterns.h"
#include "skills/pattern.h"

extern char** environ;

namespace {

using vantrel_core::PatternSkill;
using vantrel_core::PhraseMatch;
using vantrel_core::PhraseMatcher;

constexpr std::size_t kTextBytes = 1 << 20;

const PatternSkill& embedded_skill() {
  static const PatternSkill skill = PatternSkill::with_embedded_patterns().value();
  return skill;
}

const std::string& text_for(std::int64_t kind) {
  static const std::string prose = vantrel_bench::english_prose(kTextBytes);
  static const std::string attacks = vantrel_bench::with_attacks(prose, kTextBytes);
  return kind == 0 ? prose : attacks;
}

void label(benchmark::State& state) {
  state.SetLabel(state.range(0) == 0 ? "prose, no matches" : "match per ~200 B");
}

void BM_MatcherBuildEmbedded(benchmark::State& state) {
  const auto& patterns = embedded_skill().patterns();
  std::vector<std::string_view> phrases;
  for (const auto& p : patterns) phrases.push_back(p.text);
  std::size_t states = 0;
  for (auto _ : state) {
    auto m = PhraseMatcher::build(phrases);
    states = m->state_count();
    benchmark::DoNotOptimize(m);
  }
  state.counters["phrases"] = static_cast<double>(phrases.size());
  state.counters["states"] = static_cast<double>(states);
}
BENCHMARK(BM_MatcherBuildEmbedded)->Unit(benchmark::kMicrosecond);

// Reading the compiled image in place and re-labelling: the skill a one-shot
// scan constructs at start-up when no pattern file is found.
void BM_PatternSkillFromEmbedded(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(PatternSkill::with_embedded_patterns());
  state.counters["image_bytes"] =
      static_cast<double>(vantrel_core::embedded_pattern_image().size());
}
BENCHMARK(BM_PatternSkillFromEmbedded)->Unit(benchmark::kMicrosecond);

// Parsing, hashing and building from the embedded text: what a pattern file
// of the same size costs, and what start-up cost before the image.
void BM_PatternSkillFromEmbeddedJson(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(PatternSkill::from_json(vantrel_core::embedded_patterns_json(),
                                                     vantrel_core::kEmbeddedPatternsPadding));
  }
  state.counters["json_bytes"] = static_cast<double>(vantrel_core::embedded_patterns_json().size());
}
BENCHMARK(BM_PatternSkillFromEmbeddedJson)->Unit(benchmark::kMicrosecond);

// The same with the allocator's free pages handed back to the system before
// each build, as in a fresh process: every page the build touches faults in
// anew, which on some virtual machines costs more than the work itself.
void BM_PatternSkillFromEmbeddedJsonFreshPages(benchmark::State& state) {
  for (auto _ : state) {
    state.PauseTiming();
    malloc_trim(0);
    state.ResumeTiming();
    benchmark::DoNotOptimize(PatternSkill::from_json(vantrel_core::embedded_patterns_json(),
                                                     vantrel_core::kEmbeddedPatternsPadding));
  }
}
BENCHMARK(BM_PatternSkillFromEmbeddedJsonFreshPages)->Unit(benchmark::kMicrosecond);

void BM_MatcherScan(benchmark::State& state) {
  const PhraseMatcher& matcher = embedded_skill().matcher();
  const std::string& text = text_for(state.range(0));
  std::size_t matches = 0;
  for (auto _ : state) {
    matches = 0;
    matcher.for_each(text, [&matches](const PhraseMatch&) { ++matches; });
    benchmark::DoNotOptimize(matches);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["matches"] = static_cast<double>(matches);
  label(state);
}
BENCHMARK(BM_MatcherScan)->Arg(0)->Arg(1);

void BM_PatternSkillScan(benchmark::State& state) {
  const PatternSkill& skill = embedded_skill();
  const std::string& text = text_for(state.range(0));
  std::size_t signals = 0;
  for (auto _ : state) {
    auto out = skill.scan(text);
    signals = out.signals.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
  state.counters["signals"] = static_cast<double>(signals);
  label(state);
}
BENCHMARK(BM_PatternSkillScan)->Arg(0)->Arg(1);

// Spawns the built vantrel with `args` (and `extra_env` added to this
// process's environment) and waits for it, output discarded.
void run_process(benchmark::State& state, std::vector<std::string> args, const char* extra_env = nullptr) {
  std::string exe = VANTREL_EXE;
  args.insert(args.begin(), exe);
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  std::string extra = extra_env == nullptr ? "" : extra_env;
  if (extra_env != nullptr) env.push_back(extra.data());
  env.push_back(nullptr);
  for (auto _ : state) {
    pid_t pid = 0;
    if (posix_spawn(&pid, exe.c_str(), &actions, nullptr, argv.data(), env.data()) != 0) {
      state.SkipWithError("cannot start vantrel");
      break;
    }
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("vantrel failed");
      break;
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

// The one-shot scan as a user runs it: start-up, scanner construction, scan,
// report.
void BM_ProcessScanJsonHello(benchmark::State& state) {
  run_process(state, {"scan", "--json", "hello"});
}
BENCHMARK(BM_ProcessScanJsonHello)->Unit(benchmark::kMillisecond)->UseRealTime();

// The same with the learned detector on (the built-in model).
void BM_ProcessScanJsonHelloClassifier(benchmark::State& state) {
  run_process(state, {"scan", "--json", "hello"}, "VANTREL_CLASSIFIER=1");
}
BENCHMARK(BM_ProcessScanJsonHelloClassifier)->Unit(benchmark::kMillisecond)->UseRealTime();

// Start-up alone (no scanner), the floor of the figure above.
void BM_ProcessVersion(benchmark::State& state) {
  run_process(state, {"version"});
}
BENCHMARK(BM_ProcessVersion)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
