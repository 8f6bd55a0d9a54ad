#!/usr/bin/env python3
"""W10: what porosa_kit adds to porosa's own calls, on data like users' own.

    .venv-ft/bin/python bench/kit.py [--scale 1.0] [--only W10.float,W10.mcar] [--repeat 3]

Data: 1,000,000 rows (times --scale) of 20 columns, missing rate 0.3, each
frame with 5 % of its cells missing already and a shifted integer index.
  float  20 float64 columns;
  mixed  6 float64, 4 Int64, 2 datetime64, 2 category (10 texts), 1 ordered
         category, 3 string (10, 1,000 and 1,000 distinct texts), 2 bool.
Cases:
  W10.float.*   amputate(frame, generator) against generator(frame)   (<= 1.3x)
  W10.mixed.*   the same on the mixed frame                            (<= 2x)
  W10.mcar      MCAR against MNAR MAX on the float data as an array    (<= 1x)
Both sides of a ratio run in the same child process on the same data, best
of --repeat calls each, alternating between the two.
"""

from __future__ import annotations

import sys
from dataclasses import dataclass

import benchlib as bl

RATE = 0.3
SEED = 7
ROWS = 1_000_000
HOLES = 0.05


@dataclass(frozen=True)
class Case:
    id: str
    data: str  # "float" or "mixed"
    label: str
    mode: tuple[str, str]  # the porosa generator: class and mode
    target: float


CASES = [
    Case("W10.float.mnar_max", "float", "amputate, float frame, MNAR MAX", ("MNAR", "MAX"), 1.3),
    Case("W10.float.mar_gm", "float", "amputate, float frame, MAR GM", ("MAR", "GM"), 1.3),
    Case("W10.mixed.mnar_max", "mixed", "amputate, mixed frame, MNAR MAX", ("MNAR", "MAX"), 2.0),
    Case("W10.mixed.mar_gm", "mixed", "amputate, mixed frame, MAR GM", ("MAR", "GM"), 2.0),
    Case("W10.mcar", "float", "MCAR vs MNAR MAX, float array", ("MNAR", "MAX"), 1.0),
]


def float_frame(rows: int):
    import numpy as np
    import pandas as pd

    a = bl.gaussian(rows)
    a[np.random.default_rng(bl.DATA_SEED + 1).random(a.shape) < HOLES] = np.nan
    return pd.DataFrame(a, columns=[f"x{j}" for j in range(a.shape[1])], index=pd.RangeIndex(rows) + 10**6)


def mixed_frame(rows: int):
    import numpy as np
    import pandas as pd

    rng = np.random.default_rng(bl.DATA_SEED)

    def holes(values):
        s = pd.Series(values)
        s[rng.random(rows) < HOLES] = None
        return s.array

    cols = {}
    for j in range(6):
        cols[f"f{j}"] = holes(rng.standard_normal(rows))
    for j in range(4):
        cols[f"i{j}"] = holes(pd.array(rng.integers(0, 10**6, rows), dtype="Int64"))
    for j in range(2):
        cols[f"d{j}"] = holes(pd.Timestamp("2020-01-01") + pd.to_timedelta(rng.integers(0, 10**8, rows), "s"))
    texts = np.array([f"group {k}" for k in range(10)], dtype=object)
    for j in range(2):
        cols[f"c{j}"] = holes(pd.Categorical(texts[rng.integers(0, 10, rows)]))
    cols["o"] = holes(pd.Categorical(texts[rng.integers(0, 10, rows)], categories=texts, ordered=True))
    for j, distinct in enumerate((10, 1000, 1000)):
        words = np.array([f"w{k:04d}" for k in range(distinct)], dtype=object)
        cols[f"s{j}"] = holes(pd.array(words[rng.integers(0, distinct, rows)], dtype="string"))
    for j in range(2):
        cols[f"b{j}"] = rng.random(rows) < 0.5
    return pd.DataFrame(cols, index=pd.RangeIndex(rows) + 10**6)


