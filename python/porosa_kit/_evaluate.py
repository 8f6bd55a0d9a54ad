"""evaluate_imputers(): amputate, impute and score, repeated, tabulated, plotted."""

from __future__ import annotations

import sys
import time
import warnings
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._constraints import COUNT, METRICS
from ._export import export_table
from ._frame import Generator, amputate, excluded_positions, missing_mask, textual
from ._output import output_frame
from ._tables import to_pandas
from ._plot import plot_evaluation

KEYS = ["imputer", "mechanism", "missing_rate", "metric"]


@dataclass(frozen=True)
class Evaluation:
    """The result of :func:`evaluate_imputers`: its scores, with their
    summary, table and figure.

    Parameters
    ----------
    scores : DataFrame
        The study's scores, as ``scores`` below.
    dataset : str, default=None
        The data set's name, for titles.

    Attributes
    ----------
    scores : DataFrame
        One row per mechanism, rate, repeat, imputer and metric, in the
        study's order, with the columns ``mechanism``, ``missing_rate``,
        ``repeat``, ``imputer``, ``metric``, ``score``, ``cells`` (the removed
        cells the score is over), ``seconds`` (the imputer's fit and
        transform), ``dropped`` (the labels of the columns the imputer left out
        of its result, which are not scored, as one text; empty when none) and
        ``error`` (why that amputation or imputation failed, as
        "Type: message"; None when it did not). A failed row has the score
        NaN and no cells.
    dataset : str or None
        The data set's name, for titles.
    summary : DataFrame
        The scores' mean, spread and counts per imputer, mechanism, rate and
        metric.

    See Also
    --------
    evaluate_imputers : The study that gives an Evaluation.

    Examples
    --------
    >>> import pandas as pd
    >>> from porosa_kit import Evaluation
    >>> scores = pd.DataFrame({
    ...     "mechanism": "MCAR", "missing_rate": 0.2, "repeat": [0, 1, 0, 1],
    ...     "imputer": ["zero", "zero", "mean", "mean"], "metric": "rmse",
    ...     "score": [1.0, 1.2, 0.8, 0.9], "cells": 12, "seconds": 0.01,
    ...     "dropped": "", "error": None})
    >>> study = Evaluation(scores, dataset="toy")
    >>> print(study.summary[["mean", "repeats", "failed"]].to_string())
                                           mean  repeats  failed
    imputer mechanism missing_rate metric
    zero    MCAR      0.2          rmse    1.10        2       0
    mean    MCAR      0.2          rmse    0.85        2       0
    >>> print(study.table(digits=2, format="markdown"))
    | mechanism | missing rate | zero (rmse) | mean (rmse) |
    |---|---:|---:|---:|
    | MCAR | 0.2 | 1.10 ± 0.14 | 0.85 ± 0.07 |
    <BLANKLINE>
    """

    scores: pd.DataFrame
    dataset: str | None = field(default=None, kw_only=True)

    @property
    def summary(self) -> pd.DataFrame:
        """The scores summarised over the repeats.

        Returns
        -------
        summary : DataFrame
            One row per imputer, mechanism, missing rate and metric, in the
            study's order, with the mean and standard deviation (``std``) of
            the score over the repeats, the number of repeats that had
            removed cells to score (``repeats``: a MAR call may remove cells
            from text columns only, say), and the number that failed
            (``failed``).
        """
        scores = self.scores.assign(failed=self.scores["error"].notna()) if "error" in self.scores else \
            self.scores.assign(failed=False)
        grouped = scores.groupby(KEYS, sort=False)
        summary = grouped["score"].agg(["mean", "std", "count"]).rename(columns={"count": "repeats"})
        summary["failed"] = grouped["failed"].sum().astype(int)
        return summary

    def table(self, *, digits: int = 3, format: str | None = None) -> Any:
        """The summary as text, one row per mechanism and rate, one column per
        metric and imputer.

        Parameters
        ----------
        digits : int, default=3
            Decimals of the scores.
        format : {None, "markdown", "latex"}, default=None
            None gives a DataFrame; "markdown" and "latex" give the table as
            a text in that format, for a report or a paper.

        Returns
        -------
        table : DataFrame or str
            Each cell is "mean ± std" over the scored repeats (the mean alone
            from one, "-" from none), followed by "(k failed)" when k repeats
            failed, or "failed" when all did.
        """
        s = self.summary.reset_index()
        s["cell"] = [_cell(m, d, n, f, digits) for m, d, n, f in zip(s["mean"], s["std"], s["repeats"], s["failed"])]
        wide = s.pivot(index=["mechanism", "missing_rate"], columns=["metric", "imputer"], values="cell")
        rows = self.scores.drop_duplicates(["mechanism", "missing_rate"])[["mechanism", "missing_rate"]]
        columns = [(m, i) for m in dict.fromkeys(self.scores["metric"]) for i in dict.fromkeys(self.scores["imputer"])]
        table = wide.reindex(index=pd.MultiIndex.from_frame(rows),
                             columns=pd.MultiIndex.from_tuples(columns, names=["metric", "imputer"]))
        if format is None:
            return table
        return export_table(table, format)

    # The method and the function are one: Evaluation.plot(...) is
    # plot_evaluation(evaluation, ...).
    plot = plot_evaluation

    def __repr__(self) -> str:
        return f"Evaluation of {len(self.scores)} scores:\n{self.table().to_string()}"


