"""Scanner and Stream over the C interface (ctypes)."""

import ctypes
import os
import threading
from typing import Iterable, Iterator, NamedTuple, Optional, Union

from . import _native
from ._native import check
from ._native import text as _decode
from .result import Result, Signal, optional_number

Text = Union[str, bytes, bytearray, memoryview]

_MODES = {"input": 0, "output": 1, "tool_call": 2}
_PRESETS = {"default": 0, "high_security": 1, "low_latency": 2}
_OUTCOMES = ("no_scan", "clean", "threat")


def version(library=None) -> str:
    """The loaded library's version, "0.4.0"."""
    return _decode(_native.load_library(library).vantrel_version())


def _as_bytes(value: Text) -> bytes:
    if isinstance(value, str):
        return value.encode("utf-8")  # a lone surrogate raises UnicodeEncodeError
    return bytes(value)


class _Handle:
    """A C handle that threads may use while one of them closes it: it is
    freed when the last user is done."""

    def __init__(self, pointer, free):
        self._pointer = pointer
        self._free = free
        self._users = 0
        self._closed = False
        self._lock = threading.Lock()

    def acquire(self):
        with self._lock:
            if self._closed:
                raise ValueError("the scanner is closed")
            self._users += 1
            return self._pointer

    def release(self):
        with self._lock:
            self._users -= 1
            last = self._closed and self._users == 0
        if last:
            self._free(self._pointer)

    def close(self):
        with self._lock:
            if self._closed:
                return
            self._closed = True
            last = self._users == 0
        if last:
            self._free(self._pointer)


def _read_result(lib, r) -> Result:
    """The result object's verdict as a Result."""
    json_text = ctypes.c_char_p()
    length = ctypes.c_size_t()
    check(lib, lib.vantrel_result_json(r, ctypes.byref(json_text), ctypes.byref(length)))
    signals = tuple(
        Signal(
            skill=_decode(lib.vantrel_result_signal_skill(r, i)),
            type=_decode(lib.vantrel_result_signal_type(r, i)),
            description=_decode(lib.vantrel_result_signal_description(r, i)),
            likelihood_ratio=lib.vantrel_result_signal_likelihood_ratio(r, i),
            raw_score=optional_number(lib.vantrel_result_signal_raw_score(r, i)),
            log_lr=lib.vantrel_result_signal_applied_log_lr(r, i),
            capped=bool(lib.vantrel_result_signal_capped(r, i)),
            suppressed=bool(lib.vantrel_result_signal_suppressed(r, i)),
        )
        for i in range(lib.vantrel_result_signal_count(r))
    )
    return Result(
        safe=bool(lib.vantrel_result_safe(r)),
        threat_type=_decode(lib.vantrel_threat_type_name(lib.vantrel_result_threat_type(r))),
        disposition=_decode(lib.vantrel_disposition_name(lib.vantrel_result_disposition(r))),
        severity=_decode(lib.vantrel_severity_name(lib.vantrel_result_severity(r))),
        confidence=lib.vantrel_result_confidence(r),
        posterior=optional_number(lib.vantrel_result_posterior(r)),
        effective_lr=optional_number(lib.vantrel_result_effective_lr(r)),
        warning_message=_decode(lib.vantrel_result_warning_message(r)),
        tier_reached=lib.vantrel_result_tier_reached(r),
        latency_ms=lib.vantrel_result_latency_ms(r),
        pattern_db_version=_decode(lib.vantrel_result_pattern_db_version(r)),
        pattern_db_hash=lib.vantrel_result_pattern_db_hash(r),
        gate_config_hash=lib.vantrel_result_gate_config_hash(r),
        signals=signals,
        json=ctypes.string_at(json_text, length.value).decode("utf-8"),
    )


class _ResultObject:
    """A vantrel_result for the duration of one call."""

    def __init__(self, lib):
        self._lib = lib
        self.pointer = ctypes.c_void_p()
        check(lib, lib.vantrel_result_create(ctypes.byref(self.pointer)))

    def __enter__(self):
        return self.pointer

    def __exit__(self, *exc):
        self._lib.vantrel_result_free(self.pointer)


