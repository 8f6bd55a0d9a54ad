"""What a study's table and figure flag beside the scores: imputations that
diverged, and text that every imputer filled alike."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._metrics import unbounded

# The errors are in standard deviations of each column: filling with the
# mean misses by about one, a poor imputer by a few. A million is beyond any
# imputer that merely does badly, and where an iterative imputer runs away
# its errors reach 1e100 and more.
DIVERGED = 1e6

DIVERGED_NOTE = f"diverged: an error above {DIVERGED:g} standard deviations (the imputer's values ran away)"
TEXT_NOTE = "accuracy: every imputer alike (MixedImputer fills text with its most frequent value)"


def diverged(scores: pd.DataFrame) -> npt.NDArray[np.bool_]:
    """The rows of `scores` whose imputation diverged (an infinite error too)."""
    metric = scores["metric"].isin(unbounded()).to_numpy(dtype=bool)
    return np.asarray(metric & (np.abs(scores["score"].to_numpy(dtype=np.float64)) > DIVERGED), dtype=bool)


def text_alike(scores: pd.DataFrame) -> bool:
    """Whether at least two imputers scored accuracy, and every amputation
    gave them all the same score."""
    accuracy = scores[scores["metric"] == "accuracy"]
    keys = [k for k in ("dataset", "mechanism", "missing_rate", "repeat") if k in accuracy]
    if accuracy.empty or not keys:
        return False
    grouped = accuracy.groupby(keys, sort=False)["score"]
    return bool(grouped.count().max() >= 2 and (grouped.nunique() <= 1).all())
