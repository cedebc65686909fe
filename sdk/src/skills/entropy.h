// Byte entropy, and the second-tier skill that turns high entropy into evidence.
#pragma once

#include <cstddef>
#include <string_view>

#include "skill.h"

namespace vantrel_core {

// Shannon entropy in bits per byte over the 256 byte values; 0 for empty input.
double byte_entropy(std::string_view bytes);

// Immutable; safe to share.
class EntropySkill final : public Skill {
 public:
  EntropySkill(double elevated_threshold = 4.5, double high_threshold = 5.0,
               std::size_t min_length = 16, double elevated_lr = 10.0, double high_lr = 25.0)
      : elevated_threshold_(elevated_threshold),
        high_threshold_(high_threshold),
        min_length_(min_length),
        elevated_lr_(elevated_lr),
        high_lr_(high_lr) {}

  std::string_view name() const override { return "entropy"; }
  std::uint8_t tier() const override { return kSecondTier; }
  SkillOutput scan(std::string_view text) const override;

 private:
  double elevated_threshold_;
  double high_threshold_;
  std::size_t min_length_;
  double elevated_lr_;
  double high_lr_;
};

}  // namespace vantrel_core
