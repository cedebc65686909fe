#include "stream_command.h"

#include <unistd.h>

#include "io.h"
#include "report_human.h"
#include "scan_command.h"
#include "vantrel/json.h"
#include "vantrel/scanner.h"

namespace vantrel {

namespace {

std::string threat_report(const ScanResult& r, bool json) {
  return json ? format_result_json(r) + "\n" : format_stream_threat_report(r);
}

}  // namespace

int cmd_stream(const StreamArgs& args) {
  // The scanner only supplies the database identity, the configuration and
  // the learned detector; the stream does the scanning. Without a pattern
  // file only a learned detector's model file can make it fail.
  auto scanner = Scanner::create(make_scanner_options(args.options, std::nullopt));
  if (!scanner) {
    write_stderr(scanner_failure_line(scanner.error()) + "\n");
    return 2;
  }
  warn_if_working_directory_patterns(*scanner);
  Stream stream = scanner->stream();

  // Every report is written as soon as it is made, so a consumer sees a
  // threat before this process exits.
  auto print = [&](const std::string& text) {
    if (args.quiet) return true;
    if (write_stdout(text)) return true;
    write_stderr("Error writing output\n");
    return false;
  };

  // A line longer than the size limit is handed over in pieces of at most
  // that size, and a lone carriage return ends a line as a line feed does, so
  // neither one long line nor carriage-return-only output is held whole or
  // left unscanned. The pushed bytes are the same as for whole lines.
  LineReader reader(STDIN_FILENO, vantrel_core::kDefaultInputLimit, /*lone_cr_ends_line=*/true);
  bool last_ended_by_cr = false;
  std::string_view piece;
  for (;;) {
    const LineReader::Status status = reader.next(piece);
    if (status == LineReader::Status::Error) {
      write_stderr("Error reading stdin: " + reader.error() + "\n");
      return 2;
    }
    // The line ending is pushed on its own; a threat either push finds is
    // reported at once, so early termination never waits for the producer.
    // Input that ends with a lone carriage return still ends with a line
    // feed, as every last line does.
    PushOutcome outcomes[2];
    if (status == LineReader::Status::End) {
      if (last_ended_by_cr) outcomes[0] = stream.push("\n");
    } else {
      outcomes[0] = stream.push(piece);
      if (status == LineReader::Status::Line) {
        last_ended_by_cr = reader.ending() == LineReader::Ending::CarriageReturn;
        outcomes[1] = stream.push(last_ended_by_cr ? "\r" : "\n");
      }
    }
    for (const PushOutcome& outcome : outcomes) {
      if (outcome.kind != PushOutcome::Kind::Threat) continue;
      if (!print(threat_report(*outcome.result, args.json))) return 2;
      if (args.exit_on_threat) return 1;
    }
    if (status == LineReader::Status::End) break;
  }

  const ScanResult final_result = *stream.finish();
  if (!final_result.safe) {
    if (!print(threat_report(final_result, args.json))) return 2;
    return args.exit_on_threat ? 1 : 0;
  }
  const std::string summary =
      (args.json ? format_result_json(final_result) : format_result_human(final_result)) + "\n";
  return print(summary) ? 0 : 2;
}

}  // namespace vantrel
