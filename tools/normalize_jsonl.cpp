// Writes every text of labelled JSONL files in normalized form, one JSON object
// per line: {"id","kind","label","lang","mine","norm"}, where "id" is
// "<file stem>:<line>" and "mine" tells the side of the hash split. The output
// is derived from the data and belongs next to it, never in the repository.
//
//   vantrel_normalize_jsonl FILE.jsonl... > norm.jsonl
#include <cstdio>
#include <string>

#include "jsonl.h"
#include "vantrel/json.h"
#include "skills/normalize.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: vantrel_normalize_jsonl FILE.jsonl...\n", stderr);
    return 2;
  }
  const vantrel_core::NormalizationSkill normalizer;
  bool ok = true;
  for (int i = 1; i < argc; ++i) {
    const std::string stem = vantrel_tools::file_stem(argv[i]);
    ok &= vantrel_tools::read_labelled_jsonl(argv[i], [&](vantrel_tools::LabelledText&& t) {
      using vantrel_core::escape_json_string;
      const bool mine = vantrel_tools::in_split(t.text, vantrel_tools::Split::Mine);
      const std::string norm = *normalizer.scan(t.text).normalized_text;
      std::printf(R"({"id":"%s:%zu","kind":"%s","label":"%s","lang":"%s","mine":%s,"norm":"%s"})"
                  "\n",
                  escape_json_string(stem).c_str(), t.line, escape_json_string(t.kind).c_str(),
                  escape_json_string(t.label).c_str(), escape_json_string(t.lang).c_str(),
                  mine ? "true" : "false", escape_json_string(norm).c_str());
    });
  }
  return ok ? 0 : 1;
}
