"""Evaluation: a study's scores, with their summary, table and figure."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

import pandas as pd

from ._export import export_table
from ._flags import DIVERGED_NOTE, TEXT_NOTE, diverged, text_alike
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
    random_state : int, default=None
        The seed the study's descriptions of mechanisms ran with.

    Attributes
    ----------
    scores : DataFrame
        One row per table, mechanism, rate, repeat, imputer and metric, in
        the study's order, with the columns ``dataset`` (the table's name),
        ``mechanism``, ``missing_rate``,
        ``repeat``, ``imputer``, ``metric``, ``score``, ``cells`` (the removed
        cells the score is over), ``seconds`` (the imputer's fit and
        transform), ``dropped`` (the labels of the columns the imputer left out
        of its result, which are not scored, as one text; empty when none) and
        ``error`` (why that amputation or imputation failed, as
        "Type: message"; None when it did not). A failed row has the score
        NaN and no cells.
    dataset : str or None
        The data set's name, for titles.
    random_state : int or None
        The seed the study's descriptions of mechanisms ran with: give it
        to :func:`evaluate_imputers` to repeat the study.
    summary : DataFrame
        The scores' mean, spread and counts per imputer, mechanism, rate and
        metric (and table, when the scores have more than one).

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
    | mechanism | missing rate | repeats | zero (rmse) | mean (rmse) |
    |---|---:|---:|---:|---:|
    | MCAR | 0.2 | 2 | 1.10 ± 0.14 | 0.85 ± 0.07 |
    <BLANKLINE>
    """

    scores: pd.DataFrame
    dataset: str | None = field(default=None, kw_only=True)
    random_state: int | None = field(default=None, kw_only=True)

    @property
    def datasets(self) -> list[str]:
        """The names of the study's tables, in its order (none for scores
        without a ``dataset`` column)."""
        return list(dict.fromkeys(self.scores["dataset"])) if "dataset" in self.scores else []

    def _keys(self) -> list[str]:
        # One table's results read as they always did: no level for its name.
        return (["dataset"] if len(self.datasets) > 1 else []) + KEYS

    @property
    def summary(self) -> pd.DataFrame:
        """The scores summarised over the repeats.

        Returns
        -------
        summary : DataFrame
            One row per imputer, mechanism, missing rate and metric (after
            the table's name, when the study has several), in the study's order, with the mean and standard deviation (``std``) of
            the score over the repeats, the number of repeats that had
            removed cells to score (``repeats``: a MAR call may remove cells
            from text columns only, say), the number that failed
            (``failed``) and the number of scored ones that diverged
            (``diverged``: an RMSE or MAE above 1e6, in standard deviations
            of the columns, where the imputer's values ran away; the mean and
            spread include them).
        """
        failed = self.scores["error"].notna() if "error" in self.scores else False
        scores = self.scores.assign(failed=failed, diverged=diverged(self.scores))
        grouped = scores.groupby(self._keys(), sort=False)
        summary = grouped["score"].agg(["mean", "std", "count"]).rename(columns={"count": "repeats"})
        summary["failed"] = grouped["failed"].sum().astype(int)
        summary["diverged"] = grouped["diverged"].sum().astype(int)
        return summary

    def table(self, *, digits: int = 3, format: str | None = None, dataset: str | None = None) -> Any:
        """The summary as text, one row per mechanism and rate (per table,
        mechanism and rate, when the study has several tables) with the
        number of its repeats, one column per metric and imputer, and the
        columns the imputers dropped.

        Parameters
        ----------
        digits : int, default=3
            Decimals of the scores.
        format : {None, "markdown", "latex"}, default=None
            None gives a DataFrame; "markdown" and "latex" give the table as
            a text in that format, for a report or a paper.
        dataset : str, default=None
            Only this table's rows, without its name; by default every table's.

        Returns
        -------
        table : DataFrame or str
            The rows' last label, ``repeats``, is the number of repeats run.
            Each cell is "mean ± std" over the scored repeats (the mean alone
            from one, "-" from none), scores of a million or more in
            scientific notation, followed by what sets repeats apart: "k failed",
            "k scored" when others had no cell to score, "k diverged"; or
            "failed" when all failed. A cell is empty where the table has no
            column for the metric (accuracy without text columns). The column
            ``dropped``, there when an imputer dropped a column, names them
            per imputer. The notes below the table (in ``table.attrs["notes"]``
            for a DataFrame) say what "diverged" means, and when every imputer
            scored the same accuracy.
        """
        if dataset is not None:
            return self.select(dataset).table(digits=digits, format=format)
        index = self._keys()[:-4] + ["mechanism", "missing_rate"]
        s = self.summary.reset_index()
        ran = _ran(self.scores, index)
        runs = [int(ran.loc[key]) for key in s[index].itertuples(index=False, name=None)]
        s["cell"] = [_cell(m, d, n, f, k, r, digits) for m, d, n, f, k, r in
                     zip(s["mean"], s["std"], s["repeats"], s["failed"], s["diverged"], runs)]
        wide = s.pivot(index=index, columns=["metric", "imputer"], values="cell")
        rows = self.scores.drop_duplicates(index)[index]
        columns = [(m, i) for m in dict.fromkeys(self.scores["metric"]) for i in dict.fromkeys(self.scores["imputer"])]
        # Empty where a table has no column the metric scores (no text for accuracy).
        table = wide.reindex(index=pd.MultiIndex.from_frame(rows),
                             columns=pd.MultiIndex.from_tuples(columns, names=["metric", "imputer"])).fillna("")
        table = _with_repeats_and_drops(table, self.scores, ran, index)
        table.attrs["notes"] = self._notes()
        if format is None:
            return table
        return export_table(table, format)

    def _notes(self) -> list[str]:
        notes = [DIVERGED_NOTE] if diverged(self.scores).any() else []
        return notes + ([TEXT_NOTE] if text_alike(self.scores) else [])

    def select(self, dataset: str) -> Evaluation:
        """The evaluation of one of the study's tables.

        Parameters
        ----------
        dataset : str
            The table's name.

        Returns
        -------
        evaluation : Evaluation
            Its scores alone, named by it.

        Raises
        ------
        ValueError
            For a name the study has no table of.
        """
        if dataset not in self.datasets:
            raise ValueError(f"no dataset {dataset!r} in this evaluation; it has {', '.join(map(repr, self.datasets))}")
        scores = self.scores[self.scores["dataset"] == dataset].reset_index(drop=True)
        return Evaluation(scores, dataset=dataset, random_state=self.random_state)

    # The method and the function are one: Evaluation.plot(...) is
    # plot_evaluation(evaluation, ...).
    plot = plot_evaluation

    def __repr__(self) -> str:
        table = self.table()
        notes = "".join(f"\n{note}" for note in table.attrs["notes"])
        return f"Evaluation of {len(self.scores)} scores:\n{table.to_string()}{notes}"


