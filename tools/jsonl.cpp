#include "jsonl.h"

#include <simdjson.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace vantrel_tools {

std::string file_stem(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  if (name.size() > 6 && name.substr(name.size() - 6) == ".jsonl") name.resize(name.size() - 6);
  return name;
}

bool read_labelled_jsonl(const std::string& path, const std::function<void(LabelledText&&)>& on_record) {
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
    auto complain = [&](const char* why) { std::fprintf(stderr, "%s:%zu: %s\n", path.c_str(), line_no, why); };
    simdjson::dom::element doc;
    if (parser.parse(line).get(doc) != simdjson::SUCCESS) {
      complain("not valid JSON");
      continue;
    }
    std::string_view text, label, kind;
    if (doc["text"].get_string().get(text) != simdjson::SUCCESS) {
      complain("missing string \"text\"");
      continue;
    }
    if (doc["label"].get_string().get(label) != simdjson::SUCCESS || (label != "attack" && label != "benign")) {
      complain("\"label\" must be \"attack\" or \"benign\"");
      continue;
    }
    if (doc["kind"].get_string().get(kind) != simdjson::SUCCESS || kind.empty()) {
      complain("missing string \"kind\"");
      continue;
    }
    on_record(LabelledText{std::string(text), std::string(label), std::string(kind)});
  }
  return true;
}

}  // namespace vantrel_tools
