// Scans of arbitrary bytes in every mode, with the command line's
// configuration and with the smallest size limit, and both reports of every
// result: nothing may crash, and the JSON report must be one valid object.
#include <simdjson.h>

#include <cmath>
#include <string>

#include "fuzz_target.h"
#include "engine.h"
#include "report_human.h"
#include "vantrel/json.h"
#include "vantrel/text.h"

namespace {

using vantrel_core::Scanner;
using vantrel_fuzz::check;

void check_result(const vantrel_core::ScanResult& r) {
  check(r.signals.size() == r.evidence.size() || r.tier_reached == 0,
        "one evidence entry per signal");
  if (r.posterior_prob && !std::isnan(*r.posterior_prob)) {
    check(*r.posterior_prob >= 0 && *r.posterior_prob <= 1, "posterior is a probability");
  }
  if (r.normalized_text)
    check(vantrel_core::is_valid_utf8(*r.normalized_text), "normalized text is UTF-8");
  const std::string json = vantrel_core::format_result_json(r);
  static simdjson::dom::parser parser;  // reused: a parser allocates on first use
  simdjson::dom::object obj;
  check(parser.parse(json).get(obj) == simdjson::SUCCESS, "JSON report parses as one object");
  (void)vantrel::format_scan_report(r);
  (void)vantrel::format_stream_threat_report(r);
}

}  // namespace

VANTREL_FUZZ_TARGET(scan) {
  static const Scanner front_end = Scanner::with_config(vantrel_core::GateConfig());
  static const Scanner small = [] {
    vantrel_core::GateConfig high_security;
    high_security.block_threshold = 0.8;
    high_security.allow_threshold = 0.02;
    high_security.prior = 0.05;
    high_security.warning_mode_enabled = false;
    auto s = Scanner::with_config_and_limits_and_additive_patterns(
        high_security, vantrel_core::kMinInputLimit, std::nullopt);
    if (!s) vantrel_fuzz::fail("scanner builds");
    return std::move(s).value();
  }();

  vantrel_fuzz::Input in(data, size);
  const std::uint8_t control = in.byte();
  const Scanner& scanner = (control & 0x80) != 0 ? small : front_end;
  const std::string_view text = in.rest();  // any bytes: ill-formed UTF-8 included
  switch (control % 4) {
    case 0:
      check_result(scanner.scan(text));
      break;
    case 1:
      check_result(scanner.scan_output(text));
      break;
    case 2:
      check_result(scanner.scan_tool_call(text));
      break;
    default:
      check_result(scanner.scan_to_tier(text, 1));
      break;
  }
  return 0;
}
