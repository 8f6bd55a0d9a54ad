#!/usr/bin/env python3
"""porosa benchmark suite: each porosa workload as a ratio to a baseline measured
on the same data in the same process, plus the peak memory of each porosa call.

    .venv-ft/bin/python bench/run.py [--scale 1.0] [--only W1,W3] [--repeat 3]

W1-W4 run on Gaussian float64 data of 1,000,000 x 20 (times --scale) at missing
rate 0.3; W5 is the growth of MNAR GM's time from 100,000 to 1,000,000 rows; W9
is MAR on wide data, 200 x 10,000 (columns times --scale) at rate 0.2.
Times are the best of --repeat calls on both sides. Each case runs in its own
child process under --timeout, so a slow case shows as TIMEOUT. Beside each
ratio, the floor: two copies of the input (one for the input, one for the
output), the least any call that returns a new object of that size can take.
"""

from __future__ import annotations

import os
import sys
from dataclasses import dataclass, field

import benchlib as bl

RATE = 0.3
SEED = 7
BASE_ROWS = 1_000_000
SMALL_ROWS = 100_000  # W5's smaller size
MEMORY_TARGET = 3.0  # peak above the process baseline, in input-array sizes


@dataclass(frozen=True)
class Case:
    id: str
    group: str
    label: str
    cls: str  # "MNAR" or "MAR"
    params: dict = field(default_factory=dict)
    baseline: str = "sort"  # sort | sort+corrcoef | array (W4) | growth (W5) | corrcoef (W9)
    target: float = 3.0
    rows: int = BASE_ROWS  # times --scale, unless the case is wide
    cols: int = bl.N_COLUMNS  # times --scale when the case is wide
    rate: float = RATE

    @property
    def wide(self) -> bool:
        return self.cols > bl.N_COLUMNS

    def shape(self, scale: float) -> tuple[int, int]:
        if self.wide:
            return self.rows, bl.scaled_rows(self.cols, scale, bl.N_COLUMNS)
        return bl.scaled_rows(self.rows, scale), self.cols


CASES = [
    Case("W1.max", "W1", "MNAR MAX", "MNAR", {"mode": "MAX"}, target=1.5),
    Case("W1.min", "W1", "MNAR MIN", "MNAR", {"mode": "MIN"}, target=1.5),
    Case("W1.gm", "W1", "MNAR GM (default)", "MNAR", {"mode": "GM"}),
    Case("W1.gm03", "W1", "MNAR GM mean 0.3 var 0.1", "MNAR",
         {"mode": "GM", "mean": 0.3, "variance": 0.1}),
    Case("W2.max", "W2", "MAR MAX", "MAR", {"mode": "MAX"}, "sort+corrcoef"),
    Case("W2.min", "W2", "MAR MIN", "MAR", {"mode": "MIN"}, "sort+corrcoef"),
    Case("W2.gm", "W2", "MAR GM", "MAR", {"mode": "GM"}, "sort+corrcoef"),
    Case("W3.block", "W3", "MNAR BLOCK (default size)", "MNAR", {"mode": "BLOCK"}),
    Case("W3.blob3", "W3", "MNAR BLOB 3 blobs", "MNAR", {"mode": "BLOB", "n_blobs": 3}),
    Case("W3.blob1000", "W3", "MNAR BLOB 1000 blobs", "MNAR", {"mode": "BLOB", "n_blobs": 1000}),
    Case("W4.max", "W4", "frame MNAR MAX", "MNAR", {"mode": "MAX"}, "array"),
    Case("W4.mar_gm", "W4", "frame MAR GM", "MAR", {"mode": "GM"}, "array"),
    Case("W5.gm", "W5", "MNAR GM growth 10x rows", "MNAR", {"mode": "GM"}, "growth", target=12.0),
    Case("W9.max", "W9", "wide MAR MAX", "MAR", {"mode": "MAX"}, "corrcoef", rows=200, cols=10_000, rate=0.2),
    Case("W9.gm", "W9", "wide MAR GM", "MAR", {"mode": "GM"}, "corrcoef", rows=200, cols=10_000, rate=0.2),
]

