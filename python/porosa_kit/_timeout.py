"""A study's tasks under a time limit.

No thread can be stopped safely, so a step that may hang runs in a process
that can be: each slot is a loky executor of one worker, which runs a task
step by step (its amputation, then each imputer on it), each step against
the clock. A step that overruns is recorded as failed, its worker is ended
and a new one goes on with the task's next step; the other slots' work is
not touched.
"""

from __future__ import annotations

import math
import os
import time
import warnings
from collections import deque
from collections.abc import Generator, Sequence
from concurrent.futures import FIRST_COMPLETED, BrokenExecutor, Future
from concurrent.futures import wait as wait_for
from typing import Any

from ._parallel import joblib_module, unpicklable, wanted, workers
from ._scoring import Truth, reason
from ._tasks import Study, Task, amputated, amputation_failed, imputed, imputing, truth_of, where
from ._worker import Caught, in_worker, reissue

# Backends whose tasks run in processes of this machine, which the slots
# replace; a cluster's or a thread's task could not be stopped.
PROCESS_BACKENDS = ("loky", "multiprocessing", "sequential")
AMPUTATION = -1  # the step before the imputers'

# What a slot's worker was given, and the amputation at hand.
_GIVEN: dict[str, Any] = {}


def check_backend(n_jobs: int | None) -> None:
    """ValueError when the active joblib backend runs tasks where a timeout
    cannot stop them."""
    joblib = joblib_module()
    backend, _ = joblib.parallel.get_active_backend()
    known = tuple(joblib.parallel.BACKENDS[name] for name in PROCESS_BACKENDS if name in joblib.parallel.BACKENDS)
    if not isinstance(backend, known):
        raise ValueError(f"timeout stops a task by ending the process that runs it, which joblib's "
                         f"{type(backend).__name__} cannot do: run the study without that parallel_config "
                         "(n_jobs runs it on this machine's cores), or without timeout")


