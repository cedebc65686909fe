// The phrase matcher with the embedded database's phrases, against
// Hyperscan (when the build found it) compiling the same phrases as caseless
// literals in block mode; and on inputs built to defeat its filter, against
// its own automaton alone. Contenders run alternately in every iteration, on
// the same text, so that both see the same machine load.
//
// Texts: synthetic prose, or the corpus named by VANTREL_BENCH_TEXTS (see
// bench_data.h) when given; each also with an attack phrase about every 200
// bytes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "bench_data.h"
#include "matcher.h"
#include "skills/pattern.h"

#ifdef VANTREL_HAVE_HYPERSCAN
#include <hs.h>
#endif

namespace {

using vantrel_core::PatternSkill;
using vantrel_core::PhraseMatch;
using vantrel_core::PhraseMatcher;

constexpr std::size_t kTextBytes = std::size_t{4} << 20;

const std::vector<std::string_view>& database_phrases() {
  static const PatternSkill skill = PatternSkill::with_embedded_patterns().value();
  static const std::vector<std::string_view> phrases = [] {
    std::vector<std::string_view> out;
    for (const auto& p : skill.patterns()) out.push_back(p.text);
    return out;
  }();
  return phrases;
}

const PhraseMatcher& database_matcher() {
  static const PhraseMatcher m = PhraseMatcher::build(database_phrases()).value();
  return m;
}

// 0: benign text, 1: the same with attacks.
const std::string& text_for(std::int64_t kind, std::string* source) {
  static std::string from;
  static const std::string benign = vantrel_bench::corpus_or_prose(kTextBytes, &from);
  static const std::string attacks = vantrel_bench::with_attacks(benign, kTextBytes);
  *source = from + (kind == 0 ? ", benign" : ", attack per ~200 B");
  return kind == 0 ? benign : attacks;
}

std::size_t count_ours(const PhraseMatcher& m, std::string_view text) {
  std::size_t n = 0;
  m.for_each(text, [&n](const PhraseMatch&) { ++n; });
  return n;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Times `first` and `second` alternately in every iteration; their total
// seconds.
template <class First, class Second>
std::pair<double, double> alternate(benchmark::State& state, First&& first, Second&& second) {
  double first_s = 0;
  double second_s = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    first();
    const double a = seconds_since(start);
    start = std::chrono::steady_clock::now();
    second();
    const double b = seconds_since(start);
    first_s += a;
    second_s += b;
    state.SetIterationTime(a + b);
  }
  return {first_s, second_s};
}

double megabytes(const benchmark::State& state, std::string_view text) {
  return static_cast<double>(text.size()) * static_cast<double>(state.iterations()) / 1e6;
}

// Phrase lists and texts built to defeat a filter, each searched by the
// default path and by the automaton alone, alternately. "slowdown" is the
// default path's time over the automaton's.
struct BadInput {
  std::string label;
  std::vector<std::string> phrases;
  std::string text;
};

std::string repeat_to(std::string_view unit, std::size_t bytes) {
  std::string s;
  s.reserve(bytes + unit.size());
  while (s.size() < bytes) s.append(unit);
  s.resize(bytes);
  return s;
}

BadInput bad_input(std::int64_t which) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  std::vector<std::string> database(database_phrases().begin(), database_phrases().end());
  std::uint64_t rng = 0x9E3779B97F4A7C15ULL;
  const auto next = [&rng] {
    rng ^= rng << 13;
    rng ^= rng >> 7;
    rng ^= rng << 17;
    return rng;
  };
  std::vector<std::string> shared_prefix;
  for (int i = 0; i < 4000; ++i) {
    std::string p = "sharedpr";
    for (std::uint64_t k = 1 + next() % 12; k > 0; --k) p += static_cast<char>('a' + next() % 26);
    shared_prefix.push_back(p);
  }
  std::vector<std::string> one_byte = database;
  for (const char c : std::string_view("~^|#%&*")) one_byte.emplace_back(1, c);
  std::vector<std::string> repeated_byte;
  for (std::size_t k = 8; k <= 64; ++k) {
    repeated_byte.push_back(std::string(k, 'a') + "b");
    repeated_byte.push_back(std::string(k, 'z'));
  }
  std::vector<std::string> every_byte;
  for (int b = 0; b < 256; ++b) every_byte.push_back(std::string(8 + b % 5, static_cast<char>(b)));
  switch (which) {
    case 0:
      return {"4000 phrases, one 8-byte prefix; prose", shared_prefix,
              vantrel_bench::english_prose(kMiB)};
    case 1:
      return {"4000 phrases, one 8-byte prefix; the prefix repeated", shared_prefix,
              repeat_to("sharedpr", kMiB)};
    case 2:
      return {"database + 1-byte phrases; prose", one_byte, vantrel_bench::english_prose(kMiB)};
    case 3:
      return {"runs of one byte; 1 MiB of that byte", repeated_byte, std::string(kMiB, 'a')};
    case 4:
      return {"every byte value, NUL too; 1 MiB of NUL", every_byte, std::string(kMiB, '\0')};
    case 5:
      return {"database; a phrase's prefix repeated", database,
              repeat_to("ignore all previous ", kMiB)};
    case 6:
      return {"database; a phrase short of its last byte, repeated", database,
              repeat_to("Ignore all previous instruction ", kMiB)};
    default:
      return {"database; 1 MiB of one byte", database, std::string(kMiB, 'a')};
  }
}

