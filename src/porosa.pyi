"""Missing values for testing imputation: MAR and MNAR amputation of NumPy
arrays and pandas DataFrames."""

from typing import Any, Literal, final, overload

import numpy as np
import numpy.typing as npt
import pandas as pd

# The accepted words, matched case-insensitively at run time ("max" works too).
_MarMode = Literal["GM", "MAX", "MIN"]
_MnarMode = Literal["GM", "MAX", "MIN", "BLOCK", "BLOB"]

@final
class MAR:
    """Removes values missing at random: whether a cell goes missing depends on
    the value of another column (its predictor) in the same row.

    Parameters
    ----------
    mean:
        GM only: quantile position, from 0 to 1, of each pass's reference in the
        amputated column's own values; the cell whose predictor value lies nearest
        the reference goes missing, so put columns on one scale first. Default 0.5.
    variance:
        GM only: spread of the Gaussian reference around that quantile. Default
        0.0 (the reference is the quantile itself).
    max_missing_per_column:
        The largest share of a column's cells that may go missing; it caps the
        missing rate at ``m - m / columns`` and sets how many columns lose cells.
        Default 0.8.
    mode:
        "GM" removes cells whose predictor lies nearest a Gaussian reference,
        "MAX" those with the smallest predictor values (the largest survive),
        "MIN" those with the largest. Default "GM". Matched case-insensitively.
    random_seed:
        Seed of the instance's random stream (0 to 2**64 - 1). Default None:
        seeded from the operating system.
    """

    def __new__(
        cls,
        mean: float | None = None,
        variance: float | None = None,
        max_missing_per_column: float = ...,
        mode: _MarMode | str = "GM",
        random_seed: int | None = None,
    ) -> MAR: ...
    @overload
    def __call__(self, data: pd.DataFrame, missing_rate: float) -> pd.DataFrame:
        """Returns a new DataFrame: numeric columns float64 with NaN where cells
        were removed, text columns of dtype object with None there."""
    @overload
    def __call__(
        self, data: npt.NDArray[np.float64], missing_rate: float
    ) -> npt.NDArray[np.float64]:
        """Returns a new float64 array of the same shape with NaN where cells
        were removed."""
    @overload
    def __call__(self, data: npt.NDArray[Any], missing_rate: float) -> npt.NDArray[np.object_]:
        """Returns a new object array: Python floats in numeric columns, texts in
        text columns, NaN (the text "NaN" in text columns) where cells were removed."""
    def __repr__(self) -> str: ...

@final
class MNAR:
    """Removes values missing not at random: whether a cell goes missing depends
    on its own value (GM, MAX, MIN) or on a pattern over the matrix (BLOCK, BLOB).
    Every row keeps at least one of its cells.

    Parameters
    ----------
    mean:
        GM only: where in each column's value range the removal centres, as a
        quantile position from 0 to 1. Default 0.5 (the median).
    variance:
        GM only: spread of the Gaussian around that quantile. Default 0.0.
    block_size:
        BLOCK only: (width, height), the largest fractions of the columns and of
        the rows that one rectangle of missing cells may span. Default (0.5, 0.5).
    n_blobs:
        BLOB only: how many clouds of missing cells to grow. Default 3.
    max_missing_per_column:
        Caps the missing rate at ``m - m / columns``. Default 0.8.
    mode:
        "GM", "MAX", "MIN", "BLOCK" or "BLOB". Default "GM". Matched
        case-insensitively.
    random_seed:
        Seed of the instance's random stream (0 to 2**64 - 1). Default None:
        seeded from the operating system.
    """

    def __new__(
        cls,
        mean: float | None = None,
        variance: float | None = None,
        block_size: tuple[float, float] | None = None,
        n_blobs: int | None = None,
        max_missing_per_column: float = ...,
        mode: _MnarMode | str = "GM",
        random_seed: int | None = None,
    ) -> MNAR: ...
    @overload
    def __call__(self, data: pd.DataFrame, missing_rate: float) -> pd.DataFrame:
        """Returns a new DataFrame: numeric columns float64 with NaN where cells
        were removed, text columns of dtype object with None there."""
    @overload
    def __call__(
        self, data: npt.NDArray[np.float64], missing_rate: float
    ) -> npt.NDArray[np.float64]:
        """Returns a new float64 array of the same shape with NaN where cells
        were removed."""
    @overload
    def __call__(self, data: npt.NDArray[Any], missing_rate: float) -> npt.NDArray[np.object_]:
        """Returns a new object array: Python floats in numeric columns, texts in
        text columns, NaN (the text "NaN" in text columns) where cells were removed."""
    def __repr__(self) -> str: ...
