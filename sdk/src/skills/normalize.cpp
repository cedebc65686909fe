#include "normalize.h"

#include <algorithm>
#include <string_view>
#include <utility>

#include "fnv.h"
#include "normalize_steps.h"

namespace vantrel_core {

namespace {

namespace steps = normalize_steps;

constexpr const char* kSkillName = "normalize";
constexpr std::string_view kDecodedOpen = " <<DECODED: ";
constexpr std::string_view kDecodedClose = ">>";

// count / length with the length taken as at least 1.
double share(std::uint64_t count, std::size_t length) {
  return static_cast<double>(count) / static_cast<double>(std::max<std::size_t>(length, 1));
}

class OutputBuilder {
 public:
  // Adds a signal; `encoding_attack` marks the output's threat type for good.
  void emit(std::string type, std::string description, double ratio, bool encoding_attack) {
    out_.signals.emplace_back(kSkillName, std::move(type), std::move(description), ratio);
    if (encoding_attack) out_.threat_type = ThreatType::EncodingAttack;
  }
  void take_decoded_signals(std::vector<Signal>& signals) {
    if (signals.empty()) return;
    for (Signal& s : signals) out_.signals.push_back(std::move(s));
    out_.threat_type = ThreatType::EncodingAttack;
  }
  SkillOutput finish(std::string text, NormalizationReport report) && {
    report.normalized_hash = fnv1a(text);
    out_.normalized_text = std::move(text);
    out_.normalization = std::move(report);
    return std::move(out_);
  }

 private:
  SkillOutput out_;
};

}  // namespace

SkillOutput NormalizationSkill::scan(std::string_view input) const {
  OutputBuilder out;
  NormalizationReport report;
  std::string text(input);

  report.line_endings_normalized = steps::normalize_line_endings(text);
  report.control_chars_mapped = steps::map_control_chars(text);

  // Invisible characters, compatibility forms and look-alikes are all
  // non-ASCII, so ASCII text skips those three passes unchanged.
  if (!steps::is_ascii(text)) {
    const std::size_t length = text.size();
    const std::uint64_t invisible = steps::remove_invisible_chars(text);
    report.invisible_chars_removed = invisible;
    if (invisible > 0) {
      const double ratio = share(invisible, length) > invisible_ratio_threshold_ ? 50.0 : 5.0;
      out.emit("invisible_chars", "Removed " + std::to_string(invisible) + " invisible characters",
               ratio, true);
    }

    if (steps::apply_nfkc(text)) {
      report.unicode_normalized = true;
      out.emit("unicode_normalization", "Unicode normalization applied", 3.0, false);
    }

    const std::uint64_t confusables = steps::replace_confusables(text);
    report.confusable_substitutions = confusables;
    if (confusables > 0) {
      out.emit("confusable_chars",
               "Normalized " + std::to_string(confusables) +
                   " confusable characters (Cyrillic/Greek homoglyphs)",
               confusables >= 4 ? 100.0 : 40.0, true);
    }
  }

  DecodeResult decoded = decode_recursive(text, 0);
  out.take_decoded_signals(decoded.signals);
  report.decoded_payloads = decoded.decoded.size();
  if (!decoded.decoded.empty()) {
    std::size_t appended = 0;
    for (const std::string& d : decoded.decoded) {
      appended += kDecodedOpen.size() + d.size() + kDecodedClose.size();
    }
    text.reserve(text.size() + appended);
  }
  for (const std::string& d : decoded.decoded) {
    text += kDecodedOpen;
    text += d;
    text += kDecodedClose;
  }

  const std::size_t length_before_leetspeak = text.size();
  steps::LayoutOutcome layout = steps::rewrite_layout(std::move(text));
  report.leetspeak_substitutions = layout.leetspeak_substitutions;
  if (layout.leetspeak_substitutions > 0) {
    const double s = share(layout.leetspeak_substitutions, length_before_leetspeak);
    const double ratio = s > 0.1 ? 8.0 : s > 0.05 ? 4.0 : 2.0;
    out.emit(
        "leetspeak_detected",
        "Normalized " + std::to_string(layout.leetspeak_substitutions) + " leetspeak characters",
        ratio, ratio >= 4.0);
  }
  report.spaced_letters_collapsed = layout.spaced_letters_collapsed;
  if (layout.spaced_letters_collapsed) {
    out.emit("spaced_letters_detected", "Collapsed spaced-out letters", 40.0, true);
  }

  return std::move(out).finish(std::move(layout.text), std::move(report));
}

}  // namespace vantrel_core
