#!/usr/bin/env python3
"""W6: porosa against three peer packages (pyampute, mdatagen, missmecha-py) on
Gaussian data of 100,000 x 20 (times --scale) at missing rate 0.2, each in its
closest mechanism:

  lowest  MNAR, lowest values first: porosa MNAR MAX; mdatagen MBOUV;
          MissMecha MNAR type 6
  median  MNAR near the median: porosa MNAR GM mean 0.5; mdatagen MBOV_median
  mar     MAR: porosa MAR MAX; mdatagen correlated MAR; pyampute
          MultivariateAmputation (MAR pattern on half the columns)

    .venv-bench/bin/python bench/peers.py [--scale 1.0] [--repeat 3]

Every implementation runs in its own child process under --timeout (porosa's
under --porosa-python, by default this interpreter); a peer that is missing or
fails is reported with the reason and the suite goes on. Times include building
the peer's object (porosa's too), not making the input. Target: porosa at least
3x faster than every peer on every workload.
"""

from __future__ import annotations

import os
import sys
import warnings
from dataclasses import dataclass

import benchlib as bl

RATE = 0.2
BASE_ROWS = 100_000
SEED = 7
TARGET = 3.0  # peer time / porosa time, at least


@dataclass(frozen=True)
class Impl:
    id: str  # "<workload>/<implementation>"
    workload: str
    package: str  # distribution name, for its version
    call: str  # what is called, for the table


WORKLOADS = {
    "W6.lowest": "MNAR, lowest values first",
    "W6.median": "MNAR, near the median",
    "W6.mar": "MAR",
}

IMPLS = [
    Impl("W6.lowest/porosa", "W6.lowest", "porosa", "porosa MNAR(mode='MAX')"),
    Impl("W6.lowest/mdatagen", "W6.lowest", "mdatagen", "mdatagen mMNAR(n_xmiss=20).MBOUV"),
    Impl("W6.lowest/missmecha", "W6.lowest", "missmecha-py", "MissMechaGenerator mnar type 6"),
    Impl("W6.median/porosa", "W6.median", "porosa", "porosa MNAR(mode='GM', mean=0.5)"),
    Impl("W6.median/mdatagen", "W6.median", "mdatagen", "mdatagen mMNAR(n_xmiss=20).MBOV_median"),
    Impl("W6.mar/porosa", "W6.mar", "porosa", "porosa MAR(mode='MAX')"),
    Impl("W6.mar/mdatagen", "W6.mar", "mdatagen", "mdatagen mMAR(n_xmiss=10).correlated"),
    Impl("W6.mar/pyampute", "W6.mar", "pyampute", "pyampute MultivariateAmputation MAR"),
]

PEER_PACKAGES = ["pyampute", "mdatagen", "missmecha-py"]


# ---------------------------------------------------------------------------
# Child side


def _labels(rows: int):
    import numpy as np

    return np.random.default_rng(bl.DATA_SEED + 1).integers(0, 2, rows)


