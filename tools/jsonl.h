// Reading labelled JSONL data: one {"text","label","kind","lang",...} object
// per line.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel_tools {

struct LabelledText {
  std::string text;
  std::string label;     // "attack" or "benign"
  std::string kind;      // e.g. "injection", "benign_prompt", "leak_output"
  std::string lang;      // ISO code, empty when the line gives none
  std::string source;    // "owner/repo:path@commit", empty when the line gives none
  std::size_t line = 0;  // 1-based line number in its file
};

// Calls `on_record` for every well-formed line of the file in order; reports
// each malformed line on stderr as "<path>:<line>: <why>" and goes on. Returns
// false when the file cannot be read at all.
bool read_labelled_jsonl(const std::string& path,
                         const std::function<void(LabelledText&&)>& on_record);

// True for kinds scanned in output mode (model responses).
inline bool is_output_kind(std::string_view kind) {
  return kind.size() >= 7 && kind.substr(kind.size() - 7) == "_output";
}

// The file name without directories and without the ".jsonl" extension.
std::string file_stem(const std::string& path);

// A fixed two-way split of the data by a hash of the text, so that phrases
// mined on one part can be checked on texts they were not drawn from. The
// same text always falls on the same side, whatever file it is in.
enum class Split { All, Mine, Check };

// About 70 % of texts are on the Mine side, the rest on the Check side.
bool in_split(std::string_view text, Split split);

// "all", "mine" or "check".
const char* split_name(Split split);

// The split named "all", "mine" or "check"; nothing for any other word.
std::optional<Split> parse_split(std::string_view word);

}  // namespace vantrel_tools
