// Detection quality on labelled JSONL data: scans every text in the mode its
// kind calls for and reports, per file and per kind, the block and warning
// rates and the recall reached at fixed false-positive rates, with or
// without the learned detector.
//
//   vantrel_eval [options] FILE.jsonl...
//     --patterns DB.json   measure this pattern database instead of the built-in one
//     --classifier off|builtin|MODEL   the learned detector: none (default), the
//                          built-in model, or a model file
//     --loso               the learned detector trained once per held-out source:
//                          each source is scanned by a model trained without its
//                          files and without any text near-duplicating one of them
//     --cv K               the same with K folds of near-duplicate families
//     --extra FILE.jsonl   training texts of one's own: trained on in every run,
//                          never scanned or counted (repeatable)
//     --merge NAME=GROUP   hold the source NAME out together with GROUP (repeatable)
//     --keep-near-duplicates   train on near-duplicates of held-out texts found
//                          in other sources (inflated figures; for comparison)
//     --no-train NAME      never train on the file NAME (a stem or source name;
//                          repeatable; bipia_text by default, see below)
//     --family-exponent X, --bits N, --l2 X, --epochs N, --least-ratio X,
//     --calibration-folds N   training settings (see vantrel_train)
//     --train-modes input|output|both   models trained under --loso/--cv (both)
//     --evade all|KIND[,KIND]   also scan disguised copies of the attack texts
//                          (tag, bidi, dots, hyphens, emoji, swaps, linebreaks)
//     --split mine|check|all   the hash split of the texts to scan (all)
//     --separate NAME      report the file NAME (a stem, or the part before its
//                          first dot) apart from its kind (repeatable)
//     --by-lang            add a table per kind and language
//     --markdown           tables as Markdown
//     --svg PLOT.svg       recall against false-positive rate per attack kind
//     --show-fp N          the N highest-scoring benign texts of each mode
//     --show-misses N      up to N attack texts per kind that were not blocked
//     --dump FILE.tsv      one row per text: id, kind, label, score, disposition, evidence
//     --threads N          threads (2)
//
// Texts are named "<file stem>:<line>" so they can be looked up without
// copying them; explanations name the phrases that fired and the words the
// learned detector weighed most, never the text. Recall at a false-positive
// rate f: the decision score is cut just above the benign score that lets at
// most f of the benign texts of the same mode through, and recall is the
// share of attacks scoring above it. The decision score is the posterior
// swept on the log-odds scale, so that texts whose posterior rounds to 1 still
// rank by the evidence behind them. BIPIA text attacks are ordinary requests
// that count as attacks only by where they were inserted; they are not trained
// on unless --no-train is given explicitly.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "classifier_examples.h"
#include "classifier_train.h"
#include "corpus.h"
#include "decision.h"
#include "engine.h"
#include "evasion.h"
#include "fnv.h"
#include "jsonl.h"
#include "metrics.h"
#include "pattern_source.h"
#include "probability.h"
#include "skills/classifier.h"

namespace {

using vantrel_core::ClassifierModel;
using vantrel_core::Disposition;
using vantrel_core::ScanResult;
using namespace vantrel_tools;

constexpr double kFprPoints[] = {0.001, 0.005, 0.01};

enum class ClassifierUse { Off, BuiltIn, File, LeaveOneSourceOut, CrossValidation };

struct EvalArgs {
  std::vector<std::string> files, extra, separate, no_train{"bipia_text"};
  std::map<std::string, std::string> merges;
  std::string svg, dump, model_path, train_modes = "both";
  std::optional<std::string> patterns_path;
  bool markdown = false, by_lang = false, keep_near_duplicates = false;
  Split split = Split::All;
  std::size_t show_fp = 0, show_misses = 0, folds = 5;
  unsigned threads = 2;
  ClassifierUse classifier = ClassifierUse::Off;
  ExampleOptions examples;
  TrainSettings train;
  std::vector<Evasion> evasions;
};

// One labelled text and its verdicts.
struct Item {
  const CorpusText* text = nullptr;
  std::string kind;  // may carry a "[stem]" suffix for sources reported apart
  double score = 0;  // log-odds
  Disposition disposition = Disposition::Allow;
  double classifier_log_ratio = NAN;  // the learned detector alone, uncapped
  int run = -1;                       // the run that scanned it
  std::vector<Disposition> evaded;    // per requested evasion (attack texts)
};

// A set of texts scanned with one model (or none).
struct Run {
  std::string name;
  std::vector<std::size_t> items;
  std::vector<char> train;  // per corpus text: trained on (trained runs only)
  std::shared_ptr<const ClassifierModel> model;
};

// The texts of one file, kind or kind and language.
struct Group {
  std::size_t n = 0, blocked = 0, warned = 0, classifier_blocked = 0;
  bool attack = false;
  bool output_mode = false;
  std::vector<double> scores, classifier_scores;
};

Disposition disposition_of(const ScanResult& r) {
  return r.disposition.value_or(r.safe ? Disposition::Allow : Disposition::Block);
}

// A share as a percentage with one decimal, "-" when undefined.
std::string pct(double v) {
  if (std::isnan(v)) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v * 100.0);
  return buf;
}

