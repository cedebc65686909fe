// The only first-tier skill: undoes common ways of hiding a phrase from the
// phrase matcher and reports what it undid.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "skill.h"

namespace vantrel_core {

struct DecodeResult {
  std::vector<Signal> signals;
  std::vector<std::string> decoded;  // same length as signals
};

// Immutable; safe to share.
class NormalizationSkill final : public Skill {
 public:
  explicit NormalizationSkill(double invisible_ratio_threshold = 0.05)
      : invisible_ratio_threshold_(invisible_ratio_threshold) {}

  std::string_view name() const override { return "normalize"; }
  std::uint8_t tier() const override { return kFirstTier; }
  SkillOutput scan(std::string_view text) const override;

  // Finds base64 and hex payloads that decode to readable text, and decodes
  // those once more; depth 2 and beyond returns nothing.
  static DecodeResult decode_recursive(std::string_view text, unsigned depth);

  double invisible_ratio_threshold() const { return invisible_ratio_threshold_; }

 private:
  double invisible_ratio_threshold_;
};

}  // namespace vantrel_core