BASELINE_TEXT = {
    "sort": "numpy.sort(a, axis=0)",
    "sort+corrcoef": "numpy.sort(a, axis=0) + numpy.corrcoef(a, rowvar=False)",
    "array": "the same call on a float64 array of the frame's shape (text as codes)",
    "growth": "time at 1,000,000 rows / time at 100,000 rows (both x scale)",
    "corrcoef": "numpy.corrcoef(a, rowvar=False)",
}


# ---------------------------------------------------------------------------
# Child side: one case, both sides measured here.


def make_frame(rows: int):
    """16 float64, 2 int64 and 2 text columns (10 and 1,000 distinct texts), and
    the float64 array of the same shape and numbers (texts as their codes)."""
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(bl.DATA_SEED)
    floats = rng.standard_normal((rows, 16))
    ints = np.stack([rng.integers(0, 1000, rows), rng.integers(-50, 50, rows)], axis=1)
    texts10 = np.array([f"group-{i}" for i in range(10)], dtype=object)
    texts1k = np.array([f"label-{i:04d}" for i in range(1000)], dtype=object)
    codes = np.stack([rng.integers(0, 10, rows), rng.integers(0, 1000, rows)], axis=1)
    columns = {f"f{i}": floats[:, i] for i in range(16)}
    columns["i0"], columns["i1"] = ints[:, 0], ints[:, 1]
    columns["t10"] = texts10[codes[:, 0]]
    columns["t1000"] = texts1k[codes[:, 1]]
    frame = pd.DataFrame(columns)
    array = np.concatenate([floats, ints.astype(np.float64), codes.astype(np.float64)], axis=1)
    return frame, np.ascontiguousarray(array)


def run_case(case: Case, scale: float, repeat: int) -> dict:
    import numpy as np
    import porosa

    cls = getattr(porosa, case.cls)
    rows, cols = case.shape(scale)
    rate = case.rate
    out: dict = {"rows": rows, "cols": cols}

    # Warm-up: starts the worker pool and loads NumPy's interface (and pandas).
    warm = bl.gaussian(64)
    cls(**case.params, random_seed=SEED)(warm, rate)
    if case.baseline == "array":
        import pandas as pd
        cls(**case.params, random_seed=SEED)(pd.DataFrame(warm), rate)

    gen = cls(**case.params, random_seed=SEED)
    if case.baseline == "array":
        data, array = make_frame(rows)
        base = bl.measure(lambda: gen(array, rate), repeat)
    else:
        data = bl.gaussian(rows, cols)
        if case.baseline == "corrcoef":
            base = bl.measure(lambda: np.corrcoef(data, rowvar=False), repeat)
        elif case.baseline == "sort":
            base = bl.measure(lambda: np.sort(data, axis=0), repeat)
        elif case.baseline == "sort+corrcoef":
            base = bl.measure(lambda: (np.sort(data, axis=0),
                                       np.corrcoef(data, rowvar=False)), repeat)
        else:  # growth: the same call on the first tenth of the rows
            small = np.ascontiguousarray(data[: bl.scaled_rows(SMALL_ROWS, scale, 10)])
            base = bl.measure(lambda: gen(small, rate), repeat)
            out["small_rows"] = len(small)
    base.result = None
    floor = bl.copy_floor(data, repeat)

    run = bl.measure(lambda: gen(data, rate), repeat, memory=True)
    out["realised"], out["empty_rows"] = bl.missing_summary(run.result)
    out.update(porosa_s=run.best, porosa_times=run.times, baseline_s=base.best,
               baseline_times=base.times, floor_s=floor.best, peak=run.peak,
               input_bytes=rows * cols * 8, gil=bl.gil_enabled())
    return out


# ---------------------------------------------------------------------------
# Parent side: the table.


def select(only: str | None) -> list[Case]:
    if not only:
        return list(CASES)
    wanted = {w.strip().upper() for w in only.split(",") if w.strip()}
    return [c for c in CASES if c.group.upper() in wanted or c.id.upper() in wanted]


COLUMNS = [("case", 11), ("workload", 25), ("rows", 17), ("porosa s", 9), ("base s", 9),
           ("ratio", 7), ("target", 6), ("time", 7), ("floor s", 9), ("xfloor", 7),
           ("peak MiB", 8), ("xinput", 6), ("mem", 4), ("missing", 7)]
TIME_VERDICT, MEMORY_VERDICT = 7, 12  # places of the two verdicts in a row


