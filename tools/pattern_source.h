// The pattern database a data tool works with: the built-in one, or a
// candidate file that replaces it for the run (so a database can be measured
// before it is built into the program).
#pragma once

#include <optional>
#include <string>

#include "skills/pattern.h"
#include "vantrel/expected.h"

namespace vantrel_tools {

// The built-in database without a path; with one, the file's records alone.
// The error is the message to show.
vantrel_core::Expected<vantrel_core::PatternSkill, std::string> load_pattern_skill(
    const std::optional<std::string>& path);

}  // namespace vantrel_tools
