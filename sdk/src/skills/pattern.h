// The pattern skill: loads the pattern database (a file found at start-up,
// else the embedded database, else a hardcoded core set), and finds its
// phrases in a text, weighting each by its record and nearby context.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "matcher.h"
#include "pattern_db.h"
#include "pattern_load_error.h"
#include "pattern_table.h"
#include "skill.h"
#include "vantrel/expected.h"

namespace vantrel_core {

// Immutable once built; safe to share. Movable.
class PatternSkill final : public Skill {
 public:
  // The built-in database: the first candidate file that loads (the build's
  // pattern file unless configured empty, then patterns.json, ./patterns.json
  // and ../patterns.json), else the embedded database, else the hardcoded
  // defaults. Stops the process only if even those cannot be built.
  static PatternSkill create();
  // The database compiled into the program (with_embedded_patterns), else
  // the hardcoded defaults; reads no file. Stops the process only if even
  // those cannot be built.
  static PatternSkill compiled_in();
  // A pattern file's text; a rejected text gives ParseError("Error") with
  // the reason in its detail.
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
  // It is read in place from the image the build compiled from the embedded
  // text, which gives what from_json over that text gives.
  static Expected<PatternSkill, PatternLoadError> with_embedded_patterns();
  // The skill as an image: its records (without any re-labelling), matcher,
  // version and hash.
  std::string image() const;
  // An image that holds a load error instead of a skill.
  static std::string error_image(const PatternLoadError& error);
  // Reads an image written by image or error_image in place: the skill, or
  // the error it holds. `image` must start at a multiple of 8 bytes and outlive the skill.
  // A malformed image gives ParseError.
  static Expected<PatternSkill, PatternLoadError> from_image(std::span<const std::byte> image);
  // The fifteen core records, version "embedded-min".
  static Expected<PatternSkill, PatternLoadError> with_hardcoded_defaults();
  // The built-in database (create(), or compiled_in() without
  // `search_candidate_files`) with the records of the file at `path`
  // appended; its version is the built-in one, "+runtime:", then the file's.
  // The records of both are compiled once, together.
  static Expected<PatternSkill, PatternLoadError> with_additive_file(
      const std::string& path, bool search_candidate_files = true);

  std::string_view name() const override { return "pattern"; }
  std::uint8_t tier() const override { return kSecondTier; }
  // One signal per match in ascending offset, and the strongest one's type.
  SkillOutput scan(std::string_view text) const override;

  // The records in load order (after any re-labelling). For a skill read
  // from an image they are copied out on the first call; scans never need
  // them.
  const std::vector<Pattern>& patterns() const;
  // The records' texts in load order, as matched, without making the records.
  std::vector<std::string_view> texts() const;
  const PhraseMatcher& matcher() const { return matcher_; }
  const std::string& db_version() const { return db_version_; }
  std::uint64_t db_hash() const { return db_hash_; }

  // A working-directory candidate file the built-in database was read from,
  // and the records it gave; none for the build's file or the compiled-in
  // database.
  struct WorkingDirectoryFile {
    std::string path;
    std::size_t records = 0;
  };
  const std::optional<WorkingDirectoryFile>& working_directory_file() const { return cwd_file_; }

 private:
  // A record whose name (and maybe text) the embedded re-labelling changed.
  struct Relabelled {
    std::uint32_t record = 0;
    std::string_view threat_type;  // static text
    std::optional<std::string_view> text;
  };
  // The records as Pattern values, made once on demand.
  struct RecordList {
    std::once_flag made;
    std::vector<Pattern> records;
  };

  // A database's records and version label, read but not compiled.
  struct Records {
    std::vector<Pattern> patterns;
    std::string version;
    std::optional<WorkingDirectoryFile> cwd_file;
  };

  PatternSkill() = default;
  // The records create() or compiled_in() would compile, without compiling
  // them. A candidate file is taken on its text alone: one that would fail to
  // compile is not skipped here.
  static Records built_in_records(bool search_candidate_files);
  // The records of a skill, which is given up.
  static Records take_records(PatternSkill skill);
  // Sets types_ from the table's names and relabelled_.
  void map_threat_types();
  // Applies the fixed re-labelling of the embedded database; called once,
  // before the records are made.
  void relabel_embedded();

  PatternTable table_;
  std::optional<WorkingDirectoryFile> cwd_file_;
  std::vector<Relabelled> relabelled_;  // ascending record
  std::vector<ThreatType> types_;       // per record, from its (re-labelled) name
  PhraseMatcher matcher_;
  std::string db_version_;
  std::uint64_t db_hash_ = 0;
  std::unique_ptr<RecordList> records_ = std::make_unique<RecordList>();
};

}  // namespace vantrel_core
