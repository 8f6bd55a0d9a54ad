"""A study as a list of independent tasks (a table, a mechanism, a rate, a
repeat), each seeded by its coordinates, so that it scores the same
wherever and in whatever order it runs."""

from __future__ import annotations

import hashlib
from collections.abc import Generator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from ._frame import amputate, missing_mask
from ._mechanism import Mechanism, canonical
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
    metrics: list[str]
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
    where = {"dataset": task.dataset, "mechanism": task.mechanism, "missing_rate": task.missing_rate,
             "repeat": task.repeat}
    rows: list[dict[str, Any]] = []
    try:
        holes = amputate(data, generator_of(study, task), task.missing_rate, exclude=study.exclude)
        removed = np.asarray(missing_mask(data, holes), dtype=bool)
    except BaseException as e:
        reraise(e, study.raise_errors)
        for name, _ in study.imputers:
            rows += truth.failed({**where, "imputer": name}, study.metrics, f"amputation: {reason(e)}")
        return rows
    for name, imputer in study.imputers:
        what = {**where, "imputer": name}
        try:
            rows += score_imputer(truth, imputer, holes, removed, study.metrics, what, study.raise_errors)
        except BaseException as e:
            reraise(e, study.raise_errors, f"while {name} imputed the data {task.mechanism} amputated "
                                           f"at rate {task.missing_rate} (repeat {task.repeat})")
            rows += truth.failed(what, study.metrics, reason(e))
    return rows


def run_serially(study: Study, tables: dict[str, Any], tasks: Sequence[Task]) -> Generator[tuple[Task, list[Any]], None, None]:
    """Each task with its rows, in the given order, in this process."""
    truths: dict[str, Truth] = {}
    for task in tasks:
        data = tables[task.dataset]
        truth = truths.get(task.dataset)
        if truth is None:
            truth = truths[task.dataset] = Truth(data, study.exclude)
        yield task, run_task(study, data, truth, task)