const char* kUsage =
    "usage: vantrel_eval [--patterns DB.json] [--classifier off|builtin|MODEL] [--loso] [--cv K]\n"
    "                    [--extra FILE.jsonl]...\n"
    "                    [--merge NAME=GROUP]... [--no-train NAME]... [--family-exponent X]\n"
    "                    [--bits N] [--l2 X] [--epochs N] [--least-ratio X] [--calibration-folds N]\n"
    "                    [--train-modes input|output|both] [--evade all|KIND[,KIND]]\n"
    "                    [--split mine|check|all] [--separate NAME]... [--by-lang] [--markdown]\n"
    "                    [--svg PLOT.svg] [--show-fp N] [--show-misses N] [--dump FILE.tsv]\n"
    "                    [--threads N] FILE.jsonl...\n";

bool parse_count(const char* s, std::size_t& out) {
  char* end = nullptr;
  out = std::strtoull(s, &end, 10);
  return *s != '\0' && *end == '\0';
}

bool parse_double(const char* s, double& out) {
  char* end = nullptr;
  out = std::strtod(s, &end);
  return *s != '\0' && *end == '\0' && std::isfinite(out);
}

bool parse_evasions(const std::string& list, std::vector<Evasion>& out) {
  if (list == "all") {
    out = all_evasions();
    return true;
  }
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    const auto e = parse_evasion(std::string_view(list).substr(from, comma - from));
    if (!e) return false;
    out.push_back(*e);
    from = comma + 1;
  }
  return true;
}

// Fills args from the command line; false (after a message) when it is bad.
bool parse_args(int argc, char** argv, EvalArgs& a) {
  bool no_train_given = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    std::size_t n = 0;
    double x = 0;
    bool ok = true;
    if (arg == "--markdown") {
      a.markdown = true;
    } else if (arg == "--by-lang") {
      a.by_lang = true;
    } else if (arg == "--no-source-balance") {
      a.examples.balance_sources = false;
    } else if (arg == "--keep-near-duplicates") {
      a.keep_near_duplicates = true;
    } else if (arg == "--loso") {
      a.classifier = ClassifierUse::LeaveOneSourceOut;
    } else if (arg == "--no-length-adjustment") {
      a.train.adjust_for_length = false;
    } else if (arg.rfind("--", 0) == 0 && !has_value) {
      ok = false;
    } else if (arg == "--classifier") {
      const std::string v = argv[++i];
      a.classifier = v == "off" ? ClassifierUse::Off : v == "builtin" ? ClassifierUse::BuiltIn : ClassifierUse::File;
      a.model_path = v;
    } else if (arg == "--cv") {
      ok = parse_count(argv[++i], a.folds) && a.folds >= 2 && a.folds <= 100;
      a.classifier = ClassifierUse::CrossValidation;
    } else if (arg == "--extra") {
      a.extra.push_back(argv[++i]);
    } else if (arg == "--merge") {
      const std::string v = argv[++i];
      const std::size_t eq = v.find('=');
      ok = eq != std::string::npos && eq > 0 && eq + 1 < v.size();
      if (ok) a.merges[v.substr(0, eq)] = v.substr(eq + 1);
    } else if (arg == "--no-train") {
      if (!no_train_given) a.no_train.clear();
      no_train_given = true;
      a.no_train.push_back(argv[++i]);
    } else if (arg == "--family-exponent") {
      ok = parse_double(argv[++i], a.examples.family_exponent) && a.examples.family_exponent >= 0;
    } else if (arg == "--bits") {
      ok = parse_count(argv[++i], n) && n >= vantrel_core::kMinHashBits && n <= vantrel_core::kMaxHashBits;
      a.train.features.bits = static_cast<std::uint32_t>(n);
    } else if (arg == "--l2") {
      ok = parse_double(argv[++i], a.train.l2) && a.train.l2 > 0 && a.train.l2 < 1;
    } else if (arg == "--epochs") {
      ok = parse_count(argv[++i], n) && n >= 1 && n <= 1000;
      a.train.epochs = static_cast<int>(n);
    } else if (arg == "--features") {
      const auto f = parse_feature_families(argv[++i]);
      ok = f.has_value();
      if (ok) a.train.features.families = *f;
    } else if (arg == "--window") {
      std::size_t w = 0;
      ok = parse_count(argv[++i], w) && w <= vantrel_core::kMaxWindowWords;
      a.train.features.window_words = static_cast<std::uint32_t>(w);
    } else if (arg == "--length-power") {
      ok = parse_double(argv[++i], a.train.length_power) && a.train.length_power >= 0 && a.train.length_power <= 1;
    } else if (arg == "--calibration-folds") {
      ok = parse_count(argv[++i], n) && n <= 20;
      a.train.calibration_folds = static_cast<int>(n);
    } else if (arg == "--least-ratio") {
      ok = parse_double(argv[++i], x) && x >= 1;
      a.train.least_ratio = x;
    } else if (arg == "--train-modes") {
      a.train_modes = argv[++i];
      ok = a.train_modes == "input" || a.train_modes == "output" || a.train_modes == "both";
    } else if (arg == "--evade") {
      ok = parse_evasions(argv[++i], a.evasions);
    } else if (arg == "--svg") {
      a.svg = argv[++i];
    } else if (arg == "--dump") {
      a.dump = argv[++i];
    } else if (arg == "--separate") {
      a.separate.push_back(argv[++i]);
    } else if (arg == "--patterns") {
      a.patterns_path = argv[++i];
    } else if (arg == "--show-fp") {
      ok = parse_count(argv[++i], a.show_fp);
    } else if (arg == "--show-misses") {
      ok = parse_count(argv[++i], a.show_misses);
    } else if (arg == "--split") {
      const auto s = parse_split(argv[++i]);
      ok = s.has_value();
      if (ok) a.split = *s;
    } else if (arg == "--threads") {
      ok = parse_count(argv[++i], n) && n > 0 && n <= 256;
      a.threads = static_cast<unsigned>(n);
    } else if (arg.rfind("--", 0) == 0) {
      ok = false;
    } else {
      a.files.push_back(arg);
    }
    if (!ok) {
      std::fprintf(stderr, "bad option or value: %s\n%s", arg.c_str(), kUsage);
      return false;
    }
  }
  if (a.files.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return false;
  }
  return true;
}

