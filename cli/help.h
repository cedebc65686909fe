// Fixed texts of the `help` and `version` commands.
#pragma once

#include <string_view>

namespace vantrel {

extern const std::string_view kHelpText;     // 4246 bytes, printed unchanged
extern const std::string_view kVersionText;  // three lines

}  // namespace vantrel
