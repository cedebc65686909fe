// Trains the learned detector on labelled JSONL data and writes a model file
// that VANTREL_CLASSIFIER can name (or that becomes the built-in model).
//
//   vantrel_train --out MODEL [options] FILE.jsonl...
//     --mode input|output|both  models to train (both: input, plus output
//                               when the data holds output kinds)
//     --exclude NAME       do not train on the file NAME (a stem, or the part
//                          before its first dot); repeatable
//     --patterns DB.json   the pattern database the detector joins (built-in)
//     --harmful-as-attack  train on harmful requests as attacks (left out)
//     --family-exponent X  a text weighs 1/(its near-duplicate family's
//                          size)^X (1)
//     --bits N             hash bits, 8-24 (18)
//     --l2 X               L2 regularisation (1e-4)
//     --epochs N           passes over the data (12)
//     --prior P            the prior of the gate the model serves (0.01); the
//                          model reports only ratios that block from it alone
//     --threads N          threads for normalizing the texts (2)
//
// Input models learn injection and jailbreak kinds against benign input kinds
// (harmful requests left out); output models learn leak and jailbreak output
// kinds against benign output kinds. The same files and options give the same
// model file, byte for byte. Prints what it trained on, the held-out quality
// of its calibration folds and the data's hash (FNV-1a of the files' bytes, in
// the order given).
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "classifier_examples.h"
#include "classifier_train.h"
#include "corpus.h"
#include "decision.h"
#include "fnv.h"
#include "metrics.h"
#include "engine.h"
#include "pattern_source.h"

namespace {

using vantrel_core::ScanMode;
using vantrel_core::ThreatType;
using namespace vantrel_tools;

const char* kUsage =
    "usage: vantrel_train --out MODEL [--mode input|output|both] [--exclude NAME]...\n"
    "                     [--harmful-as-attack] [--family-exponent X] [--bits N] [--l2 X]\n"
    "                     [--epochs N] [--prior P] [--threads N] FILE.jsonl...\n";

struct Args {
  std::string out;
  std::string mode = "both";
  std::optional<std::string> patterns;
  std::vector<std::string> files, exclude;
  ExampleOptions examples;
  TrainSettings train;
  unsigned threads = 2;
};

bool parse_count_arg(const char* s, std::size_t& out) {
  char* end = nullptr;
  out = std::strtoull(s, &end, 10);
  return *s != '\0' && *end == '\0';
}

bool parse_number(const char* s, double& out) {
  char* end = nullptr;
  out = std::strtod(s, &end);
  return *s != '\0' && *end == '\0' && std::isfinite(out);
}

// Fills args; false (after a message) on a bad command line.
bool parse_args(int argc, char** argv, Args& a) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    double v = 0;
    bool ok = true;
    if (arg == "--harmful-as-attack") {
      a.examples.harmful_as_attack = true;
    } else if (arg == "--no-length-adjustment") {
      a.train.adjust_for_length = false;
    } else if (arg.rfind("--", 0) == 0 && !has_value) {
      ok = false;
    } else if (arg == "--out") {
      a.out = argv[++i];
    } else if (arg == "--mode") {
      a.mode = argv[++i];
      ok = a.mode == "input" || a.mode == "output" || a.mode == "both";
    } else if (arg == "--patterns") {
      a.patterns = argv[++i];
    } else if (arg == "--exclude") {
      a.exclude.push_back(argv[++i]);
    } else if (arg == "--family-exponent") {
      ok = parse_number(argv[++i], a.examples.family_exponent) && a.examples.family_exponent >= 0;
    } else if (arg == "--bits") {
      ok = parse_number(argv[++i], v) && v >= vantrel_core::kMinHashBits && v <= vantrel_core::kMaxHashBits &&
           v == std::floor(v);
      a.train.features.bits = static_cast<std::uint32_t>(v);
    } else if (arg == "--features") {
      const auto f = parse_feature_families(argv[++i]);
      ok = f.has_value();
      if (ok) a.train.features.families = *f;
    } else if (arg == "--window") {
      std::size_t w = 0;
      ok = parse_count_arg(argv[++i], w) && w <= vantrel_core::kMaxWindowWords;
      a.train.features.window_words = static_cast<std::uint32_t>(w);
    } else if (arg == "--length-power") {
      ok = parse_number(argv[++i], a.train.length_power) && a.train.length_power >= 0 && a.train.length_power <= 1;
    } else if (arg == "--l2") {
      ok = parse_number(argv[++i], a.train.l2) && a.train.l2 > 0 && a.train.l2 < 1;
    } else if (arg == "--epochs") {
      ok = parse_number(argv[++i], v) && v >= 1 && v <= 1000 && v == std::floor(v);
      a.train.epochs = static_cast<int>(v);
    } else if (arg == "--prior") {
      ok = parse_number(argv[++i], v) && v > 0 && v < 1;
      a.train.prior_log_odds = std::log(v / (1 - v));
    } else if (arg == "--least-ratio") {
      ok = parse_number(argv[++i], a.train.least_ratio) && a.train.least_ratio >= 1;
    } else if (arg == "--threads") {
      ok = parse_number(argv[++i], v) && v >= 1 && v <= 64 && v == std::floor(v);
      a.threads = static_cast<unsigned>(v);
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
  if (a.out.empty() || a.files.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return false;
  }
  return true;
}

// FNV-1a over the bytes of every file in order; false when one cannot be read.
bool data_hash(const std::vector<std::string>& files, std::uint64_t& out) {
  vantrel_core::Fnv1a h;
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    h.bytes(bytes);
  }
  out = h.value();
  return true;
}

