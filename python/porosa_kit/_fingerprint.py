"""A study's mark: what its tables, mechanisms and imputers are, as text that
is the same in every process that runs the same study, so that a checkpoint
is resumed by that study only."""

from __future__ import annotations

import functools
import hashlib
import re
import types
from collections.abc import Mapping, Sequence
from typing import Any

import numpy as np
import pandas as pd

from ._metrics import BUILT_IN, Metric

# The kinds of object column whose cells pandas hashes by a text that is
# the same in every process; any other is described cell by cell first.
_STABLE = {"string", "bytes", "empty", "integer", "floating", "mixed-integer-float", "decimal", "boolean",
           "complex", "datetime64", "datetime", "date", "timedelta64", "timedelta", "time", "period"}
_ADDRESS = re.compile(r" at 0x[0-9a-fA-F]+")


def digest(data: bytes) -> str:
    """A short hash of `data`, the same in every process and on every machine."""
    return hashlib.blake2b(data, digest_size=8).hexdigest()


def identity(obj: Any) -> str:
    """What an imputer or a generator is, by its class and parameters: a
    function by its name, its code's names and constants, its defaults and
    the values it closed over (``fill(5)`` is not ``fill(0)``); an object
    with a representation of its own by that; any other by its class and
    attributes. Never by a memory address, which differs from run to run."""
    return _describe(obj, set())


def _describe(obj: Any, seen: set[int]) -> str:
    if obj is None or isinstance(obj, (str, bytes, bool, int, float, complex)):
        return repr(obj)
    if id(obj) in seen:  # a function in its own closure, an object holding itself
        return "..."
    seen = seen | {id(obj)}
    if isinstance(obj, (list, tuple)):
        return f"{type(obj).__name__}[{', '.join(_describe(v, seen) for v in obj)}]"
    if isinstance(obj, dict):
        return "{" + ", ".join(f"{_describe(k, seen)}: {_describe(v, seen)}" for k, v in obj.items()) + "}"
    if isinstance(obj, (set, frozenset)):  # in an order that does not follow PYTHONHASHSEED
        return "{" + ", ".join(sorted(_describe(v, seen) for v in obj)) + "}"
    if isinstance(obj, np.ndarray):
        return (f"array{_describe(obj.tolist(), seen)}" if obj.dtype.hasobject else
                f"array({obj.dtype}, {obj.shape}, {digest(np.ascontiguousarray(obj).tobytes())})")
    if isinstance(obj, (pd.DataFrame, pd.Series)):
        return table_hash(obj.to_frame() if isinstance(obj, pd.Series) else obj)
    if isinstance(obj, (type, types.ModuleType)):
        return f"{getattr(obj, '__module__', '')}.{obj.__qualname__}" if isinstance(obj, type) else obj.__name__
    if isinstance(obj, functools.partial):
        return f"partial({_describe(obj.func, seen)}, {_describe(obj.args, seen)}, {_describe(obj.keywords, seen)})"
    if isinstance(obj, types.MethodType):
        return f"{_describe(obj.__self__, seen)}.{obj.__func__.__name__}"
    if isinstance(obj, types.FunctionType):
        return _function(obj, seen)
    if hasattr(obj, "get_params") and not isinstance(obj, type):
        try:
            params = obj.get_params(deep=False)
        except Exception:  # noqa: BLE001 - a get_params of another kind than scikit-learn's
            params = None
        if isinstance(params, dict):
            return f"{_describe(type(obj), seen)}({_describe(dict(sorted(params.items())), seen)})"
    if getattr(type(obj), "__repr__", None) is not object.__repr__:  # the object's own word for what it is
        return _ADDRESS.sub("", repr(obj))
    state = getattr(obj, "__dict__", None)
    return _describe(type(obj), seen) + ("" if state is None else _describe(state, seen))


def _function(fn: types.FunctionType, seen: set[int]) -> str:
    cells = [c.cell_contents if _filled(c) else "<empty>" for c in fn.__closure__ or ()]
    return (f"{fn.__module__}.{fn.__qualname__}{_code(fn.__code__)}{_describe(fn.__defaults__, seen)}"
            f"{_describe(fn.__kwdefaults__, seen)}{_describe(cells, seen)}")


def _filled(cell: types.CellType) -> bool:
    try:
        cell.cell_contents
    except ValueError:
        return False
    return True


def _code(code: types.CodeType) -> str:
    """A body's names and constants: what two lambdas of one name differ by,
    the same on every run of one Python (a set literal is a constant)."""
    consts = [_code(c) if isinstance(c, types.CodeType) else _describe(c, set()) for c in code.co_consts
              if c is not None]
    return f"<{','.join(code.co_names)}|{','.join(consts)}>"


def table_hash(frame: pd.DataFrame) -> str:
    """A table's columns, types and cells, hashed the same in every process."""
    stable = frame.copy(deep=False)
    for i in range(frame.shape[1]):
        column = frame.iloc[:, i]
        if column.dtype == object and pd.api.types.infer_dtype(column, skipna=True) not in _STABLE:
            # pandas would hash str(cell): a set's order, an object's address.
            stable.isetitem(i, column.map(lambda cell: _describe(cell, set())).to_numpy())
    try:
        cells = digest(pd.util.hash_pandas_object(stable, index=True).to_numpy().tobytes())
    except TypeError as e:
        raise TypeError(f"a checkpoint cannot tell this table from another: pandas cannot hash its cells ({e}); "
                        "study it without a checkpoint") from e
    return f"{list(map(str, frame.columns))}{list(map(str, frame.dtypes))}{cells}"


def fingerprint(tables: Mapping[str, Any], mechanisms: Mapping[str, Any], imputers: Sequence[tuple[str, Any]],
                metrics: Sequence[Metric], exclude: Any, random_state: int | None) -> str:
    """The study's mark on each of its rows: one short hash per part, and
    the seed as it is. Rates and repeats are left out, so a study extended
    by either reuses the tasks it finished."""
    values = {
        "tables": "".join(f"{len(n)}:{n}{table_hash(_frame(t))}" for n, t in tables.items()),
        "mechanisms": "".join(f"{len(n)}:{n}{identity(m)}" for n, m in mechanisms.items()),
        "imputers": "".join(f"{len(n)}:{n}{identity(i)}" for n, i in imputers),
        "scoring": f"{[_metric(m) for m in metrics]}{exclude!r}",
    }
    parts = [f"{part}={digest(text.encode('utf-8', 'backslashreplace'))[:12]}" for part, text in values.items()]
    return " ".join(parts + [f"seed={random_state}"])


def _metric(metric: Metric) -> str:
    """The kit's own metrics by their names, as checkpoints have always
    known them; any other by what its function is too, so that two lambdas,
    or a name registered again with other code, differ."""
    if any(metric is m for m in BUILT_IN):
        return metric.name
    return f"{metric.name}{identity(metric.function)}"


def _frame(data: Any) -> pd.DataFrame:
    return data if isinstance(data, pd.DataFrame) else pd.DataFrame(np.asarray(data))
