"""porosa demo: missing values injected into a small clinic table.

Loads demo/clinic.csv (200 patients, six numeric and two text columns),
builds MNAR and MAR generators in several modes, prints each one, and asks
each for 20 % missing cells with a fixed seed. For every result it shows how
many cells went missing per column and the realised rate.

Each step is guarded: a step that fails prints its exception and the demo goes
on. The exit status is 0 only if every step succeeded.

    python demo/run_demo.py [--rate 0.2] [--seed 7] [--data demo/clinic.csv]
"""

from __future__ import annotations

import argparse
import math
import sys
import traceback
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

# (class name, keyword arguments besides random_seed)
GENERATORS = [
    ("MNAR", {"mode": "GM"}),
    ("MNAR", {"mode": "MAX"}),
    ("MNAR", {"mode": "MIN"}),
    ("MNAR", {"mode": "BLOCK"}),
    ("MNAR", {"mode": "BLOB"}),
    ("MAR", {"mode": "GM"}),
    ("MAR", {"mode": "MAX"}),
    ("MAR", {"mode": "MIN"}),
]


# Failures that explain themselves in one line; anything else gets a traceback.
EXPECTED_ERRORS = (ImportError, AttributeError, TypeError, ValueError, RuntimeError,
                   NotImplementedError)


class Steps:
    """Runs demo steps, printing failures instead of stopping on them."""

    def __init__(self) -> None:
        self.ok = 0
        self.failed = 0

    def run(self, label, fn, *args, **kwargs):
        """Returns (True, value) on success, (False, None) after printing the failure."""
        try:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                value = fn(*args, **kwargs)
        except (KeyboardInterrupt, SystemExit):
            raise
        except BaseException as exc:  # includes porosa's PanicException
            self.failed += 1
            print(f"  {label}: FAILED: {type(exc).__name__}: {exc}")
            if not isinstance(exc, EXPECTED_ERRORS):
                traceback.print_exc(limit=3, file=sys.stdout)
            return False, None
        for w in caught:
            print(f"  {label}: {w.category.__name__}: {w.message}")
        self.ok += 1
        return True, value


def missing_table(result, columns, rows: int, rate: float) -> None:
    """Prints per-column missing counts and the realised rates."""
    frame = result if isinstance(result, pd.DataFrame) else pd.DataFrame(result, columns=columns)
    missing = frame.isna().sum()
    cells = frame.shape[0] * frame.shape[1]
    total = int(missing.sum())
    target = math.ceil(cells * rate)
    print(f"  {total} of {cells} cells missing: realised rate {total / cells:.4f} "
          f"(requested {rate}, {target} cells)")
    print(f"    {'column':<12} {'missing':>7} {'rate':>6}")
    for name, count in missing.items():
        print(f"    {str(name):<12} {int(count):>7} {int(count) / rows:>6.3f}")


def describe_result(result, original) -> None:
    kind = type(result).__name__
    dtype = getattr(result, "dtype", None)
    shape = "x".join(str(n) for n in result.shape)
    print(f"  returned {kind} {shape}" + (f" of {dtype}" if dtype is not None else ""))
    if type(result) is not type(original) or result.shape != original.shape:
        raise AssertionError(f"expected a {type(original).__name__} of shape {original.shape}")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rate", type=float, default=0.2, help="missing rate (default 0.2)")
    parser.add_argument("--seed", type=int, default=7, help="random_seed (default 7)")
    parser.add_argument("--data", type=Path, default=Path(__file__).with_name("clinic.csv"))
    args = parser.parse_args(argv)

    df = pd.read_csv(args.data)
    rows = len(df)
    numeric = [c for c in df.columns if pd.api.types.is_numeric_dtype(df[c])]
    text = [c for c in df.columns if c not in numeric]
    print(f"data: {args.data.name}, {rows} rows x {df.shape[1]} columns")
    print(f"  numeric: {', '.join(numeric)}")
    print(f"  text:    {', '.join(text)}")

    steps = Steps()
    ok, porosa = steps.run("import porosa", __import__, "porosa")
    if not ok:
        print("demo: porosa cannot be imported; build it with scripts/setup.sh")
        return 1
    print(f"porosa from {Path(porosa.__file__).name}")

    snapshot = df.copy(deep=True)
    for cls_name, kwargs in GENERATORS:
        params = ", ".join(f"{k}={v!r}" for k, v in kwargs.items())
        print(f"\n-- {cls_name}({params}, random_seed={args.seed}) on the DataFrame --")
        ok, cls = steps.run("class", getattr, porosa, cls_name)
        if not ok:
            continue
        ok, gen = steps.run("construct", cls, random_seed=args.seed, **kwargs)
        if not ok:
            continue
        ok, text_repr = steps.run("repr", repr, gen)
        if ok:
            print(f"  repr: {text_repr}")
        ok, result = steps.run("call", gen, df, args.rate)
        if ok and steps.run("result", describe_result, result, df)[0]:
            missing_table(result, list(df.columns), rows, args.rate)

    # The same on a plain float64 matrix of the numeric columns.
    matrix = df[numeric].to_numpy(dtype=np.float64)
    matrix_copy = matrix.copy()
    print(f"\n-- MNAR(mode='MAX', random_seed={args.seed}) on a float64 ndarray "
          f"{matrix.shape[0]}x{matrix.shape[1]} --")
    ok, cls = steps.run("class", getattr, porosa, "MNAR")
    ok, gen = steps.run("construct", cls, mode="MAX", random_seed=args.seed) if ok else (False, None)
    ok, result = steps.run("call", gen, matrix, args.rate) if ok else (False, None)
    if ok and steps.run("result", describe_result, result, matrix)[0]:
        missing_table(result, numeric, rows, args.rate)

    print()
    untouched = df.equals(snapshot) and np.array_equal(matrix, matrix_copy)
    print(f"inputs left unchanged: {'yes' if untouched else 'NO'}")
    if not untouched:
        steps.failed += 1
    print(f"demo: {steps.ok} steps ok, {steps.failed} failed")
    return 0 if steps.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