def evaluate_imputers(
    data: pd.DataFrame | npt.NDArray[Any],
    imputers: Mapping[str, Any] | Sequence[Any],
    generators: Mapping[str, Generator] | Sequence[Generator],
    missing_rates: float | Sequence[float],
    *,
    repeats: int = 5,
    metric: str | Sequence[str] = "rmse",
    progress: bool | None = None,
    exclude: Sequence[Any] | None = None,
    raise_errors: bool = False,
    dataset: str | None = None,
) -> Evaluation:
    """Scores imputers on the cells that generators remove from ``data``.

    For each generator, each rate and each repeat (in that order), the data is
    amputated once (:func:`porosa_kit.amputate`), and every imputer is fitted
    and applied to it (a fresh clone of it, for a scikit-learn estimator) and
    scored on exactly the cells that call removed:

    - numeric columns (numbers, nullable numbers, booleans) by ``metric``,
      "rmse" or "mae" (or both, as a list), of standardised values: each
      column centred on the mean and scaled by the standard deviation of its
      values in ``data``, all the columns' removed cells pooled;
    - text and categorical columns by "accuracy", the share of removed cells
      imputed with their own value.

    Other columns (datetimes) are not scored. Seeded generators make the whole
    study reproducible: each continues its own stream through the loop, so
    build them afresh (with their seeds) to repeat a study.

    A study does not stop at a failure. An amputation or an imputation that
    raises is recorded in the scores (``error``, with a NaN score) and the
    study goes on; the summary and the table count the failed repeats. An
    imputer that returns fewer columns than it was given (scikit-learn's drop
    a column left with no value) is matched to the data by column label and
    scored on the columns it returned; ``dropped`` names the others, and
    those it returned without any value.

    Parameters
    ----------
    data : DataFrame or 2-D array
        The complete (or partly missing) table.
    imputers : dict of str to imputer, or list
        An imputer is an object with ``fit_transform`` or a function of the
        amputated data; it returns data of the same shape (an array, or a
        frame with the same columns). A list is named by ``repr``.
        :class:`porosa_kit.MixedImputer` makes a numeric imputer fit for
        frames with text columns.
    generators : dict of str to generator, or list
        porosa's ``MAR`` and ``MNAR``, :class:`porosa_kit.MCAR`, or any
        callable ``generator(data, missing_rate)``.
    missing_rates : float or list of float
        The rates, in the order the results show them.
    repeats : int, default=5
        Amputations per generator and rate.
    metric : str or list of str, default="rmse"
        "rmse", "mae" or both, for the numeric columns.
    progress : bool or None, default=None
        A bar on standard error during a long study; by default only when
        that is a terminal.
    exclude : list of labels, default=None
        Columns that are never amputated and never scored, such as a target or
        an ID (column positions for an array). The imputers see them, intact,
        as they would in use; drop them from ``data`` to keep them away from
        the imputers too. The missing rate is of the other columns' cells.
    raise_errors : bool, default=False
        Stop at the first failure, with its exception, instead of recording
        it; an imputer that drops columns is then a failure too.
    dataset : str, default=None
        The data set's name, kept in the result for titles.

    Returns
    -------
    evaluation : Evaluation
        The scores with their summary, table and plot.

    Raises
    ------
    ValueError
        For an unknown metric, fewer than one repeat, no imputer, generator
        or rate, or two imputers or generators of a list with one name.

    Examples
    --------
    >>> import numpy as np
    >>> import pandas as pd
    >>> from porosa import MNAR
    >>> from porosa_kit import MCAR, evaluate_imputers
    >>> rng = np.random.default_rng(0)
    >>> x = rng.normal(size=200)
    >>> data = pd.DataFrame({"x": x, "y": 2 * x + rng.normal(scale=0.5, size=200),
    ...                      "z": rng.normal(size=200)})
    >>> study = evaluate_imputers(
    ...     data,
    ...     {"zero": lambda holes: holes.fillna(0), "mean": lambda holes: holes.fillna(holes.mean())},
    ...     {"MCAR": MCAR(random_seed=1), "MNAR MAX": MNAR(mode="MAX", random_seed=2)},
    ...     [0.1, 0.3], repeats=3)
    >>> print(study.table(digits=2).to_string())
    metric                         rmse
    imputer                        zero         mean
    mechanism missing_rate
    MCAR      0.1           0.91 ± 0.03  0.92 ± 0.03
              0.3           1.04 ± 0.07  1.06 ± 0.07
    MNAR MAX  0.1           1.66 ± 0.04  1.84 ± 0.05
              0.3           1.09 ± 0.04  1.42 ± 0.04
    """
    imputer_items = _named(imputers, "imputers")
    generator_items = _named(generators, "generators")
    rates = [float(missing_rates)] if isinstance(missing_rates, (int, float)) else [float(r) for r in missing_rates]
    metrics = [metric] if isinstance(metric, str) else list(metric)
    for m in metrics:
        if m not in METRICS:
            raise ValueError(f"unknown metric {m!r}; expected one of {', '.join(METRICS)}")
    if repeats < COUNT.low:
        raise ValueError(f"repeats must be {COUNT.bounds}, not {repeats}")
    if not rates or not imputer_items or not generator_items:
        raise ValueError("give at least one imputer, one generator and one missing rate")

    # Polars and Arrow tables are studied as pandas frames: the imputers get those.
    data = to_pandas(data)[0]
    truth = _Truth(data, exclude)
    rows: list[dict[str, Any]] = []
    bar = _Progress(len(generator_items) * len(rates) * repeats * len(imputer_items), progress)
    try:
        for g_name, generator in generator_items:
            for rate in rates:
                for repeat in range(repeats):
                    where = {"mechanism": g_name, "missing_rate": rate, "repeat": repeat}
                    try:
                        holes = amputate(data, generator, rate, exclude=exclude)
                        removed = np.asarray(missing_mask(data, holes), dtype=bool)
                    except BaseException as e:
                        _reraise(e, raise_errors)
                        for i_name, _ in imputer_items:
                            rows += truth.failed({**where, "imputer": i_name}, metrics, f"amputation: {_reason(e)}")
                            bar.advance()
                        continue
                    for i_name, imputer in imputer_items:
                        what = {**where, "imputer": i_name}
                        try:
                            rows += _score(truth, imputer, holes, removed, metrics, what, raise_errors)
                        except BaseException as e:
                            _reraise(e, raise_errors, f"while {i_name} imputed the data {g_name} amputated "
                                                      f"at rate {rate} (repeat {repeat})")
                            rows += truth.failed(what, metrics, _reason(e))
                        bar.advance()
    finally:
        bar.close()
    return Evaluation(pd.DataFrame(rows, columns=COLUMNS), dataset=dataset)


