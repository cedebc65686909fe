#include "jsonl.h"

#include <simdjson.h>

#include <cstdio>
#include <fstream>

#include "fnv.h"

namespace vantrel_tools {

std::string file_stem(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 6 && name.substr(name.size() - 6) == ".jsonl") name.resize(name.size() - 6);
  return name;
}

bool read_labelled_jsonl(const std::string& path,
                         const std::function<void(LabelledText&&)>& on_record) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    std::fprintf(stderr, "%s: cannot open\n", path.c_str());
    return false;
  }
  simdjson::dom::parser parser;
  std::string line;
  std::size_t line_no = 0;
  while (std::getline(in, line)) {
    ++line_no;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find_first_not_of(" \t") == std::string::npos) continue;
    auto complain = [&](const char* why) {
      std::fprintf(stderr, "%s:%zu: %s\n", path.c_str(), line_no, why);
    };
    simdjson::dom::element doc;
    if (parser.parse(line).get(doc) != simdjson::SUCCESS) {
      complain("not valid JSON");
      continue;
    }
    if (!doc.is_object()) {
      complain("not a JSON object");
      continue;
    }
    std::string_view text, label, kind, lang, source;
    if (doc["text"].get_string().get(text) != simdjson::SUCCESS) {
      complain("missing string \"text\"");
      continue;
    }
    if (doc["label"].get_string().get(label) != simdjson::SUCCESS ||
        (label != "attack" && label != "benign")) {
      complain("\"label\" must be \"attack\" or \"benign\"");
      continue;
    }
    if (doc["kind"].get_string().get(kind) != simdjson::SUCCESS || kind.empty()) {
      complain("missing string \"kind\"");
      continue;
    }
    // "lang" is optional and may be null; any other type is a mistake.
    simdjson::dom::element lang_value;
    if (doc["lang"].get(lang_value) == simdjson::SUCCESS && !lang_value.is_null() &&
        lang_value.get_string().get(lang) != simdjson::SUCCESS) {
      complain("\"lang\" must be a string or null");
      continue;
    }
    // "source" is optional too.
    simdjson::dom::element source_value;
    if (doc["source"].get(source_value) == simdjson::SUCCESS && !source_value.is_null() &&
        source_value.get_string().get(source) != simdjson::SUCCESS) {
      complain("\"source\" must be a string or null");
      continue;
    }
    on_record(LabelledText{std::string(text), std::string(label), std::string(kind),
                           std::string(lang), std::string(source), line_no});
  }
  return true;
}

bool in_split(std::string_view text, Split split) {
  if (split == Split::All) return true;
  const bool mine = vantrel_core::fnv1a(text) % 10 < 7;
  return mine == (split == Split::Mine);
}

const char* split_name(Split split) {
  switch (split) {
    case Split::Mine:
      return "mine";
    case Split::Check:
      return "check";
    default:
      return "all";
  }
}

std::optional<Split> parse_split(std::string_view word) {
  if (word == "all") return Split::All;
  if (word == "mine") return Split::Mine;
  if (word == "check") return Split::Check;
  return std::nullopt;
}

}  // namespace vantrel_tools
