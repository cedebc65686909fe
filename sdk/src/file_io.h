// Whole-file reads for the pattern database, score profiles and classifier
// models.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vantrel/expected.h"

namespace vantrel_core {

// Reads the whole file as UTF-8 text; relative paths resolve against the
// working directory. The error is the operating system's description (or
// "stream did not contain valid UTF-8").
Expected<std::string, std::string> read_text_file(const std::string& path);

// Reads the whole file as bytes, refusing one larger than `max_bytes` before
// reading it (or, for a pipe or device, once it has read that much). The
// error is the operating system's description or "larger than N bytes".
Expected<std::vector<std::byte>, std::string> read_binary_file(const std::string& path,
                                                               std::size_t max_bytes);

}  // namespace vantrel_core
