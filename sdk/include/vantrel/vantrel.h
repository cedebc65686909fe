/* The C interface of the scanner, for C programs and for other languages'
 * foreign-function layers. Valid C11 and C++.
 *
 *   vantrel_scanner *scanner;
 *   if (vantrel_scanner_create(NULL, &scanner) != VANTREL_OK) {  // NULL: the defaults
 *     fprintf(stderr, "%s\n", vantrel_last_error());
 *     return 2;
 *   }
 *   vantrel_result *result;
 *   vantrel_result_create(&result);
 *   if (vantrel_scan(scanner, prompt, strlen(prompt), VANTREL_MODE_INPUT, result) != VANTREL_OK
 *       || !vantrel_result_safe(result))
 *     refuse(prompt);
 *   vantrel_result_free(result);
 *   vantrel_scanner_free(scanner);
 *
 * Errors. Every function that can fail returns a vantrel_status; VANTREL_OK
 * (0) is success. No exception and no abort crosses this interface: null
 * pointers, bad values and running out of memory come back as statuses. The
 * reason of a failure, in words, is vantrel_last_error(), kept per thread
 * until that thread's next failing call.
 *
 * Threads. A scanner is immutable once created: vantrel_scan,
 * vantrel_stream_create and the vantrel_scanner_* queries may be called on
 * one scanner by any number of threads at once. Options, results and streams
 * are used by one thread at a time (they may move between threads); distinct
 * ones may be used concurrently. Free a scanner only when no call on it is in
 * progress; streams made from it do not refer to it and may outlive it.
 *
 * Text. Texts are UTF-8 given as a pointer and a byte length (they may hold
 * NUL bytes); a NULL pointer is accepted with length 0. Strings the library
 * returns are NUL-terminated UTF-8 owned by the object they came from.
 *
 * Growth. Options are set by name on an opaque object, so new options never
 * change a structure's layout; enumeration values are never renumbered. */
#ifndef VANTREL_VANTREL_H
#define VANTREL_VANTREL_H

#include <stddef.h>
#include <stdint.h>

#include "vantrel/version.h"

#if defined(VANTREL_BUILDING_LIBRARY) && defined(__GNUC__)
#define VANTREL_API __attribute__((visibility("default")))
#else
#define VANTREL_API
#endif

/* In C++ the enumerations are int-based, so that any int a C caller passes
 * is a value of the type (and the layout is C's int). */
#ifdef __cplusplus
#define VANTREL_ENUM(name) enum name : int
#else
#define VANTREL_ENUM(name) enum name
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Statuses and messages ------------------------------------------------ */

/* clang-format off */
typedef VANTREL_ENUM(vantrel_status) {
  VANTREL_OK = 0,
  VANTREL_ERROR_INVALID_ARGUMENT = 1,        /* a null pointer, unknown option or bad value */
  VANTREL_ERROR_INVALID_UTF8 = 2,            /* a text that is not well-formed UTF-8 */
  VANTREL_ERROR_PATTERN_FILE_UNREADABLE = 3, /* patterns_file could not be read */
  VANTREL_ERROR_PATTERN_FILE_INVALID = 4,    /* patterns_file is not a valid pattern database */
  VANTREL_ERROR_SCORE_PROFILE_UNUSABLE = 5,  /* score_profile_file cannot be read or used */
  VANTREL_ERROR_STREAM_FINISHED = 6,         /* a push or finish after the stream's finish */
  VANTREL_ERROR_NO_RESULT = 7,               /* the result holds no verdict */
  VANTREL_ERROR_OUT_OF_MEMORY = 8,
  VANTREL_ERROR_INTERNAL = 9, /* a fault of the library; the message says what */
  VANTREL_ERROR_CLASSIFIER_MODEL_UNUSABLE = 10 /* classifier_model_file cannot be read or used */
} vantrel_status;
/* clang-format on */

/* The reason of the calling thread's most recent failing call, for example
 *   pattern file 'site.json': record 3: "likelihood_ratio" must be a number
 * "" when no call on this thread has failed. Valid until the thread's next
 * failing call; successful calls leave it unchanged. */
VANTREL_API const char* vantrel_last_error(void);

/* The status's name: "VANTREL_OK", "VANTREL_ERROR_INVALID_UTF8", ...;
 * "unknown status" for a value not listed above. */
VANTREL_API const char* vantrel_status_name(vantrel_status status);

/* ---- Version ---------------------------------------------------------------- */

