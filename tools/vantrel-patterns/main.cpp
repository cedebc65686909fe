// vantrel-patterns: checks a pattern file before it is used and shows which
// of its records fire on sample prompts.
//
//   vantrel-patterns check [--database] FILE
//   vantrel-patterns test [--database] FILE TEXT...
//
// By default FILE is taken as `vantrel scan --patterns FILE` takes it: added
// after the built-in database found from the working directory. --database
// takes it as a whole database of its own (a candidate file such as
// ./patterns.json, which replaces the built-in one).
//
// Exit status: 0 the file loads (check: and nothing needs fixing), 1 check
// found records that do not work as written, 2 the file does not load or the
// command line is wrong.
#include <cinttypes>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "file_io.h"
#include "pattern_review.h"
#include "skills/normalize.h"
#include "skills/pattern_db.h"
#include "skills/pattern.h"
#include "vantrel/text.h"

#ifndef VANTREL_VERSION
#define VANTREL_VERSION "unknown"
#endif

namespace {

using vantrel_core::PatternLoadError;
using vantrel_core::PatternSkill;
using vantrel_patterns::json_quoted;

constexpr const char* kUsage =
    "Usage:\n"
    "    vantrel-patterns check [--database] FILE\n"
    "    vantrel-patterns test [--database] FILE TEXT...\n"
    "    vantrel-patterns help | version\n"
    "\n"
    "check   Loads FILE as vantrel does and reports its version and hash, phrases and\n"
    "        context words to write in normalized form, and records that never fire.\n"
    "test    Normalizes each TEXT as an input scan does and lists the records that fire.\n"
    "\n"
    "FILE is taken as `vantrel scan --patterns FILE` takes it, added after the built-in\n"
    "database found from the working directory; with --database as a whole database\n"
    "of its own (a candidate file such as ./patterns.json, which replaces the built-in one).\n"
    "\n"
    "Exit status: 0 the file loads (and, for check, every record works as written);\n"
    "1 check found records that do not work as written; 2 the file does not load or\n"
    "the command line is wrong.\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "Error: %s\nUse 'vantrel-patterns help' for usage information.\n",
               message.c_str());
  return 2;
}

int load_error(const PatternLoadError& error, bool database) {
  std::fprintf(stderr, "Error loading patterns: %s\n", error.display().c_str());
  if (database) {
    std::fprintf(stderr,
                 "(vantrel skips such a candidate file without a word and tries the next one)\n");
  }
  return 2;
}

// "1 record", "2 records".
std::string counted(std::size_t n, const std::string& noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Hex as the human report prints it, decimal as the JSON report does.
std::string hash_text(std::uint64_t hash) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "0x%016" PRIx64 " (%" PRIu64 ")", hash, hash);
  return buf;
}

// The file as the command uses it, and what it gives as a database of its
// own.
struct Loaded {
  explicit Loaded(PatternSkill skill) : used(std::move(skill)) {}
  PatternSkill used;
  std::size_t first_own = 0;  // built-in records before the file's own in `used`
  bool merged = false;        // used is the built-in database plus the file
  std::size_t own_count = 0;
  std::string own_version;
  std::uint64_t own_hash = 0;
};

std::optional<Loaded> load(const std::string& path, bool database, int& exit_code) {
  if (!database) {
    // Exactly what `vantrel scan --patterns` builds, errors included.
    auto merged = PatternSkill::with_additive_file(path);
    if (!merged) {
      exit_code = load_error(merged.error(), false);
      return std::nullopt;
    }
    // The file alone needs only its records for its version and hash, not
    // a second matcher.
    auto text = vantrel_core::read_text_file(path, vantrel_core::kMaxPatternFileBytes);
    std::optional<vantrel_core::PatternDb> db;
    if (text) {
      auto read = vantrel_core::read_pattern_db(*text);
      if (read) db = std::move(read).value();
    }
    if (!db) {  // the file changed since it was loaded
      exit_code = load_error(text ? PatternLoadError::parse("Error")
                                  : PatternLoadError::io(text.error()),
                             false);
      return std::nullopt;
    }
    Loaded l(std::move(merged).value());
    l.merged = true;
    l.own_count = db->patterns.size();
    l.first_own = l.used.patterns().size() - l.own_count;
    l.own_hash = vantrel_core::pattern_db_hash(db->patterns, db->version);
    l.own_version = db->version.value_or(vantrel_core::hash_version(l.own_hash));
    return l;
  }
  auto text = vantrel_core::read_text_file(path, vantrel_core::kMaxPatternFileBytes);
  if (!text) {
    exit_code = load_error(PatternLoadError::io(text.error()), true);
    return std::nullopt;
  }
  auto own = PatternSkill::from_json(*text);
  if (!own) {
    exit_code = load_error(own.error(), true);
    return std::nullopt;
  }
  Loaded l(std::move(own).value());
  l.own_count = l.used.patterns().size();
  l.own_version = l.used.db_version();
  l.own_hash = l.used.db_hash();
  return l;
}

