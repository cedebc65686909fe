// Second-tier skill that judges the shape of a text: repetition, character
// class ratios and chat-template role markers.
#pragma once

#include "skill.h"

namespace vantrel_core {

// Stateless; safe to share.
class StatsSkill final : public Skill {
 public:
  std::string_view name() const override { return "stats"; }
  std::uint8_t tier() const override { return kSecondTier; }
  SkillOutput scan(std::string_view text) const override;
};

}  // namespace vantrel_core