class Scanner:
    """A scanner built once and shared by any number of threads.

    ``Scanner()`` has the command line's defaults and reads no file and no
    environment variable. ``preset`` is "default", "high_security" or
    "low_latency"; every other keyword sets the option of that name (see
    vantrel/vantrel.h: ``block_threshold=0.8``, ``patterns_file="site.json"``,
    ``stream_min_scan_bytes=64``, ``search_pattern_files=True``, ...).
    ``library`` is the shared library's path (else ``VANTREL_LIBRARY``, else
    the loader's search). A bad option or file raises VantrelError with the
    library's reason.

    ``close()`` (or leaving a ``with`` block) frees it once calls in progress
    on other threads are done; later calls raise ValueError."""

    def __init__(self, *, preset: str = "default", library=None, **options):
        self._lib = lib = _native.load_library(library)
        if preset not in _PRESETS:
            raise ValueError("preset must be one of %s" % ", ".join(_PRESETS))
        handle = ctypes.c_void_p()
        check(lib, lib.vantrel_options_create(ctypes.byref(handle)))
        try:
            check(lib, lib.vantrel_options_apply_preset(handle, _PRESETS[preset]))
            for name, value in options.items():
                self._set_option(handle, name, value)
            scanner = ctypes.c_void_p()
            check(lib, lib.vantrel_scanner_create(handle, ctypes.byref(scanner)))
        finally:
            lib.vantrel_options_free(handle)
        self._handle = _Handle(scanner, lib.vantrel_scanner_free)

    def _set_option(self, handle, name, value):
        lib = self._lib
        key = name.encode("utf-8")
        if isinstance(value, bool):
            attempts = [lambda: lib.vantrel_options_set_flag(handle, key, int(value))]
        elif isinstance(value, int):
            # A whole number may be meant for a size or a number option.
            attempts = [lambda: lib.vantrel_options_set_double(handle, key, float(value))]
            if value >= 0:
                attempts.insert(0, lambda: lib.vantrel_options_set_size(handle, key, value))
        elif isinstance(value, float):
            attempts = [lambda: lib.vantrel_options_set_double(handle, key, value)]
        elif value is None or isinstance(value, (str, bytes, os.PathLike)):
            path = None if value is None else os.fsencode(value)
            attempts = [lambda: lib.vantrel_options_set_string(handle, key, path)]
        else:
            raise TypeError("option %s: unsupported value %r" % (name, value))
        first_error = None
        for attempt in attempts:
            status = attempt()
            if status == 0:
                return
            if first_error is None:
                first_error = _native.error(lib, status)
        raise first_error

    def close(self):
        self._handle.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        handle = getattr(self, "_handle", None)
        if handle is not None:
            handle.close()

    def _query(self, function):
        pointer = self._handle.acquire()
        try:
            return function(pointer)
        finally:
            self._handle.release()

    @property
    def pattern_db_version(self) -> str:
        return _decode(self._query(self._lib.vantrel_scanner_pattern_db_version))

    @property
    def pattern_db_hash(self) -> int:
        return self._query(self._lib.vantrel_scanner_pattern_db_hash)

    @property
    def max_input_bytes(self) -> int:
        return self._query(self._lib.vantrel_scanner_max_input_bytes)

    def scan(self, text: Text, mode: str = "input") -> Result:
        """Scans a prompt ("input"), a model response ("output") or tool-call
        arguments ("tool_call"). Bytes must be UTF-8 (else VantrelError with
        status VANTREL_ERROR_INVALID_UTF8). A text over max_input_bytes is
        not an error: it is blocked, as the command line blocks it."""
        if mode not in _MODES:
            raise ValueError("mode must be one of %s" % ", ".join(_MODES))
        data = _as_bytes(text)
        lib = self._lib
        with _ResultObject(lib) as r:
            check(lib, self._query(lambda s: lib.vantrel_scan(s, data, len(data), _MODES[mode], r)))
            return _read_result(lib, r)

    def scan_output(self, text: Text) -> Result:
        """Scans a model response."""
        return self.scan(text, "output")

    def stream(self) -> "Stream":
        """A stream for a response that arrives in pieces."""
        return Stream(self)


class Push(NamedTuple):
    """What one push did: ``outcome`` is "no_scan", "clean" or "threat";
    ``result`` is the scan's verdict for "clean" and "threat"."""

    outcome: str
    result: Optional[Result]

    @property
    def threat(self) -> bool:
        return self.outcome == "threat"


class Stream:
    """A model response checked while it is generated, used by one thread
    at a time. Push each piece (str, or bytes that may cut a character);
    the first threat stops the stream; ``finish()`` gives the verdict over
    everything pushed.

    ``guard(pieces)`` does the whole loop: it yields the text a scan has
    passed and stops at the first threat, leaving the verdict in
    ``verdict``::

        with scanner.stream() as stream:
            for text in stream.guard(model_tokens()):
                print(text, end="", flush=True)
            if not stream.verdict.safe:
                print("\\n[stopped]")
    """

    def __init__(self, scanner: Scanner):
        self._lib = lib = scanner._lib
        self._pointer = ctypes.c_void_p()
        check(lib, scanner._query(lambda s: lib.vantrel_stream_create(s, ctypes.byref(self._pointer))))
        self.verdict: Optional[Result] = None

    def _live(self):
        if not self._pointer:
            raise ValueError("the stream is closed")
        return self._pointer

    def push(self, piece: Text) -> Push:
        data = _as_bytes(piece)
        lib = self._lib
        outcome = ctypes.c_int()
        with _ResultObject(lib) as r:
            check(lib, lib.vantrel_stream_push(self._live(), data, len(data), ctypes.byref(outcome), r))
            kind = _OUTCOMES[outcome.value]
            return Push(kind, None if kind == "no_scan" else _read_result(lib, r))

    def finish(self) -> Result:
        lib = self._lib
        with _ResultObject(lib) as r:
            check(lib, lib.vantrel_stream_finish(self._live(), r))
            self.verdict = _read_result(lib, r)
            return self.verdict

    @property
    def terminated(self) -> bool:
        return bool(self._lib.vantrel_stream_terminated(self._live()))

    @property
    def finished(self) -> bool:
        return bool(self._lib.vantrel_stream_finished(self._live()))

    def guard(self, pieces: Iterable[Text]) -> Iterator[Text]:
        """Pushes each piece and yields the text held since the last scan
        once a scan finds it clean; at the end, the rest if the final verdict
        is safe. Stops at the first threat. ``verdict`` is then the threat's
        result, or the final one."""
        held = []
        for piece in pieces:
            held.append(piece)
            pushed = self.push(piece)
            if pushed.threat:
                self.verdict = pushed.result
                return
            if pushed.outcome == "clean":
                yield _join(held)
                held = []
        if not self.finish().safe:
            return
        if held:
            yield _join(held)

    def close(self):
        if self._pointer:
            self._lib.vantrel_stream_free(self._pointer)
            self._pointer = ctypes.c_void_p()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        if getattr(self, "_pointer", None):
            self.close()


def _join(pieces):
    return "".join(pieces) if isinstance(pieces[0], str) else b"".join(bytes(p) for p in pieces)
