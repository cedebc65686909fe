// Proposes candidate attack phrases from labelled JSONL data, and measures the
// evidence behind the records of a pattern database.
//
//   vantrel_mine [options] FILE.jsonl...
//     --attack-kinds K1,K2   attack kinds to learn from (injection,jailbreak)
//     --benign-kinds K1,K2   benign kinds to contrast with (every benign kind
//                            scanned in the same mode as the attack kinds)
//     --attack-lang CODE     only attack texts whose "lang" is CODE
//     --split mine|check|all the hash split of the texts to use (all)
//     --min-attack N         least attack documents per phrase (3)
//     --min-families N       least near-duplicate families per phrase (1)
//     --max-benign N         most benign documents per phrase (no limit)
//     --min-words N, --max-words N   n-gram lengths (2, 8)
//     --top N                rows to print (500)
//     --evidence DB.json     instead of mining, count per record of DB where
//                            it fires (as the scanner matches: leftmost-first,
//                            non-overlapping, on the normalized text)
//
// Mining output (tab-separated, best first): ratio, attack documents, attack
// families, benign documents, phrase. ratio = ((a + 0.5) / (A + 1)) /
// ((b + 0.5) / (B + 1)) over document frequencies. A family is a group of
// near-duplicate attack texts: a phrase found in one family only is a
// fragment of one prompt, not general attack language. Candidates are for
// review, not for pasting.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "families.h"
#include "jsonl.h"
#include "pattern_source.h"
#include "skills/normalize.h"