COLUMNS = ["mechanism", "missing_rate", "repeat", "imputer", "metric", "score", "cells", "seconds", "dropped", "error"]


def _score(truth: _Truth, imputer: Any, holes: Any, removed: npt.NDArray[np.bool_], metrics: list[str],
           what: dict[str, Any], strict: bool) -> list[dict[str, Any]]:
    t0 = time.perf_counter()
    result, fitted = _impute(imputer, holes)
    seconds = time.perf_counter() - t0
    filled, scored = truth.align(result, fitted, removed, strict)
    dropped = ", ".join(str(c) for c, kept in zip(truth.labels, scored) if not kept)
    return [{**what, "metric": name, "score": score, "cells": cells, "seconds": seconds,
             "dropped": dropped, "error": None}
            for name, score, cells in truth.scores(filled, removed & scored, metrics)]


def _reraise(e: BaseException, strict: bool, note: str | None = None) -> None:
    """Raises e again unless it is one failure of a study that goes on."""
    if isinstance(e, (KeyboardInterrupt, SystemExit, GeneratorExit, MemoryError)):
        raise e
    if strict:
        if note is not None:
            e.add_note(note)
        raise e


def _cell(mean: float, std: float, scored: int, failed: int, digits: int) -> str:
    if scored == 0:
        return "failed" if failed else "-"
    text = f"{mean:.{digits}f}" if scored == 1 else f"{mean:.{digits}f} ± {std:.{digits}f}"
    return f"{text} ({failed} failed)" if failed else text


