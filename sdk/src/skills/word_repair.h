// Puts back words whose inner letters were shuffled ("instrcutions"), so that
// the phrase matcher can read wording scrambled past its phrases. The learned
// detector's word features already ignore such shuffles; this gives the
// phrase evidence the same reach when the detector is on.
//
// A word of the text is repaired when it is not itself a word of the phrase
// database but shares its first and last letter, its length and the letters
// between them with exactly one database word of four or more letters
// (ASCII letters, case ignored). Built once from the database; linear per scan.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel_core {

class WordRepair {
 public:
  // The words are taken from the phrases' texts (copied).
  explicit WordRepair(const std::vector<std::string_view>& phrases);
  // Its tables point into its own text.
  WordRepair(const WordRepair&) = delete;
  WordRepair& operator=(const WordRepair&) = delete;

  // For each repaired word, the stretch of its line from kContextWords words
  // before it to kContextWords words after it, with every repairable word in
  // the stretch repaired and followed by a line feed (overlapping stretches
  // written once); empty when no word of `text` needs repair.
  std::string repaired_stretches(std::string_view text) const;

  static constexpr std::size_t kContextWords = 8;

 private:
  struct Keyed {
    std::uint64_t key;      // of the first and last letter, length, inner letters
    std::string_view word;  // in words_, or empty when two words share the key
  };
  // The database word a text word stands for, or null.
  const std::string_view* repair_of(std::string_view word) const;

  std::string arena_;          // the repairing words, lower case
  std::vector<Keyed> by_key_;  // sorted by key
};

}  // namespace vantrel_core
