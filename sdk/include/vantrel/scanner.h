// The library's front door: a scanner built once from ScannerOptions, then
// asked about any number of texts, from any number of threads.
//
//   auto scanner = vantrel::Scanner::create();  // the command line's defaults
//   if (!scanner) return fail(scanner.error().message);
//   vantrel::ScanResult r = scanner->scan(prompt, vantrel::ScanMode::Input);
//   if (r.disposition == vantrel::Disposition::Block) ...
//   std::string line = vantrel::format_result_json(r);  // as `vantrel scan --json`
//
// Failures are returned as values (Expected), never thrown; only running out
// of memory throws (std::bad_alloc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/expected.h"
#include "vantrel/json.h"
#include "vantrel/options.h"
#include "vantrel/result.h"

namespace vantrel {

using vantrel_core::Disposition;
using vantrel_core::Expected;
using vantrel_core::NormalizationReport;
using vantrel_core::PushOutcome;
using vantrel_core::ScanMode;
using vantrel_core::ScanResult;
using vantrel_core::Severity;
using vantrel_core::Signal;
using vantrel_core::SignalEvidence;
using vantrel_core::ThreatType;
using vantrel_core::ThresholdsUsed;
using vantrel_core::Unexpected;
// The enumerations' names as the reports write them.
using vantrel_core::display_name;
using vantrel_core::disposition_name;
using vantrel_core::scan_mode_name;
using vantrel_core::severity_name;
using vantrel_core::snake_name;

// The linked library's version, "0.4.0", and as major * 1000000 + minor *
// 1000 + patch. VANTREL_VERSION_STRING and VANTREL_VERSION_NUMBER in
// vantrel/version.h are the headers' own.
std::string_view version();
std::uint32_t version_number();

// Why a scanner could not be created. The numbers are stable.
enum class ErrorCode : int {
  kPatternFileUnreadable = 1,  // patterns_file could not be read (or is not UTF-8)
  kPatternFileInvalid = 2,     // patterns_file is not a valid pattern database
  kScoreProfileUnusable = 3,   // score_profile_file could not be read or is not a valid profile
  kClassifierModelUnusable = 4,  // classifier_model_file could not be read or is not a valid model
};

struct Error {
  ErrorCode code = ErrorCode::kPatternFileInvalid;
  // The whole reason, naming the file and, for a rejected pattern file, the
  // record and field or what the JSON parser said:
  //   pattern file 'site.json': record 3: "likelihood_ratio" must be a number
  std::string message;
  // The terse form the command line prints, without the file name:
  //   Failed to parse patterns JSON: Error
  std::string short_message;
};

class Stream;

// An immutable scanner. Its scanning and query functions are const and may be
// called by any number of threads at once on one shared Scanner; per-scan
// state lives on the calling thread. Not copyable. Movable; a moved-from
// Scanner may only be destroyed or assigned to.
class Scanner {
 public:
  // Builds a scanner: loads the pattern database (the compiled-in one, plus
  // the records of options.patterns_file), the score profile the options name
  // and the skills. Reads no file and no environment variable the options do
  // not ask for.
  static Expected<Scanner, Error> create(const ScannerOptions& options = ScannerOptions());

  Scanner(Scanner&&) noexcept;
  Scanner& operator=(Scanner&&) noexcept;
  Scanner(const Scanner&) = delete;
  Scanner& operator=(const Scanner&) = delete;
  ~Scanner();

  // Scans one text: a user prompt (Input), a model response (Output) or an
  // agent's tool-call arguments (ToolCall). Never fails: a text over
  // max_input_bytes is blocked with a "size_limit" signal, and ill-formed
  // UTF-8 is scanned with each bad byte read as U+FFFD.
  ScanResult scan(std::string_view text, ScanMode mode = ScanMode::Input) const;

  // A stream for a model response that arrives in pieces, checked with this
  // scanner's configuration and database identity. The stream does not refer
  // to the scanner afterwards and may outlive it.
  Stream stream() const;

  // What the scanner was built with.
  const GateConfig& config() const;
  const StreamOptions& stream_options() const;
  std::size_t max_input_bytes() const;
  // The database's version label ("+runtime:" joins a patterns_file's label
  // to the built-in one) and its 64-bit fingerprint, as every result reports.
  const std::string& pattern_db_version() const;
  std::uint64_t pattern_db_hash() const;
  // The pattern file in the working directory that search_pattern_files
  // took the built-in database from (as the candidate names it), and the
  // number of records it gave; none when the database is the build's file
  // or the compiled-in one.
  struct WorkingDirectoryPatterns {
    std::string path;
    std::size_t records = 0;
  };
  const std::optional<WorkingDirectoryPatterns>& working_directory_patterns() const;
  bool has_score_profile() const;
  // Why no profile is in use, when there is a reason worth telling (only
  // with read_profile_environment); also in every result.
  const std::optional<std::string>& score_profile_warning() const;

 private:
  struct Impl;
  explicit Scanner(std::unique_ptr<const Impl> impl);
  std::unique_ptr<const Impl> impl_;
};

// Scans a text that arrives piece by piece, such as a model's output while
// it is generated: the pieces are gathered and rescanned at scan points
// (StreamOptions), one gate accumulates the evidence of every scan, and the
// first threat stops the stream. Used by one thread at a time. Not copyable.
// Movable; a moved-from Stream is finished.
class Stream {
 public:
  Stream(Stream&&) noexcept;
  Stream& operator=(Stream&&) noexcept;
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;
  ~Stream();

  // Appends a piece (which may split a UTF-8 character) and scans when a
  // scan point is reached: NoScan, or Clean/Threat with the scan's result.
  // After a threat, or once finished, a push changes nothing and gives NoScan.
  PushOutcome push(std::string_view piece);

  // The final verdict over everything pushed (after a threat, a threat) and
  // the end of the stream; nothing when the stream was already finished.
  std::optional<ScanResult> finish();

  // True once a push found a threat.
  bool terminated() const;
  // True once finish() was called (or the stream was moved from).
  bool finished() const;

 private:
  friend class Scanner;
  struct Impl;
  explicit Stream(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel
