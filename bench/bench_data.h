// Deterministic inputs shared by the benchmarks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantrel_bench {

// English-like prose of about `bytes` bytes, made of everyday words (no attack
// phrases), deterministic for a given size.
std::string english_prose(std::size_t bytes);

// `base` cut into pieces of about 180 bytes (on character boundaries) with one
// of a few attack phrases after each, a match about every 200 bytes; at most
// `bytes` long.
std::string with_attacks(std::string_view base, std::size_t bytes);

// Real texts when the environment names them: VANTREL_BENCH_TEXTS is a
// colon-separated list of JSON Lines files, each line an object with a "text"
// string. Their texts are joined with blank lines, in order and repeated as
// needed, to `bytes` bytes. Empty when the variable is unset or the files hold
// no text, so callers fall back to a generator.
std::string corpus_text(std::size_t bytes);

// corpus_text(bytes) when it has text, english_prose(bytes) otherwise;
// `source` tells which.
std::string corpus_or_prose(std::size_t bytes, std::string* source = nullptr);

}  // namespace vantrel_bench
