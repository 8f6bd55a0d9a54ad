"""A real SIGINT in the middle of one long call, and failures raised by cells."""

import json
import signal
import subprocess
import sys
import textwrap
import time

import pytest

CHILD = """
import json, sys, time
import numpy as np
import porosa

data = {data}
before = data.copy()
inst = {inst}
print("calling", flush=True)
start = time.monotonic()
try:
    inst(data, {rate})
    print(json.dumps({{"finished_after": time.monotonic() - start}}), flush=True)
    sys.exit(0)
except KeyboardInterrupt:
    caught = time.monotonic()
after = inst(np.ones((10, 10)), 0.3)
print(json.dumps({{"caught": caught, "unchanged": bool(np.array_equal(data, before)),
                   "after": int(np.isnan(after).sum())}}), flush=True)
"""

# Each takes several seconds uninterrupted, so the signal lands in its middle:
# BLOB's blobs on the pool's workers and on the calling thread, and a text
# array's cell-by-cell reading.
WORKLOADS = {
    "blobs": ("np.random.default_rng(0).random((4000, 2000))", 'porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)',
              0.5),
    "text cells": ('np.array(["ab", "cd", "ef"])[np.random.default_rng(0).integers(0, 3, (5000, 2000))]',
                   'porosa.MNAR(mode="MAX", random_seed=1)', 0.3),
}


@pytest.mark.parametrize("workload", WORKLOADS)
def test_sigint_stops_a_long_call_promptly(workload, tmp_path):
    data, inst, rate = WORKLOADS[workload]
    code = textwrap.dedent(CHILD).format(data=data, inst=inst, rate=rate)
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "calling\n", proc.stderr.read()
        time.sleep(0.5)
        sent = time.monotonic()
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    report = json.loads(out)
    assert "caught" in report, f"the call ended before the signal: {report}"
    latency = report["caught"] - sent
    print(f"{workload}: SIGINT to KeyboardInterrupt in {latency * 1000:.0f} ms")
    assert 0 <= latency < 1.0
    assert report["unchanged"]
    assert report["after"] == 30
