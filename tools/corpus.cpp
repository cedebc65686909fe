#include "corpus.h"

#include <algorithm>
#include <thread>

#include "families.h"
#include "skills/normalize.h"

namespace vantrel_tools {

std::string source_of_file(const std::string& stem, const std::map<std::string, std::string>& merges) {
  const std::string name = stem.substr(0, stem.find('.'));
  const auto it = merges.find(name);
  return it == merges.end() ? name : it->second;
}

bool load_corpus(const std::vector<std::string>& files, Split split,
                 const std::map<std::string, std::string>& merges, unsigned threads,
                 std::vector<CorpusText>& out) {
  out.clear();
  for (const std::string& path : files) {
    const std::string stem = file_stem(path);
    const std::string source = source_of_file(stem, merges);
    const bool ok = read_labelled_jsonl(path, [&](LabelledText&& t) {
      if (!in_split(t.text, split)) return;
      CorpusText c;
      c.id = stem + ":" + std::to_string(t.line);
      c.file = stem;
      c.source = source;
      c.kind = std::move(t.kind);
      c.lang = t.lang.empty() ? "?" : std::move(t.lang);
      c.attack = t.label == "attack";
      c.output_mode = is_output_kind(c.kind);
      c.text = std::move(t.text);
      out.push_back(std::move(c));
    });
    if (!ok) return false;
  }

  const vantrel_core::NormalizationSkill normalizer(0.05);
  threads = std::max(1u, threads);
  std::vector<std::thread> pool;
  for (unsigned w = 0; w < threads; ++w) {
    pool.emplace_back([&, w] {
      for (std::size_t i = w; i < out.size(); i += threads) {
        out[i].normalized = std::move(*normalizer.scan(out[i].text).normalized_text);
      }
    });
  }
  for (auto& t : pool) t.join();

  for (const bool output_mode : {false, true}) {
    std::vector<std::size_t> members;
    std::vector<std::string> docs;
    for (std::size_t i = 0; i < out.size(); ++i) {
      if (out[i].output_mode != output_mode) continue;
      members.push_back(i);
      docs.push_back(out[i].text);
    }
    const std::vector<std::uint32_t> family = near_duplicate_families(docs);
    // Output families are numbered after the input ones, so ids never clash.
    std::uint32_t base = 0;
    if (output_mode) {
      for (const CorpusText& c : out) {
        if (!c.output_mode) base = std::max(base, c.family + 1);
      }
    }
    for (std::size_t k = 0; k < members.size(); ++k) out[members[k]].family = base + family[k];
  }
  return true;
}

}  // namespace vantrel_tools
