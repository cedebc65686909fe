#include "classifier_examples.h"

#include <cmath>
#include <unordered_map>

#include "fnv.h"
#include "skills/classifier_features.h"

namespace vantrel_tools {

int attack_type_of_kind(std::string_view kind) {
  if (kind.find("jailbreak") != std::string_view::npos) return 1;
  if (kind.find("injection") != std::string_view::npos || kind.find("leak") != std::string_view::npos) return 0;
  return -1;
}

bool is_training_kind(std::string_view kind, const ExampleOptions& options) {
  return options.harmful_as_attack || kind != "harmful_request";
}

std::vector<Example> make_examples(std::span<const CorpusText> texts,
                                   std::span<const FeatureCounts> features, std::span<const char> use,
                                   bool output_mode, const ExampleOptions& options,
                                   std::span<const double> contexts) {
  // First occurrence of each normalized text, and whether its labels agree.
  struct Seen {
    std::size_t first;
    bool conflict;
  };
  std::unordered_map<std::uint64_t, Seen> seen;
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const CorpusText& t = texts[i];
    if (!use[i] || t.output_mode != output_mode || !is_training_kind(t.kind, options)) continue;
    const std::uint64_t h = vantrel_core::fnv1a(t.normalized);
    auto [it, fresh] = seen.try_emplace(h, Seen{i, false});
    if (fresh) {
      chosen.push_back(i);
    } else if (texts[it->second.first].attack != t.attack) {
      it->second.conflict = true;
    }
  }
  // Families are counted per label: the benign copy of a templated document
  // must not be down-weighted by the attacks built from it.
  auto family_key = [&](std::size_t i) { return std::uint64_t{texts[i].family} * 2 + (texts[i].attack ? 1 : 0); };
  std::unordered_map<std::uint64_t, std::size_t> family_size;
  std::vector<std::size_t> kept;
  for (std::size_t i : chosen) {
    if (seen.at(vantrel_core::fnv1a(texts[i].normalized)).conflict) continue;
    kept.push_back(i);
    ++family_size[family_key(i)];
  }
  std::vector<Example> out;
  out.reserve(kept.size());
  std::unordered_map<std::string, std::uint32_t> source_ids;
  for (std::size_t i : kept) {
    const CorpusText& t = texts[i];
    Example e;
    e.features = &features[i];
    e.attack = t.attack;
    e.type = t.attack ? attack_type_of_kind(t.kind) : -1;
    e.weight = 1 / std::pow(static_cast<double>(family_size[family_key(i)]), options.family_exponent);
    e.fold = vantrel_core::classifier_detail::mix(t.family);
    e.source = source_ids.try_emplace(t.file, static_cast<std::uint32_t>(source_ids.size())).first->second;
    if (!contexts.empty()) e.context = contexts[i];
    out.push_back(e);
  }
  if (options.balance_sources) {
    // Every file weighs the same in total.
    std::unordered_map<std::string, double> total;
    for (std::size_t k = 0; k < kept.size(); ++k) total[texts[kept[k]].file] += out[k].weight;
    for (std::size_t k = 0; k < kept.size(); ++k) out[k].weight /= total[texts[kept[k]].file];
  }
  return out;
}

}  // namespace vantrel_tools
