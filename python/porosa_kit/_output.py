"""How any imputer's result is read by column label."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd


def output_frame(result: Any, fitted: Any, labels: Sequence[Any], index: pd.Index | None = None) -> pd.DataFrame:
    """An imputer's result as a frame labelled by column, so that a column it
    left out (scikit-learn's imputers drop one that had no value at fit) can
    be told by its label. A frame keeps its own labels. An array takes
    `labels`, or, when it has fewer columns, the names the fitted imputer
    gives its output; an imputer fitted on an array names them "x0", "x1",
    ..., which stand for labels[0], labels[1], ...."""
    if isinstance(result, pd.DataFrame):
        return result
    values = np.asarray(result)
    names = list(labels)
    if values.ndim == 2 and values.shape[1] < len(names) and hasattr(fitted, "get_feature_names_out"):
        given = [str(n) for n in fitted.get_feature_names_out()]
        names = given if hasattr(fitted, "feature_names_in_") else [labels[int(n[1:])] for n in given]
    return pd.DataFrame(values, index=index, columns=names if len(names) == values.shape[-1] else None)
