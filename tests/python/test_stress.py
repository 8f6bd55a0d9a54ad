"""Many Python threads inside the module at once.

Distinct seeded instances must give exactly the results of the same calls made
one after another; one shared instance must refuse overlapping use with the two
borrow errors and nothing else, never deadlock, and keep working; and calls
whose parallel steps nest inside the pool's tasks must all finish, whatever the
pool size.
"""

import json
import os
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

from porosa import MAR, MNAR

THREADS = 8
CALLS = 100
JOIN_TIMEOUT = 60


def canon_cell(v):
    if isinstance(v, float) and v != v:
        return ("nan",)
    return (type(v).__name__, v)


def canon(x):
    """An exactly comparable form of a result: bits for float arrays, typed
    cells for object arrays, per-column values and dtypes for frames."""
    if isinstance(x, pd.DataFrame):
        cols = tuple(canon(x.iloc[:, j].to_numpy()) for j in range(x.shape[1]))
        return ("DataFrame", tuple(x.columns), tuple(map(str, x.dtypes)), type(x.index).__name__, len(x), cols)
    if isinstance(x, np.ndarray):
        if x.dtype == np.float64:
            return ("f8", x.shape, np.ascontiguousarray(x).tobytes())
        return (x.dtype.str, x.shape, tuple(canon_cell(v) for v in x.ravel()))
    raise AssertionError(f"unexpected result type {type(x)!r}")


def outcome(inst, data, rate):
    """A call's result in canonical form, or its exception's type and text.
    Warning filters are process-wide and catch_warnings is not thread-safe, so
    callers set them once around all their threads (see quiet)."""
    try:
        return ("ok", canon(inst(data, rate)))
    except BaseException as e:  # noqa: BLE001 - PanicException is a BaseException
        return ("raised", type(e).__name__, str(e))


def inputs(seed):
    """Small arrays of several kinds and a few frames, some holding NaN."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=(50, 6))
    holes = x.copy()
    holes[rng.integers(0, 50, 8), rng.integers(0, 6, 8)] = np.nan
    # Non-ASCII texts: threads sharing these objects all ask for their UTF-8.
    texts = x.astype(object)
    texts[:, 2] = rng.choice(["red", "grün", "青", "nan"], 50)
    # Long enough (64 rows and more) to be read column by column.
    frame = pd.DataFrame(rng.normal(size=(70, 4)), columns=["a", "b", "c", "d"])
    frame["kind"] = rng.choice(["x", "ÿ", "ζ"], 70)
    frame["n"] = pd.array(rng.integers(0, 9, 70), dtype="Int64")
    return [
        x,
        np.asfortranarray(x),
        holes,
        np.zeros((0, 6)),  # no rows: MAR and MNAR GM fail
        texts,
        rng.integers(-5, 5, size=(50, 6)),
        x[::2, ::-1],
        frame,
    ]


# Every mode of both classes; GM with a spread so that draws differ per call.
SETUPS = [
    (MAR, {"mode": "GM", "variance": 0.2}),
    (MAR, {"mode": "MAX"}),
    (MAR, {"mode": "MIN"}),
    (MNAR, {"mode": "GM", "mean": 0.3, "variance": 0.1}),
    (MNAR, {"mode": "MAX"}),
    (MNAR, {"mode": "MIN"}),
    (MNAR, {"mode": "BLOCK", "block_size": (0.3, 0.2)}),
    (MNAR, {"mode": "BLOB", "n_blobs": 4}),
]
RATES = [0.05, 0.2, 0.45, 0.0, 0.7]


# Two sets of inputs, each read by half of the threads at once.
SHARED_INPUTS = [inputs(0), inputs(1)]


def workload(t):
    """Thread t's instance and its sequence of calls."""
    cls, kwargs = SETUPS[t % len(SETUPS)]
    data = SHARED_INPUTS[t % 2]
    calls = [(data[i % len(data)], RATES[(i * 3 + t) % len(RATES)]) for i in range(CALLS)]
    return (lambda: cls(random_seed=1000 + t, **kwargs)), calls