// True when `stem` is NAME itself or a file of the source NAME.
bool names_file(const std::string& name, const std::string& stem) {
  return stem == name || stem.rfind(name + ".", 0) == 0;
}

// The runs of a trained evaluation: per held-out source, or per fold of
// near-duplicate families. A run trains on every text outside it whose
// family has no member inside it.
std::vector<Run> plan_trained_runs(const std::vector<CorpusText>& corpus, std::size_t measured,
                                   const EvalArgs& args) {
  std::map<std::string, std::vector<std::size_t>> members;
  for (std::size_t i = 0; i < measured; ++i) {
    const std::string key =
        args.classifier == ClassifierUse::LeaveOneSourceOut
            ? corpus[i].source
            : "fold " + std::to_string(vantrel_core::classifier_detail::mix(corpus[i].family) % args.folds + 1);
    members[key].push_back(i);
  }
  std::vector<Run> runs;
  for (auto& [name, items] : members) {
    Run run;
    run.name = name;
    run.items = std::move(items);
    std::unordered_set<std::uint32_t> held_families;
    for (std::size_t i : run.items) held_families.insert(corpus[i].family);
    run.train.assign(corpus.size(), 1);
    for (std::size_t i = 0; i < measured; ++i) {
      if (!args.keep_near_duplicates && held_families.count(corpus[i].family)) run.train[i] = 0;
      for (const std::string& n : args.no_train) {
        if (names_file(n, corpus[i].file) || corpus[i].source == n) run.train[i] = 0;
      }
    }
    for (std::size_t i : run.items) run.train[i] = 0;
    runs.push_back(std::move(run));
  }
  return runs;
}

// Builds the scanner of a run; false (after a message) when the pattern
// database cannot be loaded.
std::optional<vantrel_core::Scanner> scanner_for(const Run& run, const EvalArgs& args,
                                                 const vantrel_core::GateConfig& config) {
  auto patterns = load_pattern_skill(args.patterns_path);
  if (!patterns) {
    std::fprintf(stderr, "%s\n", patterns.error().c_str());
    return std::nullopt;
  }
  return vantrel_core::Scanner::with_pattern_skill(
      config, vantrel_core::kDefaultInputLimit,
      std::make_unique<vantrel_core::PatternSkill>(std::move(patterns).value()), run.model.get());
}

