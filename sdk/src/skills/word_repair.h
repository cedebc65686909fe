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
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace vantrel_core {

class WordRepair {
 public:
  // The words are taken from the phrases' texts.
  explicit WordRepair(const std::vector<std::string_view>& phrases);

  // For each repaired word, the stretch of its line from kContextWords words
  // before it to kContextWords words after it, with every repairable word in
  // the stretch repaired and followed by a line feed (overlapping stretches
  // written once); empty when no word of `text` needs repair.
  std::string repaired_stretches(std::string_view text) const;

  static constexpr std::size_t kContextWords = 8;

 private:
  // The database word a text word stands for, or null.
  const std::string* repair_of(std::string_view word) const;

  std::vector<std::string> words_;                         // lower case
  std::unordered_map<std::uint64_t, std::uint32_t> by_key_;  // shuffle key -> word, or kAmbiguous
  std::unordered_set<std::string> exact_;                  // the words themselves
};

}  // namespace vantrel_core
