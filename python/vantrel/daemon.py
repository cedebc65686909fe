"""A client for ``vantrel scan --stdin`` running as a separate process.

The daemon keeps one scanner alive and answers one JSON line per request
line, in order. The client adds what a caller needs around it:

- a timeout per request: when it passes, the daemon is stopped (its answer
  would arrive out of step) and DaemonTimeout is raised; the next request
  starts a new daemon;
- restarts: a daemon that has died is started again by the next request. A
  request in flight when the daemon dies is sent once more to a new daemon
  (a scan has no side effects); if that one dies too, DaemonDied is raised
  with the exit status and what the daemon last wrote to standard error;
- ids: any string, returned exactly (quotes, new lines and all); the client
  checks that every answer carries the id of its request;
- threads: one client may be shared; requests are sent one at a time.
"""

import collections
import itertools
import json
import os
import select
import shutil
import subprocess
import threading
import time
import weakref
from json.decoder import scanstring
from typing import Optional, Sequence

from .result import Result

#: Environment variable naming the ``vantrel`` program when none is passed.
EXECUTABLE_ENV = "VANTREL_EXECUTABLE"

_MODES = (None, "input", "output")


class DaemonError(Exception):
    """The daemon could not answer a request."""


class DaemonTimeout(DaemonError):
    """No answer within the request's timeout; the daemon was stopped."""


class DaemonDied(DaemonError):
    """The daemon ended while a request was in flight, twice in a row, or
    could not be started."""


class DaemonRequestError(DaemonError):
    """The daemon answered the request with an error (``{"error": ...}``)."""


class DaemonProtocolError(DaemonError):
    """The daemon's answer was not the response to the request; the daemon
    was stopped."""


class _Ended(Exception):
    pass


class _TimedOut(Exception):
    pass


class _Process:
    """One running daemon: its pipes (non-blocking), the bytes read but not
    yet taken, and the end of its standard error."""

    def __init__(self, argv, cwd, env):
        self.popen = subprocess.Popen(
            argv,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            cwd=cwd,
            env=env,
        )
        self.stdin = self.popen.stdin.fileno()
        self.stdout = self.popen.stdout.fileno()
        os.set_blocking(self.stdin, False)
        os.set_blocking(self.stdout, False)
        self.pending = bytearray()
        self.stderr_tail = collections.deque(maxlen=20)
        self._stderr_reader = threading.Thread(target=self._drain_stderr, daemon=True)
        self._stderr_reader.start()

    def _drain_stderr(self):
        for line in self.popen.stderr:
            self.stderr_tail.append(line.decode("utf-8", "replace").rstrip("\n"))

    def write(self, data: bytes, deadline: float):
        view = memoryview(data)
        while view:
            _, writable, _ = select.select([], [self.stdin], [], _remaining(deadline))
            if not writable:
                continue
            try:
                view = view[os.write(self.stdin, view) :]
            except BlockingIOError:
                continue
            except (BrokenPipeError, ConnectionResetError):
                raise _Ended from None

    def read_line(self, deadline: float) -> bytes:
        while True:
            end = self.pending.find(b"\n")
            if end >= 0:
                line = bytes(self.pending[:end])
                del self.pending[: end + 1]
                return line
            readable, _, _ = select.select([self.stdout], [], [], _remaining(deadline))
            if not readable:
                continue
            try:
                chunk = os.read(self.stdout, 1 << 16)
            except BlockingIOError:
                continue
            if not chunk:
                raise _Ended
            self.pending += chunk

    def stop(self) -> Optional[int]:
        """Ends the daemon (closing its input first) and returns its status."""
        for pipe in (self.popen.stdin, self.popen.stdout):
            try:
                pipe.close()
            except OSError:
                pass
        try:
            status = self.popen.wait(timeout=1)
        except subprocess.TimeoutExpired:
            self.popen.kill()
            status = self.popen.wait()
        self._stderr_reader.join(timeout=1)
        if not self._stderr_reader.is_alive():
            self.popen.stderr.close()
        return status

    def describe(self, status) -> str:
        said = "; ".join(self.stderr_tail)
        return "exit status %s%s" % (status, ", stderr: " + said if said else "")


def _remaining(deadline: float) -> float:
    left = deadline - time.monotonic()
    if left <= 0:
        raise _TimedOut
    return left


def _stop_quietly(process_box):
    if process_box[0] is not None:
        process_box[0].stop()


