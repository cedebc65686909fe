#include "gate.h"

#include <gtest/gtest.h>

#include <cmath>

#include "options.h"

namespace vantrel_core {
namespace {

GateConfig front_end_config() { return vantrel::make_gate_config(vantrel::ScanOptions{}); }

TEST(GateConfigHash, FrontEndDefaultsHaveKnownFingerprints) {
  GateConfig c = front_end_config();
  EXPECT_EQ(gate_config_hash(c), 0x2414dc1b6ae3c1b0ULL);
  c.warning_mode_enabled = false;
  EXPECT_EQ(gate_config_hash(c), 0xb215c38bf3282495ULL);
}

}  // namespace
}  // namespace vantrel_core
