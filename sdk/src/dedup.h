// Thins one batch of signals (one skill output) before the gate sees it, so a
// finding reported twice at one place counts once; optionally adds one bounded
// reinforcement signal per skill whose findings sit at several places.
#pragma once

#include <vector>

#include "vantrel/config.h"
#include "vantrel/result.h"

namespace vantrel_core {

std::vector<Signal> deduplicate_signals_with_gate_config(std::vector<Signal> batch,
                                                         const GateConfig& config);

}  // namespace vantrel_core
