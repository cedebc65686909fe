#include "stats.h"

namespace vantrel_core {

// Placeholder until the statistics skill lands.
SkillOutput StatsSkill::scan(std::string_view) const { return {}; }

}  // namespace vantrel_core
