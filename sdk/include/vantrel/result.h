// Value types exchanged by every part of the scanner: the enumerations, the
// evidence a skill emits, the gate's record of how it applied that evidence,
// the outcome of one scan and of one push to a stream. All are plain values
// (copyable, movable) that own their strings and lists.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vantrel_core {

// Numeric order is part of the contract: report name tables index by it.
enum class ThreatType : std::uint8_t {
  PromptInjection = 0,
  Jailbreak = 1,
  DataExfiltration = 2,
  EncodingAttack = 3,
  SocialEngineering = 4,
  ContextManipulation = 5,
  ToolManipulation = 6,
  Benign = 7,  // "no threat"; its display name is "Unknown"
};

// "PromptInjection", as written in pattern database records.
std::string_view camel_name(ThreatType t);
// "prompt_injection", as written in the JSON report and pattern signal types.
std::string_view snake_name(ThreatType t);
// "Prompt Injection", as shown in the human report.
std::string_view display_name(ThreatType t);
// Exact, case-sensitive reverse of camel_name; nullopt for any other text.
std::optional<ThreatType> threat_type_from_camel(std::string_view name);

enum class Severity : std::uint8_t { Low = 0, Medium = 1, High = 2, Critical = 3 };
std::string_view severity_name(Severity s);  // "low" .. "critical"

enum class Disposition : std::uint8_t { Allow = 0, AllowWithWarning = 1, Block = 2 };
std::string_view disposition_name(Disposition d);  // "allow", "allow_with_warning", "block"

enum class ScanMode : std::uint8_t { Input = 0, Output = 1, ToolCall = 2 };
std::string_view scan_mode_name(ScanMode m);  // "input", "output", "toolcall"

// One piece of evidence from one skill.
struct Signal {
  std::string skill;        // producing skill, e.g. "pattern", "entropy_raw"
  std::string signal_type;  // snake_case identifier within the skill
  std::string description;
  double likelihood_ratio = 1.0;  // the skill's own ratio, before any gate cap
  std::optional<double> raw_score;
  std::optional<std::size_t> offset;  // byte offset of the evidence in the scanned text

  Signal() = default;
  // Builds a signal with raw_score and offset absent.
  Signal(std::string skill_name, std::string type, std::string desc, double lr)
      : skill(std::move(skill_name)),
        signal_type(std::move(type)),
        description(std::move(desc)),
        likelihood_ratio(lr) {}

  friend bool operator==(const Signal& a, const Signal& b);
  friend bool operator!=(const Signal& a, const Signal& b) { return !(a == b); }
};

// How the gate applied one signal.
struct SignalEvidence {
  std::string skill;
  std::string signal_type;
  std::string description;
  std::optional<double> raw_score;
  std::optional<std::size_t> offset;
  double likelihood_ratio = 1.0;  // applied ratio after discount, caps, clamp and budget
  double log_lr = 0.0;            // natural log of the applied ratio
  bool capped = false;
  bool suppressed = false;

  friend bool operator==(const SignalEvidence& a, const SignalEvidence& b);
  friend bool operator!=(const SignalEvidence& a, const SignalEvidence& b) { return !(a == b); }
};

// Statistics of the normalization of one scan text.
struct NormalizationReport {
  std::string version = "norm/v1";
  bool line_endings_normalized = false;
  std::uint64_t control_chars_mapped = 0;
  std::uint64_t invisible_chars_removed = 0;
  bool unicode_normalized = false;
  std::uint64_t confusable_substitutions = 0;
  std::uint64_t leetspeak_substitutions = 0;
  bool spaced_letters_collapsed = false;
  std::uint64_t decoded_payloads = 0;
  std::uint64_t normalized_hash = 0;

  friend bool operator==(const NormalizationReport& a, const NormalizationReport& b);
  friend bool operator!=(const NormalizationReport& a, const NormalizationReport& b) {
    return !(a == b);
  }
};

struct ThresholdsUsed {
  double warn_prob = 0;
  double block_prob = 0;
  double low_start_prob = 0;
  double medium_start_prob = 0;
  double high_start_prob = 0;
  double critical_start_prob = 0;
};

// The outcome of one scan.
struct ScanResult {
  // Verdict.
  bool safe = true;
  ThreatType threat_type = ThreatType::Benign;
  double confidence = 0;  // gate posterior p when unsafe, 1 - p when safe
  std::optional<Disposition> disposition;
  std::optional<Severity> severity;
  std::optional<std::string> warning_message;
  std::uint8_t tier_reached = 0;  // tiers completed: 0 (rejected), 1, 2
  double latency_ms = 0;

  // Scores (calibrated path only).
  std::optional<double> posterior_prob;
  std::optional<double> effective_lr;
  std::optional<ThresholdsUsed> thresholds_used;

  // Evidence.
  std::vector<Signal> signals;
  std::vector<SignalEvidence> evidence;  // one per signal, same order
  std::optional<double> raw_entropy;
  std::optional<std::string> normalized_text;
  std::optional<NormalizationReport> normalization;

  // Policy snapshot, copied from the configuration.
  double warn_prob = 0;
  double block_prob = 0;
  double low_start_prob = 0;
  double medium_start_prob = 0;
  double high_start_prob = 0;
  double critical_start_prob = 0;
  bool score_v2_enabled = false;
  bool warning_mode_enabled = false;
  bool correlation_dedup_enabled = false;
  bool score_profile_applied = false;
  std::optional<std::string> score_profile_warning;

  // Provenance.
  std::uint64_t gate_config_hash = 0;
  std::uint64_t pattern_db_hash = 0;
  std::optional<std::string> pattern_db_version;
};

// What one push of text to a stream did.
struct PushOutcome {
  enum class Kind { NoScan, Clean, Threat };
  Kind kind = Kind::NoScan;
  std::optional<ScanResult> result;  // present for Clean and Threat
};

}  // namespace vantrel_core
