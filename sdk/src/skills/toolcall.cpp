#include "toolcall.h"

namespace vantrel_core {

// Placeholder until the tool-call skill lands.
ToolCallSkill::ToolCallSkill() = default;
SkillOutput ToolCallSkill::scan(std::string_view) const { return {}; }

}  // namespace vantrel_core
