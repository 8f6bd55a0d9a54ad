"""The caller's kind of table and the pandas frame porosa_kit works on: Polars
DataFrames and pyarrow Tables go to pandas and back with their values and
column types exactly as they were."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, Protocol, TypeVar

import numpy as np
import pandas as pd

SUPPORTED = "numpy.ndarray, pandas.DataFrame, polars.DataFrame, pyarrow.Table"

Back = Callable[[pd.DataFrame], Any]


# For the type checker only, so that neither library is needed to check a
# caller: a Polars DataFrame has columns and converts itself to Arrow (a
# Series only converts), an Arrow table splits into record batches.
class PolarsFrame(Protocol):
    def get_columns(self, *args: Any, **kwargs: Any) -> Any: ...
    def to_arrow(self, *args: Any, **kwargs: Any) -> Any: ...


class ArrowTable(Protocol):
    def to_batches(self, *args: Any, **kwargs: Any) -> Any: ...


Table = PolarsFrame | ArrowTable
TableT = TypeVar("TableT", bound=Table)


def to_pandas(data: Any) -> tuple[Any, Back]:
    """``data`` as porosa_kit works on it, and the way back to its kind.

    Parameters
    ----------
    data:
        A NumPy array, a pandas DataFrame, a Polars DataFrame or a pyarrow
        Table.

    Returns
    -------
    converted:
        An array or a pandas DataFrame as it is. A table as a DataFrame with a
        default index whose columns are Arrow-backed (``pd.ArrowDtype``), so
        64-bit integers, time zones and time units are kept exactly; its
        dictionary columns (Polars ``Categorical`` and ``Enum``) as pandas
        categoricals, ordered where the dictionary is (an ``Enum``).
    back:
        Turns a DataFrame with the columns of ``converted``, in their order,
        into data of the caller's kind with the caller's column names. A
        column that comes back in the dtype it was given gets the caller's
        column type again; any other keeps its own (a boolean mask, say). For
        an array or a pandas DataFrame, ``back`` returns its argument.

    Raises
    ------
    TypeError
        For any other kind of data.
    """
    if isinstance(data, (np.ndarray, pd.DataFrame)):
        return data, _same
    roots = _module_roots(data)
    # Neither library is imported unless the data is one of its objects.
    if "pyarrow" in roots:
        import pyarrow as pa

        if isinstance(data, pa.Table):
            return _from_arrow(data)
    if "polars" in roots:
        import polars as pl

        if isinstance(data, pl.DataFrame):
            return _from_polars(data)
    raise unsupported(data)


def unsupported(data: Any) -> TypeError:
    """The error for data of a kind porosa_kit does not take."""
    return TypeError(f"Unsupported type: '{type(data).__name__}'. Supported types are: {SUPPORTED}")


def _same(frame: pd.DataFrame) -> pd.DataFrame:
    return frame


def _module_roots(data: Any) -> set[str]:
    return {cls.__module__.partition(".")[0] for cls in type(data).__mro__}


def _arrow_dtype(arrow_type: Any) -> Any:
    import pyarrow as pa

    # None: pyarrow's own conversion, which makes a dictionary a categorical
    # that porosa_kit reads by its categories (or codes, when ordered).
    return None if pa.types.is_dictionary(arrow_type) else pd.ArrowDtype(arrow_type)


def _from_arrow(table: Any) -> tuple[pd.DataFrame, Back]:
    import pyarrow as pa

    # Without the pandas metadata a stored index is a column like the others,
    # so the frame has the table's columns, one for one.
    frame = table.to_pandas(types_mapper=_arrow_dtype, ignore_metadata=True)
    given = list(frame.dtypes)
    schema = table.schema

    def back(result: pd.DataFrame) -> Any:
        arrays, fields = [], []
        for j in range(result.shape[1]):
            column = result.iloc[:, j]
            array = pa.array(column.array if isinstance(column.dtype, pd.ArrowDtype) else column)
            field = schema.field(j)
            if column.dtype == given[j]:
                # A categorical comes back with pandas' index width.
                array = array if array.type == field.type else array.cast(field.type)
            else:
                field = pa.field(field.name, array.type)
            arrays.append(array)
            fields.append(field)
        same = [f.type for f in fields] == [f.type for f in schema]
        return pa.Table.from_arrays(arrays, schema=pa.schema(fields, metadata=schema.metadata if same else None))

    return frame, back


def _from_polars(frame: Any) -> tuple[pd.DataFrame, Back]:
    try:
        import pyarrow  # noqa: F401
    except ImportError as e:
        raise ImportError("porosa_kit reads Polars DataFrames through pyarrow: pip install porosa[polars]") from e
    import polars as pl

    table = frame.to_arrow()
    converted, arrow_back = _from_arrow(table)
    given, dtypes = table.schema, frame.schema

    def back(result: pd.DataFrame) -> Any:
        arrow = arrow_back(result)
        out = pl.from_arrow(arrow)
        assert isinstance(out, pl.DataFrame)
        # The field metadata brings an Enum back; the cast is for Polars
        # versions that read it otherwise. Only for the columns that kept
        # their Arrow type: a mask stays boolean.
        kept = [f.name for f, g in zip(arrow.schema, given) if f.type == g.type]
        wrong = {name: dtypes[name] for name in kept if out.schema[name] != dtypes[name]}
        return out.cast(wrong) if wrong else out

    return converted, back