def _ran(scores: pd.DataFrame, index: list[str]) -> pd.Series:
    """The repeats each table, mechanism and rate ran: those with a score
    row, or, for scores without repeat numbers, the most rows any imputer
    and metric there had."""
    if "repeat" in scores:
        return scores.groupby(index, sort=False)["repeat"].nunique()
    return scores.groupby([*index, "imputer", "metric"], sort=False).size().groupby(level=index).max()


def _with_repeats_and_drops(table: pd.DataFrame, scores: pd.DataFrame, ran: pd.Series,
                            index: list[str]) -> pd.DataFrame:
    """The table with the repeats run as the rows' last label and, when an
    imputer dropped columns, a column that names them."""
    keys = list(table.index)
    table.index = pd.MultiIndex.from_tuples([(*key, int(ran.loc[key])) for key in keys],
                                            names=[*table.index.names, "repeats"])
    if "dropped" not in scores or not (scores["dropped"].fillna("") != "").any():
        return table
    dropped = scores[scores["dropped"].fillna("") != ""]
    named = {}
    for key, rows in dropped.groupby(index, sort=False):
        by_imputer = {imputer: list(dict.fromkeys(", ".join(part["dropped"]).split(", ")))
                      for imputer, part in rows.groupby("imputer", sort=False)}
        named[key] = "; ".join(f"{imputer!s}: {', '.join(labels)}" for imputer, labels in by_imputer.items())
    table[("dropped", "")] = [named.get(key, "") for key in keys]
    return table


def _number(value: float, digits: int) -> str:
    # 2.4e100 as 2.400e+100, not a hundred digits.
    return f"{value:.{digits}e}" if abs(value) >= 1e6 else f"{value:.{digits}f}"


def _cell(mean: float, std: float, scored: int, failed: int, diverged: int, runs: int, digits: int) -> str:
    if scored == 0:
        return "failed" if failed else "-"
    text = _number(mean, digits) if scored == 1 else f"{_number(mean, digits)} ± {_number(std, digits)}"
    # Failures account for their repeats; any others left had no cell to score.
    notes = [f"{scored} scored"] if scored + failed < runs else []
    notes += [f"{failed} failed"] if failed else []
    notes += [f"{diverged} diverged"] if diverged else []
    return f"{text} ({', '.join(notes)})" if notes else text


