// Finders for runs of text that look like hex or base64 payloads.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace vantrel_core {

// Half-open byte range [start, end).
struct ByteRun {
  std::size_t start = 0;
  std::size_t end = 0;
  bool operator==(const ByteRun&) const = default;
};

struct HexScanner {
  // Runs of 16 or more hex digits, an optional leading "0x" included; ascending.
  static std::vector<ByteRun> find_all(std::string_view text);
};

struct Base64Scanner {
  // Runs of 12 or more base64 characters, up to two "=" included; ascending.
  static std::vector<ByteRun> find_all(std::string_view text);
};

}  // namespace vantrel_core
