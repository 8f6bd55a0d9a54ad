"""A call runs detached from the interpreter: other threads keep running (and
collecting garbage) meanwhile, and a daemon thread still inside a call when the
interpreter exits does not take the process down."""

import json
import subprocess
import sys

import numpy as np
import pytest


# In a fresh interpreter, where a collection takes milliseconds: in a process
# that has loaded every test module each takes a tenth of a second, and the
# call's brief attached steps would wait behind them in turn. A collection
# counts as made during the call if it ended while the call still ran.
COLLECT_DURING_CALL = """
import gc, json, threading, time
import numpy as np
import porosa
data = np.random.default_rng(1).normal(size=(600_000, 20))
calling, during, stop = False, [], threading.Event()
def collect():
    while not stop.is_set():
        gc.collect()
        if calling:
            during.append(1)
        time.sleep(0.002)
collector = threading.Thread(target=collect)
collector.start()
calling = True
porosa.MNAR(mode="GM", mean=0.3, variance=0.1, random_seed=1)(data, 0.3)
calling = False
stop.set()
collector.join()
print(json.dumps(len(during)))
"""


def test_other_threads_collect_garbage_during_a_call():
    run = subprocess.run([sys.executable, "-P", "-c", COLLECT_DURING_CALL], capture_output=True, text=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr[-2000:]
    # Attached, the call would hold every collection up until it ends: one at
    # most would end during it, where some hundreds do (their pauses are W8's
    # figure, bench/threads.py).
    assert json.loads(run.stdout) >= 10


# One interpreter imports everything once and forks a child per exit: the
# child runs the daemon thread, then returns from the loop and ends the script
# like any program, through the interpreter's normal exit. The parent never
# calls porosa, so each child starts its own worker pool.
EXIT_MID_CALL = """
import os, sys, threading, time
import numpy as np
import pandas as pd
import porosa
kind, delays = sys.argv[1], [float(d) for d in sys.argv[2:]]
running = []
def reap():
    _, status = os.waitpid(running.pop(0), 0)
    print(os.waitstatus_to_exitcode(status), flush=True)
for delay in delays:
    if len(running) == 4:
        reap()
    pid = os.fork()
    if pid == 0:
        break
    running.append(pid)
else:
    while running:
        reap()
    sys.exit(0)
rng = np.random.default_rng(0)
data = {"float": lambda: rng.normal(size=(300_000, 20)),
        "int": lambda: rng.integers(0, 1000, size=(25_000, 20)),
        "frame": lambda: pd.DataFrame(rng.normal(size=(60_000, 8)), columns=list("abcdefgh")).assign(
            t=rng.choice(["a", "b"], 60_000))}[kind]()
inside = threading.Event()
def work():
    inst = porosa.MNAR(mode="GM", variance=0.1, random_seed=1)
    while True:
        inside.set()
        try:
            inst(data, 0.3)
        except Exception:
            # A call that fails outright never stays inside at exit.
            os._exit(3)
threading.Thread(target=work, daemon=True).start()
inside.wait()
time.sleep(delay)
"""


# About two calls' time (each call here takes some 50 ms on ints, 30 ms on the
# frame): enough for the exits to land all over the call, and the children
# compute on every core until they exit.
SPAN = {"int": 0.13, "frame": 0.08}


@pytest.mark.parametrize("kind", ["int", "frame"])
def test_exit_with_a_daemon_thread_inside_a_call(kind):
    # Exit lands at a different point of the call each time: reading, removing
    # or rebuilding.
    delays = np.random.default_rng(7).uniform(0.02, SPAN[kind], 20)
    run = subprocess.run([sys.executable, "-c", EXIT_MID_CALL, kind, *map(repr, map(float, delays))],
                         capture_output=True, text=True, timeout=300)
    codes = run.stdout.split()
    assert run.returncode == 0 and len(codes) == len(delays), (run.returncode, run.stderr[-2000:])
    assert codes == ["0"] * len(delays), (codes, run.stderr[-2000:])
