"""Scoring one amputation: each imputer's result against the original
cells, standardised, with the failures a study records instead of raising."""

from __future__ import annotations

import copy
import time
import warnings
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._frame import excluded_positions, textual
from ._metrics import TEXT, Metric
from ._output import output_frame

# The scores' columns, in their order.
COLUMNS = ["dataset", "mechanism", "missing_rate", "repeat", "imputer", "metric", "score", "cells", "seconds",
           "dropped", "error"]


def score_imputer(truth: Truth, imputer: Any, holes: Any, removed: npt.NDArray[np.bool_], metrics: list[Metric],
                  what: dict[str, Any], strict: bool) -> list[dict[str, Any]]:
    """The rows of one imputer's scores on one amputation."""
    t0 = time.perf_counter()
    result, fitted = impute(imputer, holes)
    seconds = time.perf_counter() - t0
    filled, scored = truth.align(result, fitted, removed, strict)
    dropped = ", ".join(str(c) for c, kept in zip(truth.labels, scored) if not kept)
    return [{**what, "metric": name, "score": score, "cells": cells, "seconds": seconds,
             "dropped": dropped, "error": None}
            for name, score, cells in truth.scores(filled, removed & scored, metrics)]


def reraise(e: BaseException, strict: bool, note: str | None = None) -> None:
    """Raises e again unless it is one failure of a study that goes on."""
    if isinstance(e, (KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError)):
        raise e
    if strict:
        if note is not None:
            e.add_note(note)
        raise e


def reason(e: BaseException) -> str:
    """The exception as one line: "Type: message", a long message cut short."""
    text = " ".join(str(e).split())
    if len(text) > 200:
        text = text[:199] + "…"
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def impute(imputer: Any, holes: Any) -> tuple[Any, Any]:
    """The imputed data, and the fitted estimator (None for a function), by
    a fresh copy of the imputer."""
    imputer = fresh(imputer)
    if hasattr(imputer, "fit_transform"):
        return imputer.fit_transform(holes), imputer
    if callable(imputer):
        return imputer(holes), None
    raise TypeError(f"an imputer needs fit_transform or must be callable, not {type(imputer).__name__}")


def fresh(imputer: Any) -> Any:
    """A copy of the imputer as it was given, for one imputation: a clone of
    a scikit-learn estimator, a deep copy of any other object.

    A worker gets its own copy of the imputers and uses it for a run of
    tasks, so what an imputer kept from one imputation to the next would
    depend on how the tasks fell into runs; a copy for each imputation makes
    a study score the same here and on any worker. A function is its own
    copy: what it keeps in globals or closures is its own affair.
    """
    if hasattr(imputer, "fit_transform") and hasattr(imputer, "get_params"):
        try:
            from sklearn.base import clone
        except ImportError:
            pass
        else:
            return clone(imputer)
    try:
        return copy.deepcopy(imputer)
    except Exception:  # noqa: BLE001 - what cannot be copied cannot be sent to a worker either: it runs only here
        return imputer


