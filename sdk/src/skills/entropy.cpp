#include "entropy.h"

#include <array>
#include <cmath>
#include <cstdint>

namespace vantrel_core {

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

// Placeholder until the entropy skill lands.
SkillOutput EntropySkill::scan(std::string_view) const { return {}; }

}  // namespace vantrel_core
