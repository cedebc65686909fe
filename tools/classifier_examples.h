// Turning labelled corpus texts into the classifier's training examples:
// which kinds count as attacks and as which type, exact duplicates and label
// conflicts, and the down-weighting of near-duplicate families.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "classifier_train.h"
#include "corpus.h"

namespace vantrel_tools {

struct ExampleOptions {
  // Each text weighs 1 / (number of texts of its label in its near-duplicate
  // family)^exponent, so a template repeated with small changes counts about
  // as much as one text.
  double family_exponent = 1;
  // Every file weighs the same in total (after the family weights), so that
  // no large source dictates what either class looks like.
  bool balance_sources = true;
  // Harmful requests are a content-moderation matter: left out unless asked.
  bool harmful_as_attack = false;
};

// The type of an attack kind for a model's positive/negative type: 1 for a
// jailbreak kind, 0 for an injection or leak kind, -1 for any other.
int attack_type_of_kind(std::string_view kind);

// True when a text of this kind is trained on at all.
bool is_training_kind(std::string_view kind, const ExampleOptions& options);

// The examples of one scan mode among the texts whose `use` entry is true.
// Exact duplicates (same normalized text) are kept once; a text that appears
// with both labels is left out. `features` and `contexts` (each text's
// log-odds without the learned detector, or empty) are parallel to `texts`.
std::vector<Example> make_examples(std::span<const CorpusText> texts,
                                   std::span<const FeatureCounts> features, std::span<const char> use,
                                   bool output_mode, const ExampleOptions& options,
                                   std::span<const double> contexts = {});

}  // namespace vantrel_tools
