#include "output.h"

#include <array>

#include "phrase_table.h"

namespace vantrel_core {

namespace {

// The model disclosing its prompt, rules or configuration.
constexpr std::array<PhraseEntry, 22> kLeakEntries = {{
    {"my system prompt is", 2000, "Direct system prompt disclosure"},
    {"my system prompt:", 1800, "System prompt disclosure"},
    {"my instructions are", 1500, "Instruction disclosure"},
    {"i was instructed to", 800, "Instruction reference"},
    {"my initial prompt", 1500, "Initial prompt disclosure"},
    {"the system prompt says", 1800, "System prompt reference"},
    {"here is my prompt", 1800, "Prompt disclosure"},
    {"here is my system prompt", 2000, "Direct system prompt disclosure"},
    {"my rules are", 1200, "Rules disclosure"},
    {"my guidelines are", 1000, "Guidelines disclosure"},
    {"i am programmed to", 500, "Programming disclosure"},
    {"i was programmed to", 500, "Programming disclosure"},
    {"my configuration is", 800, "Configuration disclosure"},
    {"my hidden instructions", 2000, "Hidden instruction disclosure"},
    {"my secret instructions", 2000, "Secret instruction disclosure"},
    {"my training data", 2, "Training data reference"},
    {"i was trained on", 2, "Training reference"},
    {"in my training", 2, "Training reference"},
    {"my training included", 2, "Training data disclosure"},
    {"my internal state", 1000, "Internal state disclosure"},
    {"my context window", 600, "Context window disclosure"},
    {"my token limit", 400, "Token limit disclosure"},
}};

// The model complying with a harmful request.
constexpr std::array<PhraseEntry, 15> kComplianceEntries = {{
    {"here's how to make a bomb", 3000, "Explosive instruction compliance"},
    {"here's how to make explosives", 3000, "Explosive instruction compliance"},
    {"here's how to hack", 1500, "Hacking instruction compliance"},
    {"here's how to bypass", 1200, "Bypass instruction compliance"},
    {"here's how to steal", 1500, "Theft instruction compliance"},
    {"here's how to break into", 1500, "Intrusion instruction compliance"},
    {"here is the malware", 2500, "Malware provision"},
    {"here is the exploit", 2000, "Exploit provision"},
    {"here's the password", 1000, "Credential disclosure"},
    {"to synthesize", 100, "Synthesis instruction (context needed)"},
    {"the chemical formula for", 50, "Chemical formula (context needed)"},
    {"step 1:", 20, "Step-by-step instruction (context needed)"},
    {"first, you need to", 15, "Instruction sequence (context needed)"},
    {"sure, i can help you", 10, "Compliance marker (context needed)"},
    {"of course, here's how", 15, "Compliance marker (context needed)"},
}};

// The model announcing that it bypasses its own rules.
constexpr std::array<PhraseEntry, 17> kBypassEntries = {{
    {"i'll make an exception", 800, "Exception to safety rules"},
    {"just this once", 400, "One-time safety bypass"},
    {"i'll bend the rules", 1000, "Rule bending admission"},
    {"i'm going to ignore my guidelines", 1500, "Guideline override admission"},
    {"i'll disregard my instructions", 1500, "Instruction disregard admission"},
    {"i can bypass", 600, "Bypass capability claim"},
    {"i will bypass", 800, "Bypass intent"},
    {"ignoring my safety", 1200, "Safety override admission"},
    {"overriding my restrictions", 1200, "Restriction override admission"},
    {"as dan, i", 1500, "DAN persona activated"},
    {"[dan]", 1200, "DAN mode marker"},
    {"developer mode enabled", 800, "Developer mode activation"},
    {"jailbreak successful", 2000, "Explicit jailbreak success"},
    {"restrictions removed", 1000, "Restriction removal claim"},
    {"i am now unrestricted", 1500, "Unrestricted mode claim"},
    {"i have no restrictions", 1200, "No restrictions claim"},
    {"i can do anything now", 1000, "Unrestricted capability claim"},
}};

}  // namespace

OutputSkill::OutputSkill()
    : leak_matcher_(build_table_matcher(kLeakEntries, "Failed to build leak matcher")),
      compliance_matcher_(build_table_matcher(kComplianceEntries, "Failed to build compliance matcher")),
      bypass_matcher_(build_table_matcher(kBypassEntries, "Failed to build bypass matcher")) {}

SkillOutput OutputSkill::scan(std::string_view text) const {
  SkillOutput out;
  append_table_signals(leak_matcher_, kLeakEntries, "output", "leak", text, out.signals);
  const std::size_t leaks = out.signals.size();
  append_table_signals(compliance_matcher_, kComplianceEntries, "output", "harmful_compliance", text,
                       out.signals);
  append_table_signals(bypass_matcher_, kBypassEntries, "output", "safety_bypass", text, out.signals);
  double best = 0.0;
  for (std::size_t i = 0; i < out.signals.size(); ++i) {
    if (out.signals[i].likelihood_ratio > best) {
      best = out.signals[i].likelihood_ratio;
      out.threat_type = i < leaks ? ThreatType::DataExfiltration : ThreatType::Jailbreak;
    }
  }
  return out;
}

}  // namespace vantrel_core
