#include "classifier_train.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <unordered_map>

#include "skills/classifier_features.h"
#include "skills/classifier_view.h"

namespace vantrel_tools {

using vantrel_core::LinearModelData;
using vantrel_core::kShapeSlots;

namespace {

std::uint64_t mix(std::uint64_t x) { return vantrel_core::classifier_detail::mix(x); }


// A fitted regression: hashed weights followed by the shape weights, and the
// bias.
struct Fitted {
  std::vector<double> w;
  double bias = 0;
};

// Training-only slots for the text's length (bit width of its number of
// feature occurrences). Attack collections are longer than everyday
// requests; with the length in the model, common words need not carry it,
// and the length weights are dropped afterwards, so that the model scores
// every text as if its length told nothing.
constexpr std::size_t kLengthSlots = 24;
std::size_t length_slot(const BucketCounts& x) {
  return std::min<std::size_t>(static_cast<std::size_t>(std::bit_width(x.occurrences)), kLengthSlots - 1);
}

// One training row: a text or one window of it, the text's shape slots, its
// label (+1/-1) and its weight.
struct Row {
  const BucketCounts* x;
  const std::vector<std::uint8_t>* shapes;
  double y;
  double c;
};

// Averaged SGD for L2-regularised logistic regression (weights kept as a
// vector times a divisor, so the regularisation step costs O(1)), with the
// running average of the iterates taken from the second epoch on.
class AveragedSgd {
 public:
  AveragedSgd(std::size_t dims, std::uint32_t bits, double lambda, double power, bool length_slots)
      : w_(dims, 0.0),
        a_(dims, 0.0),
        hashed_(std::size_t{1} << bits),
        lambda_(lambda),
        power_(power),
        length_slots_(length_slots) {}

  void step(const Row& r, double eta, double mu, bool averaging) {
    if (w_divisor_ > 1e5 || a_divisor_ > 1e5) renormalise();
    const double s = dot_with(w_, r) / w_divisor_ + w_bias_;
    w_divisor_ /= 1 - eta * lambda_;
    const double z = s * r.y;
    // Negative derivative of the weighted log loss with respect to s.
    const double d = r.c * r.y / (1 + std::exp(std::min(z, 700.0)));
    const double etd = eta * d * w_divisor_;
    if (etd != 0) add(w_, r, etd);
    if (averaging) {
      if (!averaging_) {
        std::fill(a_.begin(), a_.end(), 0.0);
        a_divisor_ = w_divisor_;
        w_fraction_ = 1;
        a_bias_ = w_bias_;
        averaging_ = true;
      } else {
        if (etd != 0) add(a_, r, -w_fraction_ * etd);
        a_divisor_ /= 1 - mu;
        w_fraction_ += mu * a_divisor_ / w_divisor_;
      }
    }
    w_bias_ += eta * 0.1 * d;
    if (averaging) a_bias_ += mu * (w_bias_ - a_bias_);
  }

  // The averaged weights (or the last iterate when averaging never began).
  Fitted result() {
    renormalise();
    Fitted f;
    f.w = averaging_ ? a_ : w_;
    f.bias = averaging_ ? a_bias_ : w_bias_;
    return f;
  }

  double objective(std::span<const Row> rows) {
    renormalise();
    const std::vector<double>& w = w_;
    double loss = 0, total = 0;
    for (const Row& r : rows) {
      const double s = dot_with(w, r) + w_bias_;
      loss += r.c * std::log1p(std::exp(-std::min(s * r.y, 700.0)));
      total += r.c;
    }
    double norm = 0;
    for (double v : w) norm += v * v;
    return loss / std::max(total, 1e-300) + 0.5 * lambda_ * norm;
  }

