#include "pattern_source.h"

#include "file_io.h"

namespace vantrel_tools {

vantrel_core::Expected<vantrel_core::PatternSkill, std::string> load_pattern_skill(
    const std::optional<std::string>& path) {
  using vantrel_core::PatternSkill;
  using vantrel_core::Unexpected;
  if (!path) return PatternSkill::create();
  auto text = vantrel_core::read_text_file(*path, vantrel_core::kMaxPatternFileBytes);
  if (!text) return Unexpected{*path + ": " + std::move(text).error()};
  auto skill = PatternSkill::from_json(*text);
  if (!skill) return Unexpected{*path + ": " + skill.error().display()};
  return std::move(skill).value();
}

}  // namespace vantrel_tools
