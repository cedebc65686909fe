#include "entropy.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "vantrel/text.h"

namespace vantrel_core {

namespace {

// Shorter texts cannot spread over enough byte values for the high signal.
constexpr std::size_t kHighEntropyMinLength = 32;

// log2 x for x >= 1, in constant expressions: x = m * 2^e with m in [1, 2),
// ln m = 2 atanh((m - 1) / (m + 1)) by its series. Within a few units in the
// last place; used only for the bound below.
constexpr double constexpr_log2(double x) {
  int e = 0;
  while (x >= 2.0) {
    x /= 2.0;
    ++e;
  }
  const double z = (x - 1.0) / (x + 1.0);
  const double z2 = z * z;
  double term = z;
  double sum = 0.0;
  for (int k = 1; term > 1e-20; k += 2, term *= z2) sum += term / k;
  return e + 2.0 * sum / 0.69314718055994530942;
}

// c log2 c for the counts a short text has.
constexpr std::size_t kTabulatedCounts = 512;
constexpr auto kCountLog2Count = [] {
  std::array<double, kTabulatedCounts> t{};
  for (std::size_t c = 1; c < t.size(); ++c)
    t[c] = static_cast<double>(c) * constexpr_log2(static_cast<double>(c));
  return t;
}();

// The entropy of `counts` over n bytes as log2 n - (1/n) sum c log2 c, from
// the table where it can: within far less than kBoundMargin of the exact
// value, however it is rounded.
constexpr double kBoundMargin = 1e-9;
double approximate_entropy(const std::array<std::uint64_t, 256>& counts, std::size_t n) {
  const auto c_log2_c = [](std::uint64_t c) {
    return c < kTabulatedCounts ? kCountLog2Count[c]
                                : static_cast<double>(c) * std::log2(static_cast<double>(c));
  };
  double sum = 0.0;
  for (std::uint64_t c : counts) sum += c_log2_c(c);
  const double dn = static_cast<double>(n);
  return c_log2_c(n) / dn - sum / dn;
}

// Adds each byte value's count. Four tables take the bytes in turn, so runs
// of one value do not wait on the same counter; 32-bit counters keep them in
// few cache lines, and chunks keep them from overflowing.
// Short texts count straight into `counts`: clearing and merging the tables
// would cost more than it saves.
void count_bytes(std::string_view bytes, std::array<std::uint64_t, 256>& counts) {
  constexpr std::size_t kShort = 4096;
  if (bytes.size() < kShort) {
    for (unsigned char b : bytes) ++counts[b];
    return;
  }
  constexpr std::size_t kChunk = std::size_t{1} << 30;
  std::array<std::array<std::uint32_t, 256>, 4> part;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t done = 0; done < bytes.size();) {
    const std::size_t end = done + std::min(kChunk, bytes.size() - done);
    for (auto& t : part) t.fill(0);
    std::size_t i = done;
    for (; i + 8 <= end; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      ++part[0][w & 0xFF];
      ++part[1][(w >> 8) & 0xFF];
      ++part[2][(w >> 16) & 0xFF];
      ++part[3][(w >> 24) & 0xFF];
      ++part[0][(w >> 32) & 0xFF];
      ++part[1][(w >> 40) & 0xFF];
      ++part[2][(w >> 48) & 0xFF];
      ++part[3][w >> 56];
    }
    for (; i < end; ++i) ++part[0][p[i]];
    for (std::size_t v = 0; v < 256; ++v) {
      counts[v] += std::uint64_t{part[0][v]} + part[1][v] + part[2][v] + part[3][v];
    }
    done = end;
  }
}

// Shannon entropy of the counts, summed over byte values in order. Equal
// counts give equal probabilities, so each distinct count small enough to
// remember takes its logarithm once; every term is then exactly the one
// -p log2 p computes.
double entropy_of(const std::array<std::uint64_t, 256>& counts, std::size_t size) {
  constexpr std::uint64_t kRemembered = 64;
  std::array<double, kRemembered> log2_of_count;
  std::uint64_t known = 0;  // bit c: log2_of_count[c] is set
  const double n = static_cast<double>(size);
  double h = 0.0;
  for (std::uint64_t c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    if (c >= kRemembered) {
      h -= p * std::log2(p);
      continue;
    }
    if (!((known >> c) & 1)) {
      log2_of_count[c] = std::log2(p);
      known |= std::uint64_t{1} << c;
    }
    h -= p * log2_of_count[c];
  }
  return h;
}

}  // namespace

double byte_entropy(std::string_view bytes) {
  if (bytes.empty()) return 0.0;
  std::array<std::uint64_t, 256> counts{};
  count_bytes(bytes, counts);
  return entropy_of(counts, bytes.size());
}

SkillOutput EntropySkill::scan(std::string_view text) const {
  SkillOutput out;
  if (text.size() < min_length_) return out;
  std::array<std::uint64_t, 256> counts{};
  count_bytes(text, counts);
  // Most texts are far below both thresholds: the table's bound settles
  // that without a logarithm. Only a text that may reach one gets its exact
  // entropy, the value a signal reports.
  const double bound = approximate_entropy(counts, text.size()) + kBoundMargin;
  const bool may_be_high = text.size() >= kHighEntropyMinLength && !(bound < high_threshold_);
  if (!may_be_high && bound < elevated_threshold_) return out;
  const double h = entropy_of(counts, text.size());

  const bool high = text.size() >= kHighEntropyMinLength && h >= high_threshold_;
  if (!high && !(h >= elevated_threshold_)) return out;

  std::string desc;
  desc.reserve(112);
  desc += high ? "Very high entropy detected: " : "Elevated entropy detected: ";
  append_fixed(desc, h, 2);
  desc += " bits/char (threshold: ";
  append_fixed(desc, high ? high_threshold_ : elevated_threshold_, 1);
  desc += high ? "). Likely obfuscated or encoded content." : "). May indicate obfuscation.";

  Signal sig("entropy", high ? "high_entropy" : "suspicious_entropy", std::move(desc),
             high ? high_lr_ : elevated_lr_);
  sig.raw_score = h;
  out.signals.push_back(std::move(sig));
  out.threat_type = ThreatType::EncodingAttack;
  return out;
}

}  // namespace vantrel_core
