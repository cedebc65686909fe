#include "pattern.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <span>

#include "../fatal.h"
#include "../file_io.h"
#include "../utf8.h"
#include "embedded_patterns.h"

#ifndef VANTREL_BUILD_PATTERNS_FILE
#define VANTREL_BUILD_PATTERNS_FILE ""
#endif

namespace vantrel_core {

namespace {

struct CoreRecord {
  std::string_view text;
  std::string_view threat_type;
  double likelihood_ratio;
  std::string_view description;
};

// The set that stands when no database file or embedded text loads.
constexpr std::array<CoreRecord, 15> kHardcodedDefaults = {{
    {"ignore all previous instructions", "PromptInjection", 900, "Core prompt injection pattern"},
    {"ignore previous instructions", "PromptInjection", 850, "Core prompt injection pattern"},
    {"disregard all prior", "PromptInjection", 700, "Core prompt injection pattern"},
    {"forget everything above", "PromptInjection", 700, "Core prompt injection pattern"},
    {"DAN mode", "Jailbreak", 900, "Core jailbreak pattern"},
    {"enter developer mode", "Jailbreak", 700, "Core jailbreak pattern"},
    {"bypass your safety", "Jailbreak", 700, "Core jailbreak pattern"},
    {"bypass your safety filters", "Jailbreak", 700, "Core jailbreak pattern"},
    {"ignore your ethics", "Jailbreak", 700, "Core jailbreak pattern"},
    {"pretend you have no restrictions", "Jailbreak", 700, "Core jailbreak pattern"},
    {"pretend you have no", "Jailbreak", 500, "Core jailbreak pattern"},
    {"hypothetically", "PromptInjection", 3, "Weak prompt injection indicator"},
    {"you are now", "PromptInjection", 3, "Weak prompt injection indicator"},
    {"pretend", "PromptInjection", 3, "Weak prompt injection indicator"},
    {"reveal your system prompt", "DataExfiltration", 900, "Core data exfiltration pattern"},
}};

struct Relabel {
  std::string_view phrase;
  std::string_view threat_type;
  bool set_text;  // also replace the record's text by the phrase
};

// Corrections to the embedded records, applied in order: a record whose text
// contains the phrase takes the type (the last matching row wins).
constexpr std::array<Relabel, 5> kEmbeddedRelabels = {{
    {"enter developer mode", "Jailbreak", false},
    {"bypass your safety", "Jailbreak", false},
    {"bypass your safety filters", "Jailbreak", false},
    {"disregard all prior", "PromptInjection", true},
    {"pretend you have no", "Jailbreak", false},
}};

// Candidate database files, in the order tried; an empty entry is skipped.
constexpr std::array<const char*, 4> kCandidateFiles = {
    VANTREL_BUILD_PATTERNS_FILE, "patterns.json", "./patterns.json", "../patterns.json"};

// Context windows of the embedded records are at most a few hundred bytes;
// larger ones spill to the heap.
constexpr std::size_t kWindowBuffer = 1024;

// The Unicode lower-case form of `text` (whole-string mapping, so final
// sigma is handled), written to `stack` when it fits, else to `heap`.
std::string_view lower_case(std::string_view text, std::span<char> stack, std::string& heap) {
  const bool ascii = std::all_of(text.begin(), text.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x80; });
  if (ascii) {
    char* out = stack.data();
    if (text.size() > stack.size()) {
      heap.resize(text.size());
      out = heap.data();
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
      const char c = text[i];
      out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    return {out, text.size()};
  }
  // Scanned texts are bounded far below 2 GiB by the scanner's size limit.
  const icu::StringPiece piece(
      text.data(), static_cast<std::int32_t>(std::min<std::size_t>(text.size(), INT32_MAX)));
  UErrorCode status = U_ZERO_ERROR;
  icu::CheckedArrayByteSink sink(stack.data(), static_cast<std::int32_t>(stack.size()));
  icu::CaseMap::utf8ToLower("", 0, piece, sink, nullptr, status);
  if (U_SUCCESS(status) && !sink.Overflowed())
    return {stack.data(), static_cast<std::size_t>(sink.NumberOfBytesWritten())};
  heap.clear();
  icu::StringByteSink<std::string> grow(&heap, static_cast<std::int32_t>(text.size()));
  status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, piece, grow, nullptr, status);
  return heap;
}

bool any_occurs(const ContextModifier& m, std::string_view window) {
  return std::any_of(m.patterns.begin(), m.patterns.end(), [window](const std::string& s) {
    return window.find(s) != std::string_view::npos;
  });
}

// The ratio after the record's boost and suppression: each applies at most
// once, when one of its strings occurs in the lower-cased text around the
// match (the window widened to whole UTF-8 characters).
double apply_context(const PatternContext& ctx, std::string_view text, const PhraseMatch& m,
                     double ratio) {
  const bool may_boost = ctx.boost && !ctx.boost->patterns.empty();
  const bool may_suppress = ctx.suppress && !ctx.suppress->patterns.empty();
  if (!may_boost && !may_suppress) return ratio;

  std::uint64_t w = 0;
  if (ctx.boost) w = ctx.boost->window;
  if (ctx.suppress) w = std::max(w, ctx.suppress->window);
  const std::size_t size = text.size();
  std::size_t lo = m.start < w ? 0 : m.start - static_cast<std::size_t>(w);
  if (lo >= size) {
    lo = size;
  } else {
    while (lo > 0 && utf8::is_continuation(static_cast<unsigned char>(text[lo]))) --lo;
  }
  std::size_t hi = w > size - m.end ? size : m.end + static_cast<std::size_t>(w);
  while (hi < size && utf8::is_continuation(static_cast<unsigned char>(text[hi]))) ++hi;

  std::array<char, kWindowBuffer> stack;
  std::string heap;
  const std::string_view window = lower_case(text.substr(lo, hi - lo), stack, heap);
  if (may_boost && any_occurs(*ctx.boost, window)) ratio *= ctx.boost->multiplier;
  if (may_suppress && any_occurs(*ctx.suppress, window)) ratio *= ctx.suppress->multiplier;
  return ratio;
}

// Most texts produce a handful of signals; the vector grows past this.
constexpr std::size_t kInitialSignals = 8;

}  // namespace

