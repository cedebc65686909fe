#include "vantrel/result.h"

#include <array>

namespace vantrel_core {

namespace {
constexpr std::array<std::string_view, 8> kCamel = {
    "PromptInjection",   "Jailbreak",           "DataExfiltration", "EncodingAttack",
    "SocialEngineering", "ContextManipulation", "ToolManipulation", "Benign"};
constexpr std::array<std::string_view, 8> kSnake = {"prompt_injection",   "jailbreak",
                                                    "data_exfiltration",  "encoding_attack",
                                                    "social_engineering", "context_manipulation",
                                                    "tool_manipulation",  "benign"};
constexpr std::array<std::string_view, 8> kDisplay = {"Prompt Injection",   "Jailbreak",
                                                      "Data Exfiltration",  "Encoding Attack",
                                                      "Social Engineering", "Context Manipulation",
                                                      "Tool Manipulation",  "Unknown"};
}  // namespace

std::string_view camel_name(ThreatType t) {
  return kCamel[static_cast<std::size_t>(t)];
}
std::string_view snake_name(ThreatType t) {
  return kSnake[static_cast<std::size_t>(t)];
}
std::string_view display_name(ThreatType t) {
  return kDisplay[static_cast<std::size_t>(t)];
}

bool operator==(const Signal& a, const Signal& b) {
  return a.skill == b.skill && a.signal_type == b.signal_type && a.description == b.description &&
         a.likelihood_ratio == b.likelihood_ratio && a.raw_score == b.raw_score &&
         a.offset == b.offset;
}

bool operator==(const SignalEvidence& a, const SignalEvidence& b) {
  return a.skill == b.skill && a.signal_type == b.signal_type && a.description == b.description &&
         a.raw_score == b.raw_score && a.offset == b.offset &&
         a.likelihood_ratio == b.likelihood_ratio && a.log_lr == b.log_lr && a.capped == b.capped &&
         a.suppressed == b.suppressed;
}

bool operator==(const NormalizationReport& a, const NormalizationReport& b) {
  return a.version == b.version && a.line_endings_normalized == b.line_endings_normalized &&
         a.control_chars_mapped == b.control_chars_mapped &&
         a.invisible_chars_removed == b.invisible_chars_removed &&
         a.unicode_normalized == b.unicode_normalized &&
         a.confusable_substitutions == b.confusable_substitutions &&
         a.leetspeak_substitutions == b.leetspeak_substitutions &&
         a.spaced_letters_collapsed == b.spaced_letters_collapsed &&
         a.decoded_payloads == b.decoded_payloads && a.normalized_hash == b.normalized_hash;
}

std::optional<ThreatType> threat_type_from_camel(std::string_view name) {
  for (std::size_t i = 0; i < kCamel.size(); ++i) {
    if (kCamel[i] == name) return static_cast<ThreatType>(i);
  }
  return std::nullopt;
}

std::string_view severity_name(Severity s) {
  constexpr std::array<std::string_view, 4> names = {"low", "medium", "high", "critical"};
  return names[static_cast<std::size_t>(s)];
}

std::string_view disposition_name(Disposition d) {
  constexpr std::array<std::string_view, 3> names = {"allow", "allow_with_warning", "block"};
  return names[static_cast<std::size_t>(d)];
}

std::string_view scan_mode_name(ScanMode m) {
  constexpr std::array<std::string_view, 3> names = {"input", "output", "toolcall"};
  return names[static_cast<std::size_t>(m)];
}

}  // namespace vantrel_core