namespace {

using vantrel_tools::Split;

// Punctuation that ends a run of words.
bool is_separator(unsigned char c) {
  return c != 0 && std::string_view(".,;:!?\"()[]{}<>*#`").find(static_cast<char>(c)) !=
                       std::string_view::npos;
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

// Calls f for every n-gram of lo to hi words within each run.
template <typename F>
void for_each_ngram(const std::vector<std::vector<std::string>>& runs, std::size_t lo,
                    std::size_t hi, F&& f) {
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

// The non-empty items of a comma-separated list.
std::unordered_set<std::string> comma_list(const std::string& s) {
  std::unordered_set<std::string> out;
  std::stringstream ss(s);
  for (std::string k; std::getline(ss, k, ',');) {
    if (!k.empty()) out.insert(k);
  }
  return out;
}

// The items sorted and joined with commas.
std::string joined(const std::unordered_set<std::string>& set) {
  std::vector<std::string> v(set.begin(), set.end());
  std::sort(v.begin(), v.end());
  std::string out;
  for (const auto& s : v) out += (out.empty() ? "" : ",") + s;
  return out;
}

// One labelled text as the pattern skill would see it.
struct Doc {
  std::string text;  // normalized
  std::string kind;
  std::uint32_t family = 0;  // attack documents only
};

// P(phrase | attack) / P(phrase | benign) from a of A and b of B documents,
// with half a document added to each count.
double smoothed_ratio(double a, double A, double b, double B) {
  return ((a + 0.5) / (A + 1)) / ((b + 0.5) / (B + 1));
}

// Tab and line breaks would break the row format.
std::string tsv_field(std::string_view s) {
  std::string out;
  for (char c : s) {
    if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

// Documents containing one phrase; last_family lets attack documents, visited
// in family order, count each family once.
struct Counts {
  std::uint32_t attack = 0, families = 0, benign = 0;
  std::uint32_t last_family = std::numeric_limits<std::uint32_t>::max();
};

// Counts one attack document of `family`.
void count_attack(Counts& c, std::uint32_t family) {
  ++c.attack;
  if (c.last_family != family) {
    ++c.families;
    c.last_family = family;
  }
}

// Prints the word n-grams of the attack documents that pass the thresholds,
// best smoothed ratio first.
int mine(const std::vector<Doc>& attack, const std::vector<Doc>& benign, std::size_t lo,
         std::size_t hi, std::size_t min_attack, std::size_t min_families, std::size_t max_benign,
         std::size_t top) {
  std::unordered_map<std::string, Counts> counts;
  std::unordered_set<std::string> seen;
  for (const Doc& doc : attack) {  // in family order, so a family's documents are adjacent
    seen.clear();
    for_each_ngram(word_runs(doc.text), lo, hi, [&](const std::string& g) {
      if (seen.insert(g).second) count_attack(counts[g], doc.family);
    });
  }
  std::erase_if(counts, [&](const auto& kv) {
    return kv.second.attack < min_attack || kv.second.families < min_families;
  });
  for (const Doc& doc : benign) {
    seen.clear();
    for_each_ngram(word_runs(doc.text), lo, hi, [&](const std::string& g) {
      auto it = counts.find(g);
      if (it != counts.end() && seen.insert(g).second) ++it->second.benign;
    });
  }
  const double A = static_cast<double>(attack.size()), B = static_cast<double>(benign.size());
  struct Row {
    double ratio;
    Counts c;
    const std::string* phrase;
  };
  std::vector<Row> rows;
  for (const auto& [g, c] : counts) {
    if (c.benign > max_benign) continue;
    rows.push_back({smoothed_ratio(c.attack, A, c.benign, B), c, &g});
  }
  std::sort(rows.begin(), rows.end(), [](const Row& x, const Row& y) {
    if (x.ratio != y.ratio) return x.ratio > y.ratio;
    return *x.phrase < *y.phrase;
  });
  std::printf("# ratio\tattack\tfamilies\tbenign\tphrase\n");
  for (std::size_t i = 0; i < rows.size() && i < top; ++i) {
    std::printf("%.1f\t%u\t%u\t%u\t%s\n", rows[i].ratio, rows[i].c.attack, rows[i].c.families,
                rows[i].c.benign, tsv_field(*rows[i].phrase).c_str());
  }
  return 0;
}

// Prints, per record of the database at `db_path` in file order, the attack
// and benign documents where it fires, with their kinds.
int evidence(const std::string& db_path, const std::vector<Doc>& attack,
             const std::vector<Doc>& benign) {
  auto skill = vantrel_tools::load_pattern_skill(db_path);
  if (!skill) {
    std::fprintf(stderr, "%s\n", skill.error().c_str());
    return 2;
  }
  const auto& records = skill->patterns();
  std::vector<Counts> counts(records.size());
  // Per record: documents per kind where it fired, attack and benign apart.
  std::vector<std::map<std::string, std::uint32_t>> attack_kinds(records.size()),
      benign_kinds(records.size());
  std::vector<std::uint32_t> fired;
  const auto fired_in = [&](const Doc& doc) {
    fired.clear();
    skill->matcher().for_each(
        doc.text, [&](const vantrel_core::PhraseMatch& m) { fired.push_back(m.phrase); });
    std::sort(fired.begin(), fired.end());
    fired.erase(std::unique(fired.begin(), fired.end()), fired.end());
    return fired;
  };
  for (const Doc& doc : attack) {
    for (std::uint32_t r : fired_in(doc)) {
      count_attack(counts[r], doc.family);
      ++attack_kinds[r][doc.kind];
    }
  }
  for (const Doc& doc : benign) {
    for (std::uint32_t r : fired_in(doc)) {
      ++counts[r].benign;
      ++benign_kinds[r][doc.kind];
    }
  }
  const auto kinds_field = [](const std::map<std::string, std::uint32_t>& m) {
    std::string out;
    for (const auto& [k, n] : m) out += (out.empty() ? "" : ",") + k + ":" + std::to_string(n);
    return out.empty() ? std::string("-") : out;
  };
  const double A = static_cast<double>(attack.size()), B = static_cast<double>(benign.size());
  std::printf(
      "# phrase\tthreat_type\tratio\tattack_docs\tattack_families\tbenign_docs\t"
      "measured_ratio\tattack_kinds\tbenign_kinds\n");
  for (std::size_t i = 0; i < records.size(); ++i) {
    const auto& c = counts[i];
    std::printf("%s\t%s\t%g\t%u\t%u\t%u\t%.1f\t%s\t%s\n", tsv_field(records[i].text).c_str(),
                records[i].threat_type.c_str(), records[i].likelihood_ratio, c.attack, c.families,
                c.benign, smoothed_ratio(c.attack, A, c.benign, B),
                kinds_field(attack_kinds[i]).c_str(), kinds_field(benign_kinds[i]).c_str());
  }
  return 0;
}

const char* kUsage =
    "usage: vantrel_mine [--attack-kinds K1,K2] [--benign-kinds K1,K2] [--attack-lang CODE]\n"
    "                    [--split mine|check|all] [--min-attack N] [--min-families N]\n"
    "                    [--max-benign N] [--min-words N] [--max-words N] [--top N]\n"
    "                    [--evidence DB.json] FILE.jsonl...\n";

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  std::unordered_set<std::string> attack_kinds = {"injection", "jailbreak"}, benign_kinds;
  std::string attack_lang, evidence_db;
  Split split = Split::All;
  std::size_t min_attack = 3, min_families = 1,
              max_benign = std::numeric_limits<std::size_t>::max(), lo = 2, hi = 8, top = 500;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool has_value = i + 1 < argc;
    auto next = [&] { return std::string(argv[++i]); };
    auto number = [&](std::size_t& out) {
      char* end = nullptr;
      const std::string v = next();
      out = std::strtoull(v.c_str(), &end, 10);
      return !v.empty() && *end == '\0';
    };
    bool ok = true;
    if (a.rfind("--", 0) == 0 && !has_value) {
      ok = false;
    } else if (a == "--attack-kinds") {
      attack_kinds = comma_list(next());
    } else if (a == "--benign-kinds") {
      benign_kinds = comma_list(next());
    } else if (a == "--attack-lang") {
      attack_lang = next();
    } else if (a == "--evidence") {
      evidence_db = next();
    } else if (a == "--split") {
      const auto s = vantrel_tools::parse_split(next());
      ok = s.has_value();
      if (ok) split = *s;
    } else if (a == "--min-attack") {
      ok = number(min_attack);
    } else if (a == "--min-families") {
      ok = number(min_families);
    } else if (a == "--max-benign") {
      ok = number(max_benign);
    } else if (a == "--min-words") {
      ok = number(lo);
    } else if (a == "--max-words") {
      ok = number(hi);
    } else if (a == "--top") {
      ok = number(top);
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
  if (files.empty() || attack_kinds.empty() || lo < 1 || hi < lo) {
    std::fprintf(stderr, "%s", kUsage);
    return 2;
  }
  const bool output_mode = vantrel_tools::is_output_kind(*attack_kinds.begin());

  const vantrel_core::NormalizationSkill normalizer;
  std::vector<Doc> attack, benign;
  std::unordered_set<std::string> benign_seen;
  for (const std::string& path : files) {
    vantrel_tools::read_labelled_jsonl(path, [&](vantrel_tools::LabelledText&& t) {
      if (!vantrel_tools::in_split(t.text, split)) return;
      const bool is_attack = t.label == "attack" && attack_kinds.count(t.kind) &&
                             (attack_lang.empty() || t.lang == attack_lang);
      const bool is_benign =
          t.label == "benign" &&
          (benign_kinds.empty() ? vantrel_tools::is_output_kind(t.kind) == output_mode
                                : benign_kinds.count(t.kind) > 0);
      if (!is_attack && !is_benign) return;
      auto out = normalizer.scan(t.text);
      Doc doc{out.normalized_text ? std::move(*out.normalized_text) : std::move(t.text), t.kind};
      if (is_benign) benign_seen.insert(t.kind);
      (is_attack ? attack : benign).push_back(std::move(doc));
    });
  }
  {
    std::vector<std::string> texts;
    texts.reserve(attack.size());
    for (const Doc& d : attack) texts.push_back(d.text);
    const auto families = vantrel_tools::near_duplicate_families(texts);
    for (std::size_t i = 0; i < attack.size(); ++i) attack[i].family = families[i];
    std::stable_sort(attack.begin(), attack.end(),
                     [](const Doc& x, const Doc& y) { return x.family < y.family; });
  }
  const std::uint32_t family_count = attack.empty() ? 0 : attack.back().family + 1;
  std::printf("# %zu attack documents in %u families (%s), %zu benign documents (%s), split %s\n",
              attack.size(), family_count, joined(attack_kinds).c_str(), benign.size(),
              joined(benign_seen).c_str(), vantrel_tools::split_name(split));
  if (!evidence_db.empty()) return evidence(evidence_db, attack, benign);
  return mine(attack, benign, lo, hi, min_attack, min_families, max_benign, top);
}
