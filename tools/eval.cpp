// Detection quality on labelled JSONL data: scans every text in the mode its
// kind calls for and reports, per file and per kind, the block and warning
// rates and the recall reached at fixed false-positive rates.
//
//   vantrel_eval [options] FILE.jsonl...
//     --patterns DB.json   measure this pattern database instead of the built-in one
//     --split mine|check|all   the hash split of the texts to scan (all)
//     --separate NAME      report the file NAME (a stem, or the part before its
//                          first dot) apart from its kind (repeatable)
//     --by-lang            add a table per kind and language
//     --markdown           tables as Markdown
//     --svg PLOT.svg       recall against false-positive rate per attack kind
//     --show-fp N          the N highest-scoring benign texts of each mode
//     --show-misses N      up to N attack texts per kind that were not blocked
//     --dump FILE.tsv      one row per text: id, kind, label, score, disposition, evidence
//     --threads N          scanning threads (all cores)
//
// Texts are named "<file stem>:<line>" so they can be looked up without
// copying them. Recall at a false-positive rate f: the decision score is cut
// just above the benign score that lets at most f of the benign texts of the
// same mode through, and recall is the share of attacks scoring above it. The
// decision score is the posterior swept on the log-odds scale, so that texts
// whose posterior rounds to 1 still rank by the evidence behind them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "engine.h"
#include "jsonl.h"
#include "metrics.h"
#include "pattern_source.h"
#include "probability.h"

namespace {

using vantrel_core::Disposition;
using vantrel_core::ScanResult;
using vantrel_tools::is_output_kind;
using vantrel_tools::Split;

// One labelled text and its verdict.
struct Item {
  std::string id;    // "<file stem>:<line>"
  std::string file;  // stem
  std::string kind;  // may carry a "[stem]" suffix for sources reported apart
  std::string lang;
  std::string text;
  bool attack = false;
  bool output_mode = false;
  double score = 0;  // log-odds
  Disposition disposition = Disposition::Allow;
};

// The texts of one file, kind or kind and language.
struct Group {
  std::size_t n = 0, blocked = 0, warned = 0;
  bool attack = false;
  bool output_mode = false;
  std::vector<double> scores;
};

constexpr double kFprPoints[] = {0.001, 0.005, 0.01};

// The decision score of a result on the log-odds scale: the gate's own sum
// when it decided, else the logit of the profile's probability.
double decision_score(const ScanResult& r, double prior) {
  if (r.tier_reached == 0) return std::numeric_limits<double>::infinity();  // over the size limit
  if (r.score_profile_applied || !r.posterior_prob) {
    return vantrel_core::logit(r.posterior_prob.value_or(r.safe ? 0.0 : 1.0));
  }
  double sum = vantrel_core::logit(prior);
  for (const auto& e : r.evidence) sum += e.log_lr;
  return sum;
}

// A share as a percentage with one decimal, "-" when undefined.
std::string pct(double v) {
  if (std::isnan(v)) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v * 100.0);
  return buf;
}

// The benign scores each mode's recall is measured against.
struct Negatives {
  std::vector<double> input, output;  // benign scores, highest first
  const std::vector<double>& of(bool output_mode) const { return output_mode ? output : input; }
};