def row_cells(case: Case, r: dict) -> list[str]:
    if r.get("status") != "ok":
        return [case.id, case.label, "-", "-", "-", "-", f"<={case.target:g}",
                r.get("status", "ERROR")] + ["-"] * 6
    ratio = r["porosa_s"] / r["baseline_s"] if r["baseline_s"] > 0 else None
    rows = f"{r['rows']:,}" if "small_rows" not in r else f"{r['small_rows']:,}>{r['rows']:,}"
    if case.wide:
        rows += f" x {r['cols']:,}"
    peak = r.get("peak")
    mem_ratio = peak / r["input_bytes"] if peak is not None else None
    return [case.id, case.label, rows, bl.fmt_s(r["porosa_s"]), bl.fmt_s(r["baseline_s"]),
            bl.fmt(ratio, 2), f"<={case.target:g}", bl.verdict(ratio, case.target),
            bl.fmt_s(r["floor_s"]), bl.fmt(bl.ratio(r["porosa_s"], r["floor_s"]), 1),
            bl.fmt(peak / bl.MIB if peak is not None else None, 1), bl.fmt(mem_ratio, 2),
            bl.verdict(mem_ratio, MEMORY_TARGET), f"{r['realised']:.4f}"]


def parse_args(argv=None):
    return bl.suite_args(__doc__, argv, "comma-separated workloads or case ids, e.g. W1,W3 or W1.max")


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.case:
        case = next((c for c in CASES if c.id == args.case), None)
        if case is None:
            print(f"unknown case {args.case}", file=sys.stderr)
            return 2
        bl.emit(run_case(case, args.scale, args.repeat))
        return 0

    cases = select(args.only)
    import numpy
    import pandas
    import porosa  # noqa: F401  (its import may re-enable the GIL: report after it)

    print("porosa benchmark suite (bench/run.py)")
    bl.print_build_lines(f"sys.version = {sys.version.splitlines()[0]}")
    print(f"numpy {numpy.__version__}, pandas {pandas.__version__}, {os.cpu_count()} CPUs")
    print(f"settings:       --scale {args.scale:g} --repeat {args.repeat} --timeout {args.timeout:g}; "
          f"missing rate {RATE} (W9 0.2), random_seed {SEED}, data seed {bl.DATA_SEED}")
    print("method:         each case in a fresh process of its own, both sides of its ratio "
          "measured there on the same data, best of --repeat calls each")
    print(f"memory:         peak RSS above the process before the call "
          f"({'kernel high-water mark, reset per call' if bl.MEMORY_METHOD == 'hwm' else 'sampled every 1 ms'}); "
          f"target <= {MEMORY_TARGET:g} x input (rows x columns x 8 bytes)")
    if not cases:
        print(f"\nno workload selected by --only {args.only}")
        return 0
    print()

    table = bl.Table(COLUMNS)
    table.header()
    counts = {"PASS": 0, "MISS": 0, "TIMEOUT": 0, "ERROR": 0}
    notes = []
    gil_seen = set()
    for case, r in bl.run_cases(__file__, cases, args):
        cells = row_cells(case, r)
        table.row(cells)
        if r.get("status") != "ok":
            counts[r["status"]] += 1
            notes.append(f"{case.id}: {r['status']}: {r.get('error', '')}")
            continue
        gil_seen.add(r["gil"])
        for verdict in (cells[TIME_VERDICT], cells[MEMORY_VERDICT]):
            if verdict in counts:
                counts[verdict] += 1

    print()
    print("baselines: " + "; ".join(f"{c.group} {BASELINE_TEXT[c.baseline]}"
                                    for c in {c.group: c for c in cases}.values()))
    print("ratio = porosa s / base s (best of the repetitions each); 'missing' = "
          "realised fraction of missing cells")
    print(f"floor s = {bl.FLOOR_TEXT}; xfloor = porosa s / floor s")
    if True in gil_seen:
        print("note: the GIL was enabled in the case processes")
    for n in notes:
        print(n)
    print(f"summary: {counts['PASS']} PASS, {counts['MISS']} MISS, "
          f"{counts['TIMEOUT']} TIMEOUT, {counts['ERROR']} ERROR "
          f"(time and memory verdicts counted separately)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
