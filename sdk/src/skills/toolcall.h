// Phrases that mark dangerous arguments of a tool call an agent is about to
// make: path traversal, secrets, destructive commands, code execution, SQL
// injection, reverse shells.
#pragma once

#include <string_view>

#include "matcher.h"
#include "skill.h"

namespace vantrel_core {

// Immutable; safe to share.
class ToolCallSkill {
 public:
  // Builds the matcher; stops the process if the fixed table cannot be compiled.
  ToolCallSkill();

  // One "toolcall"/"tool_call" signal per match, in text order, with the
  // row's ratio and description; ToolManipulation when anything matched.
  SkillOutput scan(std::string_view arguments) const;

 private:
  PhraseMatcher matcher_;
};

}  // namespace vantrel_core
