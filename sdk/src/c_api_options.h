// The C interface's options object and its setters by name, and the one
// place that records a failure's message for vantrel_last_error().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vantrel/options.h"
#include "vantrel/vantrel.h"

struct vantrel_options {
  vantrel::ScannerOptions options;
};

namespace vantrel_c {

// Records the calling thread's message and returns status. Never throws;
// a message longer than the buffer is cut.
vantrel_status fail(vantrel_status status, std::string_view message) noexcept;

// A size option's value, kept apart from the flag overload.
struct SizeValue {
  std::uint64_t value;
};

// Set the option `name` of the overload's kind; any other name is
// VANTREL_ERROR_INVALID_ARGUMENT naming the setter the option needs.
vantrel_status set_option(vantrel_options* options, const char* name, double value);
vantrel_status set_option(vantrel_options* options, const char* name, SizeValue value);
vantrel_status set_option(vantrel_options* options, const char* name, bool value);
vantrel_status set_option(vantrel_options* options, const char* name,
                          std::optional<std::string> value);

}  // namespace vantrel_c
