"""A study as a list of independent tasks (a table, a mechanism, a rate, a
repeat), each seeded by its coordinates, so that it scores the same
wherever and in whatever order it runs."""

from __future__ import annotations

import hashlib
from collections.abc import Generator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._frame import amputate, missing_mask
from ._mechanism import Mechanism, canonical
from ._metrics import Metric
from ._scoring import Truth, reason, reraise, score_imputer


@dataclass(frozen=True)
class Task:
    """One amputation, which every imputer of the study scores."""

    dataset: str
    mechanism: str
    missing_rate: float
    repeat: int


@dataclass(frozen=True)
class Study:
    """What every task of a study shares, besides its table."""

    imputers: list[tuple[str, Any]]
    mechanisms: dict[str, Any]
    metrics: list[Metric]
    exclude: Sequence[Any] | None
    raise_errors: bool
    random_state: int | None


def plan(datasets: Sequence[str], mechanisms: Sequence[str], rates: Sequence[float], repeats: int) -> list[Task]:
    """The tasks in the study's order: by table, mechanism, rate, repeat."""
    return [Task(d, m, r, k) for d in datasets for m in mechanisms for r in rates for k in range(repeats)]


def task_seed(random_state: int, task: Task, mechanism: Mechanism) -> int:
    """The seed of a task's generator: see evaluate_imputers for the rule.
    The mechanism counts by what it is, not by the name the study gives it,
    so that a row renamed keeps its numbers."""
    parts = (str(random_state), task.dataset, canonical(mechanism), repr(float(task.missing_rate)), str(task.repeat))
    text = "".join(f"{len(p)}:{p}" for p in parts)
    return int.from_bytes(hashlib.blake2b(text.encode("utf-8"), digest_size=8).digest(), "little")


def generator_of(study: Study, task: Task) -> Any:
    """A description's generator, new and seeded for the task; any other
    generator as it was given, continuing its own stream."""
    given = study.mechanisms[task.mechanism]
    if isinstance(given, Mechanism):
        assert study.random_state is not None
        return given.generator(task_seed(study.random_state, task, given))
    return given


def run_task(study: Study, data: Any, truth: Truth, task: Task) -> list[dict[str, Any]]:
    """The rows of one task: every imputer on one amputation of `data`."""
    try:
        holes, removed = amputated(study, data, task)
    except BaseException as e:
        return amputation_failed(study, truth, task, e)
    return [row for name, imputer in study.imputers
            for row in imputed(study, truth, task, name, imputer, holes, removed)]


def amputated(study: Study, data: Any, task: Task) -> tuple[Any, npt.NDArray[np.bool_]]:
    """The task's amputation of `data`, and the cells it removed."""
    holes = amputate(data, generator_of(study, task), task.missing_rate, exclude=study.exclude)
    return holes, np.asarray(missing_mask(data, holes), dtype=bool)


def amputation_failed(study: Study, truth: Truth, task: Task, error: BaseException) -> list[dict[str, Any]]:
    """The rows of every imputer of a task whose amputation raised `error`,
    unless the study stops at it."""
    reraise(error, study.raise_errors)
    return [row for name, _ in study.imputers
            for row in truth.failed(where(task, name), study.metrics, f"amputation: {reason(error)}")]


def imputed(study: Study, truth: Truth, task: Task, name: str, imputer: Any, holes: Any,
            removed: npt.NDArray[np.bool_]) -> list[dict[str, Any]]:
    """The rows of one imputer on the task's amputation."""
    what = where(task, name)
    try:
        return score_imputer(truth, imputer, holes, removed, study.metrics, what, study.raise_errors)
    except BaseException as e:
        reraise(e, study.raise_errors, imputing(task, name))
        return truth.failed(what, study.metrics, reason(e))


def where(task: Task, imputer: str) -> dict[str, Any]:
    """A row's coordinates."""
    return {"dataset": task.dataset, "mechanism": task.mechanism, "missing_rate": task.missing_rate,
            "repeat": task.repeat, "imputer": imputer}


def imputing(task: Task, imputer: str) -> str:
    """What was going on, for the note of an error that stops the study."""
    return (f"while {imputer} imputed the data {task.mechanism} amputated at rate {task.missing_rate} "
            f"(repeat {task.repeat})")


def run_serially(study: Study, tables: dict[str, Any], tasks: Sequence[Task]) -> Generator[tuple[Task, list[Any]], None, None]:
    """Each task with its rows, in the given order, in this process."""
    truths: dict[str, Truth] = {}
    for task in tasks:
        yield task, run_task(study, tables[task.dataset], truth_of(truths, study, tables, task.dataset), task)


def truth_of(truths: dict[str, Truth], study: Study, tables: dict[str, Any], dataset: str) -> Truth:
    """The table's truth, made once and kept in `truths`: it standardises
    and copies the whole table."""
    truth = truths.get(dataset)
    if truth is None:
        truth = truths[dataset] = Truth(tables[dataset], study.exclude)
    return truth
