// The one-shot `scan` command and the scanner construction shared with the daemon.
#pragma once

#include <optional>
#include <string>

#include "options.h"
#include "vantrel/scanner.h"

namespace vantrel {

// Says on standard error when the built-in database was read from a pattern
// file in the working directory (a stray file there replaces it).
void warn_if_working_directory_patterns(const Scanner& scanner);

// The scanner for these options (make_scanner_options), with the file's
// records added when a path is given.
Expected<Scanner, Error> scanner_with_optional_patterns(const ScanOptions& options,
                                                       const std::optional<std::string>& patterns_path);

// Runs the one-shot scan (or the daemon with --stdin); returns the exit code.
int cmd_scan(const ScanArgs& args);

}  // namespace vantrel
