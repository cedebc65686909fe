// Pattern database files of any content, and the build step's image of every
// database that loads: the image must read back to the same records, version
// and hash, and scan exactly as the skill it was written from.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_target.h"
#include "skills/pattern.h"
#include "vantrel/text.h"

namespace {

using vantrel_core::PatternSkill;
using vantrel_fuzz::check;

bool same_scan(const vantrel_core::SkillOutput& a, const vantrel_core::SkillOutput& b) {
  return a.signals == b.signals && a.threat_type == b.threat_type;
}

}  // namespace

VANTREL_FUZZ_TARGET(patterns) {
  const std::string_view json(reinterpret_cast<const char*>(data), size);
  auto loaded = PatternSkill::from_json(json);
  if (!loaded) return 0;
  const PatternSkill& skill = *loaded;

  // The image is read in place from memory aligned like any allocation.
  const std::string written = skill.image();
  std::vector<std::max_align_t> aligned(written.size() / sizeof(std::max_align_t) + 1);
  std::memcpy(aligned.data(), written.data(), written.size());
  const std::span<const std::byte> image(reinterpret_cast<const std::byte*>(aligned.data()),
                                         written.size());
  auto read = PatternSkill::from_image(image);
  check(read.has_value(), "the image of a loaded database reads back");
  check(read->db_hash() == skill.db_hash() && read->db_version() == skill.db_version(),
        "image keeps version and hash");
  check(read->patterns() == skill.patterns(), "image keeps the records");

  // Scan the database's own text and each record's phrase with both.
  const std::string probe = vantrel_core::to_valid_utf8(json);
  check(same_scan(skill.scan(probe), read->scan(probe)), "image scans the file's text alike");
  std::string phrases;
  for (const vantrel_core::Pattern& p : skill.patterns()) {
    if (phrases.size() > 4096) break;
    phrases += p.text;
    phrases += " | ";
  }
  phrases = vantrel_core::to_valid_utf8(phrases);
  check(same_scan(skill.scan(phrases), read->scan(phrases)), "image scans the phrases alike");
  return 0;
}
