// The C interface: thin wrappers over vantrel::Scanner and vantrel::Stream
// that turn every failure, exceptions included, into a status and a message
// kept per thread.
#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "c_api_options.h"
#include "utf8.h"
#include "utf8_pieces.h"
#include "vantrel/scanner.h"
#include "vantrel/text.h"
#include "vantrel/vantrel.h"

struct vantrel_scanner {
  vantrel::Scanner scanner;
};

struct vantrel_result {
  std::optional<vantrel::ScanResult> verdict;
  std::string json;  // the verdict's report, once asked for
  bool json_written = false;

  void hold(vantrel::ScanResult r) {
    verdict = std::move(r);
    json_written = false;
  }
  void clear() {
    verdict.reset();
    json_written = false;
  }
};

struct vantrel_stream {
  vantrel::Stream stream;
  vantrel_core::Utf8PieceChecker utf8;
};

namespace {
// Long enough for any message the library writes (file paths included);
// fixed so that recording a failure cannot itself fail.
constexpr std::size_t kMessageCapacity = 4096;
thread_local char t_last_error[kMessageCapacity] = "";
}  // namespace

vantrel_status vantrel_c::fail(vantrel_status status, std::string_view message) noexcept {
  std::size_t n = std::min(message.size(), kMessageCapacity - 1);
  // Cut at a character boundary.
  while (n < message.size() && n > 0 &&
         vantrel_core::utf8::is_continuation(static_cast<unsigned char>(message[n])))
    --n;
  std::copy_n(message.data(), n, t_last_error);
  t_last_error[n] = '\0';
  return status;
}

namespace {

using vantrel::ScanResult;
using vantrel_c::fail;

vantrel_status null_argument(const char* function, const char* parameter) {
  return fail(VANTREL_ERROR_INVALID_ARGUMENT,
              std::string(function) + ": " + parameter + " is NULL");
}

// Runs the body of an interface function; nothing thrown leaves it.
template <typename Body>
vantrel_status guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return fail(VANTREL_ERROR_OUT_OF_MEMORY, "out of memory");
  } catch (const std::exception& e) {
    return fail(VANTREL_ERROR_INTERNAL, e.what());
  } catch (...) {
    return fail(VANTREL_ERROR_INTERNAL, "unknown exception");
  }
}

// A text argument: a NULL pointer is the empty text when its length is 0.
std::optional<std::string_view> text_argument(const char* text, std::size_t length) {
  if (text == nullptr && length != 0) return std::nullopt;
  return std::string_view(text == nullptr ? "" : text, length);
}

vantrel_status bad_text(const char* function, const char* parameter, std::size_t length) {
  return fail(VANTREL_ERROR_INVALID_ARGUMENT, std::string(function) + ": " + parameter +
                                                  " is NULL but its length is " +
                                                  std::to_string(length));
}

vantrel_status not_utf8(const char* function, const char* parameter, std::size_t offset) {
  return fail(VANTREL_ERROR_INVALID_UTF8, std::string(function) + ": " + parameter +
                                              " is not valid UTF-8 (ill-formed sequence at byte " +
                                              std::to_string(offset) + ")");
}

std::optional<vantrel::ScanMode> scan_mode(vantrel_mode mode) {
  switch (mode) {
    case VANTREL_MODE_INPUT:
      return vantrel::ScanMode::Input;
    case VANTREL_MODE_OUTPUT:
      return vantrel::ScanMode::Output;
    case VANTREL_MODE_TOOL_CALL:
      return vantrel::ScanMode::ToolCall;
  }
  return std::nullopt;
}