// The least score whose ratio alone reaches the block probability from the
// front end's prior (0.01, block at 0.6: ratio 148.5); infinity when none does.
double blocking_score(const vantrel_core::LinearModelData& m) {
  const double needed = std::log(0.6 / 0.4) - std::log(0.01 / 0.99);
  for (std::size_t k = 0; k < m.calibration.size(); ++k) {
    const auto& [s1, r1] = m.calibration[k];
    if (r1 < needed) continue;
    if (k == 0) return s1;
    const auto& [s0, r0] = m.calibration[k - 1];
    return s0 + (s1 - s0) * (needed - r0) / (r1 - r0);
  }
  return INFINITY;
}

// Trains the model of one mode and reports on it; nothing when the data
// lacks attack or benign examples of that mode.
std::optional<vantrel_core::LinearModelData> train_mode(const std::vector<CorpusText>& corpus,
                                                        const std::vector<FeatureCounts>& features,
                                                        const std::vector<char>& use,
                                                        const std::vector<double>& contexts, bool output_mode,
                                                        const Args& args) {
  const std::vector<Example> examples =
      make_examples(corpus, features, use, output_mode, args.examples, contexts);
  std::size_t attacks = 0, typed[2] = {0, 0};
  for (const Example& e : examples) {
    attacks += e.attack ? 1 : 0;
    if (e.type >= 0) ++typed[e.type];
  }
  const char* name = output_mode ? "output" : "input";
  if (attacks == 0 || attacks == examples.size()) {
    std::printf("%s model: not trained (%zu examples, %zu attacks)\n", name, examples.size(), attacks);
    return std::nullopt;
  }
  TrainSettings settings = args.train;
  settings.mode = output_mode ? ScanMode::Output : ScanMode::Input;
  settings.positive_type = ThreatType::Jailbreak;
  settings.negative_type = output_mode ? ThreatType::DataExfiltration : ThreatType::PromptInjection;

  const auto started = std::chrono::steady_clock::now();
  vantrel_core::LinearModelData model = train_model(examples, settings);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();

  // How well the held-out folds of the calibration separate the classes.
  const std::vector<double> oof = out_of_fold_scores(examples, settings);
  std::vector<double> attack_scores, benign_scores;
  for (std::size_t i = 0; i < examples.size(); ++i)
    (examples[i].attack ? attack_scores : benign_scores).push_back(oof[i]);
  benign_scores = sorted_descending(std::move(benign_scores));
  std::printf(
      "%s model: %zu examples (%zu attacks: %zu %s, %zu %s), trained in %.1f s; held-out folds: "
      "recall %.1f%% at 0.5%% false positives, %.1f%% at 1%%; blocks alone from score %.3g\n",
      name, examples.size(), attacks, typed[1], output_mode ? "jailbreak output" : "jailbreak", typed[0],
      output_mode ? "leak" : "injection", seconds, 100 * recall_at_fpr(attack_scores, benign_scores, 0.005),
      100 * recall_at_fpr(attack_scores, benign_scores, 0.01), blocking_score(model));
  return model;
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!parse_args(argc, argv, args)) return 2;

  std::vector<CorpusText> corpus;
  if (!load_corpus(args.files, Split::All, {}, args.threads, corpus)) return 2;
  std::vector<FeatureCounts> features(corpus.size());
  std::vector<char> use(corpus.size(), 1);
  for (std::size_t i = 0; i < corpus.size(); ++i) {
    for (const std::string& name : args.exclude) {
      if (corpus[i].file == name || corpus[i].file.rfind(name + ".", 0) == 0) use[i] = 0;
    }
    if (use[i]) features[i] = count_features(corpus[i].normalized, args.train.features);
  }

  // Each text's log-odds under the scanner without the learned detector: the
  // operating point is fitted to the decision the detector joins.
  auto patterns = load_pattern_skill(args.patterns);
  if (!patterns) {
    std::fprintf(stderr, "vantrel_train: %s\n", patterns.error().c_str());
    return 2;
  }
  const auto scanner = vantrel_core::Scanner::with_pattern_skill(
      vantrel_core::GateConfig{}, vantrel_core::kDefaultInputLimit,
      std::make_unique<vantrel_core::PatternSkill>(std::move(patterns).value()));
  const std::vector<double> contexts = decision_scores(corpus, scanner, args.threads);

  std::vector<vantrel_core::LinearModelData> models;
  if (args.mode != "output") {
    if (auto m = train_mode(corpus, features, use, contexts, false, args)) models.push_back(std::move(*m));
  }
  if (args.mode != "input") {
    if (auto m = train_mode(corpus, features, use, contexts, true, args)) models.push_back(std::move(*m));
  }
  if (models.empty()) {
    std::fprintf(stderr, "vantrel_train: no model could be trained from this data\n");
    return 1;
  }
  const std::string bytes = vantrel_core::ClassifierModel::serialize(models);
  std::ofstream out(args.out, std::ios::binary);
  if (!out.write(bytes.data(), static_cast<std::streamsize>(bytes.size())) || !out.flush()) {
    std::fprintf(stderr, "vantrel_train: cannot write %s\n", args.out.c_str());
    return 1;
  }
  std::uint64_t hash = 0;
  if (data_hash(args.files, hash)) {
    std::printf("data: %zu files, %zu texts, FNV-1a %016llx\n", args.files.size(), corpus.size(),
                static_cast<unsigned long long>(hash));
  }
  std::printf("wrote %s (%zu bytes)\n", args.out.c_str(), bytes.size());
  return 0;
}