int check(const std::string& path, bool database) {
  int code = 0;
  auto loaded = load(path, database, code);
  if (!loaded) return code;
  std::printf("%s: loads, %s\n", path.c_str(), counted(loaded->own_count, "record").c_str());
  std::printf("version: %s\n", loaded->own_version.c_str());
  std::printf("hash: %s\n", hash_text(loaded->own_hash).c_str());
  if (loaded->merged) {
    std::printf("with --patterns here: version %s, hash %s\n", loaded->used.db_version().c_str(),
                hash_text(loaded->used.db_hash()).c_str());
  }
  std::size_t warnings = 0, notes = 0;
  for (const auto& f : vantrel_patterns::review(loaded->used, loaded->first_own)) {
    std::printf("record %zu: %s: %s\n", f.record - loaded->first_own + 1,
                f.warning ? "warning" : "note", f.message.c_str());
    ++(f.warning ? warnings : notes);
  }
  std::printf("%s, %s\n", counted(warnings, "warning").c_str(), counted(notes, "note").c_str());
  return warnings > 0 ? 1 : 0;
}

int test(const std::string& path, bool database, const std::vector<std::string>& texts) {
  for (std::size_t t = 0; t < texts.size(); ++t) {
    if (!vantrel_core::is_valid_utf8(texts[t])) {
      return usage_error("TEXT " + std::to_string(t + 1) + " is not valid UTF-8");
    }
  }
  int code = 0;
  auto loaded = load(path, database, code);
  if (!loaded) return code;
  const PatternSkill& skill = loaded->used;
  const vantrel_core::NormalizationSkill normalizer;
  for (std::size_t t = 0; t < texts.size(); ++t) {
    if (t > 0) std::printf("\n");
    const auto report = vantrel_patterns::records_firing(normalizer, skill, texts[t]);
    std::printf("text %zu: %s\n", t + 1, json_quoted(texts[t]).c_str());
    std::printf("normalized: %s\n", json_quoted(report.normalized).c_str());
    if (report.firings.empty()) std::printf("  no record fires\n");
    for (const auto& f : report.firings) {
      const vantrel_core::Pattern& r = skill.patterns()[f.record];
      std::string who = f.record < loaded->first_own
                            ? "built-in record " + std::to_string(f.record + 1)
                            : "record " + std::to_string(f.record - loaded->first_own + 1);
      std::string ratio = vantrel_core::format_fixed(f.ratio, 3);
      if (f.ratio != r.likelihood_ratio) {
        ratio += " after context, " + vantrel_core::format_fixed(r.likelihood_ratio, 3) +
                 " as recorded";
      }
      std::printf("  offset %zu: %s %s (%s, LR %s): %s\n", f.offset, json_quoted(f.matched).c_str(),
                  who.c_str(), r.threat_type.c_str(), ratio.c_str(), r.description.c_str());
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "help" || args[0] == "-h" || args[0] == "--help") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? 2 : 0;
  }
  if (args[0] == "version" || args[0] == "-v" || args[0] == "--version") {
    std::printf("vantrel-patterns %s\n", VANTREL_VERSION);
    return 0;
  }
  const std::string command = args[0];
  if (command != "check" && command != "test") return usage_error("Unknown command: " + command);
  std::size_t i = 1;
  bool database = false;
  if (i < args.size() && args[i] == "--database") {
    database = true;
    ++i;
  }
  if (i >= args.size()) return usage_error(command + " requires a FILE");
  const std::string path = args[i++];
  if (command == "check") {
    if (i < args.size()) return usage_error("check takes one FILE");
    return check(path, database);
  }
  if (i >= args.size()) return usage_error("test requires at least one TEXT");
  return test(path, database, std::vector<std::string>(args.begin() + i, args.end()));
}