def _reason(e: BaseException) -> str:
    """The exception as one line: "Type: message", a long message cut short."""
    text = " ".join(str(e).split())
    if len(text) > 200:
        text = text[:199] + "…"
    return f"{type(e).__name__}: {text}" if text else type(e).__name__


def _named(items: Mapping[str, Any] | Sequence[Any], what: str) -> list[tuple[str, Any]]:
    if isinstance(items, Mapping):
        pairs = [(str(k), v) for k, v in items.items()]
    else:
        pairs = [(getattr(v, "__name__", None) or repr(v), v) for v in items]
        names = [n for n, _ in pairs]
        if len(set(names)) != len(names):
            raise ValueError(f"two of the {what} have the same name {names}: pass a dict of name to object")
    return pairs


def _impute(imputer: Any, holes: Any) -> tuple[Any, Any]:
    """The imputed data, and the fitted estimator (None for a function)."""
    if hasattr(imputer, "fit_transform"):
        try:
            from sklearn.base import clone
        except ImportError:
            estimator = imputer
        else:
            estimator = clone(imputer) if hasattr(imputer, "get_params") else imputer
        return estimator.fit_transform(holes), estimator
    if callable(imputer):
        return imputer(holes), None
    raise TypeError(f"an imputer needs fit_transform or must be callable, not {type(imputer).__name__}")


class _Truth:
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

    def failed(self, what: dict[str, Any], metrics: list[str], error: str) -> list[dict[str, Any]]:
        """The rows of an imputation that failed: one per metric it would have had."""
        names = (metrics if self.numeric else []) + (["accuracy"] if self.text else [])
        return [{**what, "metric": name, "score": float("nan"), "cells": 0, "seconds": float("nan"),
                 "dropped": "", "error": error} for name in names or metrics[:1]]

    def scores(self, filled: pd.DataFrame, removed: npt.NDArray[np.bool_],
               metrics: list[str]) -> list[tuple[str, float, int]]:
        out: list[tuple[str, float, int]] = []
        if self.numeric:
            where = removed[:, self.numeric]
            guess = np.column_stack([_as_float(filled.iloc[:, j]) for j in self.numeric])
            err = ((guess - self.values) / self.scale)[where]
            for m in metrics:
                if not err.size:
                    score = float("nan")
                elif m == "rmse":
                    score = float(np.sqrt(np.mean(err**2)))
                else:
                    score = float(np.mean(np.abs(err)))
                out.append((m, score, int(err.size)))
        if self.text:
            hits = 0
            cells = 0
            for k, j in enumerate(self.text):
                rows = removed[:, j]
                got = filled.iloc[:, j].to_numpy(dtype=object)[rows]
                want = self.text_values[k][rows]
                hits += sum(bool(a == b) for a, b in zip(got, want))
                cells += int(rows.sum())
            out.append(("accuracy", hits / cells if cells else float("nan"), cells))
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


class _Progress:
    """A one-line bar on a terminal, drawn once a study has run `delay`
    seconds, so that short studies print nothing."""

    def __init__(self, total: int, show: bool | None, stream: IO[str] | None = None,
                 delay: float = 0.5, clock: Callable[[], float] = time.monotonic) -> None:
        self.stream = stream if stream is not None else sys.stderr
        isatty = getattr(self.stream, "isatty", None)
        self.show = bool(isatty and isatty()) if show is None else show
        self.total = total
        self.done = 0
        self.delay = delay
        self.clock = clock
        self.start = clock()
        self.last = -1.0
        self.drawn = False

    def advance(self) -> None:
        self.done += 1
        now = self.clock()
        if self.show and now - self.start >= self.delay and (now - self.last >= 0.1 or self.done == self.total):
            self._draw(now)

    def _draw(self, now: float) -> None:
        width = 30
        full = width * self.done // max(self.total, 1)
        self.stream.write(f"\rporosa_kit [{'#' * full}{'.' * (width - full)}] "
                          f"{self.done}/{self.total} {now - self.start:.0f} s")
        self.stream.flush()
        self.last = now
        self.drawn = True

    def close(self) -> None:
        if self.drawn:
            self.stream.write("\n")
            self.stream.flush()