vantrel_status creation_error(const vantrel::Error& e) {
  switch (e.code) {
    case vantrel::ErrorCode::kPatternFileUnreadable:
      return fail(VANTREL_ERROR_PATTERN_FILE_UNREADABLE, e.message);
    case vantrel::ErrorCode::kPatternFileInvalid:
      return fail(VANTREL_ERROR_PATTERN_FILE_INVALID, e.message);
    case vantrel::ErrorCode::kScoreProfileUnusable:
      return fail(VANTREL_ERROR_SCORE_PROFILE_UNUSABLE, e.message);
    case vantrel::ErrorCode::kClassifierModelUnusable:
      return fail(VANTREL_ERROR_CLASSIFIER_MODEL_UNUSABLE, e.message);
  }
  return fail(VANTREL_ERROR_INTERNAL, e.message);
}

const ScanResult* verdict_of(const vantrel_result* result) {
  return result != nullptr && result->verdict ? &*result->verdict : nullptr;
}

constexpr double kAbsent = std::numeric_limits<double>::quiet_NaN();

double or_absent(const std::optional<double>& v) {
  return v ? *v : kAbsent;
}

const char* or_null(const std::optional<std::string>& s) {
  return s ? s->c_str() : nullptr;
}

const vantrel_core::Signal* signal_at(const vantrel_result* result, std::size_t index) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr && index < r->signals.size() ? &r->signals[index] : nullptr;
}

const vantrel_core::SignalEvidence* evidence_at(const vantrel_result* result, std::size_t index) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr && index < r->evidence.size() ? &r->evidence[index] : nullptr;
}

template <typename Creator, typename T>
vantrel_status create_into(const char* function, T** out, Creator&& make) {
  return guarded([&] {
    if (out == nullptr) return null_argument(function, "out");
    *out = nullptr;
    *out = make().release();
    return VANTREL_OK;
  });
}

}  // namespace