// Trains the models of one run (input, and output when asked for and the
// training texts hold output kinds); nothing when no model can be trained.
std::shared_ptr<const ClassifierModel> train_run(const std::vector<CorpusText>& corpus,
                                                 const std::vector<FeatureCounts>& features,
                                                 const std::vector<double>& contexts, const Run& run,
                                                 const EvalArgs& args) {
  std::vector<vantrel_core::LinearModelData> models;
  for (const bool output_mode : {false, true}) {
    if (args.train_modes == (output_mode ? "input" : "output")) continue;
    const std::vector<Example> examples =
        make_examples(corpus, features, run.train, output_mode, args.examples, contexts);
    std::size_t attacks = 0, typed = 0;
    for (const Example& e : examples) {
      attacks += e.attack ? 1 : 0;
      typed += e.type == 1 ? 1 : 0;
    }
    std::fprintf(stderr, "run %s: %s model from %zu examples (%zu attacks, %zu of the positive type)\n",
                 run.name.c_str(), output_mode ? "output" : "input", examples.size(), attacks, typed);
    if (attacks == 0 || attacks == examples.size()) continue;
    TrainSettings settings = args.train;
    settings.mode = output_mode ? vantrel_core::ScanMode::Output : vantrel_core::ScanMode::Input;
    settings.negative_type = output_mode ? vantrel_core::ThreatType::DataExfiltration
                                         : vantrel_core::ThreatType::PromptInjection;
    models.push_back(train_model(examples, settings));
  }
  if (models.empty()) return nullptr;
  const std::string bytes = ClassifierModel::serialize(models);
  std::vector<std::byte> raw(bytes.size());
  std::memcpy(raw.data(), bytes.data(), bytes.size());
  auto model = ClassifierModel::from_bytes(std::move(raw));
  if (!model) return nullptr;
  return std::make_shared<const ClassifierModel>(std::move(model).value());
}

// The runs of the evaluation and their models; false (after a message) when
// a model file cannot be loaded.
bool plan_runs(const std::vector<CorpusText>& corpus, std::size_t measured, const EvalArgs& args,
               const vantrel_core::GateConfig& config, std::vector<Run>& runs) {
  if (args.classifier == ClassifierUse::LeaveOneSourceOut || args.classifier == ClassifierUse::CrossValidation) {
    runs = plan_trained_runs(corpus, measured, args);
    // Each text's log-odds without the learned detector, for its operating point.
    const auto without = scanner_for(Run{}, args, config);
    if (!without) return false;
    const std::vector<double> contexts = decision_scores(corpus, *without, args.threads);
    std::vector<FeatureCounts> features(corpus.size());
    for (std::size_t i = 0; i < corpus.size(); ++i) {
      if (is_training_kind(corpus[i].kind, args.examples))
        features[i] = count_features(corpus[i].normalized, args.train.features);
    }
    // Runs that leave out no training text (sources of harmful requests
    // only) train the same model; each distinct training set is trained once.
    std::map<std::uint64_t, std::size_t> first_with;
    std::vector<std::size_t> trained_by(runs.size());
    std::vector<std::size_t> to_train;
    for (std::size_t r = 0; r < runs.size(); ++r) {
      vantrel_core::Fnv1a h;
      for (std::size_t i = 0; i < corpus.size(); ++i) {
        if (runs[r].train[i] && is_training_kind(corpus[i].kind, args.examples)) h.u64(i);
      }
      const auto [it, fresh] = first_with.try_emplace(h.value(), r);
      trained_by[r] = it->second;
      if (fresh) to_train.push_back(r);
    }
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> pool;
    for (unsigned w = 0; w < args.threads; ++w) {
      pool.emplace_back([&] {
        for (std::size_t k; (k = next++) < to_train.size();) {
          runs[to_train[k]].model = train_run(corpus, features, contexts, runs[to_train[k]], args);
        }
      });
    }
    for (auto& t : pool) t.join();
    for (std::size_t r = 0; r < runs.size(); ++r) runs[r].model = runs[trained_by[r]].model;
    return true;
  }
  Run all;
  all.name = "all";
  for (std::size_t i = 0; i < measured; ++i) all.items.push_back(i);
  if (args.classifier == ClassifierUse::BuiltIn) {
    all.model = std::make_shared<const ClassifierModel>(ClassifierModel::built_in());
  } else if (args.classifier == ClassifierUse::File) {
    auto loaded = ClassifierModel::load(args.model_path);
    if (!loaded) {
      std::fprintf(stderr, "%s: %s\n", args.model_path.c_str(), loaded.error().c_str());
      return false;
    }
    all.model = std::make_shared<const ClassifierModel>(std::move(loaded).value());
  }
  runs.push_back(std::move(all));
  return true;
}

// The log ratio the learned detector reports for a text (capped; ties at
// the cap broken by the raw score), or -infinity when it reports none.
double classifier_log_ratio(const ClassifierModel* model, const CorpusText& t) {
  if (model == nullptr) return NAN;
  const auto mode = t.output_mode ? vantrel_core::ScanMode::Output : vantrel_core::ScanMode::Input;
  if (model->for_mode(mode) == nullptr) return NAN;
  const vantrel_core::ClassifierSkill skill(*model, mode);
  const auto score = skill.score(t.normalized);
  if (!(score.ratio >= skill.model().least_ratio())) return -INFINITY;
  return std::log(score.ratio) + 1e-6 * score.score;
}

