#include "options.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "vantrel/text.h"

namespace vantrel {

using vantrel_core::ScanMode;

std::variant<ScanMode, std::string> parse_scan_mode(std::string_view text) {
  if (text == "input") return ScanMode::Input;
  if (text == "output") return ScanMode::Output;
  return "Invalid mode '" + std::string(text) + "'. Use 'input' or 'output'.";
}

namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != b[i]) return false;
  }
  return true;
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

bool matches_decimal_grammar(std::string_view s) {
  std::size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  const std::string_view rest = s.substr(i);
  if (iequals(rest, "inf") || iequals(rest, "infinity") || iequals(rest, "nan")) return true;
  std::size_t int_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  std::size_t frac_digits = 0;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits == 0 && frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

std::optional<double> parse_float(std::string_view text) {
  if (!matches_decimal_grammar(text)) return std::nullopt;
  // The grammar is a subset of what strtod reads, and this program never
  // changes the C locale, so the conversion is exact and complete.
  const std::string s(text);
  return std::strtod(s.c_str(), nullptr);
}

GateConfig make_gate_config(const ScanOptions& o) {
  GateConfig c;
  c.block_threshold = o.block_threshold;
  c.allow_threshold = o.allow_threshold;
  c.prior = o.prior;
  c.warning_mode_enabled = o.warning_mode;
  return c;
}

ScannerOptions make_scanner_options(const ScanOptions& options,
                                    const std::optional<std::string>& patterns_path) {
  ScannerOptions s;
  s.gate = make_gate_config(options);
  s.patterns_file = patterns_path;
  s.search_pattern_files = true;
  s.read_profile_environment = true;
  classifier_from_environment(s);
  return s;
}

void classifier_from_environment(ScannerOptions& options) {
  const char* value = std::getenv("VANTREL_CLASSIFIER");
  const std::string_view v = value == nullptr ? std::string_view() : std::string_view(value);
  if (v.empty() || v == "0" || !vantrel_core::is_valid_utf8(v)) {
    options.classifier = ClassifierModelSource::kOff;
  } else if (v == "1") {
    options.classifier = ClassifierModelSource::kBuiltIn;
  } else {
    options.classifier = ClassifierModelSource::kFile;
    options.classifier_model_file = std::string(v);
  }
}

std::string scanner_failure_line(const Error& error) {
  if (error.code == ErrorCode::kClassifierModelUnusable) {
    return "Error loading classifier model " + error.short_message;
  }
  return "Error loading patterns: " + error.short_message;
}

namespace {

// A preset sets the thresholds and the prior only.
void apply_preset(const ScannerOptions& preset, ScanOptions& o) {
  o.block_threshold = preset.gate.block_threshold;
  o.allow_threshold = preset.gate.allow_threshold;
  o.prior = preset.gate.prior;
}

// Options both commands share. Returns true when `arg` was one of them;
// `error` is set when its value is missing or malformed.
bool parse_shared_option(const std::vector<std::string>& args, std::size_t& i, ScanOptions& o,
                         bool& json, bool& exit_on_threat, bool& quiet,
                         std::optional<std::string>& error) {
  const std::string& a = args[i];
  auto take_float = [&](const char* requires_msg, const char* invalid_msg, double& target) {
    if (i + 1 >= args.size()) {
      error = requires_msg;
      return;
    }
    const std::optional<double> v = parse_float(args[++i]);
    if (!v) {
      error = invalid_msg;
      return;
    }
    target = *v;
  };
  if (a == "-j" || a == "--json") {
    json = true;
  } else if (a == "-e" || a == "--exit-on-threat") {
    exit_on_threat = true;
  } else if (a == "-q" || a == "--quiet") {
    quiet = true;
  } else if (a == "--high-security") {
    apply_preset(ScannerOptions::high_security(), o);
  } else if (a == "--low-latency") {
    apply_preset(ScannerOptions::low_latency(), o);
  } else if (a == "--block-threshold") {
    take_float("--block-threshold requires a value", "Invalid block threshold", o.block_threshold);
  } else if (a == "--allow-threshold") {
    take_float("--allow-threshold requires a value", "Invalid allow threshold", o.allow_threshold);
  } else if (a == "--prior") {
    take_float("--prior requires a value", "Invalid prior", o.prior);
  } else if (a == "--warning-mode") {
    o.warning_mode = true;
  } else if (a == "--no-warning-mode") {
    o.warning_mode = false;
  } else {
    return false;
  }
  return true;
}

Command parse_scan(const std::vector<std::string>& args) {
  ScanArgs s;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::optional<std::string> error;
    if (parse_shared_option(args, i, s.options, s.json, s.exit_on_threat, s.quiet, error)) {
      if (error) return ParseError{*error};
      continue;
    }
    const std::string& a = args[i];
    if (a == "--stdin") {
      s.stdin_daemon = true;
    } else if (a == "--patterns") {
      if (i + 1 >= args.size()) return ParseError{"--patterns requires a file path"};
      s.patterns = args[++i];
    } else if (a == "-m" || a == "--mode") {
      if (i + 1 >= args.size()) return ParseError{"--mode requires a value ('input' or 'output')"};
      auto mode = parse_scan_mode(args[++i]);
      if (auto* msg = std::get_if<std::string>(&mode)) return ParseError{*msg};
      s.options.mode = std::get<ScanMode>(mode);
    } else if (!a.empty() && a[0] == '-') {
      return ParseError{"Unknown option: " + a};
    } else if (!s.input) {
      s.input = a;
    }
  }
  if (s.stdin_daemon && s.input) return ParseError{"--stdin cannot be used with positional INPUT"};
  return s;
}

Command parse_stream(const std::vector<std::string>& args) {
  StreamArgs s;
  for (std::size_t i = 1; i < args.size(); ++i) {
    std::optional<std::string> error;
    if (parse_shared_option(args, i, s.options, s.json, s.exit_on_threat, s.quiet, error)) {
      if (error) return ParseError{*error};
      continue;
    }
    return ParseError{"Unknown option for stream: " + args[i]};
  }
  return s;
}

}  // namespace

Command parse_command(const std::vector<std::string>& args) {
  if (args.empty()) return HelpCommand{};
  const std::string& cmd = args[0];
  if (cmd == "version" || cmd == "-v" || cmd == "--version") return VersionCommand{};
  if (cmd == "help" || cmd == "-h" || cmd == "--help") return HelpCommand{};
  if (cmd == "scan") return parse_scan(args);
  if (cmd == "stream") return parse_stream(args);
  return ParseError{"Unknown command: " + cmd + ". Use 'vantrel help' for usage."};
}

}  // namespace vantrel
