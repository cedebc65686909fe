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
// answered with {"id":"","error":"invalid request JSON"}, and so is a line that
// is not valid UTF-8 or too long to hold a text within the size limit. Unknown
// members are ignored. "patterns" is accepted but ignored (a warning goes to
// stderr); the command line's --patterns, --mode and thresholds apply to
// every request.
#include "daemon.h"

#include <simdjson.h>
#include <unistd.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <optional>
#include <string_view>
#include <variant>

#include "io.h"
#include "scan_command.h"
#include "strict_json.h"
#include "vantrel/config.h"
#include "vantrel/json.h"
#include "vantrel/scanner.h"
#include "vantrel/text.h"

namespace vantrel {

std::string format_stdin_error(std::string_view id, std::string_view message) {
  return "{\"id\":\"" + escape_json_string(id) + "\",\"error\":\"" + escape_json_string(message) +
         "\"}";
}

namespace {

// After a large request the allocator may keep the freed memory for reuse;
// hand it back to the system, so one large request does not set the
// process's size for the rest of its life.
void return_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

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
    // A repeated member could be read one way here and another way by a
    // component in front of us; refuse it.
    if (vantrel_core::strict_json::repeats_key(obj, {"id", "text", "mode", "patterns"}))
      return std::nullopt;
    StdinScanRequest req;
    for (auto field : obj) {
      std::optional<std::string_view>* slot;
      if (field.key == "id") {
        slot = &req.id;
      } else if (field.key == "text") {
        slot = &req.text;
      } else if (field.key == "mode") {
        slot = &req.mode;
      } else if (field.key == "patterns") {
        slot = &req.patterns;
      } else {
        continue;
      }
      if (field.value.is_null()) continue;
      std::string_view value;
      if (field.value.get_string().get(value) != simdjson::SUCCESS) return std::nullopt;
      *slot = value;
    }
    return req;
  }

  // Gives back what a large request made the parser hold; true if it did.
  bool release_large_buffers() {
    const bool large = padded_.capacity() > kKeepBytes || parser_.capacity() > kKeepBytes;
    if (large) {
      std::string().swap(padded_);
      parser_ = simdjson::dom::parser();
    }
    return large;
  }

 private:
  static constexpr std::size_t kKeepBytes = 1 << 20;

  simdjson::dom::parser parser_;
  std::string padded_;
};

// Standard output through an 8192-byte buffer; every response is flushed whole.
class ResponseWriter {
 public:
  ResponseWriter() { buf_.reserve(kCapacity); }

  // Writes one response line and flushes; false when the output failed.
  bool respond(std::string_view line) { return append(line) && append("\n") && flush(); }

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

// The request handler: one scanner for the life of the process, built at
// start-up when a pattern file is named, else by the first request that
// needs it (a failed build is retried by the next one).
class Daemon {
 public:
  Daemon(const ScanOptions& options, std::optional<std::string> patterns_path)
      : options_(options), patterns_path_(std::move(patterns_path)) {}

  // Builds the scanner now; on failure, why.
  std::optional<Error> build_scanner() {
    auto built = scanner_with_optional_patterns(options_, patterns_path_);
    if (!built) return std::move(built).error();
    scanner_.emplace(std::move(built).value());
    return std::nullopt;
  }

  // The response line, without its line feed, to one non-blank request line.
  std::string handle_request(std::string_view line) {
    const std::optional<StdinScanRequest> req = parser_.parse(line);
    if (!req) return format_stdin_error("", "invalid request JSON");
    const std::string_view id = req->id.value_or("");
    if (!req->text) return format_stdin_error(id, "missing 'text' field");
    ScanMode mode = options_.mode;
    if (req->mode) {
      auto parsed = parse_scan_mode(*req->mode);
      if (auto* message = std::get_if<std::string>(&parsed))
        return format_stdin_error(id, *message);
      mode = std::get<ScanMode>(parsed);
    }
    if (req->patterns) {
      write_stderr(
          "Warning: per-request 'patterns' field is ignored; use --patterns flag at startup\n");
    }
    if (!scanner_) {
      if (auto failure = build_scanner())
        return format_stdin_error(id, "failed to load patterns: " + failure->short_message);
    }
    return "{\"id\":\"" + escape_json_string(id) +
           "\",\"result\":" + format_result_json(scanner_->scan(*req->text, mode)) + "}";
  }

  bool release_large_buffers() { return parser_.release_large_buffers(); }

 private:
  const ScanOptions& options_;
  std::optional<std::string> patterns_path_;
  std::optional<Scanner> scanner_;
  RequestParser parser_;
};

}  // namespace

int run_daemon(const std::optional<std::string>& patterns_path, const ScanOptions& options) {
  const bool has_path = patterns_path && !patterns_path->empty();
  Daemon daemon(options, has_path ? patterns_path : std::nullopt);
  // A learned detector that was asked for must be there before the first
  // request, or nothing is scanned.
  ScannerOptions classifier;
  classifier_from_environment(classifier);
  if (has_path || classifier.classifier != ClassifierModelSource::kOff) {
    if (auto failure = daemon.build_scanner()) {
      write_stderr(scanner_failure_line(*failure) + "\n");
      return 2;
    }
  }

  ResponseWriter out;
  auto respond = [&out](std::string_view response) {
    if (out.respond(response)) return true;
    write_stderr("Error writing daemon response\n");
    return false;
  };
  // A longer line cannot hold a text within the size limit, even with every
  // byte of it escaped as \uXXXX: it is refused and skipped piece by piece,
  // never held whole.
  constexpr std::size_t kMaxRequestLine = 6 * vantrel_core::kDefaultInputLimit + (64 << 10);
  LineReader reader(STDIN_FILENO, kMaxRequestLine, /*lone_cr_ends_line=*/false);
  bool skipping = false;  // in the rest of a refused line
  bool answered = false;  // the refused line has had its response
  bool large_line_done = false;
  std::string_view piece;
  for (;;) {
    const LineReader::Status status = reader.next(piece);
    if (status == LineReader::Status::End) return 0;
    if (large_line_done) {
      // The reader's buffer has shrunk by now, too.
      return_free_memory();
      large_line_done = false;
    }
    if (status == LineReader::Status::Error && !reader.invalid_utf8()) {
      write_stderr("Error reading stdin: " + reader.error() + "\n");
      return 2;
    }
    if (status == LineReader::Status::Line && !skipping) {
      if (vantrel_core::is_blank(piece)) continue;
      if (!respond(daemon.handle_request(piece))) return 2;
      large_line_done = daemon.release_large_buffers();
      continue;
    }
    // Part of a line too long to read, or a piece that is not UTF-8: one
    // response for the line, unless all of it is blank.
    const bool invalid = status == LineReader::Status::Error;
    if (!answered && (invalid || !vantrel_core::is_blank(piece))) {
      if (!respond(format_stdin_error("", "invalid request JSON"))) return 2;
      answered = true;
    }
    const bool was_skipping = skipping;
    skipping = !reader.line_finished();
    if (skipping) continue;
    answered = false;
    large_line_done = was_skipping;
  }
}

}  // namespace vantrel
