"""A call runs detached from the interpreter: other threads keep running (and
collecting garbage) meanwhile, and a daemon thread still inside a call when the
interpreter exits does not take the process down."""

import gc
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import porosa


def test_other_threads_collect_garbage_during_a_call():
    data = np.random.default_rng(1).normal(size=(1_000_000, 20))
    pauses, stop = [], threading.Event()

    def collect():
        while not stop.is_set():
            t = time.perf_counter()
            gc.collect()
            pauses.append(time.perf_counter() - t)
            time.sleep(0.002)

    collector = threading.Thread(target=collect)
    collector.start()
    t = time.perf_counter()
    porosa.MNAR(mode="GM", mean=0.3, variance=0.1, random_seed=1)(data, 0.3)
    call = time.perf_counter() - t
    stop.set()
    collector.join()
    # Attached, the call would hold every collection up until it ends.
    assert len(pauses) > 5 and max(pauses) < max(0.25, call / 3), (call, max(pauses))


EXIT_MID_CALL = """
import sys, threading, time
import numpy as np
import pandas as pd
import porosa
rng = np.random.default_rng(0)
data = {"float": lambda: rng.normal(size=(300_000, 20)),
        "int": lambda: rng.integers(0, 1000, size=(100_000, 20)),
        "frame": lambda: pd.DataFrame(rng.normal(size=(60_000, 8))).assign(t=rng.choice(["a", "b"], 60_000))}[sys.argv[1]]()
inside = threading.Event()
def work():
    inst = porosa.MNAR(mode="GM", variance=0.1, random_seed=1)
    while True:
        inside.set()
        inst(data, 0.3)
threading.Thread(target=work, daemon=True).start()
inside.wait()
time.sleep(float(sys.argv[2]))
"""


@pytest.mark.parametrize("kind", ["int", "frame"])
def test_exit_with_a_daemon_thread_inside_a_call(kind):
    # Exit lands at a different point of the call each time: reading, removing
    # or rebuilding.
    delays = np.random.default_rng(7).uniform(0.02, 0.5, 50)
    failures = []
    for batch in range(0, len(delays), 5):
        procs = [subprocess.Popen([sys.executable, "-c", EXIT_MID_CALL, kind, repr(float(d))],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                 for d in delays[batch:batch + 5]]
        for p in procs:
            _, err = p.communicate(timeout=120)
            if p.returncode != 0:
                failures.append((p.returncode, err.strip().splitlines()[-1:] if err else ""))
    assert not failures, failures
