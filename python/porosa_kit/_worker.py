"""What a study's worker does around its tasks: the caller's warning filters
and the worker's share of the cores, its imputers' own joblib calls kept in
the worker, and its warnings brought back to the caller."""

from __future__ import annotations

import os
import warnings
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager
from typing import Any

# A warning as it travels back: its text, category, file and line. The
# Warning object itself may hold what does not pickle.
Caught = tuple[str, type[Warning], str, int]


@contextmanager
def in_worker(threads: int, filters: tuple[int, list[Any]]) -> Iterator[list[Caught]]:
    """The block as a task of a study runs in a worker: porosa and the BLAS
    libraries limited to `threads` threads, joblib's calls of the imputers
    kept here; in a process other than the caller's, the caller's warning
    filters, and the warnings that pass them recorded instead of printed.

    The list it gives fills with those warnings when the block ends.
    """
    # porosa sizes its pool from this when a process first amputates; a
    # worker that already did keeps the pool it made then.
    os.environ["POROSA_THREADS"] = str(threads)
    owner, wanted = filters
    caught: list[Caught] = []
    with ExitStack() as stack:
        stack.enter_context(_limits(threads))
        stack.enter_context(_local_joblib())
        # Threads of the caller's process share its filters and its
        # warnings already, and catch_warnings in a thread would put back
        # the caller's state as it was when the thread began.
        if os.getpid() != owner:
            recorded = stack.enter_context(warnings.catch_warnings(record=True))
            warnings.filters[:] = wanted  # type: ignore[index]
        else:
            recorded = None
        try:
            yield caught
        finally:
            caught += [(str(w.message), w.category, w.filename, w.lineno) for w in recorded or ()]


def reissue(caught: list[Caught], registry: dict[Any, Any]) -> None:
    """Issues a worker's warnings here, under the caller's filters (a
    ``catch_warnings(record=True)`` gets them); `registry`, one per study,
    shows a warning once however many workers sent it, as a study run here
    shows it once."""
    for text, category, filename, lineno in caught:
        warnings.warn_explicit(text, category, filename, lineno, registry=registry)


def _limits(threads: int) -> Any:
    try:
        from threadpoolctl import threadpool_limits
    except ImportError:  # without it, only porosa's own threads are limited
        from contextlib import nullcontext

        return nullcontext()
    return threadpool_limits(limits=threads)


def _local_joblib() -> Any:
    """joblib's calls inside the block run in this process, in threads.

    A worker inherits its backend's configuration: on Dask, an imputer's own
    joblib calls (a random forest's trees) would become tasks of the cluster,
    hundreds per task of the study, waiting behind the study's tasks, and a
    forest's predictions would be summed in the order the cluster returned
    them. Threads keep them here; an imputer's n_jobs stays its own, and its
    default (None) means one, as in a study run here.
    """
    import joblib

    return joblib.parallel_config(backend="threading")