class Truth:
    """The original data, split into scored columns, with each numeric
    column's scale."""

    def __init__(self, data: Any, exclude: Sequence[Any] | None = None) -> None:
        if isinstance(data, pd.DataFrame):
            self.columns: list[Any] | None = list(data.columns)
            series = [data.iloc[:, j] for j in range(data.shape[1])]
        else:
            values = np.asarray(data)
            if values.ndim != 2:
                raise ValueError(f"expected 2-D data, got {values.ndim} dimensions")
            self.columns = None
            series = [pd.Series(values[:, j]) for j in range(values.shape[1])]
        self.labels: list[Any] = self.columns if self.columns is not None else list(range(len(series)))
        self.shape = (len(series[0]) if series else len(data), len(series))
        skipped = set(excluded_positions(self.labels, exclude))
        self.numeric: list[int] = []
        self.text: list[int] = []
        numbers = []
        for j, s in enumerate(series):
            if j in skipped:
                continue
            as_float = _numbers(s)
            if as_float is not None:
                self.numeric.append(j)
                numbers.append(as_float)
            elif _is_text(s):
                self.text.append(j)
        self.values = np.column_stack(numbers) if numbers else np.zeros((self.shape[0], 0))
        with np.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
            # A column with no value at all has no spread: NumPy says so.
            warnings.simplefilter("ignore", RuntimeWarning)
            scale = np.nanstd(self.values, axis=0)
        self.scale = np.where((scale > 0) & np.isfinite(scale), scale, 1.0)
        self.text_values = [series[j].to_numpy(dtype=object) for j in self.text]

    def align(self, result: Any, fitted: Any, removed: npt.NDArray[np.bool_],
              strict: bool) -> tuple[pd.DataFrame, npt.NDArray[np.bool_]]:
        """The imputer's result as a frame of the data's shape, columns in the
        data's order (a ColumnTransformer reorders them), and which columns
        it imputed."""
        filled = output_frame(result, fitted, self.labels)
        returned = np.ones(self.shape[1], dtype=bool)
        labels = pd.Index(self.labels)
        if filled.shape[1] < self.shape[1] and not strict and labels.is_unique and filled.columns.isin(labels).all():
            returned = labels.isin(filled.columns)
            filled = filled.reindex(columns=labels)
        elif self.columns is not None and set(filled.columns) == set(self.columns) and filled.columns.is_unique:
            filled = filled.loc[:, self.columns]
        if filled.shape != self.shape:
            raise ValueError(f"the imputer returned shape {filled.shape} for data of shape {self.shape}")
        if not strict:
            # A column that lost cells and comes back without any value was
            # dropped all the same (MixedImputer returns a column its imputer
            # dropped as it was, which an amputation can leave empty): left
            # out and reported, rather than making the score NaN.
            returned &= ~(removed.any(axis=0) & np.asarray(filled.isna().all(axis=0), dtype=bool))
        return filled, returned

    def failed(self, what: dict[str, Any], metrics: list[Metric], error: str) -> list[dict[str, Any]]:
        """The rows of an imputation that failed: one per metric it would have had."""
        names = [m.name for m in self._chosen(metrics)] or [metrics[0].name]
        return [{**what, "metric": name, "score": float("nan"), "cells": 0, "seconds": float("nan"),
                 "dropped": "", "error": error} for name in names]

    def _chosen(self, metrics: list[Metric]) -> list[Metric]:
        """The metrics that have columns to score here: the numeric ones
        given, then text's own and any text metric given."""
        numeric = [m for m in metrics if m.columns == "numeric"] if self.numeric else []
        text = list(dict.fromkeys([TEXT, *(m for m in metrics if m.columns == "text")])) if self.text else []
        return numeric + text

    def scores(self, filled: pd.DataFrame, removed: npt.NDArray[np.bool_],
               metrics: list[Metric]) -> list[tuple[str, float, int]]:
        out: list[tuple[str, float, int]] = []
        chosen = self._chosen(metrics)
        if self.numeric:
            where = removed[:, self.numeric]
            guess = np.column_stack([_as_float(filled.iloc[:, j]) for j in self.numeric])
            err = ((guess - self.values) / self.scale)[where]
            for m in (m for m in chosen if m.columns == "numeric"):
                if not err.size:
                    score = float("nan")
                elif m.of_errors is not None:
                    score = m.of_errors(err)
                else:
                    score = float(m.function(self.values / self.scale, guess / self.scale, where))
                out.append((m.name, score, int(err.size)))
        if self.text:
            where = removed[:, self.text]
            truth = np.column_stack(self.text_values)
            got = np.column_stack([filled.iloc[:, j].to_numpy(dtype=object) for j in self.text])
            for m in (m for m in chosen if m.columns == "text"):
                out.append((m.name, float(m.function(truth, got, where)), int(where.sum())))
        return out


def _numbers(s: pd.Series) -> npt.NDArray[np.float64] | None:
    """The column as float64 if it holds numbers, else None."""
    dtype = s.dtype
    if pd.api.types.is_bool_dtype(dtype) or (
            pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)):
        return _as_float(s)
    if isinstance(dtype, np.dtype) and dtype.kind == "O":
        try:
            return _as_float(s)
        except (TypeError, ValueError):
            return None
    return None


def _as_float(s: pd.Series) -> npt.NDArray[np.float64]:
    if isinstance(s.dtype, pd.CategoricalDtype):
        s = s.astype(object)
    return s.to_numpy(dtype=np.float64, na_value=np.nan)


def _is_text(s: pd.Series) -> bool:
    return isinstance(s.dtype, pd.CategoricalDtype) or textual(s.dtype)