/* The library's version, "0.4.0", and as a number, major * 1000000 +
 * minor * 1000 + patch (VANTREL_VERSION_NUMBER is the headers'). */
VANTREL_API const char* vantrel_version(void);
VANTREL_API uint32_t vantrel_version_number(void);

/* ---- Enumerations (numbers are part of the interface) ------------------------- */

/* clang-format off */

typedef VANTREL_ENUM(vantrel_mode) {
  VANTREL_MODE_INPUT = 0,    /* a user prompt */
  VANTREL_MODE_OUTPUT = 1,   /* a model response */
  VANTREL_MODE_TOOL_CALL = 2 /* an agent's tool-call arguments, matched as given */
} vantrel_mode;

typedef VANTREL_ENUM(vantrel_threat_type) {
  VANTREL_THREAT_PROMPT_INJECTION = 0,
  VANTREL_THREAT_JAILBREAK = 1,
  VANTREL_THREAT_DATA_EXFILTRATION = 2,
  VANTREL_THREAT_ENCODING_ATTACK = 3,
  VANTREL_THREAT_SOCIAL_ENGINEERING = 4,
  VANTREL_THREAT_CONTEXT_MANIPULATION = 5,
  VANTREL_THREAT_TOOL_MANIPULATION = 6,
  VANTREL_THREAT_BENIGN = 7 /* no threat */
} vantrel_threat_type;

typedef VANTREL_ENUM(vantrel_disposition) {
  VANTREL_DISPOSITION_NONE = -1, /* not decided (calibrated path switched off) */
  VANTREL_DISPOSITION_ALLOW = 0,
  VANTREL_DISPOSITION_ALLOW_WITH_WARNING = 1,
  VANTREL_DISPOSITION_BLOCK = 2
} vantrel_disposition;

typedef VANTREL_ENUM(vantrel_severity) {
  VANTREL_SEVERITY_NONE = -1, /* no severity (an allowed text) */
  VANTREL_SEVERITY_LOW = 0,
  VANTREL_SEVERITY_MEDIUM = 1,
  VANTREL_SEVERITY_HIGH = 2,
  VANTREL_SEVERITY_CRITICAL = 3
} vantrel_severity;

typedef VANTREL_ENUM(vantrel_push_outcome) {
  VANTREL_PUSH_NO_SCAN = 0, /* no scan point reached; nothing to look at */
  VANTREL_PUSH_CLEAN = 1,   /* a scan ran and found no threat */
  VANTREL_PUSH_THREAT = 2   /* a scan found a threat; the stream has stopped */
} vantrel_push_outcome;

typedef VANTREL_ENUM(vantrel_preset) {
  VANTREL_PRESET_DEFAULT = 0,       /* block 0.9, allow 0.1, prior 0.01 */
  VANTREL_PRESET_HIGH_SECURITY = 1, /* block 0.8, allow 0.02, prior 0.05 */
  VANTREL_PRESET_LOW_LATENCY = 2    /* block 0.95, allow 0.2, prior 0.01 */
} vantrel_preset;

/* clang-format on */

/* "prompt_injection" .. "tool_manipulation", "benign"; "allow",
 * "allow_with_warning", "block"; "low" .. "critical". NULL for NONE and for
 * values not listed. */
VANTREL_API const char* vantrel_threat_type_name(vantrel_threat_type type);
VANTREL_API const char* vantrel_disposition_name(vantrel_disposition disposition);
VANTREL_API const char* vantrel_severity_name(vantrel_severity severity);

/* ---- Options ------------------------------------------------------------------ */

/* What a scanner is built from. A new options object holds the defaults of
 * the command line (vantrel/options.h documents each one) and asks for no
 * file and no environment variable. */
typedef struct vantrel_options vantrel_options;

VANTREL_API vantrel_status vantrel_options_create(vantrel_options** out);
VANTREL_API void vantrel_options_free(vantrel_options* options); /* NULL is ignored */

/* Sets the gate's block_threshold, allow_threshold and prior as the command
 * line's preset does; later setters may change them again. */
VANTREL_API vantrel_status vantrel_options_apply_preset(vantrel_options* options,
                                                        vantrel_preset preset);

