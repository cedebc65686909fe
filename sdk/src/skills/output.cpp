#include "output.h"

namespace vantrel_core {

// Placeholder until the output skill lands.
OutputSkill::OutputSkill() = default;
SkillOutput OutputSkill::scan(std::string_view) const { return {}; }

}  // namespace vantrel_core
