// The C interface's options by name. Each name is its ScannerOptions
// field's: the gate's unprefixed, the stream's with "stream_".
#include "c_api_options.h"

#include <array>
#include <cstddef>
#include <limits>

namespace vantrel_c {

namespace {

using vantrel::ScannerOptions;

template <typename T>
struct Field {
  std::string_view name;
  T& (*of)(ScannerOptions&);
};

// clang-format off
#define VANTREL_GATE_FIELD(f) {#f, [](ScannerOptions& o) -> auto& { return o.gate.f; }}
#define VANTREL_STREAM_FIELD(f) \
  {"stream_" #f, [](ScannerOptions& o) -> auto& { return o.stream.f; }}
#define VANTREL_FIELD(f) {#f, [](ScannerOptions& o) -> auto& { return o.f; }}
// clang-format on

const std::array<Field<double>, 18> kNumbers = {{
    VANTREL_GATE_FIELD(low_start_prob),
    VANTREL_GATE_FIELD(medium_start_prob),
    VANTREL_GATE_FIELD(high_start_prob),
    VANTREL_GATE_FIELD(critical_start_prob),
    VANTREL_GATE_FIELD(warn_prob),
    VANTREL_GATE_FIELD(block_prob),
    VANTREL_GATE_FIELD(block_threshold),
    VANTREL_GATE_FIELD(allow_threshold),
    VANTREL_GATE_FIELD(prior),
    VANTREL_GATE_FIELD(max_likelihood_ratio),
    VANTREL_GATE_FIELD(toolcall_lr_cap),
    VANTREL_GATE_FIELD(heuristic_discount),
    VANTREL_GATE_FIELD(obfuscation_lr_cap),
    VANTREL_GATE_FIELD(obfuscation_log_budget),
    VANTREL_GATE_FIELD(reinforcement_base_log),
    VANTREL_GATE_FIELD(reinforcement_step_log),
    VANTREL_GATE_FIELD(reinforcement_max_log),
    VANTREL_STREAM_FIELD(early_termination_log_odds),
}};

const std::array<Field<std::size_t>, 4> kSizes = {{
    VANTREL_FIELD(max_input_bytes),
    VANTREL_STREAM_FIELD(min_scan_bytes),
    VANTREL_STREAM_FIELD(max_buffer_bytes),
    VANTREL_STREAM_FIELD(overlap_bytes),
}};

const std::array<Field<bool>, 6> kFlags = {{
    VANTREL_GATE_FIELD(score_v2_enabled),
    VANTREL_GATE_FIELD(warning_mode_enabled),
    VANTREL_GATE_FIELD(correlation_dedup_enabled),
    VANTREL_FIELD(search_pattern_files),
    VANTREL_FIELD(read_profile_environment),
    VANTREL_STREAM_FIELD(scan_on_sentence_end),
}};

const std::array<Field<std::optional<std::string>>, 2> kStrings = {{
    VANTREL_FIELD(patterns_file),
    VANTREL_FIELD(score_profile_file),
}};

#undef VANTREL_GATE_FIELD
#undef VANTREL_STREAM_FIELD
#undef VANTREL_FIELD

template <typename T, std::size_t N>
auto find(const std::array<Field<T>, N>& fields, std::string_view name) {
  decltype(fields[0].of) of = nullptr;
  for (const Field<T>& f : fields) {
    if (f.name == name) of = f.of;
  }
  return of;
}

// Why `name` is not an option of the setter that was called.
vantrel_status unknown(const char* setter, std::string_view name) {
  const char* right = find(kNumbers, name)   ? "vantrel_options_set_double"
                      : find(kSizes, name)   ? "vantrel_options_set_size"
                      : find(kFlags, name)   ? "vantrel_options_set_flag"
                      : find(kStrings, name) ? "vantrel_options_set_string"
                                             : nullptr;
  std::string message = std::string(setter) + ": ";
  if (right == nullptr) {
    message += "no option is named '" + std::string(name) + "'";
  } else {
    message += "option '" + std::string(name) + "' is set with " + right;
  }
  return fail(VANTREL_ERROR_INVALID_ARGUMENT, message);
}

template <typename T, std::size_t N, typename V>
vantrel_status set(const char* setter, const std::array<Field<T>, N>& fields,
                   vantrel_options* options, const char* name, V&& value) {
  if (options == nullptr)
    return fail(VANTREL_ERROR_INVALID_ARGUMENT, std::string(setter) + ": options is NULL");
  if (name == nullptr)
    return fail(VANTREL_ERROR_INVALID_ARGUMENT, std::string(setter) + ": name is NULL");
  const auto of = find(fields, name);
  if (of == nullptr) return unknown(setter, name);
  of(options->options) = std::forward<V>(value);
  return VANTREL_OK;
}

}  // namespace

vantrel_status set_option(vantrel_options* options, const char* name, double value) {
  return set("vantrel_options_set_double", kNumbers, options, name, value);
}

vantrel_status set_option(vantrel_options* options, const char* name, SizeValue value) {
  if (value.value > std::numeric_limits<std::size_t>::max()) {
    return fail(VANTREL_ERROR_INVALID_ARGUMENT,
                "vantrel_options_set_size: " + std::to_string(value.value) + " is too large");
  }
  return set("vantrel_options_set_size", kSizes, options, name,
             static_cast<std::size_t>(value.value));
}

vantrel_status set_option(vantrel_options* options, const char* name, bool value) {
  return set("vantrel_options_set_flag", kFlags, options, name, value);
}

vantrel_status set_option(vantrel_options* options, const char* name,
                          std::optional<std::string> value) {
  constexpr const char* kSetter = "vantrel_options_set_string";
  // The learned detector's source is a choice, not a field: named here.
  if (options != nullptr && name != nullptr && std::string_view(name) == "classifier") {
    using vantrel::ClassifierModelSource;
    if (!value || *value == "off") {
      options->options.classifier = ClassifierModelSource::kOff;
    } else if (*value == "builtin") {
      options->options.classifier = ClassifierModelSource::kBuiltIn;
    } else {
      return fail(VANTREL_ERROR_INVALID_ARGUMENT, std::string(kSetter) +
                                                      ": option 'classifier' is \"off\" or "
                                                      "\"builtin\", not '" +
                                                      *value + "'");
    }
    return VANTREL_OK;
  }
  if (options != nullptr && name != nullptr &&
      std::string_view(name) == "classifier_model_file") {
    options->options.classifier = value ? vantrel::ClassifierModelSource::kFile
                                        : vantrel::ClassifierModelSource::kOff;
    options->options.classifier_model_file = value.value_or("");
    return VANTREL_OK;
  }
  return set(kSetter, kStrings, options, name, std::move(value));
}

}  // namespace vantrel_c
