// Stops the process when fixed built-in data cannot be compiled: such a
// failure is a defect of the build, never of the user's input.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vantrel_core {

[[noreturn]] inline void fatal_error(std::string_view message) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  std::fflush(stderr);
  std::abort();
}

}  // namespace vantrel_core