@pytest.fixture
def quiet():
    """The missing-rate warning ignored for the whole test, threads included."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        yield


def run_threads(targets, timeout=JOIN_TIMEOUT):
    """Starts one thread per target, joins them all within `timeout` seconds,
    and re-raises the first exception that escaped a target."""
    errors = []

    def wrap(f):
        def run():
            try:
                f()
            except BaseException as e:  # noqa: BLE001
                errors.append(e)
        return run

    threads = [threading.Thread(target=wrap(f), daemon=True) for f in targets]
    for t in threads:
        t.start()
    deadline = time.monotonic() + timeout
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    stuck = [t.name for t in threads if t.is_alive()]
    assert not stuck, f"threads still running after {timeout} s (deadlock?): {stuck}"
    if errors:
        raise errors[0]


def test_distinct_instances_match_sequential_calls(quiet):
    work = [workload(t) for t in range(THREADS)]
    expected = []
    for make, calls in work:
        inst = make()
        expected.append([outcome(inst, d, r) for d, r in calls])

    got = [None] * THREADS
    barrier = threading.Barrier(THREADS, timeout=60)

    def body(t):
        make, calls = work[t]
        inst = make()
        barrier.wait()
        got[t] = [outcome(inst, d, r) for d, r in calls]

    run_threads([lambda t=t: body(t) for t in range(THREADS)])
    for t in range(THREADS):
        assert got[t] == expected[t], f"thread {t} ({SETUPS[t][1]['mode']}) differs from the sequential run"
    # The sequence really covers successes and the failure path.
    kinds = {o[0] for seq in expected for o in seq}
    assert kinds == {"ok", "raised"}


class SlowCell:
    """A number whose conversion sleeps, so a call holds its instance long
    enough for other threads to run into it on either interpreter."""

    def __float__(self):
        time.sleep(0.002)
        return 0.5


CALLS_EACH = 15


def test_shared_instance_refuses_overlap_and_never_deadlocks():
    inst = MNAR(mode="MAX", random_seed=3)
    rng = np.random.default_rng(1)
    fast = rng.normal(size=(40, 5))
    slow = fast.astype(object)
    slow[0, 0] = SlowCell()
    frame = pd.DataFrame(fast, columns=list("abcde"))
    rate = 0.25
    target = int(np.ceil(40 * 5 * rate))
    seen = {"call": 0, "repr": 0, "Already borrowed": 0, "Already mutably borrowed": 0}
    lock = threading.Lock()
    unexpected = []

    def note(key):
        with lock:
            seen[key] += 1

    def body(t):
        # Until this thread has made CALLS_EACH calls itself (bounded): most
        # attempts collide, and a refused caller backs off briefly.
        done = 0
        for i in range(2000):
            if done == CALLS_EACH:
                break
            op = (i + t) % 4
            try:
                if op == 3:
                    assert repr(inst) == "MNAR[MAX]"
                    note("repr")
                    continue
                data = (fast, slow, frame)[op]
                out = inst(data, rate)
                assert out.shape == data.shape
                assert int(np.isnan(np.asarray(out, dtype=float)).sum()) == target
                note("call")
                done += 1
            except RuntimeError as e:
                msg = str(e)
                want = "Already mutably borrowed" if op == 3 else "Already borrowed"
                if msg != want:
                    unexpected.append((op, repr(e)))
                else:
                    note(msg)
                time.sleep(0.0005)
            except BaseException as e:  # noqa: BLE001
                unexpected.append((op, repr(e)))

    barrier = threading.Barrier(THREADS, timeout=60)

    def start(t):
        barrier.wait()
        body(t)

    run_threads([lambda t=t: start(t) for t in range(THREADS)])
    assert unexpected == []
    assert seen["call"] == THREADS * CALLS_EACH and seen["repr"] > 0, seen
    # Calls that sleep inside the instance make both conflicts certain.
    assert seen["Already borrowed"] > 0 and seen["Already mutably borrowed"] > 0, seen
    # The borrow is released: the instance works as before.
    assert repr(inst) == "MNAR[MAX]"
    out = inst(fast, rate)
    assert int(np.isnan(out).sum()) == target


def test_failed_calls_release_the_shared_instance():
    """Calls that fail (unsupported input, a panic, a raising cell) from many
    threads leave the instance free for the next caller."""
    inst = MNAR(mode="GM", random_seed=5)
    good = np.random.default_rng(2).normal(size=(30, 4))
    holes = good.copy()
    holes[3, 1] = np.nan

    class BadStr:
        def __float__(self):
            raise ValueError("not a number")

        def __str__(self):
            raise RuntimeError("no text either")

    bad = good.astype(object)
    bad[5, 2] = BadStr()
    failures = []

    def body(t):
        for i in range(40):
            data = (good, holes, bad, [[1.0]])[(i + t) % 4]
            try:
                inst(data, 0.2)
            except RuntimeError as e:
                if str(e) != "Already borrowed":
                    failures.append(repr(e))
            except BaseException as e:  # noqa: BLE001
                if not str(e):
                    failures.append(f"empty message from {type(e).__name__}")

    run_threads([lambda t=t: body(t) for t in range(THREADS)])
    assert failures == []
    assert np.isnan(inst(good, 0.2)).sum() == int(np.ceil(30 * 4 * 0.2))


# Calls whose parallel steps nest: label encoding sorts in parallel inside the
# per-column tasks (from 16384 texts on), GM builds its per-column distributions
# on the pool, MAR correlates on it. One child builds the data and forks a
# process per pool size (the pool reads its size when it starts, on the first
# parallel step), so numpy and pandas load once. The default pool runs the calls
# once sequentially, as the reference, and every pool runs them from several
# threads at once; each process prints a digest per call.
NESTED_CHILD = r"""
import hashlib, json, os, sys, threading, traceback, warnings
import numpy as np, pandas as pd
from porosa import MAR, MNAR
warnings.simplefilter("ignore")

def canon_cell(v):
    return ("nan",) if isinstance(v, float) and v != v else (type(v).__name__, v)

