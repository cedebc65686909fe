// The learned detector: a linear model over the features of the classifier's
// own view of the normalized text. It catches attacks that no phrase names
// (paraphrased role-play, task switches, prompt extraction, token soup,
// context flooding) and reports at most one signal, whose likelihood ratio
// comes from the model's calibration and whose description names the
// strongest evidence.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "classifier_model.h"
#include "skill.h"

namespace vantrel_core {

// What a model makes of one text.
struct ClassifierScore {
  double score = 0;       // calibrated on the log-odds scale by the ratio
  double type_score = 0;  // >= 0: the model's positive type
  double ratio = 1;       // likelihood ratio of attack, capped
  ThreatType type = ThreatType::Benign;
};

// One unit of a text (a word, a pair of words or a shape) and how much it
// moved the score.
struct ClassifierEvidence {
  std::string label;  // the words as the view holds them, or a shape's name
  double contribution = 0;
  bool words = true;  // false for a shape
};

// Immutable; safe to share. Copyable (copies share the model's bytes).
class ClassifierSkill final : public Skill {
 public:
  // Uses the model of `model` for `mode`, which must exist.
  ClassifierSkill(ClassifierModel model, ScanMode mode);

  std::string_view name() const override { return "classifier"; }
  std::uint8_t tier() const override { return kSecondTier; }
  // One signal when the ratio reaches the model's least reported ratio: type
  // "jailbreak", "prompt_injection", ... as the type score says, the ratio,
  // and the three strongest pieces of evidence. Takes the normalized text.
  SkillOutput scan(std::string_view text) const override;

  ClassifierScore score(std::string_view text) const;
  // Every unit with a non-zero contribution, strongest towards attack first.
  std::vector<ClassifierEvidence> explain(std::string_view text) const;

  const LinearModel& model() const { return linear_; }

 private:
  ClassifierModel model_;  // keeps the bytes the weights are read from
  LinearModel linear_;
};

}  // namespace vantrel_core