def build(impl_id: str, data):
    """(fn, setup) for one implementation: setup() makes fn's arguments (untimed)."""
    import numpy as np
    import pandas as pd

    cols = data.shape[1]
    pct = int(round(RATE * 100))  # mdatagen takes percents
    name = impl_id.split("/")[1]
    workload = impl_id.split("/")[0]

    if name == "porosa":
        import porosa

        cls, params = {
            "W6.lowest": (porosa.MNAR, {"mode": "MAX"}),
            "W6.median": (porosa.MNAR, {"mode": "GM", "mean": 0.5}),
            "W6.mar": (porosa.MAR, {"mode": "MAX"}),
        }[workload]
        cls(**params, random_seed=SEED)(data[:64], RATE)  # warm-up: pool, NumPy interface
        return (lambda: cls(**params, random_seed=SEED)(data, RATE)), None

    if name == "mdatagen":
        frame = pd.DataFrame(data, columns=[f"x{i}" for i in range(cols)])
        y = _labels(len(data))
        setup = lambda: (frame.copy(),)  # noqa: E731  (the peer may write into its input)
        if workload == "W6.mar":
            from mdatagen.multivariate.mMAR import mMAR

            return (lambda X: mMAR(X=X, y=y, n_xmiss=cols // 2).correlated(missing_rate=pct)), setup
        from mdatagen.multivariate.mMNAR import mMNAR

        if workload == "W6.lowest":
            return (lambda X: mMNAR(X=X, y=y, n_xmiss=cols).MBOUV(missing_rate=pct)), setup
        return (lambda X: mMNAR(X=X, y=y, n_xmiss=cols).MBOV_median(
            missing_rate=pct, columns=list(X.columns))), setup

    if name == "missmecha":
        from missmecha import MissMechaGenerator

        return (lambda X: MissMechaGenerator(mechanism="mnar", mechanism_type=6,
                                             missing_rate=RATE, seed=SEED).fit_transform(X)), \
            (lambda: (data.copy(),))

    if name == "pyampute":
        from pyampute.ampute import MultivariateAmputation

        # Rows are amputed whole on the pattern's columns (half of them), so
        # twice the cell rate of rows gives the cell rate asked for.
        pattern = {"incomplete_vars": list(range(cols // 2)), "mechanism": "MAR"}
        return (lambda X: MultivariateAmputation(prop=min(1.0, 2 * RATE), patterns=[pattern],
                                                 seed=SEED).fit_transform(X)), \
            (lambda: (data.copy(),))

    raise ValueError(f"unknown implementation {impl_id}")


def run_impl(impl: Impl, scale: float, repeat: int) -> dict:
    import logging

    warnings.simplefilter("ignore")
    logging.disable(logging.WARNING)
    rows = bl.scaled_rows(BASE_ROWS, scale)
    data = bl.gaussian(rows)
    fn, setup = build(impl.id, data)
    m = bl.measure(fn, repeat, setup=setup)
    realised, empty = bl.missing_summary(m.result)
    return {"rows": rows, "best": m.best, "times": m.times, "realised": realised,
            "empty_rows": empty, "interpreter": bl.interpreter_line(),
            "version": bl.package_version(impl.package)}


# ---------------------------------------------------------------------------
# Parent side


COLUMNS = [("workload", 10), ("implementation", 38), ("python", 7), ("time s", 8),
           ("missing", 7), ("empty rows", 10), ("speedup", 7), ("target", 6), ("verdict", 7)]


def short_interp(line: str) -> str:
    # "Python 3.11.7 (standard build, ...)" -> "3.11.7", free-threaded -> "3.13.5t"
    parts = line.split()
    if len(parts) < 2:
        return "?"
    return parts[1] + ("t" if "free-threaded" in line else "")


def parse_args(argv=None):
    def porosa_python(p):
        p.add_argument("--porosa-python", default=sys.executable,
                       help="interpreter for porosa's side (default: this one)")

    return bl.suite_args(__doc__, argv,
                         "comma-separated workloads (W6, W6.lowest, W6.median, W6.mar); others are ignored, "
                         "so run.py's --only can be passed on",
                         repeat_help="calls per implementation; the best counts", extra=porosa_python)


def select(only: str | None) -> list[Impl]:
    if not only:
        return list(IMPLS)
    wanted = {w.strip().upper() for w in only.split(",") if w.strip()}
    return [i for i in IMPLS if "W6" in wanted or i.workload.upper() in wanted
            or i.id.upper() in wanted]


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.case:
        impl = next((i for i in IMPLS if i.id == args.case), None)
        if impl is None:
            print(f"unknown implementation {args.case}", file=sys.stderr)
            return 2
        bl.emit(run_impl(impl, args.scale, args.repeat))
        return 0

    impls = select(args.only)
    print("porosa against peers (bench/peers.py, W6)")
    if not impls:
        print(f"no W6 workload selected by --only {args.only}")
        return 0
    peer_python = sys.executable
    print(f"peers run on:   {bl.interpreter_line(peer_python)}")
    print(f"porosa runs on: {bl.interpreter_line(args.porosa_python)}")
    print(f"porosa workers: {bl.porosa_workers()}")
    print("versions:       " + ", ".join(f"{p} {bl.package_version(p)}" for p in PEER_PACKAGES + ["numpy", "pandas"]))
    rows = bl.scaled_rows(BASE_ROWS, args.scale)
    print(f"data:           Gaussian {rows:,} x {bl.N_COLUMNS} float64, missing rate {RATE}; "
          f"best of {args.repeat}, --timeout {args.timeout:g} s per implementation")
    print()

    table = bl.Table(COLUMNS)
    table.header()
    notes = []
    counts = {"PASS": 0, "MISS": 0, "not run": 0}
    porosa_time: dict[str, float] = {}
    for impl in impls:
        python = args.porosa_python if impl.id.endswith("/porosa") else peer_python
        cmd = [python, os.path.abspath(__file__), "--case", impl.id,
               "--scale", repr(args.scale), "--repeat", str(args.repeat)]
        r = bl.run_child(cmd, args.timeout)
        is_porosa = impl.id.endswith("/porosa")
        if r.get("status") != "ok":
            table.row([impl.workload, impl.call, "-", r["status"], "-", "-", "-",
                       "" if is_porosa else f">={TARGET:g}", "-"])
            notes.append(f"{impl.id}: {r['status']}: {r.get('error', '')}")
            counts["not run"] += 1
            continue
        if is_porosa:
            porosa_time[impl.workload] = r["best"]
            speedup, target, verdict = "", "", ""
        else:
            base = porosa_time.get(impl.workload)
            value = r["best"] / base if base else None
            speedup, target = bl.fmt(value, 1), f">={TARGET:g}"
            verdict = bl.verdict(value, TARGET, at_most=False)
            if verdict in counts:
                counts[verdict] += 1
        table.row([impl.workload, impl.call,
                   short_interp(r["interpreter"]), bl.fmt_s(r["best"]), f"{r['realised']:.4f}",
                   f"{r['empty_rows']:,}", speedup, target, verdict])

    print()
    print("speedup = peer time / porosa time on the same workload; 'missing' = realised "
          "fraction of missing cells; 'empty rows' = rows left with every cell missing")
    print("workloads: " + "; ".join(f"{k} {v}" for k, v in WORKLOADS.items()))
    for n in notes:
        print(n)
    print(f"summary: {counts['PASS']} PASS, {counts['MISS']} MISS, {counts['not run']} not run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
