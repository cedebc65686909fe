// Scans text that arrives piece by piece (a model's output while it is
// generated) at chosen scan points, with one gate accumulating the evidence of
// every scan, and stops at the first threat.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vantrel/config.h"
#include "vantrel/result.h"

namespace vantrel_core {

class BayesianGate;
class ClassifierSkill;
class NormalizationSkill;
class OutputSkill;

struct StreamConfig {
  std::optional<std::string> pattern_db_version;
  GateConfig gate_config{};
  std::size_t min_scan_bytes = 32;      // buffered bytes before a sentence end triggers a scan
  std::size_t max_buffer_bytes = 4096;  // buffered bytes that force a scan
  std::size_t overlap_bytes = 100;      // tail kept after a clean scan
  double early_termination_log_odds = 2.0;
  std::uint64_t pattern_db_hash = 0;
  bool scan_on_sentence_end = true;
  // The learned detector's output model, run on every scan before the output
  // skill; none unless it is on.
  std::shared_ptr<const ClassifierSkill> classifier;
};

// Used by one thread at a time. Not copyable. Movable.
class StreamScanner {
 public:
  static StreamScanner with_config(StreamConfig config);

  StreamScanner(StreamScanner&&) noexcept;
  StreamScanner& operator=(StreamScanner&&) noexcept;
  StreamScanner(const StreamScanner&) = delete;
  StreamScanner& operator=(const StreamScanner&) = delete;
  ~StreamScanner();

  // Appends text and scans when a scan point is reached. After a threat every
  // push is ignored and returns NoScan.
  PushOutcome push(std::string_view text);
  // The final verdict over everything pushed; consumes the scanner.
  ScanResult finish() &&;

  const std::string& buffer() const { return buffer_; }
  bool terminated() const { return state_ == State::Terminated; }

 private:
  enum class State { Active, Terminated, Finished };
  StreamScanner() = default;

  PushOutcome perform_scan();
  // One scan of the buffer; `found`, when given, receives every signal it
  // found, counted or not.
  ScanResult scan_buffer(std::vector<Signal>* found = nullptr);
  ScanResult build_result(bool safe);
  void feed(std::vector<Signal> batch);
  // What one scan of `text` alone finds, before deduplication.
  std::vector<Signal> find_signals(std::string_view text) const;

  std::string buffer_;
  std::unique_ptr<OutputSkill> output_skill_;
  std::unique_ptr<NormalizationSkill> normalizer_;
  std::unique_ptr<BayesianGate> gate_;
  std::vector<Signal> signals_;
  std::vector<SignalEvidence> evidence_;
  StreamConfig config_;
  std::chrono::steady_clock::time_point started_at_;
  std::optional<NormalizationReport> normalization_;
  std::uint64_t total_signals_ = 0;
  State state_ = State::Active;
  std::optional<ThreatType> last_threat_type_;
  // Signals a scan of the kept tail alone finds: counted by the scan that
  // kept it, so the next scan does not count them again.
  std::vector<Signal> counted_in_tail_;
};

}  // namespace vantrel_core
