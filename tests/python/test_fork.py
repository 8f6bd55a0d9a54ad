"""Forks around a call: Ctrl-C in a child forked from any thread, and a fork in the middle of a call."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest

PRELUDE = """
import json, os, signal, sys, threading, time, warnings
import numpy as np
import porosa

warnings.simplefilter("ignore", DeprecationWarning)  # forking a process that has threads
"""

# The child, forked from the main thread or from another one once the parent's
# pool runs, prints its pid, then makes a call of several seconds.
SIGINT_IN_CHILD = PRELUDE + """
rng = np.random.default_rng(0)
data = rng.random((100_000, 20))
data[rng.random(data.shape) < 0.1] = np.nan
porosa.MNAR(mode="MAX", random_seed=0)(data[:1000], 0.3)

def child():
    inst = porosa.MNAR(mode="BLOCK", random_seed=1)
    print(os.getpid(), flush=True)
    start = time.monotonic()
    try:
        inst(data, 0.3)
        report = {{"finished_after": time.monotonic() - start}}
    except KeyboardInterrupt:
        report = {{"caught": time.monotonic()}}
    print(json.dumps(report), flush=True)
    os._exit(0)

def fork():
    if os.fork() == 0:
        child()

{fork_from}
os.wait()
"""

FORK_FROM = {
    "main thread": "fork()",
    "another thread": "t = threading.Thread(target=fork); t.start(); t.join()",
}


@pytest.mark.parametrize("fork_from", FORK_FROM)
def test_sigint_stops_a_call_in_a_child_forked_from_any_thread(fork_from, tmp_path):
    code = textwrap.dedent(SIGINT_IN_CHILD).format(fork_from=FORK_FROM[fork_from])
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    child = None
    try:
        line = proc.stdout.readline()
        assert line.strip().isdigit(), proc.stderr.read()
        child = int(line)
        time.sleep(0.5)
        sent = time.monotonic()
        os.kill(child, signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
        if child is not None:
            try:
                os.kill(child, signal.SIGKILL)
            except ProcessLookupError:
                pass
    report = json.loads(out)
    assert "caught" in report, f"the call ended before the signal: {report}"
    latency = report["caught"] - sent
    print(f"fork from the {fork_from}: SIGINT to KeyboardInterrupt in {latency * 1000:.0f} ms")
    assert 0 <= latency < 1.0


# A timer's handler forks while the call runs; the child reports how its copy of
# the call ended and a new call on the same instance and on a fresh one, the
# parent its own call and the same fresh call. A child that hangs is killed.
FORK_MID_CALL = PRELUDE + """
data = {data}
inst = {inst}
forked_at, children = None, []

def on_timer(signum, frame):
    global forked_at
    pid = os.fork()
    if pid == 0:
        forked_at = time.monotonic()
    else:
        children.append(pid)

signal.signal(signal.SIGALRM, on_timer)
signal.setitimer(signal.ITIMER_REAL, 0.3)
try:
    inst(data, 0.3)
    outcome = "result"
except BaseException as e:
    outcome = f"{{type(e).__name__}}: {{e}}"
failed_at = time.monotonic()
small = np.random.default_rng(5).random((300, 6))
fresh = np.isnan(porosa.MNAR(mode="BLOB", random_seed=2)(small, 0.3)).tolist()
if forked_at is not None:
    again = int(np.isnan(inst(small, 0.3)).sum())
    print(json.dumps({{"child": outcome, "failed_after": failed_at - forked_at, "again": again,
                       "fresh": fresh}}), flush=True)
    os._exit(0)
report = {{"parent": outcome, "fresh": fresh, "child_ended": False}}
for _ in range(3000):
    if not children or os.waitpid(children[0], os.WNOHANG)[0]:
        report["child_ended"] = bool(children)
        break
    time.sleep(0.01)
else:
    os.kill(children[0], signal.SIGKILL)
print(json.dumps(report), flush=True)
"""

# Each runs a second or more, so the timer fires in the middle: BLOB's clouds on
# the pool's workers, and the reading of text cells on the calling thread.
MID_CALL = {
    "blobs": ("np.random.default_rng(0).random((4000, 1000))", 'porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)'),
    "text cells": ('np.array(["ab", "cd", "ef"])[np.random.default_rng(0).integers(0, 3, (4000, 1000))]',
                   'porosa.MNAR(mode="MAX", random_seed=1)'),
}


@pytest.mark.parametrize("threads", [1, 4])
@pytest.mark.parametrize("workload", MID_CALL)
def test_a_call_forked_in_the_middle_fails_at_once_in_the_child(workload, threads, tmp_path):
    data, inst = MID_CALL[workload]
    code = textwrap.dedent(FORK_MID_CALL).format(data=data, inst=inst)
    r = subprocess.run([sys.executable, "-P", "-c", code], cwd=tmp_path, capture_output=True, text=True,
                       timeout=120, env=dict(os.environ, POROSA_THREADS=str(threads)))
    assert r.returncode == 0, r.stderr
    lines = [json.loads(line) for line in r.stdout.splitlines()]
    child = next(line for line in lines if "child" in line)
    parent = next(line for line in lines if "parent" in line)
    print(f"{workload}, {threads} threads: the child's call failed {child['failed_after'] * 1000:.0f} ms after the fork")
    assert parent["child_ended"] and parent["parent"] == "result"
    assert child["child"] == "PanicException: the process forked during this call: the call cannot go on in the child"
    assert child["failed_after"] < 1.0
    assert child["again"] > 0  # the instance is free again
    assert child["fresh"] == parent["fresh"]