 private:
  double dot_with(const std::vector<double>& w, const Row& r) const {
    const double v = vantrel_core::occurrence_weight(r.x->occurrences, power_);
    double s = 0;
    for (const auto& [b, n] : r.x->counts) s += w[b] * (n * v);
    for (std::uint8_t slot : *r.shapes) s += w[hashed_ + slot];
    if (length_slots_) s += w[hashed_ + kShapeSlots + length_slot(*r.x)];
    return s;
  }
  void add(std::vector<double>& target, const Row& r, double k) const {
    const double v = vantrel_core::occurrence_weight(r.x->occurrences, power_);
    for (const auto& [b, n] : r.x->counts) target[b] += k * (n * v);
    for (std::uint8_t slot : *r.shapes) target[hashed_ + slot] += k;
    if (length_slots_) target[hashed_ + kShapeSlots + length_slot(*r.x)] += k;
  }
  void renormalise() {
    if (w_divisor_ == 1 && a_divisor_ == 1 && w_fraction_ == 0) return;
    for (std::size_t i = 0; i < w_.size(); ++i) {
      if (averaging_) a_[i] = a_[i] / a_divisor_ + w_[i] * (w_fraction_ / a_divisor_);
      w_[i] /= w_divisor_;
    }
    w_divisor_ = a_divisor_ = 1;
    w_fraction_ = 0;
  }

