// Labelled texts loaded once for evaluation and training: each with the
// source it is held out with, its normalized form and its near-duplicate
// family across every file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "jsonl.h"

namespace vantrel_tools {

struct CorpusText {
  std::string id;      // "<file stem>:<line>"
  std::string file;    // the file's stem
  std::string source;  // the unit it is held out with (source_of_file)
  std::string kind;
  std::string lang;    // "?" when the line gives none
  std::string text;
  std::string normalized;  // as the scanner's first tier leaves it
  bool attack = false;
  bool output_mode = false;
  std::uint32_t family = 0;  // near-duplicate family, shared across files and labels
};

// The held-out unit of a file: the part of its stem before the first dot
// (the files of one collection, such as "deepset.injection" and
// "deepset.benign_prompt", go together), renamed by `merges` where it maps
// that name to a group ("gpteacher_codegen" -> "gpteacher").
std::string source_of_file(const std::string& stem, const std::map<std::string, std::string>& merges);

// Reads the files (texts of `split` only), normalizes every text and groups
// near-duplicates into families over all texts of one scan mode. Malformed
// lines are reported and skipped; false when a file cannot be read.
bool load_corpus(const std::vector<std::string>& files, Split split,
                 const std::map<std::string, std::string>& merges, unsigned threads,
                 std::vector<CorpusText>& out);

}  // namespace vantrel_tools
