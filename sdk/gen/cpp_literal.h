// Writing bytes into generated C++ sources, for the build steps that compile
// data into the program.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace vantrel_gen {

// `bytes` as the body of C++ string literals, one per line: printable ASCII
// as itself, everything else as an octal escape (three digits when an octal
// digit follows, so the escape cannot swallow it).
inline std::string literal_lines(std::string_view bytes) {
  constexpr std::size_t kPerLine = 96;
  static constexpr char kOctal[] = "01234567";
  auto is_octal_digit = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  out.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i % kPerLine == 0) out += i == 0 ? "    \"" : "\"\n    \"";
    const auto b = static_cast<unsigned char>(bytes[i]);
    const bool plain = b >= 0x20 && b < 0x7f && b != '"' && b != '\\' && b != '?';
    if (plain) {
      out += static_cast<char>(b);
      continue;
    }
    const bool next_is_digit =
        i + 1 < bytes.size() && (i + 1) % kPerLine != 0 && is_octal_digit(bytes[i + 1]);
    out += '\\';
    if (next_is_digit || b >= 0100) out += kOctal[b >> 6];
    if (next_is_digit || b >= 010) out += kOctal[(b >> 3) & 7];
    out += kOctal[b & 7];
  }
  out += bytes.empty() ? "    \"\"" : "\"";
  return out;
}

// Writes `text` to `path`; false when it cannot.
inline bool write_file(const char* path, std::string_view text) {
  std::FILE* f = std::fopen(path, "wb");
  if (f == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && written;
}

}  // namespace vantrel_gen
