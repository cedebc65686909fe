// Log-odds arithmetic shared by the gate, result assembly, score profiles and
// the stream scanner.
#pragma once

#include <algorithm>
#include <cmath>

namespace vantrel_core {

inline constexpr double kMinProbability = 1e-15;
inline constexpr double kMaxProbability = 0.999999999999999;  // 0x3FEFFFFFFFFFFFF7

inline double clamp_probability(double x) {
  // std::clamp would pass NaN through unchanged; so does this, on purpose:
  // NaN configuration values are scanned as given.
  if (x < kMinProbability) return kMinProbability;
  if (x > kMaxProbability) return kMaxProbability;
  return x;
}

// ln(x / (1 - x)) with x clamped into [1e-15, 0.999999999999999].
inline double logit(double x) {
  x = clamp_probability(x);
  return std::log(x / (1.0 - x));
}

// Numerically stable logistic function.
inline double sigmoid(double z) {
  if (z >= 0) return 1.0 / (1.0 + std::exp(-z));
  const double e = std::exp(z);
  return e / (1.0 + e);
}

// x / (1 - x) after clamping x into [1e-15, 0.999999999999999].
inline double odds(double x) {
  x = clamp_probability(x);
  return x / (1.0 - x);
}

// odds(score) / odds(prior), clamped into [1e-15, 1e15].
inline double effective_likelihood_ratio(double score, double prior) {
  const double r = odds(score) / odds(prior);
  if (r < 1e-15) return 1e-15;
  if (r > 1e15) return 1e15;
  return r;
}

}  // namespace vantrel_core
