"""amputate() and missing_mask(): a generator's call on a DataFrame that gives
back the caller's frame, index, labels and dtypes, and the cells a call removed."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

import porosa

from ._errors import generate
from ._rules import MISSING_TEXTS
from ._tables import Table, TableT, to_pandas

Generator = Callable[[Any, float], Any]


class MaskGenerator:
    """A generator that chooses the cells to remove by where the values are,
    never by what they are. :func:`amputate` hands it only that, and writes
    its choice into the caller's own columns, with no copy converted for it
    to read."""

    def _removed(self, present: npt.NDArray[np.bool_], missing_rate: float) -> npt.NDArray[np.bool_]:
        """The cells a call removes, given the cells that hold a value (which
        it may overwrite)."""
        raise NotImplementedError


@overload
def amputate(data: pd.DataFrame, generator: Generator, missing_rate: float, *,
             exclude: Sequence[Any] | None = None) -> pd.DataFrame: ...
@overload
def amputate(
    data: npt.NDArray[np.float64], generator: Generator, missing_rate: float, *,
    exclude: Sequence[Any] | None = None,
) -> npt.NDArray[np.float64]: ...
@overload
def amputate(data: npt.NDArray[Any], generator: Generator, missing_rate: float, *,
             exclude: Sequence[Any] | None = None) -> npt.NDArray[Any]: ...
@overload
def amputate(data: TableT, generator: Generator, missing_rate: float, *,
             exclude: Sequence[Any] | None = None) -> TableT: ...
def amputate(data: Any, generator: Generator, missing_rate: float, *, exclude: Sequence[Any] | None = None) -> Any:
    """Remove values with a generator and give the data back in its own kind.

    Calls ``generator(data, missing_rate)``. A NumPy array goes straight to
    the generator, and its result comes back as the generator made it. A
    pandas DataFrame comes back with its own index, column labels and, column
    by column, its own dtype, or that dtype's nullable counterpart where it
    cannot hold a missing value (``int64`` becomes ``Int64``, ``uint8``
    becomes ``UInt8``, ``bool`` becomes ``boolean``). A Polars DataFrame or a
    pyarrow Table goes as a pandas DataFrame with Arrow-backed columns and
    comes back as a table of its own kind, with its column names, their order
    and each column's type (a Polars ``Enum`` stays an ``Enum``, ``Int64``
    stays ``Int64``); removed cells are null, which is what Polars and Arrow
    call missing.

    What the generator reads, column by column:

    - numbers, nullable numbers and booleans as float64 (missing as NaN), so
      the value modes order them by value;
    - datetimes, timedeltas and periods as their integer time, as float64;
    - ordered categoricals as their category codes, as float64;
    - unordered categoricals as the texts of their categories, and text and
      object columns as they are (missing as NaN); porosa label-encodes them;
    - in Polars and Arrow tables: dictionary columns (``Categorical``,
      ``Enum``) as unordered or ordered categoricals, the others as the pandas
      columns of the same type (texts as texts, numbers as numbers, times as
      times).

    Parameters
    ----------
    data : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
        The data to amputate, 2-D. It is never changed.
    generator : callable
        Any callable with porosa's call, ``generator(data, missing_rate)``:
        ``porosa.MAR``, ``porosa.MNAR``, :class:`porosa_kit.MCAR`, or one of
        your own that takes a DataFrame and a rate and returns a DataFrame of
        the same shape with the removed cells missing.
    missing_rate : float
        The share of the cells to remove, as the generator reads it.
    exclude : sequence of labels, default=None
        Columns that are never amputated (labels, or positions for an array),
        such as a target or an ID: the generator sees only the other columns,
        so the missing rate is of their cells, and the excluded columns come
        back as they were.

    Returns
    -------
    amputated : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
        A new object of the kind of ``data``. Kept cells hold their original
        values; removed cells hold the column's own missing value (NaN,
        ``pd.NA``, NaT, or NaN in a categorical or object column). Cells that
        were already missing stay missing and are never counted as removed.
        A table without a cell (no rows, no columns, or all of them
        excluded) comes back with nothing removed.

    Raises
    ------
    TypeError
        For data of another kind.
    ValueError
        For data the generator cannot process; when porosa stops with its
        PanicException, that is the ValueError's cause, and its text the
        message.

    See Also
    --------
    missing_mask : The cells that a call removed.

    Examples
    --------
    >>> import pandas as pd
    >>> from porosa import MNAR
    >>> from porosa_kit import amputate
    >>> frame = pd.DataFrame({
    ...     "age": [34, 51, 29, 62, 45, 38],
    ...     "ward": pd.Categorical(["A", "B", "A", "C", "B", "A"]),
    ...     "weight": [71.5, 80.2, 64.0, 90.1, 77.3, 68.8],
    ... }, index=[11, 12, 13, 14, 15, 16])
    >>> holes = amputate(frame, MNAR(mode="MAX", random_seed=0), 0.25)
    >>> holes
         age ward  weight
    11  <NA>  NaN    71.5
    12    51    B    80.2
    13  <NA>    A     NaN
    14    62    C    90.1
    15    45    B    77.3
    16    38  NaN    68.8
    >>> [str(dtype) for dtype in holes.dtypes]
    ['Int64', 'category', 'float64']
    """
    # Checked here, not by the generator: porosa tells data kinds by their
    # type's name, and fails with an exception that is no Exception on an
    # object named DataFrame that is not pandas'.
    converted, back = to_pandas(data)
    if exclude is not None and len(exclude) > 0:
        return back(_amputate_part(converted, generator, missing_rate, exclude))
    if isinstance(converted, pd.DataFrame):
        return back(_amputate_frame(converted, generator, missing_rate))
    return generate(generator, converted, missing_rate)


def _amputate_frame(data: pd.DataFrame, generator: Generator, missing_rate: float) -> pd.DataFrame:
    columns = [data.iloc[:, j] for j in range(data.shape[1])]
    if isinstance(generator, MaskGenerator):
        missing = _stack([column_missing(c) for c in columns], len(data))
        removed = generator._removed(~missing, missing_rate)
        return _assemble(data, [_restore(c, removed[:, j]) for j, c in enumerate(columns)])

    floats = [isinstance(c.dtype, np.dtype) and c.dtype == np.float64 for c in columns]
    views: list[Any] | None = None
    if all(floats):
        given = data.copy(deep=False)
    else:
        views = [column_view(c) for c in columns]
        given = pd.DataFrame(dict(enumerate(views)), copy=False)
    # Plain positional labels: porosa takes labels that are all texts or all
    # integers, and the caller's may be neither, or repeat.
    given.columns = pd.RangeIndex(data.shape[1])
    result = generate(generator, given, missing_rate)
    if not isinstance(result, pd.DataFrame) or result.shape != data.shape:
        raise TypeError(f"the generator returned {type(result).__name__} of shape "
                        f"{getattr(result, 'shape', None)} for a DataFrame of shape {data.shape}")

    reuse = isinstance(generator, (porosa.MAR, porosa.MNAR))
    if reuse and all(floats):
        # porosa's float64 columns already hold the kept values bit for bit,
        # NaN everywhere else: the result frame needs only the caller's labels.
        result.index = data.index
        result.columns = data.columns
        result.attrs = dict(data.attrs)
        return result
    arrays: list[Any] = []
    for j, column in enumerate(columns):
        after = result.iloc[:, j]
        if reuse and floats[j] and after.dtype == np.float64:
            arrays.append(after.to_numpy())
            continue
        view = views[j] if views is not None else column.to_numpy()
        gone = after.isna().to_numpy(dtype=bool, copy=True)
        if isinstance(view, np.ndarray) and view.dtype == np.float64:
            gone &= ~np.isnan(view)
        else:
            # Only where the result is missing: a marker text there was missing before.
            at = np.flatnonzero(gone)
            gone[at] = ~_text_missing(np.asarray(view, dtype=object)[at])
        arrays.append(_restore(column, gone))
    return _assemble(data, arrays)


def excluded_positions(labels: Sequence[Any], exclude: Sequence[Any] | None) -> list[int]:
    """The positions of the columns named in `exclude` (every column a label
    names, if it repeats); ValueError for a label that names none."""
    if exclude is None:
        return []
    if isinstance(exclude, (str, bytes)) or not isinstance(exclude, Sequence | pd.Index | np.ndarray):
        exclude = [exclude]
    positions: list[int] = []
    for name in exclude:
        found = [j for j, label in enumerate(labels) if label == name]
        if not found:
            raise ValueError(f"exclude: no column {name!r}; the columns are {list(labels)}")
        positions += found
    return sorted(set(positions))


def _amputate_part(data: Any, generator: Generator, missing_rate: float, exclude: Sequence[Any]) -> Any:
    if isinstance(data, pd.DataFrame):
        skip = excluded_positions(list(data.columns), exclude)
        keep = [j for j in range(data.shape[1]) if j not in skip]
        amputated = iter(_amputate_frame(data.iloc[:, keep], generator, missing_rate).items())
        return _assemble(data, [data.iloc[:, j].array.copy() if j in skip else next(amputated)[1].array
                                for j in range(data.shape[1])])
    if data.ndim != 2:
        raise ValueError(f"expected 2-D data, got {data.ndim} dimensions")
    skip = excluded_positions(list(range(data.shape[1])), exclude)
    keep = [j for j in range(data.shape[1]) if j not in skip]
    part = np.asarray(generate(generator, data[:, keep], missing_rate))
    out = np.empty(data.shape, dtype=part.dtype)
    out[:, keep] = part
    kept = data[:, skip]
    if part.dtype == object and data.dtype.kind in "iub":
        kept = kept.astype(np.float64)  # as the generators give such cells: Python floats
    out[:, skip] = kept
    return out


Data = pd.DataFrame | npt.NDArray[Any] | Table


@overload
def missing_mask(before: pd.DataFrame, after: Data) -> pd.DataFrame: ...
@overload
def missing_mask(before: npt.NDArray[Any], after: Data) -> npt.NDArray[np.bool_]: ...
@overload
def missing_mask(before: TableT, after: Data) -> TableT: ...
def missing_mask(before: Any, after: Any) -> Any:
    """The cells that hold a value in ``before`` and are missing in ``after``.

    These are the cells a call removed, the ones an imputer is scored on.
    Cells are matched by position. Missing means what pandas calls missing
    (NaN, None, ``pd.NA``, NaT, and so null in a Polars or Arrow table) and,
    in text and object columns, the texts porosa reads as missing ("nan",
    "NaN", "<NA>"), which porosa itself writes into the text columns of an
    object array.

    Parameters
    ----------
    before : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
        The data before amputation, 2-D.
    after : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
        The data after it, of the same shape; it may be of another kind.

    Returns
    -------
    mask : ndarray of bool, DataFrame, polars.DataFrame or pyarrow.Table
        A boolean array when ``before`` is an array; a boolean DataFrame with
        ``before``'s index and labels when it is a DataFrame; a table of
        ``before``'s kind (Polars or Arrow) with its column names, every
        column boolean, when it is a table.

    Raises
    ------
    TypeError
        When either is of another kind.
    ValueError
        When their shapes differ, or either is not 2-D.

    See Also
    --------
    amputate : Remove values and give the data back in its own kind.

    Examples
    --------
    >>> import numpy as np
    >>> from porosa_kit import MCAR, missing_mask
    >>> before = np.arange(12.0).reshape(4, 3)
    >>> before[0, 0] = np.nan
    >>> after = MCAR(random_seed=0)(before, 0.25)
    >>> missing_mask(before, after)
    array([[False,  True, False],
           [ True, False, False],
           [False, False, False],
           [False,  True, False]])
    """
    before, back = to_pandas(before)
    had = ~_missing_cells(before)
    lost = _missing_cells(to_pandas(after)[0])
    if had.shape != lost.shape:
        raise ValueError(f"before has shape {had.shape} and after {lost.shape}")
    mask = had & lost
    if isinstance(before, pd.DataFrame):
        return back(pd.DataFrame(mask, index=before.index, columns=before.columns))
    return mask


def column_missing(column: pd.Series) -> npt.NDArray[np.bool_]:
    """The cells of one column that the generator reads as missing."""
    if getattr(column.dtype, "kind", "") == "f" and not isinstance(column.dtype, np.dtype):
        # An Arrow float column holds NaN beside its nulls, as a value to
        # pandas, yet the generator reads both as missing.
        return np.asarray(np.isnan(column.to_numpy(dtype=np.float64, na_value=np.nan)), dtype=bool)
    missing = column.isna().to_numpy(dtype=bool, copy=True)
    if textual(column.dtype):
        missing |= column.isin(MISSING_TEXTS).to_numpy(dtype=bool)
    return missing


def array_missing(values: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """The cells of an array that porosa reads as missing."""
    kind = values.dtype.kind
    if kind in "fc":
        return np.asarray(np.isnan(values), dtype=bool)
    if kind in "mM":
        return np.asarray(np.isnat(values), dtype=bool)
    if kind in "USO":
        flat = values.ravel()
        missing = _text_missing(flat.astype(object) if kind != "O" else flat)
        return missing.reshape(values.shape)
    return np.zeros(values.shape, dtype=bool)


def _missing_cells(data: Any) -> npt.NDArray[np.bool_]:
    if isinstance(data, pd.DataFrame):
        return _stack([column_missing(data.iloc[:, j]) for j in range(data.shape[1])], len(data))
    values = np.asarray(data)
    if values.ndim != 2:
        raise ValueError(f"expected 2-D data, got {values.ndim} dimensions")
    return array_missing(values)


def _text_missing(cells: npt.NDArray[np.object_]) -> npt.NDArray[np.bool_]:
    series = pd.Series(cells, dtype=object, copy=False)
    return (series.isna() | series.isin(MISSING_TEXTS)).to_numpy(dtype=bool)


def _stack(columns: list[npt.NDArray[np.bool_]], rows: int) -> npt.NDArray[np.bool_]:
    if not columns:
        return np.zeros((rows, 0), dtype=bool)
    return np.column_stack(columns)


def textual(dtype: Any) -> bool:
    """Whether porosa reads a column of this dtype as texts."""
    if isinstance(dtype, pd.CategoricalDtype):
        return not dtype.ordered
    if isinstance(dtype, pd.ArrowDtype):
        return str(dtype.pyarrow_dtype) in ("string", "large_string", "string_view")
    return isinstance(dtype, pd.StringDtype) or (isinstance(dtype, np.dtype) and dtype.kind in "OUS")


def _as_float(values: npt.NDArray[Any], missing: npt.NDArray[np.bool_] | None = None) -> npt.NDArray[np.float64]:
    out = values.astype(np.float64)
    if missing is not None and missing.any():
        out[missing] = np.nan
    return out


def integer_time(column: pd.Series) -> npt.NDArray[np.float64] | None:
    array = column.array
    if not hasattr(array, "asi8"):
        # pyarrow-backed times: through the NumPy dtype that pandas gives them,
        # in UTC when they have a time zone (its clock times repeat in autumn).
        try:
            if getattr(getattr(column.dtype, "pyarrow_dtype", None), "tz", None):
                column = column.dt.tz_convert(None)
            array = column.astype(getattr(column.dtype, "numpy_dtype")).array
        except (AttributeError, TypeError, ValueError):
            return None
        if not hasattr(array, "asi8"):
            return None
    return _as_float(array.asi8, np.asarray(array.isna(), dtype=bool))


def is_time(dtype: Any) -> bool:
    """Datetimes, timedeltas and periods: read by their integer time."""
    return getattr(dtype, "kind", "") in "mM" or isinstance(dtype, pd.PeriodDtype)


def column_view(column: pd.Series) -> Any:
    """What the generator reads for one column: a float64 array for the columns
    whose values have an order, the texts (or objects) otherwise."""
    dtype = column.dtype
    if isinstance(dtype, np.dtype):
        if dtype == np.float64:
            return column.array.to_numpy()
        if dtype.kind in "fiub":
            return column.to_numpy().astype(np.float64)
    if isinstance(dtype, pd.CategoricalDtype):
        codes = column.cat.codes.to_numpy()
        if dtype.ordered:
            return _as_float(codes, codes < 0)
        # Code -1, a missing cell, picks the NaN at the end.
        texts = np.array([str(c) for c in dtype.categories] + [np.nan], dtype=object)
        return texts[codes]
    if isinstance(dtype, pd.StringDtype):
        return column.to_numpy(dtype=object, na_value=np.nan)
    if is_time(dtype):
        times = integer_time(column)
        if times is not None:
            return times
    elif pd.api.types.is_bool_dtype(dtype) or (
            pd.api.types.is_numeric_dtype(dtype) and not pd.api.types.is_complex_dtype(dtype)):
        try:
            return column.to_numpy(dtype=np.float64, na_value=np.nan)
        except (TypeError, ValueError):
            pass
    if isinstance(dtype, np.dtype) and dtype.kind == "O":
        cells = column.to_numpy()
    else:
        cells = column.to_numpy(dtype=object)
    # None, pd.NA and NaT as NaN: porosa reads None as the text "None".
    missing = pd.isna(cells)
    if missing.any():
        cells = cells.copy()
        cells[missing] = np.nan
    return cells


def nullable(dtype: Any) -> Any:
    """The dtype an amputated column of `dtype` comes back in: the dtype
    itself if it holds a missing value, else the nearest one that does."""
    if isinstance(dtype, np.dtype):
        if dtype.kind == "b":
            return pd.BooleanDtype()
        if dtype.kind in "iu":
            return pd.api.types.pandas_dtype(f"{'U' if dtype.kind == 'u' else ''}Int{8 * dtype.itemsize}")
    # pandas has no nullable form of these: it widens them itself as soon as
    # a cell goes missing, so they widen whether or not a cell was drawn.
    # Read through Any, and the interval built by name: older pandas stubs
    # know neither their attributes nor IntervalDtype's closed argument.
    spec: Any = dtype
    if isinstance(dtype, pd.IntervalDtype) and getattr(spec.subtype, "kind", "") in "iu":
        return pd.api.types.pandas_dtype(f"interval[float64, {spec.closed}]")
    if isinstance(dtype, pd.SparseDtype) and spec.subtype.kind in "iub":
        if spec.subtype.kind == "b":
            return pd.SparseDtype(np.dtype(object), spec.fill_value)
        return pd.SparseDtype(np.float64, float(spec.fill_value))
    return dtype


def _restore(column: pd.Series, removed: npt.NDArray[np.bool_]) -> Any:
    """The column with its removed cells missing, in its own dtype or the
    nullable counterpart: the dtype does not depend on what was drawn."""
    dtype = nullable(column.dtype)
    if dtype is not column.dtype:
        column = column.astype(dtype)
    out = column.mask(removed)
    if out.dtype != dtype:
        # pandas' mask turns some extension dtypes (intervals) into objects.
        try:
            out = out.astype(dtype)
        except (TypeError, ValueError):
            pass
    return out.array


def _assemble(frame: pd.DataFrame, arrays: list[Any]) -> pd.DataFrame:
    # Each array as a Series of its own dtype: pandas 3 reads a bare object
    # array of texts as its str dtype, and the caller's object column would
    # come back as another dtype.
    columns = {j: pd.Series(a, dtype=a.dtype, copy=False) for j, a in enumerate(map(_unwrapped, arrays))}
    out = pd.DataFrame(columns, copy=False) if columns else pd.DataFrame(index=frame.index)
    out.index = frame.index
    out.columns = frame.columns
    out.attrs = dict(frame.attrs)
    return out


def _unwrapped(array: Any) -> Any:
    """A NumPy-backed pandas array as its ndarray, whose dtype names the NumPy
    one (not its subclasses: pandas 2's StringArray is one)."""
    return array.to_numpy() if type(array) is pd.arrays.NumpyExtensionArray else array
