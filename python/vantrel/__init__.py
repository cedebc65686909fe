"""Vantrel Ward for Python: scan prompts and model responses for attacks.

Two ways in, both giving the same Result values:

- ``Scanner`` calls the library in this process (ctypes over the C
  interface); one scanner serves any number of threads::

      import vantrel
      scanner = vantrel.Scanner()
      if not scanner.scan(prompt).safe: ...
      scanner.scan_output(reply)

- ``DaemonClient`` talks to ``vantrel scan --stdin`` in a separate process,
  with a timeout per request and a restart when the process dies.

Only the standard library is used. The shared library is found by the path
passed as ``library=``, else the environment variable ``VANTREL_LIBRARY``,
else the system's loader (``libvantrel.so.0``).
"""

from ._native import LIBRARY_ENV, VantrelError, load_library
from .daemon import (
    EXECUTABLE_ENV,
    DaemonClient,
    DaemonDied,
    DaemonError,
    DaemonProtocolError,
    DaemonRequestError,
    DaemonTimeout,
)
from .result import Result, Signal
from .scanner import Push, Scanner, Stream, version

__all__ = [
    "DaemonClient",
    "DaemonDied",
    "DaemonError",
    "DaemonProtocolError",
    "DaemonRequestError",
    "DaemonTimeout",
    "EXECUTABLE_ENV",
    "LIBRARY_ENV",
    "Push",
    "Result",
    "Scanner",
    "Signal",
    "Stream",
    "VantrelError",
    "load_library",
    "version",
]
