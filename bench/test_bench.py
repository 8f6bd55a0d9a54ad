"""Checks of the benchmark harness itself (not part of CI):

    .venv-ft/bin/python -m pytest bench -q
"""

import importlib.util
import os
import re
import sys
import time

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import benchlib as bl  # noqa: E402
import peers  # noqa: E402
import run  # noqa: E402

HAVE_POROSA = importlib.util.find_spec("porosa") is not None
METHODS = ["sample"] + (["hwm"] if bl.MEMORY_METHOD == "hwm" else [])


@pytest.mark.parametrize("method", METHODS)
def test_peak_rss_sees_a_native_allocation_and_not_an_earlier_one(method):
    size = 200 * bl.MIB
    earlier = np.ones(size // 8)  # raises the kernel's high-water mark before entry
    del earlier
    with bl.PeakRss(method) as idle:
        time.sleep(0.02)
    assert idle.peak < 20 * bl.MIB

    def touch():
        a = np.ones(size // 8)  # written, so resident
        time.sleep(0.05)  # long enough for the 1 ms sampler
        return float(a[-1])

    with bl.PeakRss(method) as p:
        touch()
    assert 0.9 * size <= p.peak <= 1.2 * size


def test_measure_keeps_the_best_time_stops_when_slow_and_leaves_setup_untimed():
    calls = []
    m = bl.measure(lambda x: calls.append(x) or x, repeat=4,
                   setup=lambda: (time.sleep(0.05) or len(calls),))
    assert calls == [0, 1, 2, 3] and m.result == 3
    assert m.best == min(m.times) and m.best < 0.05

    slow = bl.measure(lambda: time.sleep(0.03), repeat=5, slow=0.02)
    assert len(slow.times) == 1


def test_measure_reports_memory_by_either_method():
    for method in METHODS:
        m = bl.measure(lambda: np.ones(bl.MIB * 16), repeat=2, memory=True, method=method)
        assert m.peak >= 100 * bl.MIB, method


@pytest.mark.parametrize("code, status, error", [
    ("import benchlib; print('noise'); benchlib.emit({'x': 1}); print('more')", "ok", None),
    ("raise ValueError('broken peer')", "ERROR", "ValueError: broken peer"),
    ("import benchlib, sys; benchlib.emit({'x': 1}); sys.exit(3)", "ERROR", "exit code 3, no result"),
    ("import time; time.sleep(30)", "TIMEOUT", "no result within 1 s"),
])
def test_run_child_reads_the_result_or_says_why_not(code, status, error):
    env = dict(os.environ, PYTHONPATH=os.path.dirname(bl.__file__))
    r = bl.run_child([sys.executable, "-c", code], timeout=1, env=env)
    assert r["status"] == status
    if status == "ok":
        assert r["x"] == 1
    else:
        assert r["error"] == error


def test_missing_summary_counts_cells_and_empty_rows_of_arrays_and_frames():
    a = np.arange(12, dtype=float).reshape(4, 3)
    a[1, :] = np.nan
    a[2, 0] = np.nan
    assert bl.missing_summary(a) == (4 / 12, 1)
    frame = pd.DataFrame({"x": [1.0, None, 3.0], "t": ["a", None, None]})
    assert bl.missing_summary(frame) == (3 / 6, 1)


@pytest.mark.parametrize("value, target, at_most, expected", [
    (1.5, 1.5, True, "PASS"), (1.51, 1.5, True, "MISS"),
    (3.0, 3.0, False, "PASS"), (2.99, 3.0, False, "MISS"), (None, 3.0, True, "-"),
])
def test_verdict_boundaries(value, target, at_most, expected):
    assert bl.verdict(value, target, at_most) == expected


@pytest.mark.parametrize("only, run_ids, peer_ids", [
    (None, len(run.CASES), len(peers.IMPLS)),
    ("W1,w3", ["W1.max", "W1.min", "W1.gm", "W1.gm03", "W3.block", "W3.blob3", "W3.blob1000"], []),
    ("W5,W6.mar", ["W5.gm"], ["W6.mar/porosa", "W6.mar/mdatagen", "W6.mar/pyampute"]),
    ("W2.gm,W6.lowest/missmecha", ["W2.gm"], ["W6.lowest/missmecha"]),
])
def test_only_selects_each_scripts_own_workloads(only, run_ids, peer_ids):
    got_run = [c.id for c in run.select(only)]
    got_peers = [i.id for i in peers.select(only)]
    if only is None:
        assert (len(got_run), len(got_peers)) == (run_ids, peer_ids)
    else:
        assert (got_run, got_peers) == (run_ids, peer_ids)


def test_every_peer_workload_has_porosa_first():
    # Speedups are taken against the porosa time measured before the peers.
    for workload in peers.WORKLOADS:
        ids = [i.id for i in peers.IMPLS if i.workload == workload]
        assert ids[0] == f"{workload}/porosa" and len(ids) > 1


def test_frame_and_its_array_hold_the_same_numbers():
    frame, array = run.make_frame(500)
    assert frame.shape == array.shape == (500, 20)
    assert list(frame.dtypes.map(lambda d: d.kind)).count("f") == 16
    assert frame["t10"].nunique() == 10 and frame["t1000"].nunique() > 300
    np.testing.assert_array_equal(frame.iloc[:, :18].to_numpy(dtype=float), array[:, :18])
    # The text columns' codes order the texts the same way as the texts do.
    for j, name in ((18, "t10"), (19, "t1000")):
        order = np.argsort(array[:, j], kind="stable")
        assert list(frame[name].to_numpy()[order]) == sorted(frame[name])


@pytest.mark.skipif(not HAVE_POROSA, reason="porosa is not installed in this interpreter")
@pytest.mark.parametrize("case_id", ["W2.max", "W3.block", "W4.mar_gm", "W5.gm", "W9.gm"])
def test_a_case_child_measures_both_sides_on_small_data(case_id):
    case = next(c for c in run.CASES if c.id == case_id)
    r = run.run_case(case, scale=0.002, repeat=2)
    rows, cols = (200, 20) if case.wide else (2000, 20)
    assert (r["rows"], r["cols"], r["input_bytes"]) == (rows, cols, rows * cols * 8)
    assert r["porosa_s"] > 0 and r["baseline_s"] > 0 and r["floor_s"] > 0 and r["peak"] is not None
    assert r["realised"] == pytest.approx(case.rate, abs=0.02)
    cells = run.row_cells(case, dict(r, status="ok"))
    assert cells[run.TIME_VERDICT] in ("PASS", "MISS") and cells[run.MEMORY_VERDICT] in ("PASS", "MISS")


def _installed(impl):
    module = {"missmecha-py": "missmecha"}.get(impl.package, impl.package)
    return importlib.util.find_spec(module) is not None


@pytest.mark.parametrize("impl", peers.IMPLS, ids=lambda i: i.id)
def test_each_peer_call_realises_the_rate_in_its_workloads_mechanism(impl):
    if not _installed(impl):
        pytest.skip(f"{impl.package} is not installed in this interpreter")
    import warnings
    warnings.simplefilter("ignore")
    data = bl.gaussian(3000)
    fn, setup = peers.build(impl.id, data)
    out = fn(*(setup() if setup else ()))
    mask = out.isna().to_numpy() if hasattr(out, "isna") else np.isnan(out)
    assert mask.shape == data.shape
    assert mask.mean() == pytest.approx(peers.RATE, abs=0.02)
    np.testing.assert_array_equal(np.asarray(out, dtype=float)[~mask], data[~mask])
    gone, kept = data[mask], data[~mask]
    if impl.workload == "W6.lowest":  # the low values go
        assert gone.mean() < kept.mean() - 0.5
    elif impl.workload == "W6.median":  # values near the middle go
        assert np.abs(gone).mean() < np.abs(kept).mean() - 0.2


@pytest.mark.skipif(not HAVE_POROSA, reason="porosa is not installed in this interpreter")
@pytest.mark.parametrize("timeout, status", [(120.0, None), (0.001, "TIMEOUT")])
def test_main_prints_a_row_per_case_and_counts_its_verdicts(capsys, timeout, status):
    run.main(["--only", "W2.max,W3.block", "--scale", "0.002", "--repeat", "1",
              "--timeout", str(timeout)])
    out = capsys.readouterr().out
    rows = [ln.split() for ln in out.splitlines() if ln.split()[:1] in (["W2.max"], ["W3.block"])]
    assert [r[0] for r in rows] == ["W2.max", "W3.block"]
    summary = next(ln for ln in out.splitlines() if ln.startswith("summary:"))
    counts = {word: int(n) for n, word in re.findall(r"(\d+) (PASS|MISS|TIMEOUT|ERROR)", summary)}
    if status is None:
        assert counts["PASS"] + counts["MISS"] == 4 and counts["TIMEOUT"] == counts["ERROR"] == 0
        assert all(r[-1] == "0.3000" for r in rows)
    else:
        assert counts == {"PASS": 0, "MISS": 0, "TIMEOUT": 2, "ERROR": 0}
        assert all(status in r for r in rows)
