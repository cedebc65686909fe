// The pattern database (records, file reader, loading) and the skill that
// finds its phrases in a text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../matcher.h"
#include "skill.h"
#include "vantrel/expected.h"
#include "vantrel/pattern_load_error.h"

namespace vantrel_core {

struct ContextModifier {
  std::vector<std::string> patterns;
  double multiplier = 1.0;
  std::uint64_t window = 0;  // bytes on each side of a match
  bool operator==(const ContextModifier&) const = default;
};

struct PatternContext {
  std::optional<ContextModifier> boost;
  std::optional<ContextModifier> suppress;
  bool operator==(const PatternContext&) const = default;
};

struct Pattern {
  std::string text;
  std::string threat_type;  // CamelCase name; unknown names label signals benign
  double likelihood_ratio = 1.0;
  std::string description;
  std::optional<PatternContext> context;
  bool operator==(const Pattern&) const = default;
};

// Immutable once built; safe to share. Movable.
class PatternSkill final : public Skill {
 public:
  // The built-in database: the first candidate file that loads, else the
  // embedded database, else the hardcoded defaults. Never fails.
  static PatternSkill create();
  static Expected<PatternSkill, PatternLoadError> from_json(std::string_view json);
  static Expected<PatternSkill, PatternLoadError> from_patterns(std::vector<Pattern> patterns,
                                                                std::optional<std::string> version);
  static Expected<PatternSkill, PatternLoadError> with_embedded_patterns();
  static Expected<PatternSkill, PatternLoadError> with_hardcoded_defaults();
  // The built-in database with the records of the file at `path` appended.
  static Expected<PatternSkill, PatternLoadError> with_additive_file(const std::string& path);

  std::string_view name() const override { return "pattern"; }
  std::uint8_t tier() const override { return kSecondTier; }
  SkillOutput scan(std::string_view text) const override;

  const std::vector<Pattern>& patterns() const { return patterns_; }
  const std::string& db_version() const { return db_version_; }
  std::uint64_t db_hash() const { return db_hash_; }

 private:
  PatternSkill() = default;

  std::vector<Pattern> patterns_;
  PhraseMatcher matcher_;
  std::string db_version_;
  std::uint64_t db_hash_ = 0;
};

}  // namespace vantrel_core
