#!/usr/bin/env python3
"""W13: how soon a stop lands.

    bench/stops.py [--repeat 3] [--timeout 120] [--only W13]

Each figure is the worst of --repeat runs, each in a fresh process:
  call      SIGINT a quarter of a second into a long call, to its
            KeyboardInterrupt: BLOB's blobs on the pool, text cells read by the
            data bridge, MAR's predictor choice on wide data, without and with
            gaps; target <= 100 ms (the guide: "a few tens of milliseconds")
  fork      the same in a child forked from the main thread or from another
            one while the parent's pool runs; target <= 100 ms
  mid-call  a fork in the middle of a call: from the fork to the failure of the
            child's copy of the call; target <= 100 ms
  study     Ctrl-C of a study on two joblib workers (n_jobs=2) once its first
            row is in the checkpoint, to the end of its process; target <= 1 s

The tests hold the same stops as behaviour (the work left undone, counted in CPU
time or in tasks), which a busy machine does not change; these are the times.
"""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import tempfile
import textwrap
import time

import benchlib as bl

CALL_TARGET = 0.100
STUDY_TARGET = 1.0
PRELUDE = """
import json, os, signal, sys, threading, time, warnings
import numpy as np
import porosa
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
signal.signal(signal.SIGINT, signal.default_int_handler)  # not ignored, even in a background job
"""

# Each prints "calling", then the monotonic time of its KeyboardInterrupt.
CALL = PRELUDE + """
data, inst = {data}, {inst}
print("calling", flush=True)
try:
    inst(data, {rate})
    print("null", flush=True)
except KeyboardInterrupt:
    print(time.monotonic(), flush=True)
"""
CALLS = {
    "blobs": ("np.random.default_rng(0).random((4000, 2000))", 'porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)', 0.5),
    "text cells": ('np.array(["ab", "cd", "ef"])[np.random.default_rng(0).integers(0, 3, (8000, 2000))]',
                   'porosa.MNAR(mode="MAX", random_seed=1)', 0.0),
    "wide predictors": ("np.random.default_rng(0).random((2, 100000))", 'porosa.MAR(mode="MAX", random_seed=1)', 0.2),
    "wide predictors with gaps": (
        "np.where(np.tile(np.eye(200, dtype=bool), (1, 100)), np.nan, np.random.default_rng(0).random((200, 20000)))",
        'porosa.MAR(mode="MAX", random_seed=1)', 0.2),
}

# The child prints its pid, then the monotonic time of its KeyboardInterrupt.
FORK = PRELUDE + """
rng = np.random.default_rng(0)
data = np.where(rng.random((100_000, 20)) < 0.1, np.nan, rng.random((100_000, 20)))
porosa.MNAR(mode="MAX", random_seed=0)(data[:1000], 0.3)  # the parent's pool runs

def fork():
    if os.fork() == 0:
        print("calling", os.getpid(), flush=True)
        try:
            porosa.MNAR(mode="BLOCK", random_seed=1)(data, 0.3)
            print("null", flush=True)
        except KeyboardInterrupt:
            print(time.monotonic(), flush=True)
        os._exit(0)

{fork_from}
os.wait()
"""
FORK_FROM = {"the main thread": "fork()", "another thread": "threading.Thread(target=fork).start()"}

# A timer forks 0.15 s into a call of about a second; the child prints how long
# after the fork its copy of the call failed.
MID_CALL = PRELUDE + """
data, inst = np.random.default_rng(0).random((4000, 1000)), porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)
forks = []
signal.signal(signal.SIGALRM, lambda signum, frame: forks.append((os.fork(), time.monotonic())))
signal.setitimer(signal.ITIMER_REAL, 0.15)
try:
    inst(data, 0.3)
except BaseException:
    pass
if forks and forks[0][0] == 0:
    print(time.monotonic() - forks[0][1], flush=True)
    os._exit(0)
os.waitpid(forks[0][0], 0)
"""