class DaemonClient:
    """Sends texts to ``vantrel scan --stdin`` and returns Result values.

    ``executable`` is the ``vantrel`` program (else the environment variable
    ``VANTREL_EXECUTABLE``, else ``vantrel`` on the PATH); ``args`` are added
    after ``scan --stdin`` (``["--high-security"]``, ``["--patterns",
    "site.json"]``). ``timeout`` (seconds) bounds each request, including a
    restart. The daemon runs in ``cwd``: the command line reads
    ``patterns.json`` from its working directory, so point it at a
    directory nobody else can write (``"/"``, for example). The process is
    started on the first request and stopped by ``close()``."""

    def __init__(
        self,
        executable: Optional[str] = None,
        args: Sequence[str] = (),
        *,
        timeout: float = 10.0,
        cwd: Optional[str] = None,
        env: Optional[dict] = None,
    ):
        program = executable or os.environ.get(EXECUTABLE_ENV) or shutil.which("vantrel")
        if not program:
            raise DaemonError("no vantrel program: pass it, or set %s" % EXECUTABLE_ENV)
        program = os.fspath(program)
        # A path with a directory part is taken from the caller's working
        # directory, not from cwd, where Popen would look for it.
        if os.sep in program:
            program = os.path.abspath(program)
        self._argv = [program, "scan", "--stdin", *args]
        self._cwd = cwd
        self._env = env
        self.timeout = timeout
        #: how many times a daemon was started after the first
        self.restarts = 0
        self._started = 0
        self._ids = itertools.count(1)
        self._lock = threading.Lock()
        # In a box so that the finalizer does not hold the client alive.
        self._process = [None]
        self._finalizer = weakref.finalize(self, _stop_quietly, self._process)

    @property
    def pid(self) -> Optional[int]:
        """The running daemon's process id, None before the first request."""
        process = self._process[0]
        return process.popen.pid if process is not None else None

    def scan(self, text: str, mode: Optional[str] = None, *, id: Optional[str] = None,
             timeout: Optional[float] = None) -> Result:
        """Scans a text; ``mode`` "input" or "output" (None: the daemon's
        command-line mode)."""
        return self.request(text, mode, id=id, timeout=timeout)[1]

    def scan_output(self, text: str, *, id: Optional[str] = None,
                    timeout: Optional[float] = None) -> Result:
        return self.scan(text, "output", id=id, timeout=timeout)

    def request(self, text: str, mode: Optional[str] = None, *, id: Optional[str] = None,
                timeout: Optional[float] = None):
        """Sends one request and returns ``(id, result)``. Without an id the
        client makes one up."""
        if mode not in _MODES:
            raise ValueError("mode must be 'input', 'output' or None")
        if id is None:
            id = "py-%d" % next(self._ids)
        request = {"id": id, "text": text}
        if mode is not None:
            request["mode"] = mode
        # One line: JSON escapes line feeds inside strings. Strict UTF-8: a
        # lone surrogate raises UnicodeEncodeError here, not in the daemon.
        line = (json.dumps(request, ensure_ascii=False) + "\n").encode("utf-8")
        deadline = time.monotonic() + (self.timeout if timeout is None else timeout)
        with self._lock:
            answer = self._exchange(line, deadline)
            return id, self._parse(answer, id)

    def _start(self) -> _Process:
        try:
            process = _Process(self._argv, self._cwd, self._env)
        except OSError as e:
            raise DaemonDied("cannot start %s: %s" % (self._argv[0], e)) from None
        if self._started:
            self.restarts += 1
        self._started += 1
        self._process[0] = process
        return process

    def _running(self) -> _Process:
        process = self._process[0]
        if process is not None and process.popen.poll() is not None:
            process.stop()  # it died between requests
            process = None
        return process or self._start()

    def _exchange(self, line: bytes, deadline: float) -> bytes:
        for attempt in (1, 2):
            process = self._running()
            try:
                process.write(line, deadline)
                return process.read_line(deadline)
            except _Ended:
                status = process.stop()
                self._process[0] = None
                if attempt == 2:
                    raise DaemonDied("the daemon ended during the request: "
                                     + process.describe(status)) from None
            except _TimedOut:
                process.stop()
                self._process[0] = None
                raise DaemonTimeout("no answer within the timeout; the daemon was stopped") from None
        raise AssertionError("unreachable")

    def _parse(self, answer: bytes, id: str) -> Result:
        try:
            text = answer.decode("utf-8")
            response = json.loads(text)
            if response.get("id") != id:
                raise ValueError("the answer is for id %r" % response.get("id"))
            if "error" in response:
                raise DaemonRequestError(response["error"])
            # The report's own text, as the daemon wrote it: the line is
            # {"id":"...","result":REPORT}.
            _, end = scanstring(text, len('{"id":"'))
            prefix = ',"result":'
            if not text.startswith(prefix, end) or not text.endswith("}"):
                raise ValueError("unexpected layout")
            report = text[end + len(prefix) : -1]
            return Result.from_report(response["result"], report)
        except (ValueError, KeyError, TypeError) as e:
            process = self._process[0]
            if process is not None:
                process.stop()
                self._process[0] = None
            raise DaemonProtocolError("bad answer from the daemon (%s): %.200r" % (e, answer)) from None

    def close(self):
        """Stops the daemon, if one runs."""
        with self._lock:
            process, self._process[0] = self._process[0], None
        if process is not None:
            process.stop()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