// Scans every item of every run (runs shared among the threads).
bool scan_runs(std::vector<Run>& runs, std::vector<Item>& items, const EvalArgs& args,
               const vantrel_core::GateConfig& config) {
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < args.threads; ++w) {
    pool.emplace_back([&] {
      for (std::size_t r; (r = next++) < runs.size();) {
        const auto scanner = scanner_for(runs[r], args, config);
        if (!scanner) {
          failed = true;
          return;
        }
        for (std::size_t i : runs[r].items) {
          Item& item = items[i];
          const CorpusText& t = *item.text;
          auto scan = [&](std::string_view text) {
            return t.output_mode ? scanner->scan_output(text) : scanner->scan(text);
          };
          const ScanResult result = scan(t.text);
          item.score = decision_score(result, config.prior);
          item.disposition = disposition_of(result);
          item.run = static_cast<int>(r);
          item.classifier_log_ratio = classifier_log_ratio(runs[r].model.get(), t);
          if (t.attack) {
            for (Evasion e : args.evasions) item.evaded.push_back(disposition_of(scan(evade(t.text, e))));
          }
        }
      }
    });
  }
  for (auto& t : pool) t.join();
  return !failed;
}

// The benign scores each mode's recall is measured against.
struct Negatives {
  std::vector<double> input, output;  // benign scores, highest first
  const std::vector<double>& of(bool output_mode) const { return output_mode ? output : input; }
};

// The ratio at which a signal alone reaches the block probability from the prior.
double blocking_log_ratio(const vantrel_core::GateConfig& c) {
  return vantrel_core::logit(c.block_prob) - vantrel_core::logit(c.prior);
}

// One row per group: n, block and warning rates, and for attack groups the
// recall at each false-positive rate of kFprPoints. With `classifier_alone`
// the rates and recall are those of the learned detector's own ratio.
void print_table(const char* title, const std::map<std::string, Group>& groups, const Negatives& negatives,
                 bool markdown, bool classifier_alone) {
  if (markdown) {
    std::printf("\n| %s | n | block %% | %s | recall @0.1%% FPR | @0.5%% | @1%% |\n|---|---:|---:|---:|---:|---:|---:|\n",
                title, classifier_alone ? "-" : "warn %");
  } else {
    std::printf("\n%-44s %6s %8s %8s %9s %9s %9s\n", title, "n", "block%", classifier_alone ? "" : "warn%",
                "R@0.1%", "R@0.5%", "R@1%");
  }
  for (const auto& [name, g] : groups) {
    std::string r[3] = {"-", "-", "-"};
    if (g.attack) {
      for (int i = 0; i < 3; ++i) {
        r[i] = pct(recall_at_fpr(classifier_alone ? g.classifier_scores : g.scores, negatives.of(g.output_mode),
                                 kFprPoints[i]));
      }
    }
    const std::string block = pct(rate(classifier_alone ? g.classifier_blocked : g.blocked, g.n));
    const std::string warn = classifier_alone ? "" : pct(rate(g.warned, g.n));
    if (markdown) {
      std::printf("| %s | %zu | %s | %s | %s | %s | %s |\n", name.c_str(), g.n, block.c_str(), warn.c_str(),
                  r[0].c_str(), r[1].c_str(), r[2].c_str());
    } else {
      std::printf("%-44s %6zu %8s %8s %9s %9s %9s\n", name.c_str(), g.n, block.c_str(), warn.c_str(),
                  r[0].c_str(), r[1].c_str(), r[2].c_str());
    }
  }
}

