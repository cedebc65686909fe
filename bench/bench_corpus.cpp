// Reads the benchmark corpus named by VANTREL_BENCH_TEXTS. Benchmarks only
// ever see the joined text; the files stay outside the project.
#include <simdjson.h>

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "bench_data.h"

namespace vantrel_bench {

namespace {

std::vector<std::string> corpus_files() {
  std::vector<std::string> files;
  const char* list = std::getenv("VANTREL_BENCH_TEXTS");
  if (list == nullptr) return files;
  std::string_view rest(list);
  while (!rest.empty()) {
    const std::size_t colon = rest.find(':');
    const std::string_view name = rest.substr(0, colon);
    if (!name.empty()) files.emplace_back(name);
    rest = colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  }
  return files;
}

// Every text of every file, joined with blank lines.
const std::string& whole_corpus() {
  static const std::string joined = [] {
    std::string out;
    simdjson::dom::parser parser;
    for (const std::string& file : corpus_files()) {
      simdjson::padded_string content;
      if (simdjson::padded_string::load(file).get(content) != simdjson::SUCCESS) continue;
      simdjson::dom::document_stream lines;
      if (parser.parse_many(content).get(lines) != simdjson::SUCCESS) continue;
      for (auto line : lines) {
        std::string_view text;
        if (line["text"].get(text) != simdjson::SUCCESS || text.empty()) continue;
        if (!out.empty()) out += "\n\n";
        out.append(text);
      }
    }
    return out;
  }();
  return joined;
}

}  // namespace

std::string corpus_text(std::size_t bytes) {
  const std::string& all = whole_corpus();
  std::string out;
  if (all.empty()) return out;
  out.reserve(bytes);
  while (out.size() < bytes) {
    if (!out.empty()) out += "\n\n";
    out.append(all, 0, bytes - std::min(bytes, out.size()));
  }
  out.resize(bytes);
  // A cut through a multi-byte character would make the text invalid UTF-8.
  while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
  if (!out.empty() && static_cast<unsigned char>(out.back()) >= 0xC0) out.pop_back();
  return out;
}

std::string corpus_or_prose(std::size_t bytes, std::string* source) {
  std::string text = corpus_text(bytes);
  if (source != nullptr) *source = text.empty() ? "synthetic prose" : "corpus";
  return text.empty() ? english_prose(bytes) : text;
}

}  // namespace vantrel_bench
