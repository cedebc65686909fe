// Number formatting and parsing: the JSON report's shortest floats read back
// exactly, fixed decimals equal the C library's exact rounding, and the
// option grammar accepts exactly its language and converts like strtod.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>

#include "fuzz_target.h"
#include "options.h"
#include "vantrel/json.h"
#include "vantrel/text.h"

namespace {

using vantrel_fuzz::check;

bool same_double(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

void check_json_number(double v) {
  std::string out;
  vantrel_core::append_json_number(out, v);
  if (!std::isfinite(v)) {
    check(out == "null", "non-finite numbers are null");
    return;
  }
  check(out.find_first_not_of("0123456789.-+e") == std::string::npos, "plain number characters");
  check(out.find('.') != std::string::npos || out.find('e') != std::string::npos,
        "never a bare integer");
  check(same_double(std::strtod(out.c_str(), nullptr), v), "shortest form reads back exactly");
}

void check_fixed(double v, int decimals) {
  const std::string ours = vantrel_core::format_fixed(v, decimals);
  if (std::isnan(v)) {
    check(ours == "NaN", "NaN spelling");
    return;
  }
  if (std::isinf(v)) {
    check(ours == (v < 0 ? "-inf" : "inf"), "infinity spelling");
    return;
  }
  std::string ref(400, '\0');
  const int n = std::snprintf(ref.data(), ref.size(), "%.*f", decimals, v);
  ref.resize(static_cast<std::size_t>(n));
  check(ours == ref, "fixed decimals round the exact value, ties to even");
}

void check_parse(const std::string& text) {
  static const std::regex decimal(R"([+-]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][+-]?[0-9]+)?)");
  static const std::regex word(R"([+-]?(inf|infinity|nan))", std::regex::icase);
  const bool in_grammar = std::regex_match(text, decimal) || std::regex_match(text, word);
  const std::optional<double> parsed = vantrel::parse_float(text);
  check(parsed.has_value() == in_grammar, "the option grammar accepts exactly its language");
  if (parsed) {
    const double expected = std::strtod(text.c_str(), nullptr);
    check(same_double(*parsed, expected) || (std::isnan(*parsed) && std::isnan(expected)),
          "parsing converts like strtod");
  }
}

}  // namespace

VANTREL_FUZZ_TARGET(numbers) {
  vantrel_fuzz::Input in(data, size);
  const std::string_view raw = in.take(8);
  double v = 0;
  std::memcpy(&v, raw.data(), raw.size());
  check_json_number(v);
  check_fixed(v, in.byte() % 8);
  const std::string text(in.rest().substr(0, 64));
  if (text.find('\0') == std::string::npos) check_parse(text);
  return 0;
}
