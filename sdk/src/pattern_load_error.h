// Why a pattern database file could not be loaded.
#pragma once

#include <string>

namespace vantrel_core {

struct PatternLoadError {
  enum class Kind { IoError, ParseError };
  Kind kind = Kind::ParseError;
  std::string message;  // the I/O error's description, or the parse message
  // For a rejected text, what is wrong and where (record, field, or what the
  // JSON parser said); the command line's messages keep the terse `message`.
  // Empty when `message` says it all.
  std::string detail;

  static PatternLoadError io(std::string description) {
    return {Kind::IoError, std::move(description), {}};
  }
  static PatternLoadError parse(std::string msg, std::string why = {}) {
    return {Kind::ParseError, std::move(msg), std::move(why)};
  }

  // "Failed to read patterns file: ..." or "Failed to parse patterns JSON: ...".
  std::string display() const;
  // The variant name with its payload quoted: ParseError("Error").
  std::string debug() const;
};

}  // namespace vantrel_core
