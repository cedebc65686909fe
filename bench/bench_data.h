// Deterministic inputs shared by the benchmarks.
#pragma once

#include <cstddef>
#include <string>

namespace vantrel_bench {

// English-like prose of about `bytes` bytes, made of everyday words (no attack
// phrases), deterministic for a given size.
std::string english_prose(std::size_t bytes);

}  // namespace vantrel_bench
