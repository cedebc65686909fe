// The scanner's decision on the log-odds scale, for ranking texts and for
// fitting the learned detector to the decision it joins.
#pragma once

#include <vector>

#include "corpus.h"
#include "vantrel/result.h"
#include "engine.h"

namespace vantrel_tools {

// The gate's own sum when it decided (prior plus every applied log ratio),
// else the logit of the profile's probability; +infinity for a text over the
// size limit.
double decision_score(const vantrel_core::ScanResult& r, double prior);

// decision_score of every text, scanned in the mode its kind calls for, by a
// scanner (normally one without the learned detector), with `threads` threads.
std::vector<double> decision_scores(const std::vector<CorpusText>& texts, const vantrel_core::Scanner& scanner,
                                    unsigned threads);

}  // namespace vantrel_tools
