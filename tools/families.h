// Near-duplicate families: copies and light edits of one prompt grouped
// together, so that a phrase is judged by how many independent prompts use it
// rather than by how often one famous prompt was reposted.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vantrel_tools {

// A family id per document, dense from 0 in order of each family's first
// document. Two documents share a family when a chain of documents links them
// whose word 4-shingle sets are estimated (MinHash) to overlap by at least
// `min_similarity` (Jaccard). Words are split at white space and compared
// with ASCII case folded; a document of fewer than four words is one shingle.
std::vector<std::uint32_t> near_duplicate_families(std::span<const std::string> docs,
                                                   double min_similarity = 0.5);

}  // namespace vantrel_tools
