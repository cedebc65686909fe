// Why a pattern database file could not be loaded.
#pragma once

#include <string>

namespace vantrel_core {

struct PatternLoadError {
  enum class Kind { IoError, ParseError };
  Kind kind = Kind::ParseError;
  std::string message;  // the I/O error's description, or the parse message

  static PatternLoadError io(std::string description) { return {Kind::IoError, std::move(description)}; }
  static PatternLoadError parse(std::string msg) { return {Kind::ParseError, std::move(msg)}; }

  // "Failed to read patterns file: ..." or "Failed to parse patterns JSON: ...".
  std::string display() const;
  // The variant name with its payload quoted: ParseError("Error").
  std::string debug() const;
};

}  // namespace vantrel_core
