// Daemon mode (`scan --stdin`): one JSON request per input line, one JSON
// response per output line, one scanner for the life of the process.
#pragma once

#include <optional>
#include <string>

#include "options.h"

namespace vantrel {

// Serves requests until end of input; returns the exit code.
int run_daemon(const std::optional<std::string>& patterns_path, const ScanOptions& options);

// {"id":"<id>","error":"<message>"}, both escaped, without a line ending.
std::string format_stdin_error(std::string_view id, std::string_view message);

}  // namespace vantrel
