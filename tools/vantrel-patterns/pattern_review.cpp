#include "pattern_review.h"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/stringpiece.h>

#include <array>
#include <charconv>
#include <climits>
#include <cmath>

#include "skills/normalize_steps.h"
#include "vantrel/json.h"

namespace vantrel_patterns {

using vantrel_core::escape_json_string;
using vantrel_core::PatternSkill;
using vantrel_core::PhraseMatch;

namespace {

// Stands for the text around a phrase: no normalization step rewrites it, it
// is neither a letter, a digit nor white space, and it ends a line start, so
// the phrase's own edges are treated as in the middle of a sentence.
constexpr char kEdge = '#';

std::string number(double v) {
  std::array<char, 32> buf;
  const auto r = std::to_chars(buf.data(), buf.data() + buf.size(), v);
  return std::string(buf.data(), r.ptr);
}

// "record 3 \"...\"" or "built-in record 3 \"...\"" for index `i` of a list
// whose reviewed part starts at `first`.
std::string record_name(const PatternSkill& skill, std::size_t i, std::size_t first) {
  const std::string& text = skill.patterns()[i].text;
  if (i < first) return "built-in record " + std::to_string(i + 1) + " " + json_quoted(text);
  return "record " + std::to_string(i - first + 1) + " " + json_quoted(text);
}

void review_context(const vantrel_core::ContextModifier& m, const char* kind, std::size_t i,
                    std::vector<Finding>& out) {
  for (const std::string& word : m.patterns) {
    if (word.empty()) {
      out.push_back({i, false,
                     std::string(kind) + " word \"\" occurs in every window: the " + kind +
                         " always applies"});
      continue;
    }
    const std::string form = context_form(word);
    if (form != word) {
      out.push_back({i, true,
                     std::string(kind) + " word " + json_quoted(word) +
                         " never occurs in the window, which is normalized and lower-cased; "
                         "write " +
                         json_quoted(form)});
    }
  }
}

}  // namespace

std::string normalized_form(std::string_view phrase) {
  namespace steps = vantrel_core::normalize_steps;
  std::string text;
  text.reserve(phrase.size() + 2);
  text += kEdge;
  text += phrase;
  text += kEdge;
  // The normalization skill's passes in its order, without the payload
  // decoding: decoded texts are appended after the whole scanned text, so
  // they never change a phrase where it stands.
  steps::normalize_line_endings(text);
  steps::map_control_chars(text);
  if (!steps::is_ascii(text)) {
    steps::remove_invisible_chars(text);
    steps::apply_nfkc(text);
    steps::replace_confusables(text);
  }
  const steps::LayoutOutcome layout = steps::rewrite_layout(std::move(text));
  std::string_view out = layout.text;
  // No pass rewrites or drops the edge characters; the test only guards.
  if (out.size() >= 2 && out.starts_with(kEdge) && out.ends_with(kEdge)) {
    out = out.substr(1, out.size() - 2);
  }
  return std::string(out);
}

std::string context_form(std::string_view word) {
  const std::string form = normalized_form(word);
  // Pattern strings are far below 2 GiB: the matcher refuses longer phrases
  // and the whole file is read into memory.
  const icu::StringPiece piece(form.data(),
                               static_cast<std::int32_t>(std::min<std::size_t>(form.size(), INT32_MAX)));
  std::string lower;
  icu::StringByteSink<std::string> sink(&lower, static_cast<std::int32_t>(piece.size()));
  UErrorCode status = U_ZERO_ERROR;
  icu::CaseMap::utf8ToLower("", 0, piece, sink, nullptr, status);
  return U_SUCCESS(status) ? lower : form;
}

std::vector<Finding> review(const PatternSkill& skill, std::size_t first) {
  const std::vector<vantrel_core::Pattern>& records = skill.patterns();
  std::vector<Finding> out;
  for (std::size_t i = first; i < records.size(); ++i) {
    const vantrel_core::Pattern& r = records[i];
    if (r.text.empty()) {
      out.push_back({i, true, "the phrase is empty: it matches at every position of every text"});
    } else {
      const std::string form = normalized_form(r.text);
      if (form != r.text) {
        out.push_back({i, true,
                       "a prompt holding the phrase as written does not match it: "
                       "normalization turns it into " +
                           json_quoted(form) + "; write " + json_quoted(form) +
                           " to catch that text (keep the phrase if it already is the "
                           "normalized form of the text you mean, as \"roti3\" is of "
                           "\"rot13\")"});
      }
      // Where this phrase occurs, an earlier record matching at the same
      // start wins; that record's phrase is then a prefix of this one, so it
      // wins wherever this one could match.
      PhraseMatch m;
      if (skill.matcher().find_at(r.text, 0, m) && m.start == 0 && m.phrase != i) {
        out.push_back({i, true,
                       "never fires: " + record_name(skill, m.phrase, first) +
                           " comes earlier and matches wherever this phrase does"});
      }
    }
    if (!vantrel_core::threat_type_from_camel(r.threat_type)) {
      out.push_back({i, false,
                     "threat_type " + json_quoted(r.threat_type) +
                         " is not one of PromptInjection, Jailbreak, DataExfiltration, "
                         "EncodingAttack, SocialEngineering, ContextManipulation, "
                         "ToolManipulation, Benign: its signals are labelled benign (their "
                         "ratio still counts)"});
    }
    if (r.likelihood_ratio < 1.0) {
      out.push_back({i, false,
                     "likelihood_ratio " + number(r.likelihood_ratio) +
                         " is below 1: the score of every prompt containing the phrase goes "
                         "down; 1 hides the phrases it covers without changing the score"});
    }
    if (r.context) {
      if (r.context->boost) review_context(*r.context->boost, "boost", i, out);
      if (r.context->suppress) review_context(*r.context->suppress, "suppress", i, out);
    }
  }
  return out;
}

TextReport records_firing(const vantrel_core::NormalizationSkill& normalizer,
                          const PatternSkill& skill, std::string_view text) {
  TextReport report;
  vantrel_core::SkillOutput normalized = normalizer.scan(text);
  report.normalized = normalized.normalized_text.value_or(std::string(text));
  // The skill emits one signal per match, in match order: the matches name
  // the records, the signals carry the ratios after context.
  const vantrel_core::SkillOutput found = skill.scan(report.normalized);
  std::size_t k = 0;
  skill.matcher().for_each(report.normalized, [&](const PhraseMatch& m) {
    Firing f;
    f.offset = m.start;
    f.matched = report.normalized.substr(m.start, m.end - m.start);
    f.record = m.phrase;
    f.ratio = k < found.signals.size() ? found.signals[k].likelihood_ratio
                                       : skill.patterns()[m.phrase].likelihood_ratio;
    ++k;
    report.firings.push_back(std::move(f));
  });
  return report;
}

std::string json_quoted(std::string_view text) {
  return '"' + escape_json_string(text) + '"';
}

}  // namespace vantrel_patterns
