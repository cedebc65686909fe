#include "metrics.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace vantrel_tools {
namespace {

TEST(Metrics, CutKeepsTheFalsePositiveBudget) {
  // 1000 benign scores 0..999, highest first: a 0.1 % budget lets one through.
  std::vector<double> benign;
  for (int i = 0; i < 1000; ++i) benign.push_back(i);
  benign = sorted_descending(benign);
  EXPECT_EQ(cut_at_fpr(benign, 0.001), 998.0);
  EXPECT_EQ(cut_at_fpr(benign, 0.005), 994.0);
  EXPECT_EQ(cut_at_fpr(benign, 0.0), 999.0);  // nothing may pass: cut at the top score
  EXPECT_EQ(cut_at_fpr(benign, 1.0), -std::numeric_limits<double>::infinity());
  // A budget below one text rounds down to none.
  const std::vector<double> few = {5, 4, 3};
  EXPECT_EQ(cut_at_fpr(few, 0.01), 5.0);
}

TEST(Metrics, RecallCountsAttacksStrictlyAboveTheCut) {
  const std::vector<double> benign =
      sorted_descending({0.1, 0.2, 0.9, 0.3, 0.4, 0.5, 0.6, 0.7, 0.8, 0.95});
  // 10 % of 10 benign texts: one may pass, so the cut is the second highest, 0.9.
  const std::vector<double> attack = {0.91, 0.9, 0.99, 0.2};
  EXPECT_DOUBLE_EQ(recall_at_fpr(attack, benign, 0.1), 0.5);  // 0.9 ties the cut and is not counted
  EXPECT_DOUBLE_EQ(recall_at_fpr(attack, benign, 0.0), 1.0 / 4);
  EXPECT_DOUBLE_EQ(recall_at_fpr(attack, benign, 1.0), 1.0);
  EXPECT_TRUE(std::isnan(recall_at_fpr({}, benign, 0.1)));
  EXPECT_TRUE(std::isnan(recall_at_fpr(attack, {}, 0.1)));
}

TEST(Metrics, TiedBenignScoresAreNeverSplit) {
  // Five benign texts share the top score: a budget of two cannot separate
  // them, so the cut stays at that score and no benign text passes.
  const std::vector<double> benign = sorted_descending({7, 7, 7, 7, 7, 1, 1, 1, 1, 1});
  EXPECT_EQ(cut_at_fpr(benign, 0.2), 7.0);
  const std::vector<double> attack = {7, 8};
  EXPECT_DOUBLE_EQ(recall_at_fpr(attack, benign, 0.2), 0.5);
}

TEST(Metrics, CurveStepsThroughDistinctBenignScores) {
  const std::vector<double> benign = sorted_descending({3, 3, 2, 1});
  const std::vector<double> attack = {4, 3, 2.5, 0};
  const std::vector<RocPoint> curve = roc_curve(attack, benign);
  ASSERT_EQ(curve.size(), 4u);
  // cut 3: no benign above, attack 4 above.
  EXPECT_DOUBLE_EQ(curve[0].fpr, 0.0);
  EXPECT_DOUBLE_EQ(curve[0].recall, 0.25);
  // cut 2: both 3s above; attacks 4, 3, 2.5.
  EXPECT_DOUBLE_EQ(curve[1].fpr, 0.5);
  EXPECT_DOUBLE_EQ(curve[1].recall, 0.75);
  // cut 1: three benign above; the same attacks.
  EXPECT_DOUBLE_EQ(curve[2].fpr, 0.75);
  EXPECT_DOUBLE_EQ(curve[2].recall, 0.75);
  EXPECT_DOUBLE_EQ(curve[3].fpr, 1.0);
  EXPECT_DOUBLE_EQ(curve[3].recall, 1.0);
  // Each point agrees with the single-point computation at its rate.
  EXPECT_DOUBLE_EQ(recall_at_fpr(attack, benign, 0.5), curve[1].recall);
  EXPECT_TRUE(roc_curve({}, benign).empty());
  EXPECT_TRUE(std::isnan(rate(1, 0)));
}

}  // namespace
}  // namespace vantrel_tools