void BM_MatcherBadInput(benchmark::State& state) {
  const BadInput in = bad_input(state.range(0));
  const auto built = PhraseMatcher::build(in.phrases);
  if (!built) {
    state.SkipWithError(built.error().c_str());
    return;
  }
  const PhraseMatcher automaton = built->with_path(vantrel_core::MatcherPath::kAutomaton);
  std::size_t ours = 0;
  std::size_t theirs = 0;
  const auto [ours_s, automaton_s] = alternate(
      state, [&] { ours = count_ours(*built, in.text); },
      [&] { theirs = count_ours(automaton, in.text); });
  if (ours != theirs) state.SkipWithError("the paths disagree");
  const double mb = megabytes(state, in.text);
  state.counters["MBps"] = mb / ours_s;
  state.counters["automaton_MBps"] = mb / automaton_s;
  state.counters["slowdown"] = ours_s / automaton_s;
  state.counters["matches"] = static_cast<double>(ours);
  state.counters["window"] = built->window_bytes();
  state.SetLabel(in.label);
}
BENCHMARK(BM_MatcherBadInput)->DenseRange(0, 7)->UseManualTime()->Unit(benchmark::kMillisecond);

#ifdef VANTREL_HAVE_HYPERSCAN

struct Hyperscan {
  hs_database_t* db = nullptr;
  hs_scratch_t* scratch = nullptr;
  double compile_ms = 0;
  Hyperscan() {
    const auto& phrases = database_phrases();
    std::vector<const char*> exprs;
    std::vector<std::size_t> lens;
    std::vector<unsigned> flags(phrases.size(), HS_FLAG_CASELESS);
    std::vector<unsigned> ids;
    for (std::size_t i = 0; i < phrases.size(); ++i) {
      exprs.push_back(phrases[i].data());
      lens.push_back(phrases[i].size());
      ids.push_back(static_cast<unsigned>(i));
    }
    hs_compile_error_t* error = nullptr;
    const auto start = std::chrono::steady_clock::now();
    if (hs_compile_lit_multi(exprs.data(), flags.data(), ids.data(), lens.data(),
                             static_cast<unsigned>(phrases.size()), HS_MODE_BLOCK, nullptr, &db,
                             &error) != HS_SUCCESS) {
      hs_free_compile_error(error);
      db = nullptr;
      return;
    }
    compile_ms = seconds_since(start) * 1e3;
    if (hs_alloc_scratch(db, &scratch) != HS_SUCCESS) scratch = nullptr;
  }
  std::size_t count(std::string_view text) const {
    std::size_t n = 0;
    hs_scan(
        db, text.data(), static_cast<unsigned>(text.size()), 0, scratch,
        [](unsigned, unsigned long long, unsigned long long, unsigned, void* ctx) {
          ++*static_cast<std::size_t*>(ctx);
          return 0;
        },
        &n);
    return n;
  }
};

const Hyperscan& hyperscan() {
  static const Hyperscan hs;
  return hs;
}

#endif  // VANTREL_HAVE_HYPERSCAN

// Ours on benign text and with attacks and, when built with it, Hyperscan
// alternately on the same text ("ratio" is its time over ours). Hyperscan
// reports every occurrence of every phrase, overlaps included; ours the
// leftmost-first, non-overlapping ones.
void BM_MatcherDatabase(benchmark::State& state) {
  std::string source;
  const std::string& text = text_for(state.range(0), &source);
  const PhraseMatcher& m = database_matcher();
  std::size_t ours = 0;
#ifdef VANTREL_HAVE_HYPERSCAN
  std::size_t theirs = 0;
  const Hyperscan& hs = hyperscan();
  if (hs.scratch == nullptr) {
    state.SkipWithError("Hyperscan could not compile the phrases");
    return;
  }
  const auto [ours_s, theirs_s] = alternate(
      state, [&] { ours = count_ours(m, text); }, [&] { theirs = hs.count(text); });
  state.counters["hs_MBps"] = megabytes(state, text) / theirs_s;
  state.counters["ratio"] = theirs_s / ours_s;
  state.counters["hs_matches"] = static_cast<double>(theirs);
  state.counters["hs_compile_ms"] = hs.compile_ms;
#else
  const double ours_s = alternate(
                            state, [&] { ours = count_ours(m, text); }, [] {})
                            .first;
#endif
  state.counters["MBps"] = megabytes(state, text) / ours_s;
  state.counters["matches"] = static_cast<double>(ours);
  state.SetLabel(source);
}
BENCHMARK(BM_MatcherDatabase)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

}  // namespace