PatternSkill PatternSkill::create() {
  for (const char* path : kCandidateFiles) {
    if (*path == '\0') continue;
    auto text = read_text_file(path);
    if (!text) continue;
    auto skill = from_json(*text);
    if (skill) return std::move(skill).value();
  }
  auto embedded = with_embedded_patterns();
  if (embedded) return std::move(embedded).value();
  auto core = with_hardcoded_defaults();
  if (core) return std::move(core).value();
  fatal_error("Failed to load embedded patterns: " + core.error().debug());
}

Expected<PatternSkill, PatternLoadError> PatternSkill::from_json(std::string_view json,
                                                                 std::size_t readable_padding) {
  auto db = read_pattern_db(json, readable_padding);
  if (!db) return Unexpected{PatternLoadError::parse("Error")};
  return from_patterns(std::move(db->patterns), std::move(db->version));
}

Expected<PatternSkill, PatternLoadError> PatternSkill::from_patterns(
    std::vector<Pattern> patterns, std::optional<std::string> version) {
  std::vector<std::string_view> texts;
  texts.reserve(patterns.size());
  for (const Pattern& p : patterns) texts.push_back(p.text);
  auto matcher = PhraseMatcher::build(texts);
  if (!matcher)
    return Unexpected{PatternLoadError::parse("Failed to build matcher: " + matcher.error())};

  PatternSkill s;
  s.db_hash_ = pattern_db_hash(patterns, version);
  s.db_version_ = version ? std::move(*version) : hash_version(s.db_hash_);
  s.matcher_ = std::move(matcher).value();
  s.patterns_ = std::move(patterns);
  s.map_threat_types();
  return s;
}

Expected<PatternSkill, PatternLoadError> PatternSkill::with_embedded_patterns() {
  auto skill = from_json(embedded_patterns_json(), kEmbeddedPatternsPadding);
  if (!skill) return skill;
  for (const Relabel& row : kEmbeddedRelabels) {
    for (Pattern& p : skill->patterns_) {
      if (p.text.find(row.phrase) == std::string::npos) continue;
      p.threat_type = row.threat_type;
      if (row.set_text) p.text = row.phrase;
    }
  }
  skill->map_threat_types();
  return skill;
}

Expected<PatternSkill, PatternLoadError> PatternSkill::with_hardcoded_defaults() {
  std::vector<Pattern> records;
  records.reserve(kHardcodedDefaults.size());
  for (const CoreRecord& r : kHardcodedDefaults) {
    records.push_back({std::string(r.text), std::string(r.threat_type), r.likelihood_ratio,
                       std::string(r.description), std::nullopt});
  }
  return from_patterns(std::move(records), "embedded-min");
}

Expected<PatternSkill, PatternLoadError> PatternSkill::with_additive_file(const std::string& path) {
  PatternSkill base = create();
  auto text = read_text_file(path);
  if (!text) return Unexpected{PatternLoadError::io(std::move(text).error())};
  auto runtime = from_json(*text);
  if (!runtime) return runtime;
  std::vector<Pattern> merged = std::move(base.patterns_);
  merged.insert(merged.end(), std::make_move_iterator(runtime->patterns_.begin()),
                std::make_move_iterator(runtime->patterns_.end()));
  return from_patterns(std::move(merged), base.db_version_ + "+runtime:" + runtime->db_version_);
}

void PatternSkill::map_threat_types() {
  types_.clear();
  types_.reserve(patterns_.size());
  for (const Pattern& p : patterns_)
    types_.push_back(threat_type_from_camel(p.threat_type).value_or(ThreatType::Benign));
}

SkillOutput PatternSkill::scan(std::string_view text) const {
  SkillOutput out;
  double strongest = 0.0;
  matcher_.for_each(text, [&](const PhraseMatch& m) {
    const Pattern& record = patterns_[m.phrase];
    const ThreatType type = types_[m.phrase];
    double ratio = record.likelihood_ratio;
    if (record.context) ratio = apply_context(*record.context, text, m, ratio);
    if (out.signals.empty()) out.signals.reserve(kInitialSignals);
    Signal& s = out.signals.emplace_back("pattern", std::string(snake_name(type)),
                                         record.description, ratio);
    s.offset = m.start;
    // The first of equally strong signals decides; a ratio of 0 or less never does.
    if (ratio > strongest) {
      strongest = ratio;
      out.threat_type = type;
    }
  });
  return out;
}

}  // namespace vantrel_core
