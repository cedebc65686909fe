#include "scan_command.h"

#include <unistd.h>

#include "daemon.h"
#include "io.h"
#include "report_human.h"
#include "vantrel/json.h"
#include "vantrel/text.h"

namespace vantrel {

void warn_if_working_directory_patterns(const Scanner& scanner) {
  const auto& file = scanner.working_directory_patterns();
  if (!file) return;
  write_stderr("Warning: pattern database read from '" + file->path +
               "' in the working directory (" + std::to_string(file->records) +
               (file->records == 1 ? " record)\n" : " records)\n"));
}

Expected<Scanner, Error> scanner_with_optional_patterns(const ScanOptions& options,
                                                       const std::optional<std::string>& patterns_path) {
  auto scanner = Scanner::create(make_scanner_options(options, patterns_path));
  if (!scanner) return scanner;
  warn_if_working_directory_patterns(*scanner);
  return scanner;
}

int cmd_scan(const ScanArgs& args) {
  if (args.stdin_daemon) return run_daemon(args.patterns, args.options);

  std::string text;
  if (args.input) {
    text = *args.input;
  } else {
    // Reading stops once the text is over the size limit: the scanner gives
    // its size-limit result for any longer text, so nothing more is held.
    const std::size_t limit = vantrel_core::kDefaultInputLimit;
    auto read = stdin_is_terminal() ? read_terminal_line(STDIN_FILENO, limit)
                                    : read_up_to(STDIN_FILENO, limit);
    if (!read) {
      write_stderr("Error reading from stdin\n");
      return 2;
    }
    text = std::move(*read);
  }

  auto scanner = scanner_with_optional_patterns(args.options, args.patterns);
  if (!scanner) {
    write_stderr(scanner_failure_line(scanner.error()) + "\n");
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
