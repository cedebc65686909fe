"""The C interface (vantrel/vantrel.h) declared for ctypes, and the loading
of the shared library."""

import ctypes
import ctypes.util
import os
import threading

#: Environment variable naming the shared library to load when no path is
#: passed: ``VANTREL_LIBRARY=/opt/vantrel/lib/libvantrel.so.0``.
LIBRARY_ENV = "VANTREL_LIBRARY"

# The soname this module was written against.
_SONAME = "libvantrel.so.0"

_loaded = {}
_loaded_lock = threading.Lock()

class VantrelError(Exception):
    """A call into the library failed.

    ``status`` is the C status code, ``name`` its name
    (``"VANTREL_ERROR_PATTERN_FILE_INVALID"``) and ``message`` the library's
    reason, which names the file, record and field where there is one."""

    def __init__(self, status, name, message):
        self.status = status
        self.name = name
        self.message = message
        super().__init__("%s: %s" % (self.name, message))


_p = ctypes.c_void_p
_s = ctypes.c_char_p
_i = ctypes.c_int
_d = ctypes.c_double
_u64 = ctypes.c_uint64
_i64 = ctypes.c_int64
_size = ctypes.c_size_t

# name: (result type, argument types)
_PROTOTYPES = {
    "vantrel_last_error": (_s, []),
    "vantrel_status_name": (_s, [_i]),
    "vantrel_version": (_s, []),
    "vantrel_version_number": (ctypes.c_uint32, []),
    "vantrel_threat_type_name": (_s, [_i]),
    "vantrel_disposition_name": (_s, [_i]),
    "vantrel_severity_name": (_s, [_i]),
    "vantrel_options_create": (_i, [ctypes.POINTER(_p)]),
    "vantrel_options_free": (None, [_p]),
    "vantrel_options_apply_preset": (_i, [_p, _i]),
    "vantrel_options_set_double": (_i, [_p, _s, _d]),
    "vantrel_options_set_size": (_i, [_p, _s, _u64]),
    "vantrel_options_set_flag": (_i, [_p, _s, _i]),
    "vantrel_options_set_string": (_i, [_p, _s, _s]),
    "vantrel_scanner_create": (_i, [_p, ctypes.POINTER(_p)]),
    "vantrel_scanner_free": (None, [_p]),
    "vantrel_scanner_pattern_db_version": (_s, [_p]),
    "vantrel_scanner_pattern_db_hash": (_u64, [_p]),
    "vantrel_scanner_max_input_bytes": (_u64, [_p]),
    "vantrel_result_create": (_i, [ctypes.POINTER(_p)]),
    "vantrel_result_free": (None, [_p]),
    "vantrel_scan": (_i, [_p, _s, _size, _i, _p]),
    "vantrel_result_safe": (_i, [_p]),
    "vantrel_result_threat_type": (_i, [_p]),
    "vantrel_result_disposition": (_i, [_p]),
    "vantrel_result_severity": (_i, [_p]),
    "vantrel_result_confidence": (_d, [_p]),
    "vantrel_result_posterior": (_d, [_p]),
    "vantrel_result_effective_lr": (_d, [_p]),
    "vantrel_result_warning_message": (_s, [_p]),
    "vantrel_result_tier_reached": (_i, [_p]),
    "vantrel_result_latency_ms": (_d, [_p]),
    "vantrel_result_pattern_db_version": (_s, [_p]),
    "vantrel_result_pattern_db_hash": (_u64, [_p]),
    "vantrel_result_gate_config_hash": (_u64, [_p]),
    "vantrel_result_signal_count": (_size, [_p]),
    "vantrel_result_signal_skill": (_s, [_p, _size]),
    "vantrel_result_signal_type": (_s, [_p, _size]),
    "vantrel_result_signal_description": (_s, [_p, _size]),
    "vantrel_result_signal_likelihood_ratio": (_d, [_p, _size]),
    "vantrel_result_signal_raw_score": (_d, [_p, _size]),
    "vantrel_result_signal_offset": (_i64, [_p, _size]),
    "vantrel_result_signal_applied_log_lr": (_d, [_p, _size]),
    "vantrel_result_signal_capped": (_i, [_p, _size]),
    "vantrel_result_signal_suppressed": (_i, [_p, _size]),
    "vantrel_result_json": (_i, [_p, ctypes.POINTER(_s), ctypes.POINTER(_size)]),
    "vantrel_stream_create": (_i, [_p, ctypes.POINTER(_p)]),
    "vantrel_stream_free": (None, [_p]),
    "vantrel_stream_push": (_i, [_p, _s, _size, ctypes.POINTER(_i), _p]),
    "vantrel_stream_finish": (_i, [_p, _p]),
    "vantrel_stream_terminated": (_i, [_p]),
    "vantrel_stream_finished": (_i, [_p]),
}


def _candidates(path):
    if path is not None:
        return [os.fspath(path)]
    if os.environ.get(LIBRARY_ENV):
        return [os.environ[LIBRARY_ENV]]
    found = ctypes.util.find_library("vantrel")
    return [name for name in (_SONAME, found) if name]


def load_library(path=None):
    """The shared library, loaded once per path and declared for ctypes.

    Looked for, in this order: ``path``; the file named by the environment
    variable ``VANTREL_LIBRARY``; the system's loader search for
    ``libvantrel.so.0``. Raises OSError when none loads."""
    errors = []
    for candidate in _candidates(path):
        with _loaded_lock:
            if candidate in _loaded:
                return _loaded[candidate]
            try:
                lib = ctypes.CDLL(candidate)
            except OSError as e:
                errors.append(str(e))
                continue
            for name, (restype, argtypes) in _PROTOTYPES.items():
                function = getattr(lib, name)
                function.restype = restype
                function.argtypes = argtypes
            _loaded[candidate] = lib
            return lib
    raise OSError(
        "cannot load the vantrel library (pass its path, or set %s): %s"
        % (LIBRARY_ENV, "; ".join(errors) or "not found")
    )


def check(lib, status):
    """Raises VantrelError for a failed call; the message is read on the
    calling thread, where the library keeps it."""
    if status != 0:
        raise error(lib, status)


def error(lib, status):
    """The VantrelError of a failed call, read on the calling thread."""
    return VantrelError(
        status,
        lib.vantrel_status_name(status).decode("ascii"),
        lib.vantrel_last_error().decode("utf-8", "replace"),
    )


def text(value):
    """A C string returned by the library, as str (None stays None)."""
    return None if value is None else value.decode("utf-8")