  std::vector<double> w_, a_;
  std::size_t hashed_;
  double lambda_;
  double power_;
  bool length_slots_;
  double w_divisor_ = 1, a_divisor_ = 1, w_fraction_ = 0;
  double w_bias_ = 0, a_bias_ = 0;
  bool averaging_ = false;
};

// A fixed pseudo-random order (Fisher-Yates over splitmix64), so that the
// same seed gives the same order on every platform.
std::vector<std::size_t> shuffled(std::size_t n, std::uint64_t seed) {
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::uint64_t state = seed;
  for (std::size_t i = n; i > 1; --i) {
    state = mix(state);
    std::swap(order[i - 1], order[state % i]);
  }
  return order;
}

// Fits rows with labels +1/-1; the two classes get equal total weight.
Fitted fit(std::vector<Row> rows, const TrainSettings& s) {
  const std::size_t dims = (std::size_t{1} << s.features.bits) + kShapeSlots + kLengthSlots;
  double pos = 0, neg = 0;
  for (const Row& r : rows) (r.y > 0 ? pos : neg) += r.c;
  if (pos == 0 || neg == 0) return Fitted{std::vector<double>(dims, 0.0), pos > 0 ? 1.0 : -1.0};
  const double n = static_cast<double>(rows.size());
  for (Row& r : rows) r.c *= n / (2 * (r.y > 0 ? pos : neg));

  const std::vector<std::size_t> first_order = shuffled(rows.size(), s.seed);
  // The step size: the one that does best in one pass over a sample.
  const std::size_t sample = std::min<std::size_t>(rows.size(), 2000);
  std::vector<Row> probe;
  for (std::size_t i = 0; i < sample; ++i) probe.push_back(rows[first_order[i]]);
  double eta0 = 1, best = INFINITY;
  for (double eta : {2.0, 1.0, 0.5, 0.25, 0.125, 0.0625}) {
    AveragedSgd trial(dims, s.features.bits, s.l2, s.length_power, s.adjust_for_length);
    for (const Row& r : probe) trial.step(r, eta, 1, false);
    const double obj = trial.objective(probe);
    if (obj < best) {
      best = obj;
      eta0 = eta;
    }
  }

  AveragedSgd sgd(dims, s.features.bits, s.l2, s.length_power, s.adjust_for_length);
  std::uint64_t t = 0;
  const std::uint64_t average_from = rows.size();
  for (int epoch = 0; epoch < s.epochs; ++epoch) {
    const std::vector<std::size_t> order =
        epoch == 0 ? first_order : shuffled(rows.size(), s.seed + static_cast<std::uint64_t>(epoch));
    for (std::size_t i : order) {
      const double eta = eta0 / std::pow(1 + s.l2 * eta0 * static_cast<double>(t), 0.75);
      const bool averaging = t >= average_from;
      const double mu = averaging ? 1.0 / static_cast<double>(1 + t - average_from) : 1.0;
      sgd.step(rows[i], eta, mu, averaging);
      ++t;
    }
  }
  return sgd.result();
}

// Hashed weights as int8 with one scale; the shape weights as floats.
void quantise(const Fitted& f, std::uint32_t bits, std::vector<std::int8_t>& q, double& scale,
              std::array<float, kShapeSlots>& shape) {
  const std::size_t hashed = std::size_t{1} << bits;
  double max = 0;
  for (std::size_t i = 0; i < hashed; ++i) max = std::max(max, std::abs(f.w[i]));
  scale = max > 0 ? max / 127 : 1;
  q.assign(hashed, 0);
  for (std::size_t i = 0; i < hashed; ++i) {
    q[i] = static_cast<std::int8_t>(std::clamp(std::lround(f.w[i] / scale), -127L, 127L));
  }
  for (std::size_t k = 0; k < kShapeSlots; ++k) shape[k] = static_cast<float>(f.w[hashed + k]);
}

std::vector<Row> attack_rows(std::span<const Example> examples) {
  std::vector<Row> rows;
  rows.reserve(examples.size());
  for (const Example& e : examples)
    rows.push_back({e.features, &e.features->shape_slots, e.attack ? 1.0 : -1.0, e.weight});
  return rows;
}

// The hashed part of a fitted model's score for one window (as the skill
// computes it, in floating point).
double fitted_window_score(const Fitted& f, const BucketCounts& x, double power) {
  const double v = vantrel_core::occurrence_weight(x.occurrences, power);
  double s = 0;
  for (const auto& [b, n] : x.counts) s += f.w[b] * (n * v);
  return s;
}

// Multiple-instance rows: an attack counts by its best window (the passage
// that makes it an attack), a benign text by its `benign_windows` best
// windows (the passages most easily mistaken), each at an equal share of the
// text's weight.
std::vector<Row> window_rows(std::span<const Example> examples, const Fitted& f, const TrainSettings& s) {
  std::vector<Row> rows;
  std::vector<std::pair<double, std::size_t>> ranked;
  for (const Example& e : examples) {
    const auto& windows = e.features->windows;
    if (windows.empty()) continue;
    ranked.clear();
    for (std::size_t k = 0; k < windows.size(); ++k)
      ranked.emplace_back(fitted_window_score(f, windows[k], s.length_power), k);
    // Highest first; ties by position so that the choice is fixed.
    std::sort(ranked.begin(), ranked.end(),
              [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    const std::size_t take = std::min<std::size_t>(e.attack ? 1 : s.benign_windows, ranked.size());
    for (std::size_t k = 0; k < take; ++k) {
      rows.push_back({&windows[ranked[k].second], &e.features->shape_slots, e.attack ? 1.0 : -1.0,
                      e.weight / static_cast<double>(take)});
    }
  }
  return rows;
}

// The attack half of a model, quantised, without calibration.
LinearModelData fit_attack_model(std::span<const Example> examples, const TrainSettings& s) {
  LinearModelData m;
  m.mode = s.mode;
  m.families = s.features.families;
  m.bits = s.features.bits;
  m.positive_type = s.positive_type;
  m.negative_type = s.negative_type;
  m.ratio_cap = s.ratio_cap;
  m.least_ratio = s.least_ratio;
  m.length_power = s.length_power;
  m.window_words = s.features.window_words;
  Fitted f = fit(attack_rows(examples), s);
  if (s.features.window_words > 0) {
    for (int round = 0; round < s.window_rounds; ++round) f = fit(window_rows(examples, f, s), s);
  }
  quantise(f, s.features.bits, m.weights, m.scale, m.shape);
  m.bias = f.bias;
  return m;
}

// The calibration table: at knots spread over the held-out scores (denser
// in the upper tail of the benign ones), the log of the ratio between the
// share of attacks and the share of benign texts scoring at least as high,
// each share smoothed by half a text; made non-decreasing. This is the
// likelihood ratio of "a score this high or higher", so a ratio that blocks
// alone (about 150) is reached only where benign texts are that much rarer
// than attacks.
std::vector<std::pair<double, double>> tail_calibration(const std::vector<double>& scores,
                                                        std::span<const Example> examples) {
  std::vector<double> attack, benign;
  for (std::size_t i = 0; i < scores.size(); ++i) (examples[i].attack ? attack : benign).push_back(scores[i]);
  if (attack.empty() || benign.empty()) return {{0.0, 0.0}};
  std::sort(attack.begin(), attack.end());
  std::sort(benign.begin(), benign.end());
  auto quantile = [](const std::vector<double>& v, double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
  };
  std::vector<double> at;
  for (double q : {0.5, 0.7, 0.8, 0.9, 0.95, 0.97, 0.98, 0.99, 0.993, 0.995, 0.997, 0.998, 0.999, 0.9995})
    at.push_back(quantile(benign, q));
  at.push_back(benign.back());
  for (double q : {0.02, 0.05, 0.1, 0.2, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.9, 0.95, 0.99}) at.push_back(quantile(attack, q));
  std::sort(at.begin(), at.end());
  at.erase(std::unique(at.begin(), at.end()), at.end());
  auto share_at_least = [](const std::vector<double>& v, double s) {
    const auto n = static_cast<double>(v.end() - std::lower_bound(v.begin(), v.end(), s));
    return (n + 0.5) / (static_cast<double>(v.size()) + 1);
  };
  std::vector<std::pair<double, double>> knots;
  double best = -INFINITY;
  for (double s : at) {
    best = std::max(best, std::log(share_at_least(attack, s) / share_at_least(benign, s)));
    knots.emplace_back(s, best);
  }
  return knots;
}

// The operating point: how far the calibration is moved down and the least
// ratio the detector reports. Moderate ratios are worth least where other
// evidence is already near the block (a persona set-up that a phrase almost
// blocks is also what the model half suspects), so the least ratio is chosen
// together with the shift: of the pairs that keep the detector's own blocks
// of benign examples (those the other evidence alone would not block) within
// the settings' shares on held-out scores, the one that blocks the most
// held-out attacks.
struct OperatingPoint {
  double shift = 0;
  double least_ratio = 1;
};

OperatingPoint operating_point(const std::vector<double>& scores, std::span<const Example> examples,
                               std::span<const std::pair<double, double>> calibration, const TrainSettings& s,
                               std::span<const double> least_ratios) {
  const double log_cap = std::log(s.ratio_cap);
  std::vector<std::size_t> benign, attacks;
  std::unordered_map<std::uint32_t, std::size_t> per_source;
  for (std::size_t i = 0; i < examples.size(); ++i) {
    const Example& e = examples[i];
    if (std::isnan(e.context) || e.context >= s.block_log_odds) continue;
    if (e.attack) {
      attacks.push_back(i);
    } else {
      benign.push_back(i);
      ++per_source[e.source];
    }
  }
  OperatingPoint best{0, least_ratios.empty() ? s.least_ratio : least_ratios.front()};
  if (benign.empty()) return best;
  auto blocks = [&](std::size_t i, double shift, double log_least) {
    const double r = vantrel_core::calibrated_log_ratio(calibration, scores[i]) + shift;
    const double c = r < log_least ? 0.0 : std::min(r, log_cap);
    return examples[i].context + c >= s.block_log_odds;
  };
  auto within = [&](double shift, double log_least) {
    std::size_t added = 0;
    std::unordered_map<std::uint32_t, std::size_t> added_in;
    for (std::size_t i : benign) {
      if (!blocks(i, shift, log_least)) continue;
      ++added;
      ++added_in[examples[i].source];
    }
    if (static_cast<double>(added) > s.added_fpr * static_cast<double>(benign.size())) return false;
    // A small source may still lose one text: a share of a few texts would
    // otherwise forbid every block.
    for (const auto& [source, n] : added_in) {
      const auto allowed = static_cast<std::size_t>(s.added_source_fpr * static_cast<double>(per_source[source]));
      if (n > std::max<std::size_t>(1, allowed)) return false;
    }
    return true;
  };
  double best_recall = -1;
  for (double least : least_ratios) {
    if (least < s.least_ratio) continue;
    const double log_least = std::log(least);
    double lo = -100, hi = 0;  // within(lo) holds: nothing reaches the block
    if (within(hi, log_least)) {
      lo = hi;
    } else {
      for (int k = 0; k < 60; ++k) {
        const double mid = (lo + hi) / 2;
        (within(mid, log_least) ? lo : hi) = mid;
      }
    }
    double recall = 0;
    for (std::size_t i : attacks) recall += blocks(i, lo, log_least) ? examples[i].weight : 0;
    if (recall > best_recall) {
      best_recall = recall;
      best = {lo, least};
    }
  }
  return best;
}

}  // namespace

namespace {

// Counts of the buckets in `buckets` (sorted in place).
BucketCounts counted(std::vector<std::uint32_t>& buckets) {
  BucketCounts c;
  c.occurrences = buckets.size();
  std::sort(buckets.begin(), buckets.end());
  for (std::size_t i = 0; i < buckets.size();) {
    std::size_t j = i;
    while (j < buckets.size() && buckets[j] == buckets[i]) ++j;
    c.counts.emplace_back(buckets[i], static_cast<std::uint32_t>(j - i));
    i = j;
  }
  return c;
}

}  // namespace

FeatureCounts count_features(std::string_view normalized, const FeatureSettings& settings) {
  std::string view;
  const vantrel_core::ViewStats stats = vantrel_core::build_classifier_view(normalized, view);
  std::vector<std::vector<std::uint32_t>> blocks(1);
  const std::uint32_t block_words =
      settings.window_words == 0 ? std::numeric_limits<std::uint32_t>::max() : settings.window_words;
  vantrel_core::for_each_hashed_feature_in_blocks(
      view, settings.families, settings.bits, block_words,
      [&](std::uint32_t b, std::uint32_t, std::uint64_t, std::size_t, std::size_t, std::uint32_t) {
        blocks.back().push_back(b);
      },
      [&](std::uint32_t) { blocks.emplace_back(); });
  blocks.pop_back();  // opened after the last block
  std::vector<std::uint32_t> all;
  for (const auto& b : blocks) all.insert(all.end(), b.begin(), b.end());
  FeatureCounts f;
  static_cast<BucketCounts&>(f) = counted(all);
  if (settings.families & vantrel_core::kDistinctFeatures) {
    for (auto& c : f.counts) c.second = 1;
    f.occurrences = f.counts.size();
  }
  if (settings.window_words > 0) {
    for (std::size_t k = blocks.size() == 1 ? 0 : 1; k < blocks.size(); ++k) {
      std::vector<std::uint32_t> window = blocks[k];
      if (k > 0) window.insert(window.end(), blocks[k - 1].begin(), blocks[k - 1].end());
      f.windows.push_back(counted(window));
    }
  }
  if (settings.families & vantrel_core::kShapeFeatures) {
    vantrel_core::for_each_shape_slot(stats, [&](std::uint32_t slot) {
      f.shape_slots.push_back(static_cast<std::uint8_t>(slot));
    });
  }
  return f;
}

std::optional<std::uint32_t> parse_feature_families(std::string_view list) {
  static constexpr std::pair<std::string_view, std::uint32_t> kNames[] = {
      {"words", vantrel_core::kWordFeatures}, {"pairs", vantrel_core::kWordPairFeatures},
      {"char3", vantrel_core::kChar3Features}, {"char4", vantrel_core::kChar4Features},
      {"char5", vantrel_core::kChar5Features}, {"shape", vantrel_core::kShapeFeatures},
      {"distinct", vantrel_core::kDistinctFeatures},
      {"all", vantrel_core::kAllFeatureFamilies}};
  std::uint32_t out = 0;
  std::size_t from = 0;
  while (from <= list.size()) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    const std::string_view name = list.substr(from, comma - from);
    const auto it = std::find_if(std::begin(kNames), std::end(kNames), [&](const auto& n) { return n.first == name; });
    if (it == std::end(kNames)) return std::nullopt;
    out |= it->second;
    from = comma + 1;
  }
  return out;
}

double model_score(const LinearModelData& model, const FeatureCounts& features) {
  auto window_score = [&](const BucketCounts& c) {
    std::int64_t sum = 0;
    for (const auto& [b, n] : c.counts) sum += static_cast<std::int64_t>(model.weights[b]) * n;
    return model.scale * static_cast<double>(sum) * vantrel_core::occurrence_weight(c.occurrences, model.length_power);
  };
  double hashed = -std::numeric_limits<double>::infinity();
  if (model.window_words == 0) {
    hashed = window_score(features);
  } else {
    for (const BucketCounts& w : features.windows) hashed = std::max(hashed, window_score(w));
  }
  double shape = 0;
  for (std::uint8_t slot : features.shape_slots) shape += model.shape[slot];
  return model.bias + hashed + shape;
}

std::vector<double> out_of_fold_scores(std::span<const Example> examples, const TrainSettings& settings) {
  const auto folds = static_cast<std::uint64_t>(std::max(settings.calibration_folds, 2));
  std::vector<double> scores(examples.size(), 0.0);
  for (std::uint64_t k = 0; k < folds; ++k) {
    std::vector<Example> train;
    for (const Example& e : examples) {
      if (e.fold % folds != k) train.push_back(e);
    }
    const LinearModelData m = fit_attack_model(train, settings);
    for (std::size_t i = 0; i < examples.size(); ++i) {
      if (examples[i].fold % folds == k) scores[i] = model_score(m, *examples[i].features);
    }
  }
  return scores;
}

LinearModelData train_model(std::span<const Example> examples, const TrainSettings& settings) {
  LinearModelData m = fit_attack_model(examples, settings);
  if (settings.calibration_folds >= 2) {
    const std::vector<double> held_out = out_of_fold_scores(examples, settings);
    m.calibration = tail_calibration(held_out, examples);
    // The detector reports only a ratio that blocks on its own: measured on
    // sources held out of training, moderate ratios added to a phrase match
    // that almost blocks were what blocked benign persona set-ups, which the
    // held-out folds of the training data cannot show.
    const double candidates[] = {std::max(settings.least_ratio,
                                          std::exp(settings.block_log_odds - settings.prior_log_odds))};
    OperatingPoint op = operating_point(held_out, examples, m.calibration, settings, candidates);
    for (auto& knot : m.calibration) knot.second += op.shift;
    m.least_ratio = op.least_ratio;
    // The shipped model must keep the same limits on the texts it learnt
    // from, where it may score a long benign prompt higher than any fold did.
    std::vector<double> own(examples.size());
    for (std::size_t i = 0; i < examples.size(); ++i) own[i] = model_score(m, *examples[i].features);
    const double least[] = {m.least_ratio};
    op = operating_point(own, examples, m.calibration, settings, least);
    for (auto& knot : m.calibration) knot.second += op.shift;
  }
  std::vector<Row> typed;
  for (const Example& e : examples) {
    if (e.attack && e.type >= 0)
      typed.push_back({e.features, &e.features->shape_slots, e.type == 1 ? 1.0 : -1.0, e.weight});
  }
  const Fitted t = fit(std::move(typed), settings);
  std::array<float, kShapeSlots> shape_type{};
  quantise(t, settings.features.bits, m.type_weights, m.type_scale, shape_type);
  m.shape_type = shape_type;
  m.type_bias = t.bias;
  return m;
}

}  // namespace vantrel_tools
