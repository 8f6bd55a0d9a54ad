"""How the command line stops on a signal: SIGTERM as a Ctrl-C, so that
either one removes the temporary files, and the exit status a shell would
report for the signal. Imports nothing heavy: `__main__` needs it before
pandas and NumPy are loaded."""

from __future__ import annotations

import signal
from types import FrameType

PROG = "python -m porosa_kit"
INTERRUPTED = 128 + signal.SIGINT  # 130, what a shell reports for Ctrl-C

_received: list[int] = []


def stop_on_sigterm() -> None:
    """SIGTERM from now on does what SIGINT does, unless it is ignored (as
    whoever started the command asked)."""
    if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
        signal.signal(signal.SIGTERM, _as_sigint)


def _as_sigint(number: int, frame: FrameType | None) -> None:
    _received.append(number)
    # The handler in force, not Python's own: a study holds Ctrl-C back
    # while it records a finished task, and SIGTERM must wait as well.
    handler = signal.getsignal(signal.SIGINT)
    if callable(handler):
        handler(signal.SIGINT, frame)
    else:
        # Ctrl-C is ignored (a background job): SIGTERM still stops the command.
        raise KeyboardInterrupt


def interrupted_status() -> int:
    """The exit status after a KeyboardInterrupt: 143 when SIGTERM caused it, else 130."""
    return 128 + _received[-1] if _received else INTERRUPTED
