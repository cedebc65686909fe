#include "stream_command.h"

#include "io.h"
#include "report_human.h"
#include "vantrel/json.h"
#include "vantrel/scanner.h"

namespace vantrel {

namespace {

std::string threat_report(const ScanResult& r, bool json) {
  return json ? format_result_json(r) + "\n" : format_stream_threat_report(r);
}

}  // namespace

int cmd_stream(const StreamArgs& args) {
  // The scanner only supplies the database identity and the configuration;
  // the stream does the scanning. Without a pattern file it cannot fail.
  const Scanner scanner = Scanner::create(make_scanner_options(args.options, std::nullopt)).value();
  Stream stream = scanner.stream();

  // Every report is written as soon as it is made, so a consumer sees a
  // threat before this process exits.
  auto print = [&](const std::string& text) {
    if (args.quiet) return true;
    if (write_stdout(text)) return true;
    write_stderr("Error writing output\n");
    return false;
  };

  LineReader reader;
  std::string_view line;
  for (;;) {
    const LineReader::Status status = reader.next(line);
    if (status == LineReader::Status::End) break;
    if (status == LineReader::Status::Error) {
      write_stderr("Error reading stdin: " + reader.error() + "\n");
      return 2;
    }
    // The line feed is pushed on its own; a threat either push finds is
    // reported at once, so early termination never waits for the producer.
    PushOutcome outcomes[2];
    outcomes[0] = stream.push(line);
    outcomes[1] = stream.push("\n");
    for (const PushOutcome& outcome : outcomes) {
      if (outcome.kind != PushOutcome::Kind::Threat) continue;
      if (!print(threat_report(*outcome.result, args.json))) return 2;
      if (args.exit_on_threat) return 1;
    }
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
