"""MCAR: values missing completely at random, with porosa's promises."""

from __future__ import annotations

import os
import sys
import threading
import warnings
from collections.abc import Callable
from concurrent.futures import ThreadPoolExecutor
from typing import Any, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._constraints import check_seed, real
from ._frame import MaskGenerator, amputate, array_missing
from ._rules import rate_limit, rate_warning, target
from ._tables import TableT


class MCAR(MaskGenerator):
    """Values missing completely at random, with porosa's promises.

    Every candidate cell is as likely to go as any other, whatever its value
    or its neighbours. Called like porosa's generators, ``MCAR(...)(data, missing_rate)``, with the
    same promises: the caller's data is never changed; a call removes exactly
    ``ceil(rows × columns × rate)`` cells that held a value (fewer only when
    fewer are left); every row keeps one protected cell, as porosa's value
    modes protect it; a rate above ``m - m / columns`` (``m`` is
    ``max_missing_per_column``) is warned about with porosa's UserWarning and
    lowered to that limit; and the same seed removes the same cells on any
    machine and with any NumPy version.

    Like porosa's generators, an instance continues its random stream from
    call to call, and refuses a second call while one runs.

    Parameters
    ----------
    random_seed : int, default=None
        Seed of the instance's stream, from 0 to 2**64 - 1. None seeds it
        from the operating system.
    max_missing_per_column : float, default=0.8
        Caps the missing rate at ``m - m / columns``, as porosa's parameter
        of the same name does.

    Raises
    ------
    TypeError
        For a seed that is no integer, or a cap that is no real number.
    OverflowError
        For a seed outside 0 to 2**64 - 1.

    See Also
    --------
    amputate : Calls any generator, MCAR too, and gives the data back in
        its own kind.

    Notes
    -----
    The draws. The instance owns a ``numpy.random.PCG64(random_seed)`` bit generator and
    reads nothing but its raw 64-bit words (``random_raw``), a stream that NumPy
    keeps the same across versions. Every call continues the stream. A call on
    data of R rows and C columns, after the rate is capped:

    1. The target is ``ceil(R × C × rate)``, computed in double precision (none
       for a rate that is zero, negative or NaN).
    2. Protected cells: one word per row, in row order; row i protects column
       ``word mod C``. (No word is drawn when C is 0.) Every call draws these,
       even one that removes nothing.
    3. Candidates: the cells that hold a value and are not protected, numbered
       0 to N - 1 in row-major order. The call removes ``k = min(target, N)``.
    4. If ``2k <= N`` the call draws the k candidates to remove, otherwise the
       ``N - k`` candidates to keep. To draw s of N: while fewer than s are
       drawn, take as many words as are still lacking, in one batch, and draw
       candidate ``word mod N`` for each (a candidate drawn again counts once).

    The drawn set is the first s distinct candidates the stream names, a
    uniform sample of s among N (the modulo's bias is below N / 2**64).
    A cell holds a value unless pandas calls it missing or, in a text column,
    it is one of the texts porosa reads as missing ("nan", "NaN", "<NA>").

    Examples
    --------
    >>> import numpy as np
    >>> from porosa_kit import MCAR
    >>> mcar = MCAR(random_seed=5)
    >>> print(mcar(np.arange(12.0).reshape(4, 3), 0.25))
    [[ 0.  1.  2.]
     [ 3.  4.  5.]
     [ 6. nan nan]
     [ 9. nan 11.]]
    >>> print(mcar(np.arange(12.0).reshape(4, 3), 0.25))   # the stream goes on
    [[ 0.  1.  2.]
     [ 3. nan  5.]
     [ 6. nan  8.]
     [ 9. 10. nan]]
    """

    def __init__(self, *, random_seed: int | None = None, max_missing_per_column: float = 0.8) -> None:
        seed = check_seed(random_seed)
        self._max_missing = real(max_missing_per_column, "max_missing_per_column")
        self._bits = np.random.PCG64(seed)
        self._busy = threading.Lock()

    def __repr__(self) -> str:
        return "MCAR"

    # A copy continues the stream from where the original stands.
    def __getstate__(self) -> dict[str, Any]:
        return {"max_missing": self._max_missing, "bits": self._bits.state}

    def __setstate__(self, state: dict[str, Any]) -> None:
        self._max_missing = state["max_missing"]
        self._bits = np.random.PCG64()
        self._bits.state = state["bits"]
        self._busy = threading.Lock()

    @overload
    def __call__(self, data: pd.DataFrame, missing_rate: float) -> pd.DataFrame: ...
    @overload
    def __call__(self, data: npt.NDArray[np.float64], missing_rate: float) -> npt.NDArray[np.float64]: ...
    @overload
    def __call__(self, data: npt.NDArray[Any], missing_rate: float) -> npt.NDArray[Any]: ...
    @overload
    def __call__(self, data: TableT, missing_rate: float) -> TableT: ...
    def __call__(self, data: Any, missing_rate: float) -> Any:
        """Remove ``missing_rate`` of the cells of ``data``.

        Parameters
        ----------
        data : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
            The data, 2-D. It is never changed.
        missing_rate : float
            The share of the cells to remove: ``ceil(rows × columns ×
            missing_rate)`` cells that hold a value go (fewer only when fewer
            are left).

        Returns
        -------
        amputated : ndarray, DataFrame, polars.DataFrame or pyarrow.Table
            A DataFrame, a Polars DataFrame or a pyarrow Table as
            :func:`porosa_kit.amputate` returns it (its labels and column
            types, removed cells null in a table); a float array as a new
            array of its dtype with NaN; an integer or boolean array as
            float64 with NaN; a datetime or timedelta array with NaT; any
            other array as an object array with NaN.

        Raises
        ------
        TypeError
            For data of another kind, or a rate that is no real number.
        ValueError
            For an array that is not 2-D.
        RuntimeError
            While another call on the same instance runs.

        Warns
        -----
        UserWarning
            porosa's, when the rate is above ``m - m / columns``: the call
            then removes that share instead.
        """
        if not isinstance(data, np.ndarray):
            # Frames and tables; amputate refuses anything else.
            return amputate(data, self, missing_rate)
        if data.ndim != 2:
            raise ValueError(f"expected a 2-D array, got {data.ndim} dimensions")
        present = _present(data)
        removed = self._removed(present, missing_rate)
        kind = data.dtype.kind
        if kind in "fciub":
            # One pass, in the data's own float dtype (float64 for integers and
            # booleans): faster than a copy and a masked write, even on threads.
            return np.where(removed, np.nan, data)
        out = data.copy(order="C") if kind in "mM" else data.astype(object, order="C")
        out[removed] = np.datetime64("NaT") if kind == "M" else np.timedelta64("NaT") if kind == "m" else np.nan
        return out

    def _removed(self, present: npt.NDArray[np.bool_], missing_rate: float) -> npt.NDArray[np.bool_]:
        """The cells a call removes, given the cells that hold a value (which
        it overwrites)."""
        if not self._busy.acquire(blocking=False):
            # As porosa's instances: one call at a time, so that a stream read by
            # two threads at once cannot make a seeded run depend on timing.
            raise RuntimeError("Already borrowed")
        try:
            return self._draw(present, real(missing_rate, "missing_rate"))
        finally:
            self._busy.release()

    def _draw(self, candidates: npt.NDArray[np.bool_], rate: float) -> npt.NDArray[np.bool_]:
        rows, cols = candidates.shape
        limit = rate_limit(self._max_missing, cols)
        if rate > limit:
            warnings.warn(rate_warning(limit), UserWarning, stacklevel=_caller_level())
            rate = limit
        removed = np.zeros((rows, cols), dtype=bool)
        if cols == 0:
            return removed
        protected = np.asarray(self._bits.random_raw(rows), dtype=np.uint64)

        def unprotect(part: slice) -> None:
            columns = (protected[part] % np.uint64(cols)).astype(np.intp)
            candidates[part][np.arange(len(columns)), columns] = False

        _in_parallel(unprotect, rows)
        n = _count(candidates)
        k = min(target(rows, cols, rate), n)
        if k == 0:
            return removed
        drawn = self._sample(k if 2 * k <= n else n - k, n)
        if 2 * k > n:
            np.logical_not(drawn, out=drawn)
        # Candidate i is the i-th True of `candidates` in row-major order: each
        # block of rows takes its share of `drawn` from the count before it.
        bounds = _row_blocks(rows)
        counts = [0] + [int(np.count_nonzero(candidates[b])) for b in bounds]
        starts = np.cumsum(counts)

        def place(i: int) -> None:
            removed[bounds[i]][candidates[bounds[i]]] = drawn[starts[i]:starts[i + 1]]

        _map(place, range(len(bounds)))
        return removed

    def _sample(self, s: int, n: int) -> npt.NDArray[np.bool_]:
        drawn = np.zeros(n, dtype=bool)
        count = 0
        while count < s:
            words = np.asarray(self._bits.random_raw(s - count), dtype=np.uint64)

            def mark(part: slice) -> None:
                # Blocks may mark the same candidate at once: both write True.
                drawn[words[part] % np.uint64(n)] = True

            _in_parallel(mark, len(words))
            count = _count(drawn)
        return drawn


