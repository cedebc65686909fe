// The only first-tier skill: undoes common ways of hiding a phrase from the
// phrase matcher and reports what it undid.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "skill.h"

namespace vantrel_core {

// What the payload decoder found: one signal per decoded payload and the
// decoded texts, both lists of the same length. Signals list a payload before
// the payloads nested in it; texts list nested payloads before their container.
struct DecodeResult {
  std::vector<Signal> signals;
  std::vector<std::string> decoded;
};

// Immutable; safe to share.
class NormalizationSkill final : public Skill {
 public:
  explicit NormalizationSkill(double invisible_ratio_threshold = 0.05)
      : invisible_ratio_threshold_(invisible_ratio_threshold) {}

  std::string_view name() const override { return "normalize"; }
  std::uint8_t tier() const override { return kFirstTier; }

  // Rewrites the text (line endings, control and invisible characters, NFKC,
  // homoglyphs, appended payload decodings, leetspeak, spaced-out letters,
  // whitespace layout) and returns one signal per kind of obfuscation undone,
  // the normalized text and the report. Always sets normalized_text and
  // normalization. Takes valid UTF-8; linear in the text length.
  SkillOutput scan(std::string_view text) const override;

  // Finds base64 runs, then hex runs, that decode to readable ASCII text, and
  // decodes each such text once more; a call at depth 2 or deeper returns
  // nothing. Signal offsets are byte offsets into `text`.
  static DecodeResult decode_recursive(std::string_view text, unsigned depth);

  // Share of removed invisible characters above which their signal is strong.
  double invisible_ratio_threshold() const { return invisible_ratio_threshold_; }

 private:
  double invisible_ratio_threshold_;
};

}  // namespace vantrel_core
