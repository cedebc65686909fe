// Whole-file reads for the pattern database and score profiles.
#pragma once

#include <string>

#include "vantrel/expected.h"

namespace vantrel_core {

// Reads the whole file as UTF-8 text; relative paths resolve against the
// working directory. The error is the operating system's description (or
// "stream did not contain valid UTF-8").
Expected<std::string, std::string> read_text_file(const std::string& path);

}  // namespace vantrel_core
