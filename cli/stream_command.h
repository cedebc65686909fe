// The `stream` command: follows a model's output line by line and reports the
// first threat as soon as it is found.
#pragma once

#include "options.h"

namespace vantrel {

// Runs until end of input (or the first threat with -e); returns the exit code.
int cmd_stream(const StreamArgs& args);

}  // namespace vantrel
