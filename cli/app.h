// Process entry of the `vantrel` program, callable from tests.
#pragma once

#include <string>
#include <vector>

namespace vantrel {

// Runs the command in `args` (program name excluded); returns the exit code.
int run(const std::vector<std::string>& args);

}  // namespace vantrel
