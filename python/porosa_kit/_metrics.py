"""The metrics a study scores with, known in one place: how each scores,
which way is better, its range, the columns it scores and its axis label.
Scoring, the tables' flags and the figures all read this registry."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

Score = Callable[[npt.NDArray[Any], npt.NDArray[Any], npt.NDArray[np.bool_]], float]


@dataclass(frozen=True)
class Metric:
    """One way to score an imputation.

    ``function(truth, imputed, mask)`` gets 2-D arrays of the scored columns
    and the removed cells. Numeric columns come divided by their standard
    deviation, so that a score is comparable across columns; text columns
    come as objects.
    """

    name: str
    function: Score
    direction: Literal["lower", "higher"] = "lower"
    bounds: tuple[float, float] = (0.0, math.inf)
    columns: Literal["numeric", "text"] = "numeric"
    label: str = ""
    # The built-in metrics score from the errors alone, as they always have,
    # so that their figures stay the same to the last bit.
    of_errors: Callable[[npt.NDArray[np.float64]], float] | None = field(default=None, compare=False)

    @property
    def axis_label(self) -> str:
        return self.label or self.name

    @property
    def unbounded(self) -> bool:
        return math.isinf(self.bounds[1])


def _rmse(err: npt.NDArray[np.float64]) -> float:
    return float(np.sqrt(np.mean(err**2)))


def _mae(err: npt.NDArray[np.float64]) -> float:
    return float(np.mean(np.abs(err)))


def _on_errors(of_errors: Callable[[npt.NDArray[np.float64]], float]) -> Score:
    def score(truth: npt.NDArray[Any], imputed: npt.NDArray[Any], mask: npt.NDArray[np.bool_]) -> float:
        return of_errors((np.asarray(imputed, dtype=np.float64) - truth)[mask])
    score.__name__ = of_errors.__name__.lstrip("_")
    return score


def accuracy(truth: npt.NDArray[Any], imputed: npt.NDArray[Any], mask: npt.NDArray[np.bool_]) -> float:
    """The share of removed cells filled with their own value."""
    cells = int(mask.sum())
    hits = sum(bool(a == b) for a, b in zip(imputed[mask], truth[mask]))
    return hits / cells if cells else float("nan")


_REGISTRY: dict[str, Metric] = {}


def register_metric(name: str, function: Score, *, direction: Literal["lower", "higher"] = "lower",
                    bounds: tuple[float, float] = (0.0, math.inf), columns: Literal["numeric", "text"] = "numeric",
                    label: str | None = None) -> Metric:
    """Make a metric known by its name to ``evaluate_imputers``, its tables,
    its figures and the command line.

    Parameters
    ----------
    name : str
        The name the scores show and ``metric=`` takes.
    function : callable
        ``function(truth, imputed, mask) -> float``, on the scored columns
        (numeric ones divided by their standard deviation) and the removed
        cells. A study on several processes pickles it: define it in a module.
    direction : {"lower", "higher"}, default="lower"
        Which scores are better.
    bounds : tuple of float, default=(0, inf)
        The range of its scores; a figure cuts its bars to it.
    columns : {"numeric", "text"}, default="numeric"
        The columns it scores.
    label : str, default=None
        The figures' axis label; the name by default.

    Returns
    -------
    Metric
        The registered metric.

    Examples
    --------
    >>> import numpy as np
    >>> from porosa_kit import register_metric
    >>> def worst(truth, imputed, mask):
    ...     return float(np.max(np.abs(imputed - truth)[mask]))
    >>> register_metric("worst", worst, label="largest error (standardised values)").name
    'worst'
    """
    if not isinstance(name, str) or not name:
        raise ValueError(f"a metric's name must be a non-empty str, not {name!r}")
    if not callable(function):
        raise TypeError(f"a metric's function must be callable, not {type(function).__name__}")
    if direction not in ("lower", "higher"):
        raise ValueError(f"direction must be 'lower' or 'higher', not {direction!r}")
    if columns not in ("numeric", "text"):
        raise ValueError(f"columns must be 'numeric' or 'text', not {columns!r}")
    low, high = (float(b) for b in bounds)
    if not low < high:
        raise ValueError(f"bounds must be (low, high) with low below high, not {bounds!r}")
    metric = Metric(name, function, direction, (low, high), columns, label or "")
    _REGISTRY[name] = metric
    return metric


def _builtin(name: str, of_errors: Callable[[npt.NDArray[np.float64]], float], label: str) -> None:
    _REGISTRY[name] = Metric(name, _on_errors(of_errors), label=label, of_errors=of_errors)


_builtin("rmse", _rmse, "RMSE (standardised values)")
_builtin("mae", _mae, "MAE (standardised values)")
_REGISTRY["accuracy"] = Metric("accuracy", accuracy, "higher", (0.0, 1.0), "text", "accuracy")
# What a study scores text with, whatever metric= says for the numbers.
TEXT = _REGISTRY["accuracy"]
# The kit's own, which checkpoints have always known by their names alone.
BUILT_IN = tuple(_REGISTRY.values())


def names(columns: str = "numeric") -> list[str]:
    """The registered metrics that score such columns, in their order."""
    return [n for n, m in _REGISTRY.items() if m.columns == columns]


def known(name: str) -> Metric | None:
    """The registered metric of that name, or None (a name the scores
    show for a function that was never registered)."""
    return _REGISTRY.get(name)


def resolve(metric: str | Score | Metric) -> Metric:
    """The metric a name, a function or a Metric stands for; ValueError for
    an unknown name."""
    if isinstance(metric, Metric):
        return metric
    if isinstance(metric, str):
        found = _REGISTRY.get(metric)
        if found is None:
            raise ValueError(f"unknown metric {metric!r}; expected one of {', '.join(names())} "
                             "or a function (truth, imputed, mask) -> float")
        return found
    if callable(metric):
        for m in _REGISTRY.values():
            if m.function is metric:
                return m
        return Metric(getattr(metric, "__name__", None) or type(metric).__name__, metric)
    raise TypeError(f"a metric is a name or a function (truth, imputed, mask) -> float, not {type(metric).__name__}")


def resolve_all(metric: Any) -> list[Metric]:
    """``metric=`` as a list of metrics: one name or function, or a sequence of them."""
    single = isinstance(metric, (str, Metric)) or callable(metric) or not isinstance(metric, Sequence)
    given: Sequence[Any] = [metric] if single else metric
    out = [resolve(m) for m in given]
    seen = [m.name for m in out]
    if len(set(seen)) != len(seen):
        raise ValueError(f"two metrics have the same name {seen}: register them under their own names")
    return out


def unbounded() -> frozenset[str]:
    """The names of the registered metrics with no upper bound."""
    return frozenset(n for n, m in _REGISTRY.items() if m.unbounded)
