// The human-readable report: a one-line summary with ANSI colour tags and, for
// a one-shot scan, the provenance, policy, signal and evidence lines.
#pragma once

#include <string>

#include "vantrel/result.h"

namespace vantrel {

// The summary line, without a line ending.
std::string format_result_human(const vantrel_core::ScanResult& r);

// Every line of the one-shot scan's report, each ending in a line feed.
std::string format_scan_report(const vantrel_core::ScanResult& r);

// The stream command's threat report: summary first, then hashes, version,
// signals and evidence; no policy lines.
std::string format_stream_threat_report(const vantrel_core::ScanResult& r);

}  // namespace vantrel
