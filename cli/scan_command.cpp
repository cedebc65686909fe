#include "scan_command.h"

#include <unistd.h>

#include "daemon.h"
#include "io.h"
#include "report_human.h"
#include "vantrel/json.h"
#include "vantrel/text.h"

namespace vantrel {

Expected<Scanner, std::string> scanner_with_optional_patterns(
    const ScanOptions& options, const std::optional<std::string>& patterns_path) {
  auto scanner = Scanner::create(make_scanner_options(options, patterns_path));
  if (!scanner) return Unexpected{std::move(scanner.error().short_message)};
  return std::move(scanner).value();
}

namespace {

// One line typed at a terminal, without its trailing white space.
std::optional<std::string> read_terminal_line() {
  std::string line;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    const std::string_view chunk(buf, static_cast<std::size_t>(n));
    const std::size_t nl = chunk.find('\n');
    if (nl != std::string_view::npos) {
      line.append(chunk.substr(0, nl + 1));
      break;
    }
    line.append(chunk);
  }
  if (!vantrel_core::is_valid_utf8(line)) return std::nullopt;
  line.resize(vantrel_core::trim_trailing_unicode_whitespace(line).size());
  return line;
}

}  // namespace

int cmd_scan(const ScanArgs& args) {
  if (args.stdin_daemon) return run_daemon(args.patterns, args.options);

  std::string text;
  if (args.input) {
    text = *args.input;
  } else {
    auto read = stdin_is_terminal() ? read_terminal_line() : read_all_stdin();
    if (!read) {
      write_stderr("Error reading from stdin\n");
      return 2;
    }
    text = std::move(*read);
  }

  auto scanner = scanner_with_optional_patterns(args.options, args.patterns);
  if (!scanner) {
    write_stderr("Error loading patterns: " + scanner.error() + "\n");
    return 2;
  }
  const ScanResult result = scanner->scan(text, args.options.mode);
  if (!args.quiet) {
    std::string out = args.json ? format_result_json(result) + "\n" : format_scan_report(result);
    if (!write_stdout(out)) {
      write_stderr("Error writing output\n");
      return 2;
    }
  }
  return args.exit_on_threat && !result.safe ? 1 : 0;
}

}  // namespace vantrel
