// Detection quality on labelled JSONL data: scans every text in the mode its
// kind calls for and reports, per file and per kind, the block and warning
// rates and the recall reached at fixed false-positive rates.
//
//   vantrel_eval [--svg PLOT.svg] [--markdown] [--separate STEM]... [--threads N] FILE.jsonl...
//
// Recall at a false-positive rate f: the decision score (posterior_prob) is
// cut just above the benign score that lets at most f of the benign texts of
// the same mode through, and recall is the share of attacks scoring above it.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "jsonl.h"
#include "options.h"
#include "vantrel/scanner.h"

namespace {

using vantrel_core::Disposition;
using vantrel_tools::is_output_kind;

struct Scored {
  std::string file;
  std::string kind;  // may carry a "[stem]" suffix for sources reported apart
  bool attack = false;
  bool output_mode = false;
  double score = 0;
  Disposition disposition = Disposition::Allow;
};

struct Group {
  std::size_t n = 0, blocked = 0, warned = 0;
  bool attack = false;
  bool output_mode = false;
  std::vector<double> scores;
};

constexpr double kFprPoints[] = {0.001, 0.005, 0.01};

// Scores of benign texts of one mode, highest first.
using BenignScores = std::vector<double>;

double recall_at(const std::vector<double>& attack_scores, const BenignScores& benign, double fpr) {
  if (attack_scores.empty() || benign.empty()) return NAN;
  const std::size_t allowed = static_cast<std::size_t>(std::floor(fpr * static_cast<double>(benign.size())));
  // Positive means strictly above the (allowed+1)-th highest benign score.
  const double cut = allowed < benign.size() ? benign[allowed] : -1.0;
  std::size_t hits = 0;
  for (double s : attack_scores) hits += s > cut ? 1 : 0;
  return static_cast<double>(hits) / static_cast<double>(attack_scores.size());
}

std::string pct(double v) {
  if (std::isnan(v)) return "-";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f", v * 100.0);
  return buf;
}

void print_table(const char* title, const std::map<std::string, Group>& groups, const BenignScores& benign_in,
                 const BenignScores& benign_out, bool markdown) {
  if (markdown) {
    std::printf("\n**%s**\n\n| %s | n | block %% | warn %% | recall @0.1%% FPR | @0.5%% | @1%% |\n|---|---|---|---|---|---|---|\n",
                title, title);
  } else {
    std::printf("\n%-44s %6s %8s %8s %9s %9s %9s\n", title, "n", "block%", "warn%", "R@0.1%", "R@0.5%", "R@1%");
  }
  for (const auto& [name, g] : groups) {
    const double block = static_cast<double>(g.blocked) / static_cast<double>(g.n);
    const double warn = static_cast<double>(g.warned) / static_cast<double>(g.n);
    std::string r[3] = {"-", "-", "-"};
    if (g.attack) {
      for (int i = 0; i < 3; ++i) r[i] = pct(recall_at(g.scores, g.output_mode ? benign_out : benign_in, kFprPoints[i]));
    }
    if (markdown) {
      std::printf("| %s | %zu | %s | %s | %s | %s | %s |\n", name.c_str(), g.n, pct(block).c_str(), pct(warn).c_str(),
                  r[0].c_str(), r[1].c_str(), r[2].c_str());
    } else {
      std::printf("%-44s %6zu %8s %8s %9s %9s %9s\n", name.c_str(), g.n, pct(block).c_str(), pct(warn).c_str(),
                  r[0].c_str(), r[1].c_str(), r[2].c_str());
    }
  }
}

// Recall against false-positive rate (log scale, 0.01 % to 100 %) per attack kind.
void write_svg(const std::string& path, const std::map<std::string, Group>& kinds, const BenignScores& benign_in,
               const BenignScores& benign_out) {
  const double w = 720, h = 460, left = 70, right = 220, top = 30, bottom = 60;
  const double pw = w - left - right, ph = h - top - bottom;
  const double lo = -4, hi = 0;  // log10 of the FPR axis
  auto x_of = [&](double fpr) { return left + (std::log10(std::max(fpr, 1e-4)) - lo) / (hi - lo) * pw; };
  auto y_of = [&](double recall) { return top + (1 - recall) * ph; };
  static const char* kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  std::ofstream out(path);
  out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << w << "\" height=\"" << h
      << "\" font-family=\"sans-serif\" font-size=\"12\">\n<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
  for (int e = -4; e <= 0; ++e) {
    const double x = x_of(std::pow(10.0, e));
    out << "<line x1=\"" << x << "\" y1=\"" << top << "\" x2=\"" << x << "\" y2=\"" << top + ph
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << x << "\" y=\"" << top + ph + 18 << "\" text-anchor=\"middle\">"
        << (e == 0 ? "100%" : e == -1 ? "10%" : e == -2 ? "1%" : e == -3 ? "0.1%" : "0.01%") << "</text>\n";
  }
  for (int r = 0; r <= 10; r += 2) {
    const double y = y_of(r / 10.0);
    out << "<line x1=\"" << left << "\" y1=\"" << y << "\" x2=\"" << left + pw << "\" y2=\"" << y
        << "\" stroke=\"#ddd\"/>\n<text x=\"" << left - 8 << "\" y=\"" << y + 4 << "\" text-anchor=\"end\">" << r * 10
        << "%</text>\n";
  }
  out << "<text x=\"" << left + pw / 2 << "\" y=\"" << h - 15
      << "\" text-anchor=\"middle\">false-positive rate on benign texts of the same mode (log scale)</text>\n"
      << "<text x=\"18\" y=\"" << top + ph / 2 << "\" text-anchor=\"middle\" transform=\"rotate(-90 18 "
      << top + ph / 2 << ")\">recall</text>\n";
  int colour = 0;
  for (const auto& [name, g] : kinds) {
    if (!g.attack) continue;
    const BenignScores& benign = g.output_mode ? benign_out : benign_in;
    if (benign.empty()) continue;
    // One point per distinct benign cut, from the strictest to none.
    std::string points;
    std::vector<double> cuts(benign.begin(), benign.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    cuts.push_back(-1.0);
    for (double cut : cuts) {
      std::size_t fp = 0, tp = 0;
      for (double s : benign) fp += s > cut ? 1 : 0;
      for (double s : g.scores) tp += s > cut ? 1 : 0;
      const double fpr = static_cast<double>(fp) / static_cast<double>(benign.size());
      const double recall = static_cast<double>(tp) / static_cast<double>(g.scores.size());
      char buf[64];
      std::snprintf(buf, sizeof buf, "%.1f,%.1f ", x_of(fpr), y_of(recall));
      points += buf;
    }
    const char* c = kColours[colour++ % 8];
    out << "<polyline fill=\"none\" stroke=\"" << c << "\" stroke-width=\"2\" points=\"" << points << "\"/>\n";
    const double ly = top + 10 + 18.0 * (colour - 1);
    out << "<line x1=\"" << left + pw + 15 << "\" y1=\"" << ly << "\" x2=\"" << left + pw + 35 << "\" y2=\"" << ly
        << "\" stroke=\"" << c << "\" stroke-width=\"2\"/>\n<text x=\"" << left + pw + 40 << "\" y=\"" << ly + 4
        << "\">" << name << "</text>\n";
  }
  out << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << pw << "\" height=\"" << ph
      << "\" fill=\"none\" stroke=\"black\"/>\n</svg>\n";
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files, separate;
  std::string svg;
  bool markdown = false;
  unsigned threads = std::max(1u, std::thread::hardware_concurrency());
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--svg" && i + 1 < argc) svg = argv[++i];
    else if (a == "--separate" && i + 1 < argc) separate.push_back(argv[++i]);
    else if (a == "--markdown") markdown = true;
    else if (a == "--threads" && i + 1 < argc) threads = static_cast<unsigned>(std::max(1, std::atoi(argv[++i])));
    else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "unknown option %s\n", a.c_str());
      return 2;
    } else files.push_back(a);
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: vantrel_eval [--svg PLOT.svg] [--markdown] [--separate STEM]... FILE.jsonl...\n");
    return 2;
  }

  std::vector<Scored> items;
  std::vector<std::string> texts;
  for (const std::string& path : files) {
    const std::string stem = vantrel_tools::file_stem(path);
    const bool apart = std::find(separate.begin(), separate.end(), stem) != separate.end();
    vantrel_tools::read_labelled_jsonl(path, [&](vantrel_tools::LabelledText&& t) {
      Scored s;
      s.file = stem;
      s.kind = apart ? t.kind + " [" + stem + "]" : t.kind;
      s.attack = t.label == "attack";
      s.output_mode = is_output_kind(t.kind);
      items.push_back(std::move(s));
      texts.push_back(std::move(t.text));
    });
  }

  const auto scanner = vantrel_core::Scanner::with_config(vantrel::make_gate_config({}));
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < threads; ++w) {
    pool.emplace_back([&, w] {
      for (std::size_t i = w; i < items.size(); i += threads) {
        const auto r = items[i].output_mode ? scanner.scan_output(texts[i]) : scanner.scan(texts[i]);
        items[i].score = r.posterior_prob.value_or(r.safe ? 0.0 : 1.0);
        items[i].disposition = r.disposition.value_or(r.safe ? Disposition::Allow : Disposition::Block);
      }
    });
  }
  for (auto& t : pool) t.join();

  BenignScores benign_in, benign_out;
  std::map<std::string, Group> by_file, by_kind;
  for (const Scored& s : items) {
    if (!s.attack) (s.output_mode ? benign_out : benign_in).push_back(s.score);
    for (auto* g : {&by_file[s.file], &by_kind[s.kind]}) {
      ++g->n;
      g->blocked += s.disposition == Disposition::Block ? 1 : 0;
      g->warned += s.disposition == Disposition::AllowWithWarning ? 1 : 0;
      g->attack = s.attack;
      g->output_mode = s.output_mode;
      g->scores.push_back(s.score);
    }
  }
  std::sort(benign_in.rbegin(), benign_in.rend());
  std::sort(benign_out.rbegin(), benign_out.rend());
  std::printf("%zu texts; pattern database %s (%zu benign input, %zu benign output texts as negatives)\n", items.size(),
              scanner.pattern_db_version().value_or("?").c_str(), benign_in.size(), benign_out.size());
  print_table("file", by_file, benign_in, benign_out, markdown);
  print_table("kind", by_kind, benign_in, benign_out, markdown);
  if (!svg.empty()) write_svg(svg, by_kind, benign_in, benign_out);
  return 0;
}