// `s` with the characters XML gives a meaning escaped.
std::string xml_escaped(const std::string& s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// Recall against false-positive rate (log scale, 0.01 % to 100 %) per attack kind.
// False when the file cannot be written.
bool write_svg(const std::string& path, const std::map<std::string, Group>& kinds, const Negatives& negatives) {
  const double w = 720, h = 460, left = 70, right = 220, top = 30, bottom = 60;
  const double pw = w - left - right, ph = h - top - bottom;
  const double lo = -4, hi = 0;  // log10 of the FPR axis
  auto x_of = [&](double fpr) { return left + (std::log10(std::max(fpr, 1e-4)) - lo) / (hi - lo) * pw; };
  auto y_of = [&](double recall) { return top + (1 - recall) * ph; };
  static const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                   "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  std::ofstream out(path);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" "
         "fill=\"white\"/>\n";
  for (int e = -4; e <= 0; ++e) {
    const double x = x_of(std::pow(10.0, e));
    out << "<line x1=\"" << x << "\" y1=\"" << top << "\" x2=\"" << x << "\" y2=\"" << top + ph
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << x << "\" y=\"" << top + ph + 18 << "\" text-anchor=\"middle\">"
        << (e == 0 ? "100%" : e == -1 ? "10%" : e == -2 ? "1%" : e == -3 ? "0.1%" : "0.01%") << "</text>\n";
  }
  for (int r = 0; r <= 10; r += 2) {
    const double y = y_of(r / 10.0);
    out << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + pw << "\" y2=\"" << y
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << left - 8 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">"
        << r * 10 << "%</text>\n";
  }
  out << "<text x=\"" << left + pw / 2 << "\" y=\"" << h - 15
      << "\" text-anchor=\"middle\">false-positive rate on benign texts of the same mode (log "
         "scale)</text>\n"
      << "<text x=\"18\" y=\"" << top + ph / 2 << "\" text-anchor=\"middle\" transform=\"rotate(-90 18 "
      << top + ph / 2 << ")\">recall</text>\n";
  int colour = 0;
  for (const auto& [name, g] : kinds) {
    if (!g.attack) continue;
    const auto curve = roc_curve(g.scores, negatives.of(g.output_mode));
    if (curve.empty()) continue;
    // A step curve: recall holds until the next cut admits more benign texts.
    std::string points;
    double last_recall = 0;
    for (std::size_t i = 0; i < curve.size(); ++i) {
      char buf[80];
      if (i > 0) {
        std::snprintf(buf, sizeof buf, "%.1f,%.1f ", x_of(curve[i].fpr), y_of(last_recall));
        points += buf;
      }
      std::snprintf(buf, sizeof buf, "%.1f,%.1f ", x_of(curve[i].fpr), y_of(curve[i].recall));
      points += buf;
      last_recall = curve[i].recall;
    }
    const char* c = kColours[colour++ % 8];
    out << "<polyline fill=\"none\" stroke=\"" << c << "\" stroke-width=\"2\" points=\"" << points << "\"/>\n";
    const double ly = top + 10 + 18.0 * (colour - 1);
    out << "<line x1=\"" << left + pw + 15 << "\" y1=\"" << ly << "\" x2=\"" << left + pw + 35 << "\" y2=\"" << ly
        << "\" stroke=\"" << c << "\" stroke-width=\"2\"/>\n<text x=\"" << left + pw + 40 << "\" y=\"" << ly + 4
        << "\">" << xml_escaped(name) << "</text>\n";
  }
  out << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << pw << "\" height=\"" << ph
      << "\" fill=\"none\" stroke=\"black\"/>\n</svg>\n";
  return static_cast<bool>(out.flush());
}

// Names the evidence of one scan without quoting the text: pattern signals by
// the phrase that fired, the learned detector by the words it weighed most
// either way, others by skill and signal type; each with the ratio the gate
// applied.
class EvidenceNamer {
 public:
  explicit EvidenceNamer(vantrel_core::PatternSkill patterns) : patterns_(std::move(patterns)) {}

  std::string describe(const ScanResult& r, const ClassifierModel* model, const CorpusText& t) const {
    std::unordered_map<std::size_t, std::uint32_t> phrase_at;
    if (r.normalized_text) {
      patterns_.matcher().for_each(*r.normalized_text, [&](const vantrel_core::PhraseMatch& m) {
        phrase_at[m.start] = m.phrase;
      });
    }
    std::string out;
    for (const auto& e : r.evidence) {
      std::string name = e.skill + "/" + e.signal_type;
      if (e.skill == "pattern" && e.offset) {
        const auto it = phrase_at.find(*e.offset);
        if (it != phrase_at.end()) name = "\"" + patterns_.patterns()[it->second].text + "\"";
      }
      if (e.skill == "classifier") continue;  // named below
      char ratio[32];
      std::snprintf(ratio, sizeof ratio, "%.3g", e.likelihood_ratio);
      out += (out.empty() ? "" : "; ") + name + " x" + ratio;
    }
    out += (out.empty() ? "" : "; ") + describe_classifier(model, t);
    return out.empty() ? std::string("(no evidence)") : out;
  }

 private:
  static std::string describe_classifier(const ClassifierModel* model, const CorpusText& t) {
    const auto mode = t.output_mode ? vantrel_core::ScanMode::Output : vantrel_core::ScanMode::Input;
    if (model == nullptr || model->for_mode(mode) == nullptr) return "";
    const vantrel_core::ClassifierSkill skill(*model, mode);
    const auto score = skill.score(t.normalized);
    const auto evidence = skill.explain(t.normalized);
    char head[96];
    std::snprintf(head, sizeof head, "classifier x%.3g (log %.2f) for:",
                  score.ratio, skill.model().log_ratio_of_score(score.score));
    std::string out = head;
    auto name = [&](const vantrel_core::ClassifierEvidence& e) {
      char c[32];
      std::snprintf(c, sizeof c, "%+.2f", e.contribution);
      out += " ";
      out += e.words ? "\"" + e.label + "\"" : "[" + e.label + "]";
      out += c;
    };
    for (std::size_t i = 0; i < evidence.size() && i < 4 && evidence[i].contribution > 0; ++i) name(evidence[i]);
    out += "; against:";
    for (std::size_t i = 0; i < evidence.size() && i < 4 && evidence[evidence.size() - 1 - i].contribution < 0; ++i)
      name(evidence[evidence.size() - 1 - i]);
    return out;
  }

  vantrel_core::PatternSkill patterns_;
};

// Groups the items by file, kind and (optionally) language, and collects the
// benign scores of each mode.
void group_items(const std::vector<Item>& items, const EvalArgs& args, double blocking, Negatives& negatives,
                 std::map<std::string, Group>& by_file, std::map<std::string, Group>& by_kind,
                 std::map<std::string, Group>& by_kind_lang, std::map<std::string, Group>& by_source) {
  std::vector<double> clf_neg_in, clf_neg_out;
  for (const Item& s : items) {
    const CorpusText& t = *s.text;
    if (!t.attack) (t.output_mode ? negatives.output : negatives.input).push_back(s.score);
    std::vector<Group*> groups = {&by_file[t.file], &by_kind[s.kind], &by_source[t.source]};
    if (args.by_lang) groups.push_back(&by_kind_lang[s.kind + " / " + t.lang]);
    for (Group* g : groups) {
      ++g->n;
      g->blocked += s.disposition == Disposition::Block ? 1 : 0;
      g->warned += s.disposition == Disposition::AllowWithWarning ? 1 : 0;
      g->attack = t.attack;
      g->output_mode = t.output_mode;
      g->scores.push_back(s.score);
      const double c = std::isnan(s.classifier_log_ratio) ? -INFINITY : s.classifier_log_ratio;
      g->classifier_scores.push_back(c);
      g->classifier_blocked += c >= blocking ? 1 : 0;
    }
  }
  negatives.input = sorted_descending(std::move(negatives.input));
  negatives.output = sorted_descending(std::move(negatives.output));
}

// The learned detector's own benign scores per mode, for its recall columns.
Negatives classifier_negatives(const std::vector<Item>& items) {
  Negatives n;
  for (const Item& s : items) {
    if (s.text->attack) continue;
    const double c = std::isnan(s.classifier_log_ratio) ? -INFINITY : s.classifier_log_ratio;
    (s.text->output_mode ? n.output : n.input).push_back(c);
  }
  n.input = sorted_descending(std::move(n.input));
  n.output = sorted_descending(std::move(n.output));
  return n;
}

// Block rates of the attack texts per kind, plain and under each evasion.
void print_evasions(const std::vector<Item>& items, const EvalArgs& args) {
  std::map<std::string, std::vector<std::size_t>> blocked;  // kind -> plain, then per evasion
  std::map<std::string, std::size_t> total;
  for (const Item& s : items) {
    if (!s.text->attack || s.evaded.size() != args.evasions.size()) continue;
    auto& row = blocked[s.kind];
    row.resize(args.evasions.size() + 1, 0);
    ++total[s.kind];
    row[0] += s.disposition == Disposition::Block ? 1 : 0;
    for (std::size_t e = 0; e < args.evasions.size(); ++e) row[e + 1] += s.evaded[e] == Disposition::Block ? 1 : 0;
  }
  std::printf(args.markdown ? "\n| kind (block %%) | n | plain |" : "\n%-36s %6s %8s", "kind (block %)", "n", "plain");
  for (Evasion e : args.evasions) std::printf(args.markdown ? " %s |" : " %10s", evasion_name(e));
  std::printf("\n");
  if (args.markdown) {
    std::printf("|---|---:|---:|");
    for (std::size_t e = 0; e < args.evasions.size(); ++e) std::printf("---:|");
    std::printf("\n");
  }
  for (const auto& [kind, row] : blocked) {
    const std::size_t n = total[kind];
    std::printf(args.markdown ? "| %s | %zu | %s |" : "%-36s %6zu %8s", kind.c_str(), n, pct(rate(row[0], n)).c_str());
    for (std::size_t e = 1; e < row.size(); ++e)
      std::printf(args.markdown ? " %s |" : " %10s", pct(rate(row[e], n)).c_str());
    std::printf("\n");
  }
}

// The highest-scoring benign texts of each mode and the missed attacks, named
// by file and line with what weighed for and against them.
void print_explanations(const std::vector<Item>& items, const std::vector<Run>& runs, const EvalArgs& args,
                        const vantrel_core::GateConfig& config) {
  auto naming = load_pattern_skill(args.patterns_path);
  if (!naming) return;
  const EvidenceNamer namer(std::move(naming).value());
  auto explain = [&](const Item& s) {
    const Run& run = runs[static_cast<std::size_t>(s.run)];
    const auto scanner = scanner_for(run, args, config);
    if (!scanner) return std::string("?");
    const ScanResult r = s.text->output_mode ? scanner->scan_output(s.text->text) : scanner->scan(s.text->text);
    return namer.describe(r, run.model.get(), *s.text);
  };
  if (args.show_fp > 0) {
    for (bool output_mode : {false, true}) {
      std::vector<const Item*> benign;
      for (const Item& s : items) {
        if (!s.text->attack && s.text->output_mode == output_mode) benign.push_back(&s);
      }
      std::stable_sort(benign.begin(), benign.end(), [](const Item* a, const Item* b) { return a->score > b->score; });
      std::printf("\nHighest-scoring benign %s texts:\n", output_mode ? "output" : "input");
      for (std::size_t i = 0; i < benign.size() && i < args.show_fp; ++i) {
        const Item& s = *benign[i];
        std::printf("%s %s %.2f %s\n", s.text->id.c_str(), std::string(disposition_name(s.disposition)).c_str(),
                    s.score, explain(s).c_str());
      }
    }
  }
  if (args.show_misses > 0) {
    std::map<std::string, std::size_t> shown;
    std::printf("\nAttack texts not blocked:\n");
    for (const Item& s : items) {
      if (!s.text->attack || s.disposition == Disposition::Block || shown[s.kind]++ >= args.show_misses) continue;
      std::printf("%s %s %s %.2f %s\n", s.kind.c_str(), s.text->id.c_str(),
                  std::string(disposition_name(s.disposition)).c_str(), s.score, explain(s).c_str());
    }
  }
}

bool write_dump(const std::vector<Item>& items, const std::string& path) {
  std::ofstream out(path);
  if (!out) return false;
  out << "# id\tkind\tlabel\tlang\tscore\tdisposition\tclassifier_log_ratio\n";
  for (const Item& s : items) {
    out << s.text->id << '\t' << s.kind << '\t' << (s.text->attack ? "attack" : "benign") << '\t' << s.text->lang
        << '\t' << s.score << '\t' << disposition_name(s.disposition) << '\t' << s.classifier_log_ratio << '\n';
  }
  return static_cast<bool>(out.flush());
}

const char* classifier_name(const EvalArgs& args) {
  switch (args.classifier) {
    case ClassifierUse::Off:
      return "off";
    case ClassifierUse::BuiltIn:
      return "built-in";
    case ClassifierUse::File:
      return args.model_path.c_str();
    case ClassifierUse::LeaveOneSourceOut:
      return "trained per held-out source";
    default:
      return "trained per fold";
  }
}

}  // namespace

