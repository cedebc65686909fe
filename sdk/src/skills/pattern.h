// The pattern skill: loads the pattern database (a file found at start-up,
// else the embedded database, else a hardcoded core set), and finds its
// phrases in a text, weighting each by its record and nearby context.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../matcher.h"
#include "pattern_db.h"
#include "skill.h"
#include "vantrel/expected.h"
#include "vantrel/pattern_load_error.h"

namespace vantrel_core {

// Immutable once built; safe to share. Movable.
class PatternSkill final : public Skill {
 public:
  // The built-in database: the first candidate file that loads (the build's
  // pattern file unless configured empty, then patterns.json, ./patterns.json
  // and ../patterns.json), else the embedded database, else the hardcoded
  // defaults. Stops the process only if even those cannot be built.
  static PatternSkill create();
  // A pattern file's text; a rejected text gives ParseError("Error").
  // `readable_padding`: bytes after the text that may be read (see
  // read_pattern_db).
  static Expected<PatternSkill, PatternLoadError> from_json(std::string_view json,
                                                            std::size_t readable_padding = 0);
  // Compiles the records in order; without a version the hash in hex is the
  // version. Fails with ParseError when the matcher cannot be built.
  static Expected<PatternSkill, PatternLoadError> from_patterns(std::vector<Pattern> patterns,
                                                                std::optional<std::string> version);
  // The database compiled into the program, with the fixed re-labelling
  // applied to its records (matcher, version and hash stay those as read).
  static Expected<PatternSkill, PatternLoadError> with_embedded_patterns();
  // The fifteen core records, version "embedded-min".
  static Expected<PatternSkill, PatternLoadError> with_hardcoded_defaults();
  // The built-in database with the records of the file at `path` appended;
  // its version is the built-in one, "+runtime:", then the file's.
  static Expected<PatternSkill, PatternLoadError> with_additive_file(const std::string& path);

  std::string_view name() const override { return "pattern"; }
  std::uint8_t tier() const override { return kSecondTier; }
  // One signal per match in ascending offset, and the strongest one's type.
  SkillOutput scan(std::string_view text) const override;

  const std::vector<Pattern>& patterns() const { return patterns_; }
  const PhraseMatcher& matcher() const { return matcher_; }
  const std::string& db_version() const { return db_version_; }
  std::uint64_t db_hash() const { return db_hash_; }

 private:
  PatternSkill() = default;
  // Recomputes the per-record threat types after the records' names change.
  void map_threat_types();

  std::vector<Pattern> patterns_;
  std::vector<ThreatType> types_;  // per record, from its threat_type name
  PhraseMatcher matcher_;
  std::string db_version_;
  std::uint64_t db_hash_ = 0;
};

}  // namespace vantrel_core
