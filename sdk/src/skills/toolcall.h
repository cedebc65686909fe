// Phrases that mark dangerous arguments of a tool call an agent is about to
// make: path traversal, secrets, destructive commands, code execution, SQL
// injection, reverse shells.
#pragma once

#include <string_view>

#include "skill.h"

namespace vantrel_core {

// Immutable; safe to share.
class ToolCallSkill {
 public:
  ToolCallSkill();
  SkillOutput scan(std::string_view arguments) const;
};

}  // namespace vantrel_core