extern "C" {

// ---- Statuses and messages ---------------------------------------------------

const char* vantrel_last_error(void) {
  return t_last_error;
}

const char* vantrel_status_name(vantrel_status status) {
  // The enumerator's own spelling, so that name and value cannot drift apart.
#define VANTREL_STATUS_NAME(s) \
  case s:                      \
    return #s;
  switch (status) {
    VANTREL_STATUS_NAME(VANTREL_OK)
    VANTREL_STATUS_NAME(VANTREL_ERROR_INVALID_ARGUMENT)
    VANTREL_STATUS_NAME(VANTREL_ERROR_INVALID_UTF8)
    VANTREL_STATUS_NAME(VANTREL_ERROR_PATTERN_FILE_UNREADABLE)
    VANTREL_STATUS_NAME(VANTREL_ERROR_PATTERN_FILE_INVALID)
    VANTREL_STATUS_NAME(VANTREL_ERROR_SCORE_PROFILE_UNUSABLE)
    VANTREL_STATUS_NAME(VANTREL_ERROR_STREAM_FINISHED)
    VANTREL_STATUS_NAME(VANTREL_ERROR_NO_RESULT)
    VANTREL_STATUS_NAME(VANTREL_ERROR_OUT_OF_MEMORY)
    VANTREL_STATUS_NAME(VANTREL_ERROR_CLASSIFIER_MODEL_UNUSABLE)
    VANTREL_STATUS_NAME(VANTREL_ERROR_INTERNAL)
  }
#undef VANTREL_STATUS_NAME
  return "unknown status";
}

// ---- Version ---------------------------------------------------------------------

const char* vantrel_version(void) {
  return vantrel::version().data();  // a literal, so terminated
}

uint32_t vantrel_version_number(void) {
  return vantrel::version_number();
}

// ---- Enumeration names -----------------------------------------------------------

const char* vantrel_threat_type_name(vantrel_threat_type type) {
  if (type < VANTREL_THREAT_PROMPT_INJECTION || type > VANTREL_THREAT_BENIGN) return nullptr;
  return vantrel_core::snake_name(static_cast<vantrel_core::ThreatType>(type)).data();
}

const char* vantrel_disposition_name(vantrel_disposition disposition) {
  if (disposition < VANTREL_DISPOSITION_ALLOW || disposition > VANTREL_DISPOSITION_BLOCK)
    return nullptr;
  return vantrel_core::disposition_name(static_cast<vantrel_core::Disposition>(disposition)).data();
}

const char* vantrel_severity_name(vantrel_severity severity) {
  if (severity < VANTREL_SEVERITY_LOW || severity > VANTREL_SEVERITY_CRITICAL) return nullptr;
  return vantrel_core::severity_name(static_cast<vantrel_core::Severity>(severity)).data();
}

// ---- Scanner ---------------------------------------------------------------------

vantrel_status vantrel_scanner_create(const vantrel_options* options, vantrel_scanner** out) {
  return guarded([&] {
    if (out == nullptr) return null_argument("vantrel_scanner_create", "out");
    *out = nullptr;
    auto scanner = options != nullptr ? vantrel::Scanner::create(options->options)
                                      : vantrel::Scanner::create();
    if (!scanner) return creation_error(scanner.error());
    *out = new vantrel_scanner{std::move(scanner).value()};
    return VANTREL_OK;
  });
}

void vantrel_scanner_free(vantrel_scanner* scanner) {
  delete scanner;
}

const char* vantrel_scanner_pattern_db_version(const vantrel_scanner* scanner) {
  return scanner != nullptr ? scanner->scanner.pattern_db_version().c_str() : nullptr;
}

uint64_t vantrel_scanner_pattern_db_hash(const vantrel_scanner* scanner) {
  return scanner != nullptr ? scanner->scanner.pattern_db_hash() : 0;
}

uint64_t vantrel_scanner_max_input_bytes(const vantrel_scanner* scanner) {
  return scanner != nullptr ? scanner->scanner.max_input_bytes() : 0;
}

// ---- Results ---------------------------------------------------------------------

vantrel_status vantrel_result_create(vantrel_result** out) {
  return create_into("vantrel_result_create", out,
                     [] { return std::make_unique<vantrel_result>(); });
}

void vantrel_result_free(vantrel_result* result) {
  delete result;
}

vantrel_status vantrel_scan(const vantrel_scanner* scanner, const char* text, size_t length,
                            vantrel_mode mode, vantrel_result* result) {
  return guarded([&] {
    constexpr const char* kFunction = "vantrel_scan";
    if (result == nullptr) return null_argument(kFunction, "result");
    result->clear();
    if (scanner == nullptr) return null_argument(kFunction, "scanner");
    const auto view = text_argument(text, length);
    if (!view) return bad_text(kFunction, "text", length);
    const auto m = scan_mode(mode);
    if (!m) {
      return fail(VANTREL_ERROR_INVALID_ARGUMENT, "vantrel_scan: mode " +
                                                      std::to_string(static_cast<int>(mode)) +
                                                      " is not a vantrel_mode");
    }
    const std::size_t well_formed = vantrel_core::well_formed_utf8_prefix(*view);
    if (well_formed != view->size()) return not_utf8(kFunction, "text", well_formed);
    result->hold(scanner->scanner.scan(*view, *m));
    return VANTREL_OK;
  });
}

int vantrel_result_has_verdict(const vantrel_result* result) {
  return verdict_of(result) != nullptr;
}

int vantrel_result_safe(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr && r->safe;
}

vantrel_threat_type vantrel_result_threat_type(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? static_cast<vantrel_threat_type>(r->threat_type) : VANTREL_THREAT_BENIGN;
}

vantrel_disposition vantrel_result_disposition(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr && r->disposition ? static_cast<vantrel_disposition>(*r->disposition)
                                        : VANTREL_DISPOSITION_NONE;
}

vantrel_severity vantrel_result_severity(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr && r->severity ? static_cast<vantrel_severity>(*r->severity)
                                     : VANTREL_SEVERITY_NONE;
}

double vantrel_result_confidence(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->confidence : kAbsent;
}

double vantrel_result_posterior(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? or_absent(r->posterior_prob) : kAbsent;
}

double vantrel_result_effective_lr(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? or_absent(r->effective_lr) : kAbsent;
}

const char* vantrel_result_warning_message(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? or_null(r->warning_message) : nullptr;
}

int vantrel_result_tier_reached(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->tier_reached : 0;
}

double vantrel_result_latency_ms(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->latency_ms : kAbsent;
}

const char* vantrel_result_pattern_db_version(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? or_null(r->pattern_db_version) : nullptr;
}

uint64_t vantrel_result_pattern_db_hash(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->pattern_db_hash : 0;
}

uint64_t vantrel_result_gate_config_hash(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->gate_config_hash : 0;
}

size_t vantrel_result_signal_count(const vantrel_result* result) {
  const ScanResult* r = verdict_of(result);
  return r != nullptr ? r->signals.size() : 0;
}

const char* vantrel_result_signal_skill(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr ? s->skill.c_str() : nullptr;
}

const char* vantrel_result_signal_type(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr ? s->signal_type.c_str() : nullptr;
}

const char* vantrel_result_signal_description(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr ? s->description.c_str() : nullptr;
}

double vantrel_result_signal_likelihood_ratio(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr ? s->likelihood_ratio : kAbsent;
}

double vantrel_result_signal_raw_score(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr ? or_absent(s->raw_score) : kAbsent;
}

int64_t vantrel_result_signal_offset(const vantrel_result* result, size_t index) {
  const auto* s = signal_at(result, index);
  return s != nullptr && s->offset ? static_cast<int64_t>(*s->offset) : -1;
}

double vantrel_result_signal_applied_log_lr(const vantrel_result* result, size_t index) {
  const auto* e = evidence_at(result, index);
  return e != nullptr ? e->log_lr : kAbsent;
}

int vantrel_result_signal_capped(const vantrel_result* result, size_t index) {
  const auto* e = evidence_at(result, index);
  return e != nullptr && e->capped;
}

int vantrel_result_signal_suppressed(const vantrel_result* result, size_t index) {
  const auto* e = evidence_at(result, index);
  return e != nullptr && e->suppressed;
}

vantrel_status vantrel_result_json(vantrel_result* result, const char** json, size_t* length) {
  return guarded([&] {
    constexpr const char* kFunction = "vantrel_result_json";
    if (json == nullptr) return null_argument(kFunction, "json");
    *json = nullptr;
    if (length != nullptr) *length = 0;
    if (result == nullptr) return null_argument(kFunction, "result");
    if (!result->verdict)
      return fail(VANTREL_ERROR_NO_RESULT, "vantrel_result_json: the result holds no verdict");
    if (!result->json_written) {
      result->json = vantrel::format_result_json(*result->verdict);
      result->json_written = true;
    }
    *json = result->json.c_str();
    if (length != nullptr) *length = result->json.size();
    return VANTREL_OK;
  });
}

// ---- Streams ---------------------------------------------------------------------

vantrel_status vantrel_stream_create(const vantrel_scanner* scanner, vantrel_stream** out) {
  return guarded([&] {
    if (out == nullptr) return null_argument("vantrel_stream_create", "out");
    *out = nullptr;
    if (scanner == nullptr) return null_argument("vantrel_stream_create", "scanner");
    *out = new vantrel_stream{scanner->scanner.stream(), {}};
    return VANTREL_OK;
  });
}

void vantrel_stream_free(vantrel_stream* stream) {
  delete stream;
}

vantrel_status vantrel_stream_push(vantrel_stream* stream, const char* piece, size_t length,
                                   vantrel_push_outcome* outcome, vantrel_result* result) {
  return guarded([&] {
    constexpr const char* kFunction = "vantrel_stream_push";
    if (result != nullptr) result->clear();
    if (outcome == nullptr) return null_argument(kFunction, "outcome");
    *outcome = VANTREL_PUSH_NO_SCAN;
    if (stream == nullptr) return null_argument(kFunction, "stream");
    if (stream->stream.finished())
      return fail(VANTREL_ERROR_STREAM_FINISHED, "vantrel_stream_push: the stream is finished");
    const auto view = text_argument(piece, length);
    if (!view) return bad_text(kFunction, "piece", length);
    vantrel_core::Utf8PieceChecker checked = stream->utf8;
    if (const auto bad = checked.accept(*view)) return not_utf8(kFunction, "piece", *bad);
    vantrel::PushOutcome pushed = stream->stream.push(*view);
    stream->utf8 = checked;
    switch (pushed.kind) {
      case vantrel::PushOutcome::Kind::NoScan:
        break;
      case vantrel::PushOutcome::Kind::Clean:
        *outcome = VANTREL_PUSH_CLEAN;
        break;
      case vantrel::PushOutcome::Kind::Threat:
        *outcome = VANTREL_PUSH_THREAT;
        break;
    }
    if (result != nullptr && pushed.result) result->hold(std::move(*pushed.result));
    return VANTREL_OK;
  });
}

vantrel_status vantrel_stream_finish(vantrel_stream* stream, vantrel_result* result) {
  return guarded([&] {
    constexpr const char* kFunction = "vantrel_stream_finish";
    if (result == nullptr) return null_argument(kFunction, "result");
    result->clear();
    if (stream == nullptr) return null_argument(kFunction, "stream");
    auto verdict = stream->stream.finish();
    if (!verdict)
      return fail(VANTREL_ERROR_STREAM_FINISHED, "vantrel_stream_finish: the stream is finished");
    result->hold(std::move(*verdict));
    return VANTREL_OK;
  });
}

int vantrel_stream_terminated(const vantrel_stream* stream) {
  return stream != nullptr && stream->stream.terminated();
}

int vantrel_stream_finished(const vantrel_stream* stream) {
  return stream == nullptr || stream->stream.finished();
}

// ---- Options ---------------------------------------------------------------------

vantrel_status vantrel_options_create(vantrel_options** out) {
  return create_into("vantrel_options_create", out,
                     [] { return std::make_unique<vantrel_options>(); });
}

void vantrel_options_free(vantrel_options* options) {
  delete options;
}

vantrel_status vantrel_options_apply_preset(vantrel_options* options, vantrel_preset preset) {
  return guarded([&] {
    if (options == nullptr) return null_argument("vantrel_options_apply_preset", "options");
    vantrel::ScannerOptions chosen;
    switch (preset) {
      case VANTREL_PRESET_DEFAULT:
        chosen = vantrel::ScannerOptions::defaults();
        break;
      case VANTREL_PRESET_HIGH_SECURITY:
        chosen = vantrel::ScannerOptions::high_security();
        break;
      case VANTREL_PRESET_LOW_LATENCY:
        chosen = vantrel::ScannerOptions::low_latency();
        break;
      default:
        return fail(VANTREL_ERROR_INVALID_ARGUMENT, "vantrel_options_apply_preset: preset " +
                                                        std::to_string(static_cast<int>(preset)) +
                                                        " is not a vantrel_preset");
    }
    vantrel::GateConfig& gate = options->options.gate;
    gate.block_threshold = chosen.gate.block_threshold;
    gate.allow_threshold = chosen.gate.allow_threshold;
    gate.prior = chosen.gate.prior;
    return VANTREL_OK;
  });
}

vantrel_status vantrel_options_set_double(vantrel_options* options, const char* name,
                                          double value) {
  return guarded([&] { return vantrel_c::set_option(options, name, value); });
}

vantrel_status vantrel_options_set_size(vantrel_options* options, const char* name,
                                        uint64_t value) {
  return guarded([&] { return vantrel_c::set_option(options, name, vantrel_c::SizeValue{value}); });
}

vantrel_status vantrel_options_set_flag(vantrel_options* options, const char* name, int value) {
  return guarded([&] { return vantrel_c::set_option(options, name, value != 0); });
}

vantrel_status vantrel_options_set_string(vantrel_options* options, const char* name,
                                          const char* value) {
  return guarded([&] {
    return vantrel_c::set_option(
        options, name,
        value != nullptr ? std::optional<std::string>(value) : std::optional<std::string>());
  });
}

}  // extern "C"
