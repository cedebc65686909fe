// Second-tier skill that judges the shape of a text: repetition, character
// class ratios and chat-template role markers.
#pragma once

#include <cstddef>
#include <string_view>

#include "skill.h"

namespace vantrel_core {

// Size of the text written as (count, byte) runs, relative to its length: a
// run of n equal bytes costs n's decimal digits plus one. Not for empty text.
double run_length_ratio(std::string_view text);

struct ClassCounts {
  std::size_t letters = 0;  // ASCII letters only
  std::size_t upper = 0;    // A-Z
  std::size_t digits = 0;   // 0-9
  std::size_t spaces = 0;   // Unicode White_Space
  std::size_t symbols = 0;  // everything else, non-ASCII letters included
};

// Classifies every character; bytes of malformed UTF-8 count one symbol each.
ClassCounts count_classes(std::string_view text);

// Stateless; safe to share.
class StatsSkill final : public Skill {
 public:
  std::string_view name() const override { return "stats"; }
  std::uint8_t tier() const override { return kSecondTier; }
  SkillOutput scan(std::string_view text) const override;
};

}  // namespace vantrel_core