def run_case(case: Case, scale: float, repeat: int) -> dict:
    import numpy as np
    import porosa

    from porosa_kit import MCAR, amputate, missing_mask

    rows = bl.scaled_rows(ROWS, scale)
    frame = float_frame(rows) if case.data == "float" else mixed_frame(rows)
    cls, mode = case.mode

    def generator():
        return getattr(porosa, cls)(mode=mode, random_seed=SEED)

    if case.id == "W10.mcar":
        data = frame.to_numpy()
        kit = lambda: MCAR(random_seed=SEED)(data, RATE)  # noqa: E731
        own = lambda: generator()(data, RATE)  # noqa: E731
    else:
        data = frame
        kit = lambda: amputate(data, generator(), RATE)  # noqa: E731
        own = lambda: generator()(data, RATE)  # noqa: E731
    generator()(bl.gaussian(64), RATE)  # warm-up
    kit_times, own_times = [], []
    result = None
    for _ in range(repeat):  # alternating, so that a busy moment hits both sides
        k = bl.measure(kit, 1)
        o = bl.measure(own, 1)
        kit_times.append(k.best)
        own_times.append(o.best)
        result = k.result
    new = int(np.asarray(missing_mask(data, result)).sum())
    return {"rows": rows, "kit_s": min(kit_times), "own_s": min(own_times), "new": new,
            "asked": int(np.ceil(rows * 20 * RATE)), "gil": bl.gil_enabled()}


COLUMNS = [("case", 18), ("workload", 32), ("rows", 10), ("kit s", 9), ("porosa s", 9), ("ratio", 6),
           ("target", 6), ("time", 7), ("new NaN", 11), ("asked", 11)]


def row_cells(case: Case, r: dict) -> list[str]:
    if r.get("status") != "ok":
        return [case.id, case.label] + ["-"] * 4 + [f"<={case.target:g}", r.get("status", "ERROR"), "-", "-"]
    ratio = r["kit_s"] / r["own_s"] if r["own_s"] > 0 else None
    return [case.id, case.label, f"{r['rows']:,}", bl.fmt_s(r["kit_s"]), bl.fmt_s(r["own_s"]), bl.fmt(ratio, 2),
            f"<={case.target:g}", bl.verdict(ratio, case.target), f"{r['new']:,}", f"{r['asked']:,}"]


def parse_args(argv=None):
    return bl.suite_args(__doc__, argv, "comma-separated case ids or prefixes, e.g. W10.mixed", timeout=600.0)


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.case:
        bl.emit(run_case(next(c for c in CASES if c.id == args.case), args.scale, args.repeat))
        return 0
    wanted = [w.strip().lower() for w in (args.only or "").split(",") if w.strip()]
    cases = [c for c in CASES if not wanted or any(c.id.lower().startswith(w) for w in wanted)]
    print("porosa_kit against porosa's own calls (bench/kit.py, W10)")
    bl.print_build_lines()
    print(f"settings:       --scale {args.scale:g} --repeat {args.repeat}; rate {RATE}, random_seed {SEED}, "
          f"{HOLES:.0%} of cells missing before, data seed {bl.DATA_SEED}")
    print()
    table = bl.Table(COLUMNS)
    table.header()
    counts = {"PASS": 0, "MISS": 0, "TIMEOUT": 0, "ERROR": 0}
    for case, r in bl.run_cases(__file__, cases, args):
        cells = row_cells(case, r)
        table.row(cells)
        counts[cells[7]] = counts.get(cells[7], 0) + 1
        if r.get("status") != "ok":
            print(f"{case.id}: {r['status']}: {r.get('error', '')}")
    print()
    print("ratio = kit s / porosa s: amputate(frame, gen) / gen(frame); for W10.mcar MCAR / MNAR MAX on the array")
    print("new NaN = cells the kit's call made missing; asked = ceil(rows x 20 x rate)")
    print(f"summary: {counts['PASS']} PASS, {counts['MISS']} MISS, {counts['TIMEOUT']} TIMEOUT, "
          f"{counts['ERROR']} ERROR")
    return 0


if __name__ == "__main__":
    sys.exit(main())