def _present(data: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """The cells of an array that hold a value, as a new C-ordered mask."""
    if data.dtype.kind not in "fc":
        return ~array_missing(data)
    present = np.empty(data.shape, dtype=bool)

    def check(rows: slice) -> None:
        np.isnan(data[rows], out=present[rows])
        np.logical_not(present[rows], out=present[rows])

    _in_parallel(check, data.shape[0])
    return present


# Large arrays are worked on in blocks of rows by a few threads: NumPy lets go
# of the GIL in these loops, and every block's work is independent of the
# others, so the cells do not depend on how many threads there are.
_BLOCK = 1 << 16
_pool: ThreadPoolExecutor | None = None
_pool_lock = threading.Lock()


def _forget_pool() -> None:
    # A forked child has none of the parent's threads: a pool inherited from it
    # would take work and never run it.
    global _pool
    _pool = None


os.register_at_fork(after_in_child=_forget_pool)


def _workers() -> int:
    try:
        wanted = int(os.environ.get("POROSA_THREADS", ""))
    except ValueError:
        wanted = 0
    return max(1, wanted if wanted > 0 else (os.cpu_count() or 1))


def _map(fn: Callable[[int], None], items: range) -> None:
    global _pool
    if len(items) <= 1 or _workers() == 1:
        for i in items:
            fn(i)
        return
    with _pool_lock:
        if _pool is None:
            _pool = ThreadPoolExecutor(_workers(), thread_name_prefix="porosa_kit")
    for future in [_pool.submit(fn, i) for i in items]:
        future.result()


def _row_blocks(rows: int) -> list[slice]:
    parts = max(1, min(_workers(), rows // _BLOCK))
    edges = [rows * p // parts for p in range(parts + 1)]
    return [slice(edges[p], edges[p + 1]) for p in range(parts)]


def _in_parallel(fn: Callable[[slice], None], rows: int) -> None:
    blocks = _row_blocks(rows)
    _map(lambda i: fn(blocks[i]), range(len(blocks)))


def _count(mask: npt.NDArray[np.bool_]) -> int:
    return int(np.count_nonzero(mask))


def _caller_level() -> int:
    """The stack level, seen from the function that calls this one, of the
    first caller outside porosa_kit: a warning points at the user's line
    whichever of porosa_kit's functions the call went through."""
    level, frame = 1, sys._getframe(1)
    while frame.f_back is not None and str(frame.f_globals.get("__name__", "")).startswith("porosa_kit."):
        level, frame = level + 1, frame.f_back
    return level

