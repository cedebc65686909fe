// Detects, in a model's response, signs that an attack succeeded: a disclosed
// system prompt (leak), compliance with a harmful request, or an announced
// safety bypass.
#pragma once

#include <string_view>

#include "matcher.h"
#include "skill.h"

namespace vantrel_core {

// Immutable; safe to share. Called directly by output scans and the stream
// scanner, not through the tier lists.
class OutputSkill {
 public:
  // Builds the three matchers; stops the process if a fixed table cannot be compiled.
  OutputSkill();

  // Leak signals, then compliance, then bypass, each group in text order; the
  // threat type is that of the first strongest signal.
  SkillOutput scan(std::string_view text) const;

 private:
  PhraseMatcher leak_matcher_;
  PhraseMatcher compliance_matcher_;
  PhraseMatcher bypass_matcher_;
};

}  // namespace vantrel_core