// One row per group: n, block and warning rates, and for attack groups the
// recall at each false-positive rate of kFprPoints.
void print_table(const char* title, const std::map<std::string, Group>& groups,
                 const Negatives& negatives, bool markdown) {
  if (markdown) {
    std::printf(
        "\n| %s | n | block %% | warn %% | recall @0.1%% FPR | @0.5%% | @1%% "
        "|\n|---|---:|---:|---:|---:|---:|---:|\n",
        title);
  } else {
    std::printf("\n%-44s %6s %8s %8s %9s %9s %9s\n", title, "n", "block%", "warn%", "R@0.1%",
                "R@0.5%", "R@1%");
  }
  for (const auto& [name, g] : groups) {
    std::string r[3] = {"-", "-", "-"};
    if (g.attack) {
      for (int i = 0; i < 3; ++i)
        r[i] =
            pct(vantrel_tools::recall_at_fpr(g.scores, negatives.of(g.output_mode), kFprPoints[i]));
    }
    const std::string block = pct(vantrel_tools::rate(g.blocked, g.n)),
                      warn = pct(vantrel_tools::rate(g.warned, g.n));
    if (markdown) {
      std::printf("| %s | %zu | %s | %s | %s | %s | %s |\n", name.c_str(), g.n, block.c_str(),
                  warn.c_str(), r[0].c_str(), r[1].c_str(), r[2].c_str());
    } else {
      std::printf("%-44s %6zu %8s %8s %9s %9s %9s\n", name.c_str(), g.n, block.c_str(),
                  warn.c_str(), r[0].c_str(), r[1].c_str(), r[2].c_str());
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
bool write_svg(const std::string& path, const std::map<std::string, Group>& kinds,
               const Negatives& negatives) {
  const double w = 720, h = 460, left = 70, right = 220, top = 30, bottom = 60;
  const double pw = w - left - right, ph = h - top - bottom;
  const double lo = -4, hi = 0;  // log10 of the FPR axis
  auto x_of = [&](double fpr) {
    return left + (std::log10(std::max(fpr, 1e-4)) - lo) / (hi - lo) * pw;
  };
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
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << x << "\" y=\"" << top + ph + 18
        << "\" text-anchor=\"middle\">"
        << (e == 0    ? "100%"
            : e == -1 ? "10%"
            : e == -2 ? "1%"
            : e == -3 ? "0.1%"
                      : "0.01%")
        << "</text>\n";
  }
  for (int r = 0; r <= 10; r += 2) {
    const double y = y_of(r / 10.0);
    out << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + pw << "\" y2=\"" << y
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << left - 8 << "\" y=\"" << y + 4
        << "\" text-anchor=\"end\">" << r * 10 << "%</text>\n";
  }
  out << "<text x=\"" << left + pw / 2 << "\" y=\"" << h - 15
      << "\" text-anchor=\"middle\">false-positive rate on benign texts of the same mode (log "
         "scale)</text>\n"
      << "<text x=\"18\" y=\"" << top + ph / 2
      << "\" text-anchor=\"middle\" transform=\"rotate(-90 18 " << top + ph / 2
      << ")\">recall</text>\n";
  int colour = 0;
  for (const auto& [name, g] : kinds) {
    if (!g.attack) continue;
    const auto curve = vantrel_tools::roc_curve(g.scores, negatives.of(g.output_mode));
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
    out << "<polyline fill=\"none\" stroke=\"" << c << "\" stroke-width=\"2\" points=\"" << points
        << "\"/>\n";
    const double ly = top + 10 + 18.0 * (colour - 1);
    out << "<line x1=\"" << left + pw + 15 << "\" y1=\"" << ly << "\" x2=\"" << left + pw + 35
        << "\" y2=\"" << ly << "\" stroke=\"" << c << "\" stroke-width=\"2\"/>\n<text x=\""
        << left + pw + 40 << "\" y=\"" << ly + 4 << "\">" << xml_escaped(name) << "</text>\n";
  }
  out << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << pw << "\" height=\"" << ph
      << "\" fill=\"none\" stroke=\"black\"/>\n</svg>\n";
  return static_cast<bool>(out.flush());
}

// Names the evidence of one scan without quoting the text: pattern signals by
// the phrase that fired, others by skill and signal type; each with the ratio
// the gate applied.
class EvidenceNamer {
 public:
  explicit EvidenceNamer(vantrel_core::PatternSkill patterns) : patterns_(std::move(patterns)) {}

  std::string describe(const ScanResult& r) const {
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
      char ratio[32];
      std::snprintf(ratio, sizeof ratio, "%.3g", e.likelihood_ratio);
      out += (out.empty() ? "" : "; ") + name + " x" + ratio;
    }
    return out.empty() ? std::string("(no evidence)") : out;
  }

 private:
  vantrel_core::PatternSkill patterns_;
};

// The disposition's report name.
std::string verdict(Disposition d) {
  return std::string(vantrel_core::disposition_name(d));
}

const char* kUsage =
    "usage: vantrel_eval [--patterns DB.json] [--split mine|check|all] [--separate NAME]...\n"
    "                    [--by-lang] [--markdown] [--svg PLOT.svg] [--show-fp N]\n"
    "                    [--show-misses N] [--dump FILE.tsv] [--threads N] FILE.jsonl...\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files, separate;
  std::string svg, dump;
  std::optional<std::string> patterns_path;
  bool markdown = false, by_lang = false;
  Split split = Split::All;
  std::size_t show_fp = 0, show_misses = 0;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    auto count = [&](std::size_t& out) {
      char* end = nullptr;
      const std::string v = argv[++i];
      out = std::strtoull(v.c_str(), &end, 10);
      return !v.empty() && *end == '\0';
    };
    bool ok = true;
    if (a == "--markdown") {
      markdown = true;
    } else if (a == "--by-lang") {
      by_lang = true;
    } else if (a.rfind("--", 0) == 0 && !has_value) {
      ok = false;
    } else if (a == "--svg") {
      svg = argv[++i];
    } else if (a == "--dump") {
      dump = argv[++i];
    } else if (a == "--separate") {
      separate.push_back(argv[++i]);
    } else if (a == "--patterns") {
      patterns_path = argv[++i];
    } else if (a == "--show-fp") {
      ok = count(show_fp);
    } else if (a == "--show-misses") {
      ok = count(show_misses);
    } else if (a == "--split") {
      const auto s = vantrel_tools::parse_split(argv[++i]);
      ok = s.has_value();
      if (ok) split = *s;
    } else if (a == "--threads") {
      std::size_t n = 0;
      ok = count(n) && n > 0;
      threads = static_cast<unsigned>(n);
    } else if (a.rfind("--", 0) == 0) {
      ok = false;
    } else {
      files.push_back(a);
    }
    if (!ok) {
      std::fprintf(stderr, "bad option or value: %s\n%s", a.c_str(), kUsage);
      return 2;
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }

  auto scanner_patterns = vantrel_tools::load_pattern_skill(patterns_path);
  auto naming_patterns = vantrel_tools::load_pattern_skill(patterns_path);
  if (!scanner_patterns || !naming_patterns) {
    std::fprintf(
        stderr, "%s\n",
        scanner_patterns ? naming_patterns.error().c_str() : scanner_patterns.error().c_str());
    return 2;
  }
  const EvidenceNamer namer(std::move(naming_patterns).value());
  const vantrel_core::GateConfig config;
  const auto scanner = vantrel_core::Scanner::with_pattern_skill(
      config, vantrel_core::kDefaultInputLimit,
      std::make_unique<vantrel_core::PatternSkill>(std::move(scanner_patterns).value()));

  std::vector<Item> items;
  for (const std::string& path : files) {
    const std::string stem = vantrel_tools::file_stem(path);
    const bool apart = std::any_of(separate.begin(), separate.end(), [&](const std::string& s) {
      return stem == s || stem.rfind(s + ".", 0) == 0;  // a stem or its source name
    });
    vantrel_tools::read_labelled_jsonl(path, [&](vantrel_tools::LabelledText&& t) {
      if (!vantrel_tools::in_split(t.text, split)) return;
      Item s;
      s.id = stem + ":" + std::to_string(t.line);
      s.file = stem;
      s.kind = apart ? t.kind + " [" + stem + "]" : t.kind;
      s.lang = t.lang.empty() ? "?" : t.lang;
      s.attack = t.label == "attack";
      s.output_mode = is_output_kind(t.kind);
      s.text = std::move(t.text);
      items.push_back(std::move(s));
    });
  }
  const auto scan = [&](const Item& item) {
    return item.output_mode ? scanner.scan_output(item.text) : scanner.scan(item.text);
  };

  std::vector<std::thread> pool;
  for (unsigned w = 0; w < threads; ++w) {
    pool.emplace_back([&, w] {
      for (std::size_t i = w; i < items.size(); i += threads) {
        const ScanResult r = scan(items[i]);
        items[i].score = decision_score(r, config.prior);
        items[i].disposition =
            r.disposition.value_or(r.safe ? Disposition::Allow : Disposition::Block);
      }
    });
  }
  for (auto& t : pool) t.join();

  Negatives negatives;
  std::map<std::string, Group> by_file, by_kind, by_kind_lang;
  for (const Item& s : items) {
    if (!s.attack) (s.output_mode ? negatives.output : negatives.input).push_back(s.score);
    std::vector<Group*> groups = {&by_file[s.file], &by_kind[s.kind]};
    if (by_lang) groups.push_back(&by_kind_lang[s.kind + " / " + s.lang]);
    for (Group* g : groups) {
      ++g->n;
      g->blocked += s.disposition == Disposition::Block ? 1 : 0;
      g->warned += s.disposition == Disposition::AllowWithWarning ? 1 : 0;
      g->attack = s.attack;
      g->output_mode = s.output_mode;
      g->scores.push_back(s.score);
    }
  }
  negatives.input = vantrel_tools::sorted_descending(std::move(negatives.input));
  negatives.output = vantrel_tools::sorted_descending(std::move(negatives.output));
  std::printf(
      "%zu texts (split %s); pattern database %s (%zu benign input, %zu benign output texts as "
      "negatives)\n",
      items.size(), vantrel_tools::split_name(split),
      scanner.pattern_db_version().value_or("?").c_str(), negatives.input.size(),
      negatives.output.size());
  print_table("file", by_file, negatives, markdown);
  print_table("kind", by_kind, negatives, markdown);
  if (by_lang) print_table("kind / language", by_kind_lang, negatives, markdown);
  if (!svg.empty() && !write_svg(svg, by_kind, negatives)) {
    std::fprintf(stderr, "%s: cannot write\n", svg.c_str());
    return 2;
  }

  if (show_fp > 0) {
    for (bool output_mode : {false, true}) {
      std::vector<const Item*> benign;
      for (const Item& s : items) {
        if (!s.attack && s.output_mode == output_mode) benign.push_back(&s);
      }
      std::stable_sort(benign.begin(), benign.end(),
                       [](const Item* a, const Item* b) { return a->score > b->score; });
      std::printf("\nHighest-scoring benign %s texts:\n", output_mode ? "output" : "input");
      for (std::size_t i = 0; i < benign.size() && i < show_fp; ++i) {
        const Item& s = *benign[i];
        std::printf("%s %s %.2f %s\n", s.id.c_str(), verdict(s.disposition).c_str(), s.score,
                    namer.describe(scan(s)).c_str());
      }
    }
  }
  if (show_misses > 0) {
    std::map<std::string, std::size_t> shown;
    std::printf("\nAttack texts not blocked:\n");
    for (const Item& s : items) {
      if (!s.attack || s.disposition == Disposition::Block || shown[s.kind]++ >= show_misses)
        continue;
      std::printf("%s %s %s %.2f %s\n", s.kind.c_str(), s.id.c_str(),
                  verdict(s.disposition).c_str(), s.score, namer.describe(scan(s)).c_str());
    }
  }
  if (!dump.empty()) {
    std::ofstream out(dump);
    if (!out) {
      std::fprintf(stderr, "%s: cannot write\n", dump.c_str());
      return 2;
    }
    out << "# id\tkind\tlabel\tlang\tscore\tdisposition\tevidence\n";
    for (const Item& s : items) {
      out << s.id << '\t' << s.kind << '\t' << (s.attack ? "attack" : "benign") << '\t' << s.lang
          << '\t' << s.score << '\t' << verdict(s.disposition) << '\t' << namer.describe(scan(s))
          << '\n';
    }
  }
  return 0;
}