/* Set one option by name. The names are those of vantrel::ScannerOptions,
 * with the gate's fields unprefixed and the stream's prefixed "stream_":
 *   numbers (double): low_start_prob, medium_start_prob, high_start_prob,
 *     critical_start_prob, warn_prob, block_prob, block_threshold,
 *     allow_threshold, prior, max_likelihood_ratio, toolcall_lr_cap,
 *     heuristic_discount, obfuscation_lr_cap, obfuscation_log_budget,
 *     reinforcement_base_log, reinforcement_step_log, reinforcement_max_log,
 *     stream_early_termination_log_odds
 *   sizes: max_input_bytes, stream_min_scan_bytes, stream_max_buffer_bytes,
 *     stream_overlap_bytes
 *   flags (0 or not 0): score_v2_enabled, warning_mode_enabled,
 *     correlation_dedup_enabled, search_pattern_files,
 *     read_profile_environment, stream_scan_on_sentence_end
 *   strings (a path, or NULL for none): patterns_file, score_profile_file,
 *     classifier_model_file (a model file written by the training tool; it
 *     turns the learned detector on, NULL turns it off)
 *   classifier (a string): "off" or NULL (the default), or "builtin" for the
 *     learned detector with the model compiled into the library
 * An unknown name, or a name of another kind, is VANTREL_ERROR_INVALID_ARGUMENT
 * and changes nothing. Files are read when the scanner is created. */
VANTREL_API vantrel_status vantrel_options_set_double(vantrel_options* options, const char* name,
                                                      double value);
VANTREL_API vantrel_status vantrel_options_set_size(vantrel_options* options, const char* name,
                                                    uint64_t value);
VANTREL_API vantrel_status vantrel_options_set_flag(vantrel_options* options, const char* name,
                                                    int value);
VANTREL_API vantrel_status vantrel_options_set_string(vantrel_options* options, const char* name,
                                                      const char* value);

/* ---- Scanner ------------------------------------------------------------------ */

typedef struct vantrel_scanner vantrel_scanner;

/* Builds a scanner from the options (NULL: the defaults); the options may be
 * freed afterwards. A pattern or profile file that cannot be used gives its
 * status and a message naming the file and, for a rejected pattern file, the
 * record and field or what the JSON parser said. */
VANTREL_API vantrel_status vantrel_scanner_create(const vantrel_options* options,
                                                  vantrel_scanner** out);
VANTREL_API void vantrel_scanner_free(vantrel_scanner* scanner); /* NULL is ignored */

/* The database's version label and fingerprint, as every result reports
 * them, and the size limit (texts longer than this are blocked unscanned). */
VANTREL_API const char* vantrel_scanner_pattern_db_version(const vantrel_scanner* scanner);
VANTREL_API uint64_t vantrel_scanner_pattern_db_hash(const vantrel_scanner* scanner);
VANTREL_API uint64_t vantrel_scanner_max_input_bytes(const vantrel_scanner* scanner);

/* ---- Results ------------------------------------------------------------------ */

/* The verdict of one scan. Create one and reuse it for any number of scans;
 * each scan replaces its contents. A result that holds no verdict (new, or
 * after a failed call) reports safe as 0. */
typedef struct vantrel_result vantrel_result;

VANTREL_API vantrel_status vantrel_result_create(vantrel_result** out);
VANTREL_API void vantrel_result_free(vantrel_result* result); /* NULL is ignored */

/* Scans one text into the result. The text over the scanner's size limit is
 * not an error: it gives the command line's verdict, a block with a
 * "size_limit" signal. A text that is not well-formed UTF-8 is
 * VANTREL_ERROR_INVALID_UTF8, naming the offset of the first bad byte. */
VANTREL_API vantrel_status vantrel_scan(const vantrel_scanner* scanner, const char* text,
                                        size_t length, vantrel_mode mode, vantrel_result* result);

/* The accessors below read a result; on a NULL result, or one holding no
 * verdict, they return 0, NONE, BENIGN, NaN or NULL. Absent numbers are NaN,
 * absent strings NULL. Strings stay valid until the result is refilled or
 * freed. */
