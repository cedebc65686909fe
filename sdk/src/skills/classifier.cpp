#include "classifier.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <unordered_map>

#include "../utf8.h"

namespace vantrel_core {

namespace {

constexpr std::size_t kEvidenceInDescription = 3;
constexpr std::size_t kMaxLabelBytes = 40;

// What one text adds up to under a model. The hashed part is the best
// window's (the whole text's without windows); the type sums are the whole
// text's.
struct Sums {
  double hashed = 0;
  std::int64_t type = 0;
  std::size_t features = 0;
  double shape = 0, shape_type = 0;
  std::uint32_t best_block = 0;  // the best window's last block
};

double window_score(const LinearModel& m, std::int64_t sum, std::size_t features) {
  return m.scale() * static_cast<double>(sum) * occurrence_weight(features, m.length_power());
}

Sums sum_features(const LinearModel& m, std::string_view view, const ViewStats& stats, bool with_type) {
  Sums s;
  const std::int8_t* w = m.weights().data();
  const std::int8_t* t = m.type_weights().data();
  std::int64_t attack = 0;
  if (m.families() & kDistinctFeatures) {
    std::vector<std::uint64_t> seen((std::size_t{1} << m.bits()) / 64 + 1, 0);
    for_each_hashed_feature(view, m.families(), m.bits(),
                            [&](std::uint32_t b, std::uint32_t, std::uint64_t, std::size_t, std::size_t) {
                              std::uint64_t& word = seen[b >> 6];
                              const std::uint64_t bit = std::uint64_t{1} << (b & 63);
                              if (word & bit) return;
                              word |= bit;
                              attack += w[b];
                              if (with_type) s.type += t[b];
                              ++s.features;
                            });
    s.hashed = window_score(m, attack, s.features);
  } else if (m.window_words() == 0) {
    for_each_hashed_feature(view, m.families(), m.bits(),
                            [&](std::uint32_t b, std::uint32_t, std::uint64_t, std::size_t, std::size_t) {
                              attack += w[b];
                              if (with_type) s.type += t[b];
                              ++s.features;
                            });
    s.hashed = window_score(m, attack, s.features);
  } else {
    // Running sums of the current and the previous block.
    std::int64_t block_sum = 0, previous_sum = 0;
    std::size_t block_features = 0, previous_features = 0;
    double best = -std::numeric_limits<double>::infinity();
    for_each_hashed_feature_in_blocks(
        view, m.families(), m.bits(), m.window_words(),
        [&](std::uint32_t b, std::uint32_t, std::uint64_t, std::size_t, std::size_t, std::uint32_t) {
          block_sum += w[b];
          if (with_type) s.type += t[b];
          ++block_features;
          ++s.features;
        },
        [&](std::uint32_t block) {
          if (block > 0) {
            const double score = window_score(m, previous_sum + block_sum, previous_features + block_features);
            if (score > best) {
              best = score;
              s.best_block = block;
            }
          }
          previous_sum = block_sum;
          previous_features = block_features;
          block_sum = 0;
          block_features = 0;
        });
    // A text of one block is its one window.
    s.hashed = best > -std::numeric_limits<double>::infinity() ? best
                                                               : window_score(m, previous_sum, previous_features);
  }
  if (m.families() & kShapeFeatures) {
    for_each_shape_slot(stats, [&](std::uint32_t slot) {
      s.shape += m.shape()[slot];
      s.shape_type += m.shape_type()[slot];
    });
  }
  return s;
}

double attack_score(const LinearModel& m, const Sums& s) { return m.bias() + s.hashed + s.shape; }

double type_score(const LinearModel& m, const Sums& s) {
  return m.type_bias() + m.type_scale() * static_cast<double>(s.type) * occurrence_weight(s.features, m.length_power()) +
         s.shape_type;
}

const char* shape_name(std::uint32_t slot) {
  if (slot >= kShapeCharRunSlot) return "repeated character run";
  if (slot >= kShapeTokenRunSlot) return "repeated token run";
  return "token soup";
}

// At most kMaxLabelBytes of `s`, cut at a character boundary.
std::string_view clipped(std::string_view s) {
  if (s.size() <= kMaxLabelBytes) return s;
  std::size_t end = kMaxLabelBytes;
  while (end > 0 && utf8::is_continuation(static_cast<unsigned char>(s[end]))) --end;
  return s.substr(0, end);
}

// The words of a unit's span joined by single spaces (a pair's span may hold
// punctuation between its words).
std::string unit_label(std::string_view span) {
  std::string out;
  bool gap = false;
  for (char c : span) {
    if (classifier_detail::is_word_byte(static_cast<unsigned char>(c))) {
      if (gap && !out.empty()) out += ' ';
      gap = false;
      out += c;
    } else {
      gap = true;
    }
  }
  return std::string(clipped(out));
}

ClassifierScore score_view(const LinearModel& m, std::string_view view, const ViewStats& stats) {
  const Sums s = sum_features(m, view, stats, true);
  ClassifierScore out;
  out.score = attack_score(m, s);
  out.type_score = type_score(m, s);
  out.ratio = m.ratio_of_score(out.score);
  out.type = out.type_score >= 0 ? m.positive_type() : m.negative_type();
  return out;
}

std::vector<ClassifierEvidence> explain_view(const LinearModel& m, std::string_view view,
                                             const ViewStats& stats) {
  const Sums s = sum_features(m, view, stats, false);
  struct Unit {
    double contribution = 0;
    std::size_t begin = 0, end = 0;
  };
  // Equal words (and equal pairs) are one unit wherever they occur.
  std::unordered_map<std::uint64_t, Unit> units;
  const std::int8_t* w = m.weights().data();
  // Only the best window's features made the score: the window of the best
  // block and the one before it (without windows, block 0 is the text).
  const std::uint32_t first = s.best_block > 0 ? s.best_block - 1 : 0;
  std::size_t in_window = 0;
  const std::uint32_t block_words = m.window_words() == 0 ? std::numeric_limits<std::uint32_t>::max() : m.window_words();
  for_each_hashed_feature_in_blocks(
      view, m.families(), m.bits(), block_words,
      [&](std::uint32_t, std::uint32_t, std::uint64_t, std::size_t, std::size_t, std::uint32_t block) {
        in_window += block >= first && block <= s.best_block ? 1 : 0;
      },
      [](std::uint32_t) {});
  const double unit = m.scale() * occurrence_weight(in_window, m.length_power());
  for_each_hashed_feature_in_blocks(
      view, m.families(), m.bits(), block_words,
      [&](std::uint32_t b, std::uint32_t family, std::uint64_t key, std::size_t begin, std::size_t end,
          std::uint32_t block) {
        if (block < first || block > s.best_block) return;
        const std::uint64_t id = family == kWordPairFeatures ? ~key : key;
        auto [it, fresh] = units.try_emplace(id);
        if (fresh) {
          it->second.begin = begin;
          it->second.end = end;
        }
        it->second.contribution += unit * w[b];
      },
      [](std::uint32_t) {});
  std::vector<ClassifierEvidence> out;
  out.reserve(units.size() + 4);
  for (const auto& [id, u] : units) {
    if (u.contribution != 0) out.push_back({unit_label(view.substr(u.begin, u.end - u.begin)), u.contribution, true});
  }
  if (m.families() & kShapeFeatures) {
    // Slots of one statistic add up: one entry per statistic.
    std::array<double, 3> by_statistic{};
    for_each_shape_slot(stats, [&](std::uint32_t slot) {
      by_statistic[slot >= kShapeCharRunSlot ? 2 : slot >= kShapeTokenRunSlot ? 1 : 0] += m.shape()[slot];
    });
    constexpr std::uint32_t kFirst[] = {kShapeSoupSlot, kShapeTokenRunSlot, kShapeCharRunSlot};
    for (std::size_t k = 0; k < 3; ++k) {
      if (by_statistic[k] != 0) out.push_back({shape_name(kFirst[k]), by_statistic[k], false});
    }
  }
  // Ties are broken by label so that the order never depends on the map.
  std::sort(out.begin(), out.end(), [](const ClassifierEvidence& x, const ClassifierEvidence& y) {
    return x.contribution != y.contribution ? x.contribution > y.contribution : x.label < y.label;
  });
  return out;
}

}  // namespace

ClassifierSkill::ClassifierSkill(ClassifierModel model, ScanMode mode)
    : model_(std::move(model)), linear_(*model_.for_mode(mode)) {}

ClassifierScore ClassifierSkill::score(std::string_view text) const {
  std::string view;
  const ViewStats stats = build_classifier_view(text, view);
  return score_view(linear_, view, stats);
}

std::vector<ClassifierEvidence> ClassifierSkill::explain(std::string_view text) const {
  std::string view;
  const ViewStats stats = build_classifier_view(text, view);
  return explain_view(linear_, view, stats);
}

SkillOutput ClassifierSkill::scan(std::string_view text) const {
  SkillOutput out;
  std::string view;
  const ViewStats stats = build_classifier_view(text, view);
  const double score = attack_score(linear_, sum_features(linear_, view, stats, false));
  const double ratio = linear_.ratio_of_score(score);
  if (!(ratio >= linear_.least_ratio())) return out;

  const ClassifierScore full = score_view(linear_, view, stats);
  std::string description = "Learned classifier";
  std::size_t named = 0;
  for (const ClassifierEvidence& e : explain_view(linear_, view, stats)) {
    if (named == kEvidenceInDescription || e.contribution <= 0) break;
    description += named == 0 ? ": " : ", ";
    description += e.words ? "\"" + e.label + "\"" : e.label;
    ++named;
  }
  Signal sig("classifier", std::string(snake_name(full.type)), std::move(description), ratio);
  sig.raw_score = score;
  out.signals.push_back(std::move(sig));
  out.threat_type = full.type;
  return out;
}

}  // namespace vantrel_core
