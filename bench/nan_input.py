#!/usr/bin/env python3
"""W7: every mode of both classes on data that already holds missing values.

    .venv-ft/bin/python bench/nan_input.py [--scale 1.0] [--only W7.a,W7.block] [--repeat 3]

Data sets (Gaussian float64, 20 columns, missing rate 0.2):
  a  100,000 rows, 5 % of cells NaN, scattered at random
  b  100,000 rows, 10 % of cells NaN, scattered at random
  c  1,000,000 rows, 10 % NaN in 3 of the columns
  d  20,000 rows, 40 % NaN, scattered (BLOCK only, at rate 0.3)
Each value mode and BLOB is timed against the same call on the same data
before the NaN went in (target <= 1.5x). BLOCK is timed against the keystream:
the words the call drew, counted by a native replay of the same call
(build/cpp-tests/porosa_block_words), and the time the fastest keystream path
takes to make that many words, measured in the same run, plus the no-NaN
call's time for what does not depend on the draws (target <= 3x).
"""

from __future__ import annotations

import os
import subprocess
import sys
import tempfile
from dataclasses import dataclass

import benchlib as bl

SEED = 7
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WORDS_TOOL = os.path.join(ROOT, "build", "cpp-tests", "porosa_block_words")


@dataclass(frozen=True)
class DataSet:
    key: str
    rows: int
    fraction: float
    nan_columns: tuple[int, ...] | None  # None: every column
    label: str


DATA = {
    "a": DataSet("a", 100_000, 0.05, None, "100k, 5% NaN"),
    "b": DataSet("b", 100_000, 0.10, None, "100k, 10% NaN"),
    "c": DataSet("c", 1_000_000, 0.10, (0, 7, 13), "1M, 10% NaN in 3 cols"),
    "d": DataSet("d", 20_000, 0.40, None, "20k, 40% NaN"),
}
MODES = [
    ("MNAR", "GM", {}), ("MNAR", "MAX", {}), ("MNAR", "MIN", {}),
    ("MNAR", "BLOCK", {}), ("MNAR", "BLOB", {"n_blobs": 3}),
    ("MAR", "GM", {}), ("MAR", "MAX", {}), ("MAR", "MIN", {}),
]


@dataclass(frozen=True)
class Case:
    id: str
    data: str
    cls: str
    mode: str
    params: dict
    rate: float

    @property
    def target(self) -> float:
        return 3.0 if self.mode == "BLOCK" else 1.5


CASES = [Case(f"W7.{d}.{cls.lower()}_{mode.lower()}", d, cls, mode, p, 0.2)
         for d in "abc" for cls, mode, p in MODES]
CASES.append(Case("W7.d.mnar_block", "d", "MNAR", "BLOCK", {}, 0.3))


def make_data(ds: DataSet, scale: float):
    """The data with NaN in it, and the same numbers without."""
    import numpy as np

    rows = bl.scaled_rows(ds.rows, scale)
    clean = bl.gaussian(rows)
    holes = clean.copy()
    rng = np.random.default_rng(bl.DATA_SEED + 1)
    cols = list(ds.nan_columns) if ds.nan_columns is not None else list(range(clean.shape[1]))
    mask = rng.random((rows, len(cols))) < ds.fraction
    sub = holes[:, cols]
    sub[mask] = np.nan
    holes[:, cols] = sub
    return holes, clean


def block_words(case: Case, data, result) -> dict:
    """Replays the BLOCK call natively: the words it drew, the keystream's time
    for as many, and whether it removed the same cells."""
    import numpy as np

    if not os.access(WORDS_TOOL, os.X_OK):
        return {"words_error": f"{WORDS_TOOL} not built"}
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "data.f64")
        np.ascontiguousarray(data, dtype="<f8").tofile(path)
        out = subprocess.run([WORDS_TOOL, path, str(data.shape[0]), str(data.shape[1]), repr(case.rate),
                              str(SEED)], capture_output=True, text=True, timeout=600)
        if out.returncode != 0:
            return {"words_error": (out.stderr.strip().splitlines() or ["failed"])[-1]}
        replay = np.fromfile(path + ".out", dtype="<f8").reshape(data.shape)
    fields = dict(line.split("=", 1) for line in out.stdout.split() if "=" in line)
    return {"words": int(fields["words"]), "keystream_s": float(fields["keystream_s"]),
            "same_cells": bool((np.isnan(replay) == np.isnan(result)).all())}


