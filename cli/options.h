// Command-line grammar of the `vantrel` program: command dispatch, the options
// of `scan` and `stream`, and the gate configuration they select.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "vantrel/config.h"
#include "vantrel/result.h"

namespace vantrel {

// Thresholds, mode and warning switch shared by the one-shot scan and the daemon.
struct ScanOptions {
  double block_threshold = 0.9;
  double allow_threshold = 0.1;
  double prior = 0.01;
  vantrel_core::ScanMode mode = vantrel_core::ScanMode::Input;
  bool warning_mode = true;
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

// The configuration every scanner of this program uses.
vantrel_core::GateConfig make_gate_config(const ScanOptions& options);

}  // namespace vantrel
