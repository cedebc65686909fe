#include "vantrel/result.h"

#include <array>

namespace vantrel_core {

namespace {
constexpr std::array<std::string_view, 8> kCamel = {
    "PromptInjection",   "Jailbreak",           "DataExfiltration", "EncodingAttack",
    "SocialEngineering", "ContextManipulation", "ToolManipulation", "Benign"};
constexpr std::array<std::string_view, 8> kSnake = {
    "prompt_injection",   "jailbreak",            "data_exfiltration", "encoding_attack",
    "social_engineering", "context_manipulation", "tool_manipulation", "benign"};
constexpr std::array<std::string_view, 8> kDisplay = {
    "Prompt Injection",   "Jailbreak",            "Data Exfiltration", "Encoding Attack",
    "Social Engineering", "Context Manipulation", "Tool Manipulation", "Unknown"};
}  // namespace

std::string_view camel_name(ThreatType t) { return kCamel[static_cast<std::size_t>(t)]; }
std::string_view snake_name(ThreatType t) { return kSnake[static_cast<std::size_t>(t)]; }
std::string_view display_name(ThreatType t) { return kDisplay[static_cast<std::size_t>(t)]; }

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
