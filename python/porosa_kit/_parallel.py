"""Running a study's tasks through joblib, on its processes or on any
cluster its backends reach, each worker with its share of the cores."""

from __future__ import annotations

import importlib
import math
import os
import pickle
import sys
import warnings
from collections.abc import Generator, Sequence
from typing import Any

from ._scoring import Truth
from ._tasks import Study, Task, run_task
from ._worker import Caught, in_worker, reissue

# Each table's tasks go in runs of about this many per worker: one run would
# ship the table once to each worker, but its tasks would reach the
# checkpoint and the progress bar only when the whole run ends, and the last
# runs would leave the other workers idle. Dask's backend sends a table it
# has seen by reference, yet runs pay there too: each task costs its
# scheduler and the worker's event loop some milliseconds, on the cores that
# the imputers use.
CHUNKS_PER_WORKER = 8


def joblib_module() -> Any:
    try:
        import joblib
    except ImportError as e:
        raise ImportError("n_jobs needs joblib (it comes with scikit-learn): pip install porosa[study]") from e
    return joblib


def wanted(n_jobs: int | None) -> bool:
    """Whether the tasks go through joblib: for an n_jobs other than 1, and
    for None inside a ``joblib.parallel_config`` that runs more than one at
    once (scikit-learn's convention), such as a Dask backend's."""
    if n_jobs is not None:
        return n_jobs != 1
    joblib = sys.modules.get("joblib")  # no config can be active before joblib is imported
    return joblib is not None and joblib.effective_n_jobs(None) > 1


def workers(n_jobs: int | None) -> int:
    """How many tasks joblib's active backend runs at once for `n_jobs`."""
    return max(1, int(joblib_module().effective_n_jobs(n_jobs)))


def chunks(tasks: Sequence[Task], n_workers: int) -> list[list[Task]]:
    """The tasks in runs of one table each, so that a table travels once
    with a whole run of its tasks rather than with every task."""
    by_table: dict[str, list[Task]] = {}
    for task in tasks:
        by_table.setdefault(task.dataset, []).append(task)
    out = []
    for mine in by_table.values():
        size = math.ceil(len(mine) / (CHUNKS_PER_WORKER * n_workers))
        out += [mine[i:i + size] for i in range(0, len(mine), size)]
    return out


def run_chunk(study: Study, data: Any, tasks: list[Task], threads: int,
              filters: tuple[int, list[Any]]) -> tuple[list[tuple[Task, list[Any]]], list[Caught]]:
    """A worker's run of tasks on one table, as :func:`in_worker` runs a
    task, with the warnings to issue in the caller."""
    with in_worker(threads, filters) as caught:
        truth = Truth(data, study.exclude)
        done = [(task, run_task(study, data, truth, task)) for task in tasks]
    return done, caught


def run_parallel(study: Study, tables: dict[str, Any], tasks: Sequence[Task],
                 n_jobs: int | None) -> Generator[tuple[Task, list[Any]], None, None]:
    """Each task with its rows, as the runs of tasks finish, in any order."""
    joblib = joblib_module()
    n_workers = workers(n_jobs)
    threads = max(1, (os.cpu_count() or 1) // n_workers)
    # Every run of a table gets the same table object: the Dask backend
    # sends an argument it has seen before by reference, not again.
    filters = (os.getpid(), list(warnings.filters))
    calls = (joblib.delayed(run_chunk)(study, tables[chunk[0].dataset], chunk, threads, filters)
             for chunk in chunks(tasks, n_workers))
    registry: dict[Any, Any] = {}
    try:
        for done, caught in _parallel(joblib, n_jobs)(calls):
            reissue(caught, registry)
            yield from done
    except Exception as e:
        named = unpicklable(study, tables, e, "run the study with n_jobs=1")
        if named is None:
            raise
        raise named from e


def unpicklable(study: Study, tables: dict[str, Any], error: BaseException,
                advice: str) -> pickle.PicklingError | None:
    """For a failure to send the tasks to the workers, the error that names
    the imputer, generator, metric or table that cannot be pickled, with `advice`
    for a study that must not pickle it; None for any other failure."""
    if "pickl" not in f"{error} {error.__cause__}".lower():
        return None
    try:  # what joblib's processes pickle tasks with: its dependency since 1.5, vendored before
        cloudpickle = importlib.import_module("cloudpickle")
    except ImportError:
        cloudpickle = importlib.import_module("joblib.externals.cloudpickle")

    parts = [("imputer", name, obj) for name, obj in study.imputers]
    parts += [("generator", name, obj) for name, obj in study.mechanisms.items()]
    parts += [("metric", m.name, m.function) for m in study.metrics]
    parts += [("table", name, obj) for name, obj in tables.items()]
    for what, name, obj in parts:
        try:
            cloudpickle.dumps(obj)
        except Exception as e:  # noqa: BLE001 - whatever stops pickling names the culprit
            return pickle.PicklingError(
                f"Could not pickle {what} {name!r} ({type(obj).__name__}) to send it to the workers: "
                f"{type(e).__name__}: {e}; make it picklable, or {advice}")
    return None


def _parallel(joblib: Any, n_jobs: int | None) -> Any:
    """joblib's Parallel that hands each result over as it comes, or as
    soon as the backend can: Ray's hands them all over at the end."""
    for way in ("generator_unordered", "generator"):
        try:
            return joblib.Parallel(n_jobs=n_jobs, return_as=way)
        except ValueError:
            continue
    return joblib.Parallel(n_jobs=n_jobs)
