#include "entropy.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <string>

#include "vantrel/text.h"

namespace vantrel_core {

namespace {
// Shorter texts cannot spread over enough byte values for the high signal.
constexpr std::size_t kHighEntropyMinLength = 32;
}  // namespace

double byte_entropy(std::string_view bytes) {
  if (bytes.empty()) return 0.0;
  std::array<std::uint64_t, 256> counts{};
  for (unsigned char b : bytes) ++counts[b];
  const double n = static_cast<double>(bytes.size());
  double h = 0.0;
  for (std::uint64_t c : counts) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / n;
    h -= p * std::log2(p);
  }
  return h;
}

SkillOutput EntropySkill::scan(std::string_view text) const {
  SkillOutput out;
  if (text.size() < min_length_) return out;
  const double h = byte_entropy(text);

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
