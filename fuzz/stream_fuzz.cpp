// The stream scanner fed arbitrary bytes in arbitrary pieces (pieces may cut
// characters, as a library caller's may), under the command line's settings
// and under tiny buffers and overlaps. Results must hold well-formed text,
// bounded lists, a bounded buffer, and a threat must end the stream.
#include <algorithm>

#include "fuzz_target.h"
#include "skills/stream.h"
#include "vantrel/text.h"

namespace {

using namespace vantrel_core;
using vantrel_fuzz::check;

void check_result(const ScanResult& r) {
  check(r.signals.size() == r.evidence.size(), "one evidence entry per signal");
  check(r.signals.size() <= 256, "signal list bounded");
  if (r.normalized_text) check(is_valid_utf8(*r.normalized_text), "normalized text is UTF-8");
}

}  // namespace

VANTREL_FUZZ_TARGET(stream) {
  vantrel_fuzz::Input in(data, size);
  const std::uint8_t shape = in.byte();
  const std::uint32_t seed_low = in.byte();
  std::uint32_t seed = seed_low | (static_cast<std::uint32_t>(in.byte()) << 8) | 1u;

  StreamConfig c;
  if ((shape & 1) != 0) {  // small numbers reach every cut and scan point quickly
    constexpr std::size_t kMin[] = {0, 1, 5, 32};
    constexpr std::size_t kMax[] = {1, 16, 64, 300};
    constexpr std::size_t kOverlap[] = {0, 3, 10, 100};
    c.min_scan_bytes = kMin[(shape >> 1) & 3];
    c.max_buffer_bytes = kMax[(shape >> 3) & 3];
    c.overlap_bytes = kOverlap[(shape >> 5) & 3];
    c.scan_on_sentence_end = (shape & 0x80) == 0;
  }
  auto stream = StreamScanner::with_config(c);

  bool threat_seen = false;
  while (!in.empty()) {
    seed = seed * 1103515245u + 12345u;
    const std::string_view piece = in.take((seed >> 16) % 23);  // empty pieces too
    const std::size_t before = stream.buffer().size();
    const PushOutcome out = stream.push(piece);
    if (threat_seen)
      check(out.kind == PushOutcome::Kind::NoScan, "nothing is scanned after a threat");
    check(out.kind == PushOutcome::Kind::NoScan || out.result.has_value(), "a scan has a result");
    if (out.result) check_result(*out.result);
    if (out.kind == PushOutcome::Kind::Threat) {
      threat_seen = true;
      check(!out.result->safe && stream.terminated(), "a threat terminates");
    }
    if (!stream.terminated()) {
      check(stream.buffer().size() <= std::max(c.max_buffer_bytes, c.overlap_bytes) + piece.size(),
            "buffer bounded by the scan point and one piece");
    } else {
      check(stream.buffer().size() <= before + piece.size(), "a terminated stream takes no text");
    }
  }
  const bool terminated = stream.terminated();
  const ScanResult final_result = std::move(stream).finish();
  check_result(final_result);
  if (terminated) check(!final_result.safe, "a terminated stream ends in a threat");
  return 0;
}
