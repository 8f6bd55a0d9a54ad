"""Running a study's tasks through joblib, on its processes or on any
cluster its backends reach, each worker with its share of the cores."""

from __future__ import annotations

import math
import os
import sys
import warnings
from collections.abc import Generator, Sequence
from typing import Any

from ._scoring import Truth
from ._tasks import Study, Task, run_task

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
              filters: tuple[int, list[Any]]) -> list[tuple[Task, list[Any]]]:
    """A worker's run of tasks on one table, with porosa and the BLAS
    libraries limited to `threads` threads, under the caller's warning
    filters (a warning the caller silenced stays silent in a worker)."""
    # porosa sizes its pool from this when a process first amputates; a
    # worker that already did keeps the pool it made then.
    os.environ["POROSA_THREADS"] = str(threads)
    with _limits(threads), warnings.catch_warnings():
        owner, wanted_filters = filters
        if os.getpid() != owner:  # threads of the caller's process share its filters already
            warnings.filters[:] = wanted_filters  # type: ignore[index]
        truth = Truth(data, study.exclude)
        return [(task, run_task(study, data, truth, task)) for task in tasks]


def _limits(threads: int) -> Any:
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # without it, only porosa's own threads are limited
        from contextlib import nullcontext

        return nullcontext()
    return threadpool_limits(limits=threads)


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
    for done in _parallel(joblib, n_jobs)(calls):
        yield from done


def _parallel(joblib: Any, n_jobs: int | None) -> Any:
    """joblib's Parallel that hands each result over as it comes, or as
    soon as the backend can: Ray's hands them all over at the end."""
    for way in ("generator_unordered", "generator"):
        try:
            return joblib.Parallel(n_jobs=n_jobs, return_as=way)
        except ValueError:
            continue
    return joblib.Parallel(n_jobs=n_jobs)
