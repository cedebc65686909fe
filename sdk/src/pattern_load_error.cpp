#include "pattern_load_error.h"

namespace vantrel_core {

std::string PatternLoadError::display() const {
  std::string out =
      kind == Kind::IoError ? "Failed to read patterns file: " : "Failed to parse patterns JSON: ";
  out += message;
  return out;
}

std::string PatternLoadError::debug() const {
  std::string out = kind == Kind::IoError ? "IoError(\"" : "ParseError(\"";
  for (char c : message) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  out += "\")";
  return out;
}

}  // namespace vantrel_core
