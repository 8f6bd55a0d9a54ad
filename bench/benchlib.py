"""Shared pieces of the benchmark scripts run.py and peers.py.

Each benchmark case runs in a fresh child process (the same script, called with
--case ID) under a timeout, so a slow or hanging call shows as TIMEOUT instead of
stopping the suite, and every case starts from a clean heap. The child measures
both sides of its ratio itself, on the same data, and prints one tagged JSON line
that the parent reads back.
"""

from __future__ import annotations

import gc
import json
import os
import subprocess
import sys
import threading
import time
from dataclasses import dataclass
from typing import Any, Callable

RESULT_TAG = "BENCH-RESULT "
PAGE_SIZE = os.sysconf("SC_PAGE_SIZE")
MIB = 1024 * 1024
DATA_SEED = 20240601
N_COLUMNS = 20


# ---------------------------------------------------------------------------
# Data


def gaussian(rows: int, cols: int = N_COLUMNS, seed: int = DATA_SEED):
    """Standard normal float64 data, the same for a given shape and seed."""
    import numpy as np

    return np.random.default_rng(seed).standard_normal((rows, cols))


def scaled_rows(base: int, scale: float, minimum: int = 100) -> int:
    return max(minimum, int(round(base * scale)))


def missing_summary(result) -> tuple[float, int]:
    """(fraction of missing cells, number of rows with every cell missing)."""
    import numpy as np

    if hasattr(result, "isna"):  # a pandas DataFrame
        mask = result.isna().to_numpy()
    else:
        mask = np.isnan(np.asarray(result, dtype=np.float64))
    if mask.size == 0:
        return 0.0, 0
    return float(mask.mean()), int(mask.all(axis=1).sum())


# ---------------------------------------------------------------------------
# Memory


def rss_bytes() -> int:
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * PAGE_SIZE


def _hwm_bytes() -> int | None:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return None


def _hwm_reset() -> bool:
    """Resets the kernel's peak-RSS mark to the current RSS (Linux >= 4.0)."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def _hwm_usable() -> bool:
    try:
        return _hwm_reset() and _hwm_bytes() is not None
    except OSError:
        return False


MEMORY_METHOD = "hwm" if _hwm_usable() else "sample"


class PeakRss:
    """Peak RSS above the RSS at entry, in bytes, as `.peak` after the block.

    "hwm": the kernel's high-water mark, reset at entry; exact and free, so it can
    wrap timed calls. "sample": a thread reading /proc/self/statm every
    `interval` seconds; it sees native allocations too, but may miss a spike
    shorter than the interval and takes a little CPU, so it is kept out of timed
    calls.
    """

    def __init__(self, method: str | None = None, interval: float = 0.001):
        self.method = method or MEMORY_METHOD
        self.interval = interval
        self.base = 0
        self.peak = 0
        self._max = 0
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def _sample(self) -> None:
        while not self._stop.is_set():
            value = rss_bytes()
            if value > self._max:
                self._max = value
            time.sleep(self.interval)

    def __enter__(self) -> "PeakRss":
        self.base = rss_bytes()
        self._max = self.base
        if self.method == "hwm":
            _hwm_reset()
        else:
            self._stop.clear()
            self._thread = threading.Thread(target=self._sample, daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc) -> None:
        if self.method == "hwm":
            top = _hwm_bytes() or 0
        else:
            self._stop.set()
            assert self._thread is not None
            self._thread.join()
            top = self._max
        top = max(top, rss_bytes())
        self.peak = max(0, top - self.base)


# ---------------------------------------------------------------------------
# Timing


@dataclass
class Measurement:
    best: float  # seconds, the fastest repetition
    times: list[float]
    peak: int | None  # bytes above the RSS before the call, worst repetition
    result: Any  # what the last call returned


def measure(fn: Callable[..., Any], repeat: int, memory: bool = False,
            slow: float = 10.0, method: str | None = None,
            setup: Callable[[], tuple] | None = None) -> Measurement:
    """Calls fn up to `repeat` times (fewer once a call took longer than `slow`
    seconds) and keeps the fastest time. `setup`, if given, makes fn's
    arguments afresh before each call, untimed. With memory=True also the peak
    RSS above the level before the call: on every timed call when the kernel's
    high-water mark is usable, else on one extra, untimed, sampled call."""
    method = method or MEMORY_METHOD
    times: list[float] = []
    peak: int | None = None
    result = None
    for _ in range(max(1, repeat)):
        result = None
        args = setup() if setup else ()
        gc.collect()
        if memory and method == "hwm":
            with PeakRss("hwm") as p:
                t0 = time.perf_counter()
                result = fn(*args)
                dt = time.perf_counter() - t0
            peak = max(peak or 0, p.peak)
        else:
            t0 = time.perf_counter()
            result = fn(*args)
            dt = time.perf_counter() - t0
        del args
        times.append(dt)
        if dt > slow:
            break
    if memory and method != "hwm":
        result = None
        args = setup() if setup else ()
        gc.collect()
        with PeakRss(method) as p:
            result = fn(*args)
        peak = p.peak
    return Measurement(min(times), times, peak, result)


FLOOR_TEXT = "two copies of the input (a.copy() twice), the least a call returning a new object can take"


def copy_floor(data, repeat: int) -> Measurement:
    """The floor of a call that reads `data` and returns a new object of its
    size: one copy for reading it all, one for writing the result."""
    return measure(lambda: (data.copy(), data.copy()), repeat)


def ratio(value: float | None, base: float | None) -> float | None:
    return value / base if value is not None and base else None


# ---------------------------------------------------------------------------
# Child processes


def emit(payload: dict) -> None:
    """Prints a child's result for the parent (the last tagged line counts)."""
    sys.stdout.write(RESULT_TAG + json.dumps(payload) + "\n")
    sys.stdout.flush()


