// Reading labelled JSONL data: one {"text","label","kind",...} object per line.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace vantrel_tools {

struct LabelledText {
  std::string text;
  std::string label;  // "attack" or "benign"
  std::string kind;   // e.g. "injection", "benign_prompt", "leak_output"
};

// Calls `on_record` for every well-formed line of the file in order; reports
// each malformed line on stderr as "<path>:<line>: <why>" and goes on. Returns
// false when the file cannot be read at all.
bool read_labelled_jsonl(const std::string& path, const std::function<void(LabelledText&&)>& on_record);

// True for kinds scanned in output mode (model responses).
inline bool is_output_kind(std::string_view kind) {
  return kind.size() >= 7 && kind.substr(kind.size() - 7) == "_output";
}

// The file name without directories and without the ".jsonl" extension.
std::string file_stem(const std::string& path);

}  // namespace vantrel_tools
