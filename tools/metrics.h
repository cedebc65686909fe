// Detection-quality figures from decision scores: the cut that keeps the
// false-positive rate within a budget, recall at that cut, and the whole
// recall-against-false-positive-rate curve.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace vantrel_tools {

// Scores of benign texts sorted highest first, as the functions below expect.
std::vector<double> sorted_descending(std::vector<double> scores);

// The highest cut c such that at most floor(fpr * n) of the n benign scores
// lie strictly above it: texts scoring above c are flagged. Ties are never
// split, so the rate reached can be lower than the budget. -infinity (flag
// everything) when the budget covers every benign text.
double cut_at_fpr(std::span<const double> benign_desc, double fpr);

// Share of attack scores strictly above cut_at_fpr(benign_desc, fpr); NaN when
// either list is empty.
double recall_at_fpr(std::span<const double> attack, std::span<const double> benign_desc,
                     double fpr);

struct RocPoint {
  double fpr = 0;
  double recall = 0;
};

// One point per distinct benign score used as the cut, strictest first, then
// the point where everything is flagged (1, 1). Empty when either list is.
std::vector<RocPoint> roc_curve(std::span<const double> attack,
                                std::span<const double> benign_desc);

// count / n, or NaN for n == 0.
double rate(std::size_t count, std::size_t n);

}  // namespace vantrel_tools
