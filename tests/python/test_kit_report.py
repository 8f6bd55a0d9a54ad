"""Evaluation's table: the repeats behind each cell, huge scores, diverged
imputations, dropped columns and the notes under it."""

import numpy as np
import pandas as pd
import pytest

from porosa_kit import Evaluation

DIVERGED = "diverged: an error above 1e+06 standard deviations (the imputer's values ran away)"
ALIKE = "accuracy: every imputer alike (MixedImputer fills text with its most frequent value)"


def evaluation(change=None, accuracy=False):
    """Imputers A and B, three repeats of one mechanism and rate; `change`
    edits the scores."""
    scores = pd.DataFrame({"mechanism": "M", "missing_rate": 0.2, "repeat": [0, 1, 2] * 2, "imputer": list("AAABBB"),
                           "metric": "rmse", "score": [0.9, 1.0, 1.1, 1.9, 2.0, 2.1], "cells": 5, "seconds": 0.0,
                           "dropped": "", "error": None})
    if accuracy:
        scores = pd.concat([scores, scores.assign(metric="accuracy", score=[0.5, 0.6, 0.7] * 2)], ignore_index=True)
    if change is not None:
        change(scores)
    return Evaluation(scores)


def at(imputer, repeat, **values):
    def change(scores):
        rows = (scores["imputer"] == imputer) & (scores["repeat"] == repeat) & (scores["metric"] == "rmse")
        for column, value in values.items():
            scores.loc[rows, column] = value
    return change


@pytest.mark.parametrize("change, accuracy, row, notes", [
    (None, False, "| M | 0.2 | 3 | 1.000 ± 0.100 | 2.000 ± 0.100 |", []),
    # 2.4e100 in scientific notation, not a hundred digits, and flagged.
    (at("B", 1, score=2.4e100), False, "| M | 0.2 | 3 | 1.000 ± 0.100 | 8.000e+99 ± 1.386e+100 (1 diverged) |",
     [DIVERGED]),
    (at("B", 1, score=np.inf), False, "| M | 0.2 | 3 | 1.000 ± 0.100 | inf ± nan (1 diverged) |", [DIVERGED]),
    (at("A", 2, score=np.nan, error="ValueError: no"), False, "| M | 0.2 | 3 | 0.950 ± 0.071 (1 failed) | "
     "2.000 ± 0.100 |", []),
    # A repeat with no cell to score is no failure, but fewer repeats were scored.
    (at("A", 2, score=np.nan), False, "| M | 0.2 | 3 | 0.950 ± 0.071 (2 scored) | 2.000 ± 0.100 |", []),
    (at("B", 0, dropped="e, f"), False, "| M | 0.2 | 3 | 1.000 ± 0.100 | 2.000 ± 0.100 | B: e, f |", []),
    (None, True, "| M | 0.2 | 3 | 1.000 ± 0.100 | 2.000 ± 0.100 | 0.600 ± 0.100 | 0.600 ± 0.100 |", [ALIKE]),
])
def test_table_cells_and_notes(change, accuracy, row, notes):
    study = evaluation(change, accuracy)
    lines = study.table(format="markdown").splitlines()
    assert lines[0].startswith("| mechanism | missing rate | repeats | A (rmse) | B (rmse) |")
    assert lines[2] == row and lines[3:] == ([""] + notes if notes else [])
    printed = repr(study).splitlines()
    assert study.table().attrs["notes"] == notes and printed[len(printed) - len(notes):] == notes
    assert study.summary["diverged"].sum() == (DIVERGED in notes)