def run_timed(study: Study, tables: dict[str, Any], tasks: Sequence[Task], n_jobs: int | None,
              timeout: float) -> Generator[tuple[Task, list[Any]], None, None]:
    """Each task with its rows, as the tasks finish, in any order."""
    n_workers = workers(n_jobs) if wanted(n_jobs) else 1
    threads = max(1, (os.cpu_count() or 1) // n_workers)
    given = (study, tables, threads, (os.getpid(), list(warnings.filters)))
    todo = deque(tasks)
    truths: dict[str, Truth] = {}
    registry: dict[Any, Any] = {}
    slots: list[_Slot] = []
    try:
        slots += [_Slot(given, timeout, truths) for _ in range(min(n_workers, len(todo)))]
        while todo or any(slot.task is not None for slot in slots):
            for slot in slots:
                if slot.task is None and todo:
                    slot.begin(todo.popleft())
            deadline = min(slot.deadline for slot in slots)
            wait_for([slot.future for slot in slots if slot.future is not None],
                     timeout=None if deadline == math.inf else max(0.0, deadline - time.monotonic()),
                     return_when=FIRST_COMPLETED)
            for slot in slots:
                finished = slot.poll(registry)
                if finished is not None:
                    yield finished
    except Exception as e:
        named = unpicklable(study, tables, e, "run the study without timeout")
        if named is None:
            raise
        raise named from e
    finally:
        for slot in slots:
            slot.close()


class _Slot:
    """One worker process and the task it runs, one step at a time."""

    def __init__(self, given: tuple[Any, ...], timeout: float, truths: dict[str, Truth]) -> None:
        self.given, self.timeout, self.truths = given, timeout, truths
        self.task: Task | None = None
        self.rows: list[Any] = []
        self.next = AMPUTATION
        self.running: int | None = None  # the step under way; None while the worker starts
        self.future: Future[Any] | None = None
        self.deadline = math.inf
        self._start()

    def _start(self) -> None:
        from joblib.externals.loky import ProcessPoolExecutor

        # Its share of the cores is set by in_worker, before its first amputation.
        self.executor = ProcessPoolExecutor(max_workers=1, initializer=_setup, initargs=self.given)
        # The clock starts once the worker has imported what it needs and
        # holds the tables: that is no part of any step.
        self.future, self.running, self.deadline = self.executor.submit(_ready), None, math.inf

    def begin(self, task: Task) -> None:
        self.task, self.rows, self.next = task, [], AMPUTATION
        if self.future is None:
            self._submit()

    def _submit(self) -> None:
        assert self.task is not None
        step = (_amputate, self.task) if self.next == AMPUTATION else (_impute, self.task, self.next)
        self.future, self.running = self.executor.submit(*step), self.next
        self.deadline = time.monotonic() + self.timeout

    def poll(self, registry: dict[Any, Any]) -> tuple[Task, list[Any]] | None:
        """Moves on once the step ends or overruns; the task with its rows
        once its last step has ended."""
        if self.future is None:
            return None
        if self.future.done():
            self._ended(registry)
        elif time.monotonic() >= self.deadline:
            self._overran()
        else:
            return None
        if self.task is not None and self.next >= len(self.given[0].imputers):
            finished, self.task = (self.task, self.rows), None
            return finished
        if self.task is not None and self.future is None:
            self._submit()
        return None

    def _ended(self, registry: dict[Any, Any]) -> None:
        assert self.future is not None
        future, step = self.future, self.running
        self.future, self.running, self.deadline = None, None, math.inf
        try:
            rows, caught = future.result()
        except BrokenExecutor as e:  # the worker died, which stops the study
            if step is not None:
                e.add_note(self._doing(step))
            raise
        reissue(caught, registry)
        if step is None:  # the worker is ready
            return
        if step == AMPUTATION and rows is not None:  # it failed: every imputer's rows say so
            self.rows, self.next = rows, len(self.given[0].imputers)
        else:
            self.rows += rows or []
            self.next = step + 1

    def _overran(self) -> None:
        assert self.task is not None and self.running is not None
        study: Study = self.given[0]
        step, error = self.running, TimeoutError(f"ran longer than timeout={self.timeout:g} s and was stopped")
        if study.raise_errors:
            error.add_note(self._doing(step))
            raise error
        truth = truth_of(self.truths, study, self.given[1], self.task.dataset)
        if step == AMPUTATION:
            self.rows, self.next = amputation_failed(study, truth, self.task, error), len(study.imputers)
        else:
            name = study.imputers[step][0]
            self.rows += truth.failed(where(self.task, name), study.metrics, reason(error))
            self.next = step + 1
        self.executor.shutdown(wait=False, kill_workers=True)
        self._start()

    def _doing(self, step: int) -> str:
        assert self.task is not None
        if step == AMPUTATION:
            return f"while {self.task.mechanism} amputated the data at rate {self.task.missing_rate} " \
                   f"(repeat {self.task.repeat})"
        return imputing(self.task, self.given[0].imputers[step][0])

    def close(self) -> None:
        self.executor.shutdown(wait=False, kill_workers=True)


def _setup(study: Study, tables: dict[str, Any], threads: int, filters: tuple[int, list[Any]]) -> None:
    _GIVEN.clear()
    _GIVEN.update(study=study, tables=tables, threads=threads, filters=filters, truths={}, holes=None)


def _ready() -> tuple[None, list[Caught]]:
    """Nothing, once what a step needs besides its imputer is loaded."""
    with in_worker(_GIVEN["threads"], _GIVEN["filters"]) as caught:
        pass
    return None, caught


def _truth(dataset: str) -> Truth:
    return truth_of(_GIVEN["truths"], _GIVEN["study"], _GIVEN["tables"], dataset)


def _amputate(task: Task) -> tuple[list[Any] | None, list[Caught]]:
    """None once the task's data is amputated, or the rows of its failure."""
    study = _GIVEN["study"]
    with in_worker(_GIVEN["threads"], _GIVEN["filters"]) as caught:
        try:
            _GIVEN["holes"] = (task, *amputated(study, _GIVEN["tables"][task.dataset], task))
            rows = None
        except BaseException as e:
            rows = amputation_failed(study, _truth(task.dataset), task, e)
    return rows, caught


def _impute(task: Task, step: int) -> tuple[list[Any], list[Caught]]:
    """The rows of the task's imputer number `step`."""
    study = _GIVEN["study"]
    with in_worker(_GIVEN["threads"], _GIVEN["filters"]) as caught:
        if _GIVEN["holes"] is None or _GIVEN["holes"][0] != task:
            # A new worker, after a step that overran: the task's amputation
            # is the same again, as its seed is.
            _GIVEN["holes"] = (task, *amputated(study, _GIVEN["tables"][task.dataset], task))
        _, holes, removed = _GIVEN["holes"]
        name, imputer = study.imputers[step]
        rows = imputed(study, _truth(task.dataset), task, name, imputer, holes, removed)
    return rows, caught