def canon(x):
    if isinstance(x, pd.DataFrame):
        return (tuple(x.columns), tuple(map(str, x.dtypes)),
                tuple(canon(x.iloc[:, j].to_numpy()) for j in range(x.shape[1])))
    if x.dtype == np.float64:
        return (x.shape, x.tobytes())
    return (x.dtype.str, x.shape, tuple(canon_cell(v) for v in x.ravel()))

def digest(x):
    return hashlib.sha256(repr(canon(x)).encode()).hexdigest()

rows = 18000
rng = np.random.default_rng(42)
words = np.array([f"w{i:04d}" for i in range(700)])
# The frame's text columns hold missing markers too, so it is given to modes
# that accept NaN input.
frame = pd.DataFrame({
    "a": rng.normal(size=rows),
    "t": rng.choice(np.append(words, ["nan", "<NA>"]), rows),
    "b": rng.normal(size=rows),
    "u": rng.choice(words[:40], rows),
})
texts = np.stack([rng.choice(words, rows), rng.normal(size=rows).astype(str)], axis=1)
wide = rng.normal(size=(3000, 40))
jobs = [
    (lambda: MAR(mode="MIN", random_seed=1), frame, 0.2),
    (lambda: MNAR(mode="BLOB", n_blobs=5, random_seed=2), frame, 0.1),
    (lambda: MNAR(mode="GM", variance=0.2, random_seed=3), texts, 0.002),
    (lambda: MAR(mode="GM", variance=0.3, random_seed=4), texts, 0.3),
    (lambda: MNAR(mode="GM", mean=0.7, random_seed=5), wide, 0.001),
    (lambda: MAR(mode="GM", random_seed=6), wide, 0.3),
]

def run(job):
    make, data, rate = job
    inst = make()
    return [digest(inst(data, rate)) for _ in range(2)]

def calls(sequential_too):
    MNAR(mode="GM", random_seed=1)(np.ones((50, 8)), 0.1)  # the first parallel step starts the pool
    # The pool's helpers and the calling thread: the size the pool took.
    out = {"threads": len(os.listdir("/proc/self/task"))}
    if sequential_too:
        out["seq"] = [run(j) for j in jobs]
    par = [None] * len(jobs)
    barrier = threading.Barrier(len(jobs))
    def body(k):
        barrier.wait()
        par[k] = run(jobs[k])
    threads = [threading.Thread(target=body, args=(k,)) for k in range(len(jobs))]
    for t in threads: t.start()
    for t in threads: t.join(90)
    if any(t.is_alive() for t in threads):
        return {"stuck": True}
    return dict(out, par=par)

results = {}
for pool in ("default", "1", "4"):
    r, w = os.pipe()
    pid = os.fork()
    if pid == 0:
        os.close(r)
        if pool != "default":
            os.environ["POROSA_THREADS"] = pool
        try:
            report = calls(sequential_too=pool == "default")
        except BaseException:
            report = {"error": traceback.format_exc()}
        with os.fdopen(w, "w") as f:
            f.write(json.dumps(report))
        os._exit(0)
    os.close(w)
    with os.fdopen(r) as f:
        text = f.read()
    _, status = os.waitpid(pid, 0)
    results[pool] = dict(json.loads(text) if text else {}, status=status)
print(json.dumps(results))
"""


def test_nested_parallel_steps_from_many_threads(tmp_path):
    env = {k: v for k, v in os.environ.items() if k != "POROSA_THREADS"}
    env["OPENBLAS_NUM_THREADS"] = "1"  # no threads of NumPy's own in the process that forks
    proc = subprocess.run([sys.executable, "-P", "-c", textwrap.dedent(NESTED_CHILD)], env=env, cwd=tmp_path,
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, f"exit {proc.returncode}: {proc.stderr[-3000:]}"
    out = json.loads(proc.stdout)
    for pool, report in out.items():
        assert report["status"] == 0 and "par" in report, (pool, report)
        assert report["threads"] == ((os.cpu_count() or 1) if pool == "default" else int(pool)), (pool, report)
    # The results depend on neither the pool size nor the scheduling.
    reference = out["default"]["seq"]
    assert {pool: report["par"] for pool, report in out.items()} == dict.fromkeys(out, reference)


POOL_CHILD = r"""
import os, numpy as np
from porosa import MNAR
before = len(os.listdir("/proc/self/task"))
MNAR(mode="GM", random_seed=1)(np.ones((50, 8)), 0.1)  # the first parallel step starts the pool
print(len(os.listdir("/proc/self/task")) - before)
"""


@pytest.mark.parametrize("value", ["-1", "0", "many"])
def test_pool_size_that_is_not_a_positive_number_means_the_default(value, tmp_path):
    env = dict(os.environ, POROSA_THREADS=value)
    proc = subprocess.run([sys.executable, "-P", "-c", POOL_CHILD], env=env, cwd=tmp_path, capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr[-2000:]
    # The default is one thread per hardware thread, the caller included, so
    # the pool starts one helper fewer.
    assert int(proc.stdout) == (os.cpu_count() or 1) - 1
