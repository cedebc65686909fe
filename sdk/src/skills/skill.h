// The interface every detector implements, and what one of its scans returns.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/result.h"

namespace vantrel_core {

struct SkillOutput {
  std::vector<Signal> signals;                // in the skill's own order
  std::optional<std::string> normalized_text;  // rewrite for later tiers to scan
  std::optional<NormalizationReport> normalization;
  ThreatType threat_type = ThreatType::Benign;
};

inline constexpr std::uint8_t kFirstTier = 0;
inline constexpr std::uint8_t kSecondTier = 1;

// A detector. Implementations are immutable once built and keep no state
// between scans, so one instance may serve concurrent scans.
class Skill {
 public:
  virtual ~Skill() = default;
  // Fixed name; also the `skill` of the signals it emits.
  virtual std::string_view name() const = 0;
  // kFirstTier (normalization) or kSecondTier (detection).
  virtual std::uint8_t tier() const = 0;
  // Findings for one UTF-8 text. Never fails.
  virtual SkillOutput scan(std::string_view text) const = 0;
};

}  // namespace vantrel_core
