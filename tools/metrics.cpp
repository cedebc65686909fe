#include "metrics.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>

namespace vantrel_tools {

std::vector<double> sorted_descending(std::vector<double> scores) {
  std::sort(scores.begin(), scores.end(), std::greater<>());
  return scores;
}

double cut_at_fpr(std::span<const double> benign_desc, double fpr) {
  const double budget = std::floor(fpr * static_cast<double>(benign_desc.size()));
  const auto allowed = static_cast<std::size_t>(std::max(budget, 0.0));
  if (allowed >= benign_desc.size()) return -std::numeric_limits<double>::infinity();
  return benign_desc[allowed];
}

namespace {

// Attack scores strictly above `cut`, given the attack scores ascending.
std::size_t above(const std::vector<double>& attack_asc, double cut) {
  return static_cast<std::size_t>(attack_asc.end() -
                                  std::upper_bound(attack_asc.begin(), attack_asc.end(), cut));
}

}  // namespace

double recall_at_fpr(std::span<const double> attack, std::span<const double> benign_desc,
                     double fpr) {
  if (attack.empty() || benign_desc.empty()) return NAN;
  const double cut = cut_at_fpr(benign_desc, fpr);
  std::size_t hits = 0;
  for (double s : attack) hits += s > cut ? 1 : 0;
  return rate(hits, attack.size());
}

std::vector<RocPoint> roc_curve(std::span<const double> attack,
                                std::span<const double> benign_desc) {
  std::vector<RocPoint> points;
  if (attack.empty() || benign_desc.empty()) return points;
  std::vector<double> attack_asc(attack.begin(), attack.end());
  std::sort(attack_asc.begin(), attack_asc.end());
  // With benign_desc[i] as the cut, exactly the i benign scores before its
  // first occurrence lie above it.
  for (std::size_t i = 0; i < benign_desc.size(); ++i) {
    if (i > 0 && benign_desc[i] == benign_desc[i - 1]) continue;
    points.push_back(
        {rate(i, benign_desc.size()), rate(above(attack_asc, benign_desc[i]), attack.size())});
  }
  points.push_back({1.0, 1.0});
  return points;
}

double rate(std::size_t count, std::size_t n) {
  return n == 0 ? NAN : static_cast<double>(count) / static_cast<double>(n);
}

}  // namespace vantrel_tools
