"""Shared helpers for the end-to-end tests."""

import contextlib
import ctypes
import faulthandler
import json
import os
import subprocess
import sys
import textwrap
import time

import numpy as np


def nan_mask(a):
    return np.isnan(np.asarray(a, dtype=float))


def run_with_threads(code, threads):
    """Runs `code` in a fresh interpreter whose pool has `threads` workers and
    returns what it printed as JSON."""
    env = dict(os.environ, POROSA_THREADS=str(threads))
    r = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True,
                       timeout=120)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def cpu_seconds(pid):
    """The CPU time process `pid` has used so far, all its threads together.
    Unlike wall time, other processes on the machine do not stretch it; unlike
    /proc/PID/stat, it is exact at any moment, not only at the scheduler's ticks."""
    clock = ctypes.c_int()
    error = ctypes.CDLL(None).clock_getcpuclockid(pid, ctypes.byref(clock))
    if error:
        raise OSError(error, os.strerror(error))
    return time.clock_gettime(clock.value)


@contextlib.contextmanager
def hang_guard(seconds=120):
    """Ends the process, with every thread's traceback, if the block still runs
    after `seconds`: a test that hangs then fails instead of holding up the suite."""
    faulthandler.dump_traceback_later(seconds, exit=True)
    try:
        yield
    finally:
        faulthandler.cancel_dump_traceback_later()