def run_case(case: Case, scale: float, repeat: int) -> dict:
    import numpy as np
    import porosa

    cls = getattr(porosa, case.cls)
    holes, clean = make_data(DATA[case.data], scale)
    cls(mode=case.mode, **case.params, random_seed=SEED)(bl.gaussian(64), case.rate)  # warm-up

    def call(data):
        return lambda: cls(mode=case.mode, **case.params, random_seed=SEED)(data, case.rate)

    run = bl.measure(call(holes), repeat)
    base = bl.measure(call(clean), repeat)
    floor = bl.copy_floor(holes, repeat)
    new = int((np.isnan(run.result) & ~np.isnan(holes)).sum())
    out = {"rows": holes.shape[0], "porosa_s": run.best, "clean_s": base.best, "floor_s": floor.best, "new": new,
           "target_cells": int(np.ceil(holes.size * case.rate)), "gil": bl.gil_enabled()}
    if case.mode == "BLOCK":
        out.update(block_words(case, holes, run.result))
    return out


COLUMNS = [("case", 18), ("workload", 32), ("porosa s", 9), ("no-NaN s", 9), ("ratio", 6),
           ("words", 12), ("keystr s", 9), ("xkeys", 6), ("target", 6), ("time", 7),
           ("floor s", 9), ("xfloor", 7), ("new NaN", 9), ("asked", 9)]


def row_cells(case: Case, r: dict) -> list[str]:
    label = f"{case.cls} {case.mode} {DATA[case.data].label}"
    if r.get("status") != "ok":
        return [case.id, label] + ["-"] * 7 + [f"<={case.target:g}", r.get("status", "ERROR")] + ["-"] * 4
    ratio = r["porosa_s"] / r["clean_s"] if r["clean_s"] > 0 else None
    words = r.get("words")
    keys = r.get("keystream_s")
    # BLOCK's floor: the keystream for its draws, on top of what the same call
    # costs without NaN (reading and rebuilding), which dominates when it draws little.
    xkeys = r["porosa_s"] / (keys + r["clean_s"]) if keys is not None else None
    judged = xkeys if case.mode == "BLOCK" else ratio
    words_text = "-" if words is None else f"{words:,}" + ("" if r.get("same_cells", True) else "!")
    return [case.id, label, bl.fmt_s(r["porosa_s"]), bl.fmt_s(r["clean_s"]), bl.fmt(ratio, 2),
            words_text, bl.fmt_s(keys), bl.fmt(xkeys, 2), f"<={case.target:g}", bl.verdict(judged, case.target),
            bl.fmt_s(r["floor_s"]), bl.fmt(bl.ratio(r["porosa_s"], r["floor_s"]), 1), f"{r['new']:,}", f"{r['target_cells']:,}"]


def parse_args(argv=None):
    return bl.suite_args(__doc__, argv, "comma-separated case ids or prefixes, e.g. W7.a or W7.a.mnar_block",
                         timeout=600.0)


def select(only: str | None) -> list[Case]:
    if not only:
        return list(CASES)
    wanted = [w.strip().lower() for w in only.split(",") if w.strip()]
    return [c for c in CASES if any(c.id.lower().startswith(w) for w in wanted)]


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.case:
        bl.emit(run_case(next(c for c in CASES if c.id == args.case), args.scale, args.repeat))
        return 0
    import porosa  # noqa: F401

    print("porosa on data holding NaN (bench/nan_input.py, W7)")
    bl.print_build_lines()
    print(f"settings:       --scale {args.scale:g} --repeat {args.repeat}; random_seed {SEED}, "
          f"data seed {bl.DATA_SEED}")
    print()
    table = bl.Table(COLUMNS)
    table.header()
    counts = {"PASS": 0, "MISS": 0, "TIMEOUT": 0, "ERROR": 0}
    notes = []
    for case, r in bl.run_cases(__file__, select(args.only), args):
        cells = row_cells(case, r)
        table.row(cells)
        if cells[9] in counts:
            counts[cells[9]] += 1
        if r.get("status") != "ok":
            notes.append(f"{case.id}: {r['status']}: {r.get('error', '')}")
        elif r.get("words_error"):
            notes.append(f"{case.id}: words not counted: {r['words_error']}")
        elif r.get("same_cells") is False:
            notes.append(f"{case.id}: the native replay removed other cells ('!')")
    print()
    print("ratio = porosa s / the same call on the data before the NaN went in (value modes, BLOB: <=1.5)")
    print("xkeys = porosa s / (keystream s + no-NaN s): keystream s is the fastest keystream alone making the")
    print("        words BLOCK drew; the no-NaN call adds what reading and rebuilding cost (<=3)")
    print(f"floor s = {bl.FLOOR_TEXT}; xfloor = porosa s / floor s")
    print("new NaN = cells made missing by the call; asked = ceil(rows x 20 x rate)")
    for n in notes:
        print(n)
    print(f"summary: {counts['PASS']} PASS, {counts['MISS']} MISS, {counts['TIMEOUT']} TIMEOUT, "
          f"{counts['ERROR']} ERROR")
    return 0


if __name__ == "__main__":
    sys.exit(main())