# 40 tasks of a second each on two workers; argv[1] is the checkpoint.
STUDY = """
import signal, sys, time
import numpy as np
import pandas as pd
from porosa_kit import evaluate_imputers
signal.signal(signal.SIGINT, signal.default_int_handler)

class Slow:
    def __call__(self, holes):
        time.sleep(1.0)
        return holes.fillna(holes.mean())

data = pd.DataFrame(np.random.default_rng(0).normal(size=(40, 3)))
try:
    evaluate_imputers(data, {"slow": Slow()}, ["MCAR"], [0.1, 0.2], repeats=20, random_state=1,
                      checkpoint=sys.argv[1], n_jobs=2)
except KeyboardInterrupt:
    sys.exit(3)
"""


def popen(code, *args, stderr=None):
    return subprocess.Popen([sys.executable, "-P", "-c", textwrap.dedent(code), *args], stdout=subprocess.PIPE,
                            stderr=stderr, text=True)


def interrupt(code, timeout):
    """SIGINT a quarter of a second after the process that makes the call says
    so: seconds from the signal to its KeyboardInterrupt (None if it finished)."""
    proc = popen(code)
    try:
        words = proc.stdout.readline().split()
        pid = int(words[1]) if len(words) > 1 else proc.pid
        time.sleep(0.25)
        sent = time.monotonic()
        os.kill(pid, signal.SIGINT)
        out, _ = proc.communicate(timeout=timeout)
    finally:
        proc.kill()
    caught = float(out.split()[0]) if out.split()[0] != "null" else None
    return None if caught is None else caught - sent


def mid_call(timeout):
    proc = popen(MID_CALL)
    out, _ = proc.communicate(timeout=timeout)
    return float(out)


def study(timeout):
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "study.csv")
        proc = popen(STUDY, path, stderr=subprocess.DEVNULL)  # joblib's note on the tasks it cancelled
        try:
            deadline = time.monotonic() + timeout
            while not (os.path.exists(path) and os.path.getsize(path) >= 200) and time.monotonic() < deadline:
                time.sleep(0.01)
            sent = time.monotonic()
            proc.send_signal(signal.SIGINT)
            proc.wait(timeout)
            return time.monotonic() - sent if proc.returncode == 3 else None
        finally:
            proc.kill()


def cases():
    for name, (data, inst, rate) in CALLS.items():
        yield "call", f"SIGINT to KeyboardInterrupt: {name}", CALL_TARGET, \
            lambda t, c=CALL.format(data=data, inst=inst, rate=rate): interrupt(c, t)
    for name, fork_from in FORK_FROM.items():
        yield "fork", f"the same, in a child forked from {name}", CALL_TARGET, \
            lambda t, c=FORK.format(fork_from=fork_from): interrupt(c, t)
    yield "mid-call", "fork during a BLOB call to the child's failure", CALL_TARGET, mid_call
    yield "study", "Ctrl-C of a study on 2 workers to its end", STUDY_TARGET, study


def main(argv=None) -> int:
    args = bl.suite_args(__doc__, argv, "runs only when the list names W13 (the suite's other scripts share it)",
                         timeout=120.0, repeat_help="runs per figure; the worst counts (default 3)")
    if args.only and "W13" not in {w.strip().upper() for w in args.only.split(",")}:
        return 0
    print("how soon a stop lands (bench/stops.py, W13)")
    bl.print_build_lines()
    print(f"settings: the worst of {args.repeat} runs; {os.cpu_count()} CPUs")
    print()
    table = bl.Table([("case", 8), ("measure", 54), ("worst", 9), ("target", 10), ("verdict", 7)])
    table.header()
    for case, measure, target, run in cases():
        try:
            times = [run(args.timeout) for _ in range(args.repeat)]
        except (subprocess.SubprocessError, OSError, ValueError, IndexError) as e:
            table.row([case, measure, "ERROR", "-", type(e).__name__])
            continue
        worst = None if None in times else max(times)
        table.row([case, measure, "-" if worst is None else f"{worst * 1000:.0f} ms", f"<={target * 1000:g} ms",
                   bl.verdict(worst, target) if worst is not None else "MISS"])
    return 0


if __name__ == "__main__":
    sys.exit(main())
