// Detects, in a model's response, signs that an attack succeeded: a disclosed
// system prompt, compliance with a harmful request, or an announced bypass.
#pragma once

#include <string_view>

#include "skill.h"

namespace vantrel_core {

// Immutable; safe to share. Called directly by output scans and the stream
// scanner, not through the tier lists.
class OutputSkill {
 public:
  OutputSkill();
  SkillOutput scan(std::string_view text) const;
};

}  // namespace vantrel_core
