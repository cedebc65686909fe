// Prints the normalized form of each line of standard input, one per line, so
// that phrases can be stored as the matcher will see them.
//
//   vantrel_normalize_lines < phrases.txt
#include <iostream>
#include <string>

#include "skills/normalize.h"

int main() {
  const vantrel_core::NormalizationSkill normalizer;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::cout << *normalizer.scan(line).normalized_text << '\n';
  }
  return std::cout ? 0 : 1;
}