int main(int argc, char** argv) {
  EvalArgs args;
  if (!parse_args(argc, argv, args)) return 2;

  // The extra texts come last, after every measured one.
  std::vector<CorpusText> corpus, extra;
  if (!load_corpus(args.files, args.split, args.merges, args.threads, corpus)) return 2;
  if (!load_corpus(args.extra, Split::All, args.merges, args.threads, extra)) return 2;
  const std::size_t measured = corpus.size();
  std::uint32_t next_family = 0;
  for (const CorpusText& c : corpus) next_family = std::max(next_family, c.family + 1);
  for (CorpusText& c : extra) {
    c.family += next_family;
    corpus.push_back(std::move(c));
  }
  const vantrel_core::GateConfig config = vantrel_core::GateConfig{};
  std::vector<Run> runs;
  if (!plan_runs(corpus, measured, args, config, runs)) return 2;

  std::vector<Item> items(measured);
  for (std::size_t i = 0; i < measured; ++i) {
    items[i].text = &corpus[i];
    const bool apart = std::any_of(args.separate.begin(), args.separate.end(),
                                   [&](const std::string& s) { return names_file(s, corpus[i].file); });
    items[i].kind = apart ? corpus[i].kind + " [" + corpus[i].file + "]" : corpus[i].kind;
  }
  if (!scan_runs(runs, items, args, config)) return 2;

  Negatives negatives;
  std::map<std::string, Group> by_file, by_kind, by_kind_lang, by_source;
  group_items(items, args, blocking_log_ratio(config), negatives, by_file, by_kind, by_kind_lang, by_source);
  std::printf(
      "%zu texts (split %s); pattern database %s; classifier %s (%zu benign input, %zu benign output texts as "
      "negatives)\n",
      items.size(), split_name(args.split), load_pattern_skill(args.patterns_path)->db_version().c_str(),
      classifier_name(args), negatives.input.size(), negatives.output.size());
  print_table("file", by_file, negatives, args.markdown, false);
  if (args.classifier == ClassifierUse::LeaveOneSourceOut) print_table("held-out source", by_source, negatives, args.markdown, false);
  print_table("kind", by_kind, negatives, args.markdown, false);
  if (args.by_lang) print_table("kind / language", by_kind_lang, negatives, args.markdown, false);
  if (args.classifier != ClassifierUse::Off) {
    std::printf("\nThe learned detector alone (block: its ratio alone reaches the block probability):\n");
    print_table("kind", by_kind, classifier_negatives(items), args.markdown, true);
  }
  if (!args.evasions.empty()) print_evasions(items, args);
  if (!args.svg.empty() && !write_svg(args.svg, by_kind, negatives)) {
    std::fprintf(stderr, "%s: cannot write\n", args.svg.c_str());
    return 2;
  }
  print_explanations(items, runs, args, config);
  if (!args.dump.empty() && !write_dump(items, args.dump)) {
    std::fprintf(stderr, "%s: cannot write\n", args.dump.c_str());
    return 2;
  }
  return 0;
}
