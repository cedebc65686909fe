// Everything a vantrel::Scanner is built from, with every default the
// library has written beside its field. A caller who says nothing gets the
// command line's defaults, and a scanner that reads no file and no
// environment variable it was not asked to read.
//
//   vantrel::ScannerOptions options = vantrel::ScannerOptions::high_security();
//   options.patterns_file = "site_patterns.json";
//   auto scanner = vantrel::Scanner::create(options);
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "vantrel/config.h"

namespace vantrel {

using vantrel_core::GateConfig;

// When a stream (Scanner::stream) rescans the text gathered so far. The
// fields are (defaults in parentheses):
struct StreamOptions {
  // (32) buffered bytes from which a sentence end triggers a scan
  std::size_t min_scan_bytes = 32;
  // (4096) buffered bytes that force a scan
  std::size_t max_buffer_bytes = 4096;
  // (100) bytes kept after a clean scan, so that a phrase cut by a scan point
  // is seen whole by the next scan
  std::size_t overlap_bytes = 100;
  // (2.0) accumulated log-odds at which the stream reports a threat and stops,
  // once any signal was seen (block_threshold's log-odds also stops it)
  double early_termination_log_odds = 2.0;
  // (true) scan when the text so far ends in '.', '!' or '?' (trailing white
  // space aside); false scans only when the buffer is full or at the end
  bool scan_on_sentence_end = true;
};

// Where the learned detector's model comes from (ScannerOptions::classifier).
enum class ClassifierModelSource {
  kOff,      // no learned detector: the scanner behaves exactly as without it
  kBuiltIn,  // the model compiled into the library
  kFile,     // the model file ScannerOptions::classifier_model_file names
};

// The options are (defaults in parentheses):
struct ScannerOptions {
  // (the command line's defaults) the gate's thresholds, caps and switches;
  // see vantrel/config.h
  GateConfig gate;

  // (1048576) texts longer than this many bytes are not scanned but blocked
  // with a "size_limit" signal; smaller values are raised to 1024
  std::size_t max_input_bytes = vantrel_core::kDefaultInputLimit;

  // (none) a pattern database file (JSON) whose records are appended to the
  // built-in database's; creation fails, with the reason, when it cannot be
  // read or parsed. Relative paths resolve against the working directory.
  std::optional<std::string> patterns_file;

  // (false) take the built-in database from the first readable, valid file
  // among the command line's candidates (the file the build names, then
  // patterns.json, ./patterns.json and ../patterns.json in the working
  // directory) before the database compiled into the library. False uses
  // the compiled-in database and reads no such file.
  bool search_pattern_files = false;

  // (none) a calibrated score profile file (JSON); creation fails, with the
  // reason, when it cannot be read or is not a valid profile
  std::optional<std::string> score_profile_file;

  // (false) when no score_profile_file is given, select the profile as the
  // command line does: VANTREL_SCORE_V2_DISABLE_PROFILE ("1", "on", "yes",
  // "true" or "TRUE") switches it off, else VANTREL_SCORE_V2_PROFILE_PATH
  // names it; a profile that fails to load only leaves a warning in every
  // result. False reads neither variable.
  bool read_profile_environment = false;

  // (kOff) the learned detector, a skill ("classifier") that weighs the words
  // of a text with a trained model and reports at most one signal: its input
  // model runs on prompts, its output model (when it has one) on responses
  // and streams. kFile reads classifier_model_file (a file written by
  // vantrel_train); creation fails, with the reason, when it cannot be read
  // or is not a valid model.
  ClassifierModelSource classifier = ClassifierModelSource::kOff;
  // (empty) the model file for kFile; relative paths resolve against the
  // working directory
  std::string classifier_model_file;

  // (see StreamOptions) how streams made by the scanner rescan
  StreamOptions stream;

  // The command line's presets. Each sets only the gate's block_threshold,
  // allow_threshold and prior; everything else keeps its default.
  // No option: block 0.9, allow 0.1, prior 0.01 (the same as ScannerOptions{}).
  static ScannerOptions defaults() { return ScannerOptions(); }
  // --high-security: block 0.8, allow 0.02, prior 0.05.
  static ScannerOptions high_security() { return with_thresholds(0.8, 0.02, 0.05); }
  // --low-latency: block 0.95, allow 0.2, prior 0.01.
  static ScannerOptions low_latency() { return with_thresholds(0.95, 0.2, 0.01); }

 private:
  static ScannerOptions with_thresholds(double block, double allow, double prior) {
    ScannerOptions o;
    o.gate.block_threshold = block;
    o.gate.allow_threshold = allow;
    o.gate.prior = prior;
    return o;
  }
};

}  // namespace vantrel