def run_child(argv: list[str], timeout: float, env: dict | None = None) -> dict:
    """Runs a child and returns its tagged result, or {"status": "TIMEOUT"} /
    {"status": "ERROR", "error": <last line of its error output>}."""
    try:
        proc = subprocess.run(argv, capture_output=True, text=True,
                              timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"status": "TIMEOUT", "error": f"no result within {timeout:g} s"}
    payload = None
    for line in proc.stdout.splitlines():
        if line.startswith(RESULT_TAG):
            payload = json.loads(line[len(RESULT_TAG):])
    if payload is not None and proc.returncode == 0:
        payload.setdefault("status", "ok")
        return payload
    lines = [ln for ln in (proc.stderr or "").splitlines() if ln.strip()]
    why = lines[-1].strip() if lines else f"exit code {proc.returncode}, no result"
    if proc.returncode < 0:
        why = f"killed by signal {-proc.returncode}; {why}"
    return {"status": "ERROR", "error": why}


# ---------------------------------------------------------------------------
# Environment and output


def print_build_lines(detail: str | None = None) -> None:
    """The lines every table starts with: the interpreter (and `detail` below
    it), porosa's version and checkout, and its worker count."""
    print(f"interpreter:    {interpreter_line()}")
    if detail:
        print(f"                {detail}")
    print(f"porosa:         {package_version('porosa')}, checkout at {git_revision()}")
    print(f"porosa workers: {porosa_workers()}")


def run_cases(script: str, cases, args):
    """Each case in a fresh child process of `script` under `args.timeout`:
    yields (case, its result)."""
    for case in cases:
        cmd = [sys.executable, os.path.abspath(script), "--case", case.id,
               "--scale", repr(args.scale), "--repeat", str(args.repeat)]
        yield case, run_child(cmd, args.timeout)


