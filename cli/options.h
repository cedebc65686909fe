// Command-line grammar of the `vantrel` program: command dispatch, the options
// of `scan` and `stream`, and the gate configuration they select.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vantrel/options.h"
#include "vantrel/result.h"
#include "vantrel/scanner.h"

namespace vantrel {

// Thresholds, mode and warning switch shared by the one-shot scan and the
// daemon; the defaults are the library's.
struct ScanOptions {
  double block_threshold = GateConfig().block_threshold;
  double allow_threshold = GateConfig().allow_threshold;
  double prior = GateConfig().prior;
  vantrel_core::ScanMode mode = vantrel_core::ScanMode::Input;
  bool warning_mode = GateConfig().warning_mode_enabled;
};

struct ScanArgs {
  std::optional<std::string> input;
  bool json = false;
  bool exit_on_threat = false;
  bool quiet = false;
  bool stdin_daemon = false;
  std::optional<std::string> patterns;
  ScanOptions options;
};

struct StreamArgs {
  bool json = false;
  bool exit_on_threat = false;
  bool quiet = false;
  ScanOptions options;  // mode unused
};

struct VersionCommand {};
struct HelpCommand {};
struct ParseError {
  std::string message;
};

using Command = std::variant<ScanArgs, StreamArgs, VersionCommand, HelpCommand, ParseError>;

// Dispatches on args[0] (the first argument after the program name).
Command parse_command(const std::vector<std::string>& args);

// "input" or "output", exactly; anything else is the invalid-mode message.
std::variant<vantrel_core::ScanMode, std::string> parse_scan_mode(std::string_view text);

// Decimal floating-point text as the options accept it: optional sign, digits
// with an optional fraction (or a fraction alone), optional exponent; or inf,
// infinity, nan in any case. No whitespace, separators or hex.
std::optional<double> parse_float(std::string_view text);

// The gate configuration these options select: the library's defaults with
// the thresholds, prior and warning switch of the command line.
GateConfig make_gate_config(const ScanOptions& options);

// What every scanner of this program is built from: make_gate_config, the
// pattern file of --patterns, the pattern-file search and profile variables
// a library caller gets only when asking, and the learned detector as
// VANTREL_CLASSIFIER chooses it (classifier_from_environment).
ScannerOptions make_scanner_options(const ScanOptions& options,
                                    const std::optional<std::string>& patterns_path);

// The learned detector VANTREL_CLASSIFIER asks for: unset, empty, "0" or not
// valid UTF-8 leave it off, "1" is the built-in model, anything else the
// path of a model file. Sets options.classifier and classifier_model_file.
void classifier_from_environment(ScannerOptions& options);

// The line (without its line feed) that reports a scanner that could not be
// built: "Error loading patterns: ..." or "Error loading classifier model
// '<file>': <why>".
std::string scanner_failure_line(const Error& error);

}  // namespace vantrel
