// Proposes candidate attack phrases from labelled JSONL data: word n-grams of
// the normalized texts, ranked by a smoothed likelihood ratio of document
// frequencies, with the benign count shown so a reviewer sees the
// false-positive risk. Candidates are for review, not for pasting.
//
//   vantrel_mine [--attack-kinds K1,K2] [--min-attack N] [--max-benign N]
//                [--min-words N] [--max-words N] [--top N] FILE.jsonl...
//
// Output (tab-separated, best first): ratio, attack documents, benign
// documents, phrase. ratio = ((a + 0.5) / (A + 1)) / ((b + 0.5) / (B + 1)).
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "jsonl.h"
#include "skills/normalize.h"

namespace {

bool is_separator(unsigned char c) {
  switch (c) {
    case '.': case ',': case ';': case ':': case '!': case '?': case '"': case '(': case ')':
    case '[': case ']': case '{': case '}': case '<': case '>': case '*': case '#': case '`':
      return true;
    default:
      return false;
  }
}

// Runs of words (ASCII lower-cased) between punctuation; n-grams never cross
// punctuation because the phrase would not occur as written.
std::vector<std::vector<std::string>> word_runs(std::string_view text) {
  std::vector<std::vector<std::string>> runs(1);
  std::string word;
  auto end_word = [&] {
    if (!word.empty()) runs.back().push_back(std::move(word));
    word.clear();
  };
  for (unsigned char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      end_word();
    } else if (is_separator(c)) {
      end_word();
      if (!runs.back().empty()) runs.emplace_back();
    } else {
      word += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    }
  }
  end_word();
  return runs;
}

template <typename F>
void for_each_ngram(const std::vector<std::vector<std::string>>& runs, std::size_t lo, std::size_t hi, F&& f) {
  std::string gram;
  for (const auto& run : runs) {
    for (std::size_t i = 0; i < run.size(); ++i) {
      gram.clear();
      for (std::size_t n = 1; n <= hi && i + n <= run.size(); ++n) {
        if (n > 1) gram += ' ';
        gram += run[i + n - 1];
        if (n >= lo) f(gram);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  std::unordered_set<std::string> attack_kinds = {"injection", "jailbreak"};
  std::size_t min_attack = 3, max_benign = static_cast<std::size_t>(-1), lo = 2, hi = 8, top = 500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&] { return std::string(i + 1 < argc ? argv[++i] : ""); };
    if (a == "--attack-kinds") {
      attack_kinds.clear();
      std::stringstream ss(next());
      for (std::string k; std::getline(ss, k, ',');) attack_kinds.insert(k);
    } else if (a == "--min-attack") min_attack = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--max-benign") max_benign = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--min-words") lo = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--max-words") hi = std::strtoull(next().c_str(), nullptr, 10);
    else if (a == "--top") top = std::strtoull(next().c_str(), nullptr, 10);
    else files.push_back(a);
  }
  if (files.empty() || lo < 1 || hi < lo) {
    std::fprintf(stderr, "usage: vantrel_mine [--attack-kinds K1,K2] [--min-attack N] [--max-benign N] "
                         "[--min-words N] [--max-words N] [--top N] FILE.jsonl...\n");
    return 2;
  }

  const vantrel_core::NormalizationSkill normalizer;
  std::vector<std::string> attack_docs, benign_docs;
  for (const std::string& path : files) {
    vantrel_tools::read_labelled_jsonl(path, [&](vantrel_tools::LabelledText&& t) {
      const bool output = vantrel_tools::is_output_kind(t.kind);
      auto out = normalizer.scan(t.text);
      std::string norm = out.normalized_text ? std::move(*out.normalized_text) : std::move(t.text);
      if (t.label == "attack" && attack_kinds.count(t.kind)) {
        attack_docs.push_back(std::move(norm));
      } else if (t.label == "benign" && output == vantrel_tools::is_output_kind(*attack_kinds.begin())) {
        benign_docs.push_back(std::move(norm));
      }
    });
  }

  struct Counts {
    std::uint32_t attack = 0, benign = 0;
  };
  std::unordered_map<std::string, Counts> counts;
  std::unordered_set<std::string> seen;
  for (const auto& doc : attack_docs) {
    seen.clear();
    for_each_ngram(word_runs(doc), lo, hi, [&](const std::string& g) {
      if (seen.insert(g).second) ++counts[g].attack;
    });
  }
  std::erase_if(counts, [&](const auto& kv) { return kv.second.attack < min_attack; });
  for (const auto& doc : benign_docs) {
    seen.clear();
    for_each_ngram(word_runs(doc), lo, hi, [&](const std::string& g) {
      auto it = counts.find(g);
      if (it != counts.end() && seen.insert(g).second) ++it->second.benign;
    });
  }

  const double A = static_cast<double>(attack_docs.size()), B = static_cast<double>(benign_docs.size());
  struct Row {
    double ratio;
    Counts c;
    const std::string* phrase;
  };
  std::vector<Row> rows;
  for (const auto& [g, c] : counts) {
    if (c.benign > max_benign) continue;
    const double ratio = ((c.attack + 0.5) / (A + 1)) / ((c.benign + 0.5) / (B + 1));
    rows.push_back({ratio, c, &g});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) {
    if (x.ratio != y.ratio) return x.ratio > y.ratio;
    return *x.phrase < *y.phrase;
  });
  std::printf("# %zu attack documents, %zu benign documents\n# ratio\tattack\tbenign\tphrase\n", attack_docs.size(),
              benign_docs.size());
  for (std::size_t i = 0; i < rows.size() && i < top; ++i) {
    std::printf("%.1f\t%u\t%u\t%s\n", rows[i].ratio, rows[i].c.attack, rows[i].c.benign, rows[i].phrase->c_str());
  }
  return 0;
}
