#include "dedup.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>

namespace vantrel_core {
namespace {

struct Kept {
  std::size_t index;
  double ratio;
};

std::uint64_t span_of(const Signal& s, std::size_t index) {
  // A signal without offset gets a span no other signal can share.
  return s.offset ? static_cast<std::uint64_t>(*s.offset) : ~static_cast<std::uint64_t>(index);
}

struct KeyView {
  std::string_view skill;
  std::string_view type;
  std::uint64_t span;
  bool operator==(const KeyView&) const = default;
};

struct KeyHash {
  std::size_t operator()(const KeyView& k) const {
    std::size_t h = std::hash<std::string_view>{}(k.skill);
    h = h * 31 + std::hash<std::string_view>{}(k.type);
    return h * 31 + std::hash<std::uint64_t>{}(k.span);
  }
};

std::vector<Signal> correlation_mode(std::vector<Signal>& batch, const GateConfig& config) {
  std::unordered_map<KeyView, Kept, KeyHash> by_key;
  by_key.reserve(batch.size());
  std::vector<bool> kept(batch.size(), false);
  // Ordered by skill name bytes, as the reinforcement signals must be.
  std::map<std::string_view, std::vector<std::uint64_t>> family_spans;
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const Signal& s = batch[i];
    KeyView key{s.skill, s.signal_type, span_of(s, i)};
    auto [it, inserted] = by_key.try_emplace(key, Kept{i, s.likelihood_ratio});
    if (inserted) {
      kept[i] = true;
      family_spans[s.skill].push_back(key.span);
    } else if (s.likelihood_ratio > it->second.ratio) {
      kept[it->second.index] = false;
      it->second = Kept{i, s.likelihood_ratio};
      kept[i] = true;
    }
  }

  std::vector<Signal> out;
  out.reserve(batch.size() + 1);
  std::vector<Signal> reinforcement;
  if (config.reinforcement_max_log > 0) {
    for (auto& [skill, spans] : family_spans) {
      std::sort(spans.begin(), spans.end());
      spans.erase(std::unique(spans.begin(), spans.end()), spans.end());
      const std::size_t n = spans.size();
      if (n < 2) continue;
      double g = n == 2 ? config.reinforcement_base_log
                        : config.reinforcement_base_log +
                              config.reinforcement_step_log * static_cast<double>(n - 2);
      g = std::clamp(g, 0.0, config.reinforcement_max_log);
      if (!(g > 0)) continue;
      Signal r("dedup", "independent_reinforcement",
               "Bounded reinforcement for family '" + std::string(skill) + "' across " +
                   std::to_string(n) + " independent spans",
               std::exp(g));
      r.raw_score = static_cast<double>(n);
      reinforcement.push_back(std::move(r));
    }
  }
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (kept[i]) out.push_back(std::move(batch[i]));
  }
  for (Signal& r : reinforcement) out.push_back(std::move(r));
  return out;
}

std::vector<Signal> legacy_mode(std::vector<Signal>& batch) {
  std::unordered_map<std::size_t, Kept> by_offset;
  std::vector<bool> kept(batch.size(), false);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    const Signal& s = batch[i];
    if (!s.offset) {
      kept[i] = true;
      continue;
    }
    auto [it, inserted] = by_offset.try_emplace(*s.offset, Kept{i, s.likelihood_ratio});
    if (inserted) {
      kept[i] = true;
    } else if (s.likelihood_ratio > it->second.ratio) {
      kept[it->second.index] = false;
      it->second = Kept{i, s.likelihood_ratio};
      kept[i] = true;
    }
  }
  std::vector<Signal> out;
  out.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (kept[i]) out.push_back(std::move(batch[i]));
  }
  return out;
}

}  // namespace

std::vector<Signal> deduplicate_signals_with_gate_config(std::vector<Signal> batch,
                                                         const GateConfig& config) {
  if (batch.size() <= 1) return batch;
  return config.correlation_dedup_enabled ? correlation_mode(batch, config) : legacy_mode(batch);
}

}  // namespace vantrel_core
