// Whole-file reads for the pattern database, score profiles and classifier
// models.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "vantrel/expected.h"

namespace vantrel_core {

// The largest pattern database file read (16 MiB, about 25 times the
// built-in database), and the largest score profile (1 MiB; profiles are a
// few kilobytes).
inline constexpr std::size_t kMaxPatternFileBytes = std::size_t{16} << 20;
inline constexpr std::size_t kMaxProfileFileBytes = std::size_t{1} << 20;

// Reads the whole file as UTF-8 text; relative paths resolve against the
// working directory. Only regular files of at most `max_bytes` are read: a
// directory, device, FIFO or socket is refused without waiting for it, and so
// is a longer file, without reading it all. The error is the operating
// system's description, or "not a regular file", "larger than N bytes" or
// "stream did not contain valid UTF-8".
Expected<std::string, std::string> read_text_file(const std::string& path, std::size_t max_bytes);

// Reads the whole file as bytes, refusing one larger than `max_bytes` before
// reading it (or, for a pipe or device, once it has read that much). The
// error is the operating system's description or "larger than N bytes".
Expected<std::vector<std::byte>, std::string> read_binary_file(const std::string& path,
                                                               std::size_t max_bytes);

}  // namespace vantrel_core
