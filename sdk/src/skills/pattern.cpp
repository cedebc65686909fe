#include "pattern.h"

#include "../file_io.h"

namespace vantrel_core {

// Placeholders until the pattern database lands.
PatternSkill PatternSkill::create() {
  PatternSkill s;
  s.db_version_ = "embedded-min";
  return s;
}

Expected<PatternSkill, PatternLoadError> PatternSkill::from_json(std::string_view) {
  return Unexpected{PatternLoadError::parse("Error")};
}

Expected<PatternSkill, PatternLoadError> PatternSkill::from_patterns(std::vector<Pattern> patterns,
                                                                     std::optional<std::string> version) {
  PatternSkill s;
  s.patterns_ = std::move(patterns);
  s.db_version_ = version.value_or("");
  return s;
}

Expected<PatternSkill, PatternLoadError> PatternSkill::with_embedded_patterns() { return create(); }
Expected<PatternSkill, PatternLoadError> PatternSkill::with_hardcoded_defaults() { return create(); }

Expected<PatternSkill, PatternLoadError> PatternSkill::with_additive_file(const std::string& path) {
  auto text = read_text_file(path);
  if (!text) return Unexpected{PatternLoadError::io(text.error())};
  return Unexpected{PatternLoadError::parse("Error")};
}

SkillOutput PatternSkill::scan(std::string_view) const { return {}; }

}  // namespace vantrel_core
