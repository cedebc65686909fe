// Daemon protocol (`vantrel scan --stdin`), newline-delimited JSON.
//
// Each non-blank input line is one request object; every member is optional
// and null means absent:
//   {"id":"r1","text":"hello","mode":"input"}
// Each request gets exactly one response line, in input order, flushed before
// the next request is read:
//   {"id":"r1","result":{...the JSON report...}}
//   {"id":"r1","error":"missing 'text' field"}
// A line that is not exactly one JSON object, gives a known member ("id",
// "text", "mode", "patterns") a non-string value, or repeats a known member is
// answered with {"id":"","error":"invalid request JSON"}. Unknown members are
// ignored. "patterns" is accepted but ignored (a warning goes to stderr); the
// command line's --patterns, --mode and thresholds apply to every request.
#include "daemon.h"

#include <simdjson.h>

#include <optional>
#include <string_view>

#include "io.h"
#include "report_json.h"
#include "scan_command.h"
#include "vantrel/text.h"

namespace vantrel {

using vantrel_core::Scanner;
using vantrel_core::ScanMode;

std::string format_stdin_error(std::string_view id, std::string_view message) {
  return "{\"id\":\"" + escape_json_string(id) + "\",\"error\":\"" + escape_json_string(message) +
         "\"}";
}

namespace {

struct StdinScanRequest {
  std::optional<std::string_view> id;
  std::optional<std::string_view> text;
  std::optional<std::string_view> mode;
  std::optional<std::string_view> patterns;
};

// Parses one request line. Views point into the parser's document and stay
// valid until the next parse.
class RequestParser {
 public:
  std::optional<StdinScanRequest> parse(std::string_view line) {
    // simdjson reads up to SIMDJSON_PADDING bytes past the end; keep one
    // padded copy buffer for the daemon's life instead of one per request.
    padded_.assign(line);
    padded_.resize(line.size() + simdjson::SIMDJSON_PADDING);
    simdjson::dom::element doc;
    if (parser_.parse(padded_.data(), line.size(), false).get(doc) != simdjson::SUCCESS) {
      return std::nullopt;
    }
    simdjson::dom::object obj;
    if (doc.get_object().get(obj) != simdjson::SUCCESS) return std::nullopt;
    StdinScanRequest req;
    bool seen[4] = {false, false, false, false};
    for (auto field : obj) {
      std::optional<std::string_view>* slot;
      int index;
      if (field.key == "id") {
        slot = &req.id, index = 0;
      } else if (field.key == "text") {
        slot = &req.text, index = 1;
      } else if (field.key == "mode") {
        slot = &req.mode, index = 2;
      } else if (field.key == "patterns") {
        slot = &req.patterns, index = 3;
      } else {
        continue;
      }
      // A repeated member could be read one way here and another way by a
      // component in front of us; refuse it.
      if (seen[index]) return std::nullopt;
      seen[index] = true;
      if (field.value.is_null()) continue;
      std::string_view value;
      if (field.value.get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
      *slot = value;
    }
    return req;
  }

 private:
  simdjson::dom::parser parser_;
  std::string padded_;
};

// Standard output through an 8192-byte buffer; every response is flushed whole.
class ResponseWriter {
 public:
  ResponseWriter() { buf_.reserve(kCapacity); }

  // Writes one response line and flushes; false when the output failed.
  bool respond(std::string_view line) {
    return append(line) && append("\n") && flush();
  }

 private:
  static constexpr std::size_t kCapacity = 8192;

  bool append(std::string_view data) {
    if (buf_.size() + data.size() <= kCapacity) {
      buf_.append(data);
      return true;
    }
    if (!flush()) return false;
    if (data.size() >= kCapacity) return write_stdout(data);  // too big to buffer
    buf_.append(data);
    return true;
  }

  bool flush() {
    if (buf_.empty()) return true;
    const bool ok = write_stdout(buf_);
    buf_.clear();
    return ok;
  }

  std::string buf_;
};

}  // namespace

int run_daemon(const std::optional<std::string>& patterns_path, const ScanOptions& options) {
  ResponseWriter out;
  // The one scanner this process serves with, built once; a failed build is
  // retried on the next request.
  std::optional<Scanner> scanner;
  const std::optional<std::string> path =
      patterns_path && !patterns_path->empty() ? patterns_path : std::nullopt;
  if (path) {
    auto built = scanner_with_optional_patterns(options, path);
    if (!built) {
      write_stderr("Error loading patterns: " + built.error() + "\n");
      return 2;
    }
    scanner.emplace(std::move(built).value());
  }

  RequestParser parser;
  LineReader reader;
  std::string_view line;
  for (;;) {
    const LineReader::Status status = reader.next(line);
    if (status == LineReader::Status::End) return 0;
    if (status == LineReader::Status::Error) {
      write_stderr("Error reading stdin: " + reader.error() + "\n");
      return 2;
    }
    if (vantrel_core::is_blank(line)) continue;

    std::string response;
    const std::optional<StdinScanRequest> req = parser.parse(line);
    if (!req) {
      response = format_stdin_error("", "invalid request JSON");
    } else {
      const std::string_view id = req->id.value_or("");
      std::optional<ScanMode> mode = options.mode;
      if (!req->text) {
        response = format_stdin_error(id, "missing 'text' field");
        mode.reset();
      } else if (req->mode) {
        if (*req->mode == "input") {
          mode = ScanMode::Input;
        } else if (*req->mode == "output") {
          mode = ScanMode::Output;
        } else {
          response = format_stdin_error(
              id, "Invalid mode '" + std::string(*req->mode) + "'. Use 'input' or 'output'.");
          mode.reset();
        }
      }
      if (mode) {
        if (req->patterns) {
          write_stderr(
              "Warning: per-request 'patterns' field is ignored; use --patterns flag at startup\n");
        }
        if (!scanner) {
          auto built = scanner_with_optional_patterns(options, path);
          if (built) {
            scanner.emplace(std::move(built).value());
          } else {
            response = format_stdin_error(id, "failed to load patterns: " + built.error());
          }
        }
        if (scanner) {
          const auto result = *mode == ScanMode::Output ? scanner->scan_output(*req->text)
                                                        : scanner->scan(*req->text);
          response = "{\"id\":\"" + escape_json_string(id) + "\",\"result\":" +
                     format_result_json(result) + "}";
        }
      }
    }
    if (!out.respond(response)) {
      write_stderr("Error writing daemon response\n");
      return 2;
    }
  }
}

}  // namespace vantrel