VANTREL_API int vantrel_result_has_verdict(const vantrel_result* result);
VANTREL_API int vantrel_result_safe(const vantrel_result* result);
VANTREL_API vantrel_threat_type vantrel_result_threat_type(const vantrel_result* result);
VANTREL_API vantrel_disposition vantrel_result_disposition(const vantrel_result* result);
VANTREL_API vantrel_severity vantrel_result_severity(const vantrel_result* result);
/* The gate's posterior p when unsafe, 1 - p when safe. */
VANTREL_API double vantrel_result_confidence(const vantrel_result* result);
/* The calibrated attack probability and effective likelihood ratio. */
VANTREL_API double vantrel_result_posterior(const vantrel_result* result);
VANTREL_API double vantrel_result_effective_lr(const vantrel_result* result);
VANTREL_API const char* vantrel_result_warning_message(const vantrel_result* result);
VANTREL_API int vantrel_result_tier_reached(const vantrel_result* result);
VANTREL_API double vantrel_result_latency_ms(const vantrel_result* result);
VANTREL_API const char* vantrel_result_pattern_db_version(const vantrel_result* result);
VANTREL_API uint64_t vantrel_result_pattern_db_hash(const vantrel_result* result);
VANTREL_API uint64_t vantrel_result_gate_config_hash(const vantrel_result* result);

/* The evidence, one entry per signal in the report's order; index from 0 to
 * count - 1 (other indexes give NULL, NaN, 0 or -1). likelihood_ratio is the
 * skill's own; applied_log_lr is the natural log of the ratio the gate
 * applied after its caps; offset is the byte offset of the evidence in the
 * scanned text, -1 when the signal has none. */
VANTREL_API size_t vantrel_result_signal_count(const vantrel_result* result);
VANTREL_API const char* vantrel_result_signal_skill(const vantrel_result* result, size_t index);
VANTREL_API const char* vantrel_result_signal_type(const vantrel_result* result, size_t index);
VANTREL_API const char* vantrel_result_signal_description(const vantrel_result* result,
                                                          size_t index);
VANTREL_API double vantrel_result_signal_likelihood_ratio(const vantrel_result* result,
                                                          size_t index);
VANTREL_API double vantrel_result_signal_raw_score(const vantrel_result* result, size_t index);
VANTREL_API int64_t vantrel_result_signal_offset(const vantrel_result* result, size_t index);
VANTREL_API double vantrel_result_signal_applied_log_lr(const vantrel_result* result, size_t index);
VANTREL_API int vantrel_result_signal_capped(const vantrel_result* result, size_t index);
VANTREL_API int vantrel_result_signal_suppressed(const vantrel_result* result, size_t index);

/* The result as the one JSON line `vantrel scan --json` prints (without the
 * line feed), written on first request and kept until the result is
 * refilled. Not a const accessor: it stores the text in the result. */
VANTREL_API vantrel_status vantrel_result_json(vantrel_result* result, const char** json,
                                               size_t* length);

/* ---- Streams ------------------------------------------------------------------ */

/* A model response checked while it is generated: push each piece (a token,
 * a line), stop at the first VANTREL_PUSH_THREAT, then finish. One gate
 * accumulates the evidence of every scan, as `vantrel stream` does. */
typedef struct vantrel_stream vantrel_stream;

VANTREL_API vantrel_status vantrel_stream_create(const vantrel_scanner* scanner,
                                                 vantrel_stream** out);
VANTREL_API void vantrel_stream_free(vantrel_stream* stream); /* NULL is ignored */

/* Appends a piece and scans when a scan point is reached. *outcome says
 * what happened; result (may be NULL) receives the scan's verdict for CLEAN
 * and THREAT and holds no verdict for NO_SCAN. A piece may end or begin in
 * the middle of a UTF-8 character; bytes that can never be UTF-8 are
 * VANTREL_ERROR_INVALID_UTF8 and the piece is not appended. After a threat,
 * pushes change nothing and give NO_SCAN. After finish:
 * VANTREL_ERROR_STREAM_FINISHED. */
VANTREL_API vantrel_status vantrel_stream_push(vantrel_stream* stream, const char* piece,
                                               size_t length, vantrel_push_outcome* outcome,
                                               vantrel_result* result);

/* The final verdict over everything pushed (after a threat, a threat) into
 * result, and the end of the stream; a character left unfinished by the
 * last piece is read as U+FFFD. A second finish:
 * VANTREL_ERROR_STREAM_FINISHED. */
VANTREL_API vantrel_status vantrel_stream_finish(vantrel_stream* stream, vantrel_result* result);

/* 1 once a push found a threat; 1 once finished. */
VANTREL_API int vantrel_stream_terminated(const vantrel_stream* stream);
VANTREL_API int vantrel_stream_finished(const vantrel_stream* stream);

#ifdef __cplusplus
}
#endif

#undef VANTREL_ENUM

#endif /* VANTREL_VANTREL_H */
