"""Forks around a call: Ctrl-C in a child forked from any thread, and a fork in the middle of a call."""

import contextlib
import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

from helpers import cpu_seconds

PRELUDE = """
import json, os, signal, threading, time, warnings
import numpy as np
import porosa
warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
# A test command run in the background ignores SIGINT, and so would this child.
signal.signal(signal.SIGINT, signal.default_int_handler)
"""

# Once the parent's pool runs and it has timed the same call on a fifth of the
# data (a twentieth of the CPU time of the whole, as BLOCK's cost grows faster
# than the rows), a child forked from the main thread or another one prints its
# pid, then makes the whole call, about 12 s of CPU.
SIGINT_IN_CHILD = PRELUDE + """
rng = np.random.default_rng(0)
data = np.where(rng.random((100_000, 20)) < 0.1, np.nan, rng.random((100_000, 20)))
porosa.MNAR(mode="MAX", random_seed=0)(data[:1000], 0.3)
cpu = time.process_time()
porosa.MNAR(mode="BLOCK", random_seed=1)(data[:20_000], 0.3)
print(time.process_time() - cpu, flush=True)

def fork():
    if os.fork() == 0:
        try:  # the signal may come as soon as this is printed
            print(os.getpid(), flush=True)
            porosa.MNAR(mode="BLOCK", random_seed=1)(data, 0.3)
        except KeyboardInterrupt:
            print(time.process_time(), flush=True)
        os._exit(0)

{fork_from}
os.wait()
"""


FORK_FROM = {"main thread": "fork()", "another thread": "threading.Thread(target=fork).start()"}


@pytest.mark.parametrize("fork_from", FORK_FROM)
def test_sigint_stops_a_call_in_a_child_forked_from_any_thread(fork_from, tmp_path):
    code = textwrap.dedent(SIGINT_IN_CHILD).format(fork_from=FORK_FROM[fork_from])
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    piece, child = float(proc.stdout.readline()), int(proc.stdout.readline())
    try:
        time.sleep(0.25)
        sent = cpu_seconds(child)
        os.kill(child, signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
        with contextlib.suppress(ProcessLookupError):
            os.kill(child, signal.SIGKILL)
    assert out, f"the call ended before the signal\n{err}"
    # Counted in CPU time, which a busy machine hardly stretches: the call
    # ended on the signal, not at the end of its work.
    after = float(out) - sent
    assert after < piece, f"{after:.3f} s of CPU after the signal; a tenth of the work takes {piece:.3f} s"


# A timer's handler forks while the call runs. The child reports how its copy of
# the call ended and the CPU time it took after the fork, a new call on the
# instance, and a call on a fresh one, which the parent also makes, with the CPU
# time of its whole call; the parent kills a child that hangs, which then
# reports nothing.
FORK_MID_CALL = PRELUDE + """
data, inst = {data}, {inst}
children = []

def on_timer(signum, frame):
    children.append(os.fork())

signal.signal(signal.SIGALRM, on_timer)
signal.setitimer(signal.ITIMER_REAL, 0.15)
cpu = time.process_time()
try:
    outcome = str(inst(data, 0.3).shape)
except BaseException as e:
    outcome = f"{{type(e).__name__}}: {{e}}"
in_child = children == [0]
cpu = time.process_time() - (0 if in_child else cpu)  # a child's CPU clock starts at its fork
small = np.random.default_rng(5).random((300, 6))
report = dict(outcome=outcome, cpu=cpu, again=int(np.isnan(inst(small, 0.3)).sum()),
              fresh=np.isnan(porosa.MNAR(mode="BLOB", random_seed=2)(small, 0.3)).tolist())
if in_child:
    print(json.dumps(report), flush=True)
    os._exit(0)
for _ in range(6000):
    if os.waitpid(children[0], os.WNOHANG)[0]:
        break
    time.sleep(0.01)
else:
    os.kill(children[0], signal.SIGKILL)
print(json.dumps(report), flush=True)
"""

# Each runs four times the timer's delay or more (1.4 and 0.6 s on two cores):
# BLOB's clouds on the pool's workers, and the reading of text cells on the
# calling thread.
MID_CALL = {
    "blobs": {"data": "np.random.default_rng(0).random((4000, 1000))",
              "inst": 'porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)', "shape": "(4000, 1000)"},
    "text cells": {"data": 'np.array(["ab", "cd", "ef"])[np.random.default_rng(0).integers(0, 3, (3000, 1000))]',
                   "inst": 'porosa.MNAR(mode="MAX", random_seed=1)', "shape": "(3000, 1000)"},
}


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("workload", MID_CALL)
def test_a_call_forked_in_the_middle_fails_at_once_in_the_child(workload, threads, tmp_path):
    code = textwrap.dedent(FORK_MID_CALL).format(**MID_CALL[workload])
    r = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True, text=True,
                       timeout=180, env=dict(os.environ, POROSA_THREADS=str(threads)))
    assert r.returncode == 0, r.stderr
    child, parent = map(json.loads, r.stdout.splitlines())
    assert child["outcome"] == "PanicException: the process forked during this call: the call cannot go on in the child"
    assert parent["outcome"] == MID_CALL[workload]["shape"]
    # In CPU time, which a busy machine hardly stretches: the child's copy
    # failed at the fork, not after doing the rest of the work.
    assert child["cpu"] < parent["cpu"] / 10, (child["cpu"], parent["cpu"])
    assert child["again"] > 0 and child["fresh"] == parent["fresh"]