def interpreter_line(executable: str | None = None) -> str:
    """A one-line description of this interpreter (or of another, run as a child)."""
    code = ("import sys, platform; "
            "g = getattr(sys, '_is_gil_enabled', lambda: True)(); "
            "ft = 'free-threaded' if not g or 'free-threading' in sys.version else 'standard'; "
            "print(f\"Python {platform.python_version()} ({ft} build, GIL {'enabled' if g else 'disabled'})\")")
    if executable is None or os.path.realpath(executable) == os.path.realpath(sys.executable):
        ns: dict = {}
        import contextlib
        import io
        buf = io.StringIO()
        with contextlib.redirect_stdout(buf):
            exec(code, ns)
        return buf.getvalue().strip()
    out = subprocess.run([executable, "-c", code], capture_output=True, text=True, timeout=60)
    return out.stdout.strip() or f"cannot run it: {out.stderr.strip()[-200:]}"


def gil_enabled() -> bool:
    return bool(getattr(sys, "_is_gil_enabled", lambda: True)())


def porosa_workers() -> str:
    env = os.environ.get("POROSA_THREADS", "").strip()
    if env:
        return f"{env} (POROSA_THREADS)"
    return f"{os.cpu_count()} (os.cpu_count(); POROSA_THREADS unset)"


def package_version(name: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "not installed"


def git_revision() -> str:
    here = os.path.dirname(os.path.abspath(__file__))
    try:
        out = subprocess.run(["git", "-C", here, "log", "-1", "--format=%h (%cs)"],
                             capture_output=True, text=True, timeout=10)
        dirty = subprocess.run(["git", "-C", here, "status", "--porcelain", "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    rev = out.stdout.strip() or "unknown"
    return rev + (" (+ uncommitted changes)" if dirty.stdout.strip() else "")


def verdict(value: float | None, target: float, at_most: bool = True) -> str:
    if value is None:
        return "-"
    ok = value <= target if at_most else value >= target
    return "PASS" if ok else "MISS"


def fmt(value: float | None, digits: int = 3) -> str:
    if value is None:
        return "-"
    if value != 0 and abs(value) < 10 ** -digits:
        return f"{value:.1e}"
    return f"{value:.{digits}f}"


def fmt_s(seconds: float | None) -> str:
    """Seconds to four significant digits, without exponent down to 1 us."""
    if seconds is None:
        return "-"
    return f"{seconds:.4g}" if seconds >= 1e-4 else f"{seconds:.6f}"


class Table:
    """A text table printed row by row as results arrive, with fixed widths."""

    def __init__(self, columns: list[tuple[str, int]], out=None):
        self.columns = columns
        self.out = out if out is not None else sys.stdout

    def _line(self, cells: list[str]) -> str:
        parts = []
        for i, ((_, width), cell) in enumerate(zip(self.columns, cells)):
            parts.append(cell.ljust(width) if i < 2 else cell.rjust(width))
        return "  ".join(parts).rstrip()

    def header(self) -> None:
        print(self._line([name for name, _ in self.columns]), file=self.out)
        print(self._line(["-" * w for _, w in self.columns]), file=self.out, flush=True)

    def row(self, cells: list[str]) -> None:
        print(self._line(cells), file=self.out, flush=True)


def suite_args(doc: str, argv, only_help: str, timeout: float = 240.0, repeat_help: str | None = None,
               extra: Callable[[Any], None] | None = None):
    """The options every benchmark script shares: --scale, --only, --repeat,
    --timeout and the hidden --case of a child; `extra` adds a script's own."""
    import argparse

    p = argparse.ArgumentParser(description=doc, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--scale", type=float, default=1.0, help="row multiplier (default 1.0)")
    p.add_argument("--only", help=only_help)
    p.add_argument("--repeat", type=int, default=3,
                   help=repeat_help or "calls per side; the best counts (default 3)")
    p.add_argument("--timeout", type=float, default=timeout, help=f"seconds per case (default {timeout:g})")
    if extra:
        extra(p)
    p.add_argument("--case", help=argparse.SUPPRESS)  # child mode
    args = p.parse_args(argv)
    if args.scale <= 0 or args.repeat < 1 or args.timeout <= 0:
        p.error("--scale and --timeout must be positive and --repeat at least 1")
    return args
