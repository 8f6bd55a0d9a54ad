"""Tables the command line cannot amputate or study, refused before any work
with the reason, rather than with whatever fails deep inside."""

from __future__ import annotations

import shlex
from collections.abc import Sequence

import numpy as np
import pandas as pd

from ._cli_errors import USAGE, Failure

# Cells that porosa would read as texts, their str(): amputated as such, a
# list or a record would come back as a text, and scikit-learn's imputers
# cannot fill them at all.
_NESTED = (list, tuple, dict, set, np.ndarray)
_BINARY = (bytes, bytearray, memoryview)


def check_table(frame: pd.DataFrame, name: str, exclude: Sequence[str], *, study: bool) -> None:
    """Fails unless `frame` can be amputated (`study`: and imputed) with
    the columns in `exclude` left out; `name` names the file."""
    missing = [c for c in exclude if c not in frame.columns]
    if missing:
        raise Failure(f"--exclude {missing[0]}: {name} has no such column; its columns are "
                      f"{', '.join(map(str, frame.columns))}", USAGE)
    verb = "study" if study else "amputate"
    if frame.shape[1] == 0:
        raise Failure(f"{name} has no columns: nothing to {verb}")
    if frame.shape[0] == 0:
        raise Failure(f"{name} has a header but no rows: nothing to {verb}")
    kept = [j for j, label in enumerate(frame.columns) if label not in exclude]
    # A study hands the excluded columns to the imputers too.
    for j in range(frame.shape[1]) if study else kept:
        _check_column(frame.iloc[:, j], name, study)
    _check_count(frame, kept, name, study)


def _check_column(column: pd.Series, name: str, study: bool) -> None:
    held = cell_kind(column)
    if held is None:
        return
    if study:
        raise Failure(f"{name}: column {str(column.name)!r} holds {held}, which can be neither amputated nor "
                      "imputed; remove it from the file")
    raise Failure(f"{name}: column {str(column.name)!r} holds {held}, which cannot be amputated; leave it out "
                  f"with --exclude {shlex.quote(str(column.name))}")


def cell_kind(column: pd.Series) -> str | None:
    """What makes the column's cells unfit ("lists or records", "bytes"), None if nothing."""
    dtype = column.dtype
    if isinstance(dtype, pd.ArrowDtype):
        import pyarrow as pa

        arrow = dtype.pyarrow_dtype
        if pa.types.is_nested(arrow):
            return "lists or records"
        binary = pa.types.is_binary(arrow) or pa.types.is_large_binary(arrow) or pa.types.is_fixed_size_binary(arrow)
        return "bytes" if binary else None
    if dtype != object:
        return None
    kinds = set(map(type, column.dropna()))
    if any(issubclass(k, _NESTED) for k in kinds):
        return "lists or records"
    if any(issubclass(k, _BINARY) for k in kinds):
        return "bytes"
    return None


def _check_count(frame: pd.DataFrame, kept: list[int], name: str, study: bool) -> None:
    if not kept:
        raise Failure(f"--exclude leaves no column of {name} to amputate", USAGE)
    if len(kept) > 1:
        return
    label = str(frame.columns[kept[0]])
    besides = " besides the excluded ones" if len(kept) < frame.shape[1] else ""
    if study:
        raise Failure(f"evaluate needs at least two columns to amputate and impute; {name} has one{besides}, "
                      f"{label!r}")
    raise Failure(f"{name} has one column to amputate{besides}, {label!r}: the rate is capped at M - M / columns "
                  "(M from --max-missing-per-column), which is 0 for one column, so nothing would go missing")
