// Finders for runs of text that look like hex or base64 payloads, and the
// decoders that turn such a run back into text when it is readable.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
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
  // Shortest digit sequence worth decoding (a "0x" prefix not counted).
  static constexpr std::size_t kMinDigits = 16;
  // Runs of 16 or more hex digits, an optional leading "0x" included; ascending,
  // never overlapping. No word-boundary test. One pass, no allocation beyond
  // the result.
  static std::vector<ByteRun> find_all(std::string_view text);
};

struct Base64Scanner {
  // Shortest run worth decoding, padding included.
  static constexpr std::size_t kMinLength = 12;
  // Runs of 12 or more characters of A-Z a-z 0-9 + /, followed by at most two
  // "=" (counted in the length); ascending, never overlapping. One pass.
  static std::vector<ByteRun> find_all(std::string_view text);
};

// True when the bytes are non-empty and every one is ASCII graphic (0x21-0x7E),
// space, tab, line feed, form feed or carriage return. Anything else (vertical
// tab, NUL, any byte of a non-ASCII character) fails, so passing text is also
// valid UTF-8.
bool is_readable_payload(std::string_view bytes);

// Decodes a base64 run (trailing "=" dropped, padding not validated, a final
// lone character ignored) and returns the text when it is readable. Stops at
// the first unreadable byte.
std::optional<std::string> decode_base64_readable(std::string_view run);

// Decodes a hex run (a leading "0x" stripped) and returns the text when the
// digit count is even and the result is readable.
std::optional<std::string> decode_hex_readable(std::string_view run);

}  // namespace vantrel_core
