"""MixedImputer: a numeric imputer made into one for frames with text columns."""

from __future__ import annotations

from typing import Any, cast

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._frame import column_view, is_time, nullable, textual
from ._output import output_frame

try:
    from sklearn.base import BaseEstimator, TransformerMixin, clone
    from sklearn.impute import SimpleImputer
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("porosa_kit.MixedImputer needs scikit-learn 1.6 or later: pip install porosa[sklearn]") from e


class MixedImputer(TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Imputes a frame of numbers and texts: the given imputer for the
    columns that hold numbers, the most frequent value for the others.

    Parameters
    ----------
    imputer : estimator, default=None
        A scikit-learn imputer for numeric data (``SimpleImputer``,
        ``KNNImputer``, ``IterativeImputer``, ...), cloned at each fit.
        None means ``SimpleImputer(strategy="mean")``.

    Attributes
    ----------
    numeric_ : list of int
        Positions of the columns given to ``imputer``: numbers, nullable
        numbers, booleans, datetimes, timedeltas and ordered categoricals
        (as their codes).
    text_ : list of int
        Positions of the columns filled with their most frequent value: text,
        object and unordered categorical columns.
    imputer_ : estimator
        The fitted clone of ``imputer`` (None without numeric columns).
    fill_ : list
        The most frequent value of each text column at fit, in ``text_``
        order (missing for a column that had no value at all).
    n_features_in_ : int
        The number of columns seen at fit.
    feature_names_in_ : ndarray of str
        The column labels seen at fit, when they are all texts.

    Notes
    -----
    ``transform`` returns a DataFrame with the input's index, labels, column
    order and dtypes. Values that a dtype cannot hold are brought to it:
    integers, booleans, times and category codes are rounded to the nearest
    one. An integer or a time beyond its dtype's range (an imputer that
    diverged) is refused, not wrapped around. A column the imputer leaves out of its result (scikit-learn drops a
    column that had no value at fit, unless ``keep_empty_features=True``)
    comes back unchanged, missing cells included. An array is imputed by
    ``imputer`` alone.

    Examples
    --------
    >>> import pandas as pd
    >>> from sklearn.impute import KNNImputer
    >>> from porosa_kit import MixedImputer
    >>> frame = pd.DataFrame({"x": [1.0, None, 3.0, 10.0], "y": [1.0, 1.2, 3.0, 10.0],
    ...                       "kind": ["a", "b", None, "a"]})
    >>> MixedImputer(KNNImputer(n_neighbors=1)).fit_transform(frame)
          x     y kind
    0   1.0   1.0    a
    1   1.0   1.2    b
    2   3.0   3.0    a
    3  10.0  10.0    a
    """

    numeric_: list[int]
    text_: list[int]
    imputer_: Any
    fill_: list[Any]

    def __init__(self, imputer: Any = None) -> None:
        self.imputer = imputer

    def fit(self, X: Any, y: Any = None) -> MixedImputer:
        """Splits the columns by kind and fits ``imputer`` to the numeric ones.

        Parameters
        ----------
        X : DataFrame or array of shape (n_samples, n_features)
            The data with missing values.
        y : None
            Ignored.

        Returns
        -------
        self : MixedImputer
            The fitted imputer.
        """
        frame = _frame(self._validate(X, reset=True))
        columns = [frame.iloc[:, j] for j in range(frame.shape[1])]
        self.text_ = [j for j, c in enumerate(columns) if textual(c.dtype)]
        self.numeric_ = [j for j, c in enumerate(columns) if not textual(c.dtype)]
        self.fill_ = [_most_frequent(columns[j]) for j in self.text_]
        self.imputer_ = None
        if self.numeric_:
            numbers = _numbers(columns, self.numeric_, frame.index)
            self.imputer_ = clone(SimpleImputer() if self.imputer is None else self.imputer).fit(numbers)
        return self

    def transform(self, X: Any) -> Any:
        """Imputes X.

        Parameters
        ----------
        X : DataFrame or array of shape (n_samples, n_features)
            Data with the columns seen at fit.

        Returns
        -------
        X_imputed : DataFrame or ndarray
            A DataFrame in X's column order and dtypes, or an array for an
            array.

        Raises
        ------
        ValueError
            For X of another width than at fit, and for an imputed value
            that its integer or time column cannot hold, naming the column
            (a study records this imputation as failed).
        """
        check_is_fitted(self, "numeric_")
        frame = _frame(self._validate(X, reset=False))
        columns = [frame.iloc[:, j] for j in range(frame.shape[1])]
        out: list[Any] = list(columns)
        if self.imputer_ is not None:
            numbers = _numbers(columns, self.numeric_, frame.index)
            filled = _by_label(self.imputer_, self.imputer_.transform(numbers), numbers)
            for j in self.numeric_:
                out[j] = _back(columns[j], filled[str(j)].to_numpy(dtype=np.float64))
        for j, value in zip(self.text_, self.fill_):
            out[j] = columns[j] if pd.isna(value) else columns[j].fillna(value)
        result = pd.DataFrame(dict(enumerate(out)), index=frame.index, copy=False)
        result.columns = frame.columns
        if not isinstance(X, pd.DataFrame):
            return result.to_numpy()
        return result

    def _validate(self, X: Any, reset: bool) -> Any:
        """X checked as scikit-learn checks an estimator's input: its number
        of columns (and names) against fit's, arrays 2-D, dense, not empty
        and not complex; a frame's own columns and dtypes are kept."""
        if not isinstance(X, pd.DataFrame):
            return validate_data(self, X, reset=reset, dtype=None, ensure_all_finite=False)
        labels: Any = X.columns
        if any(isinstance(c, str) for c in labels) and not all(isinstance(c, str) for c in labels):
            # scikit-learn refuses labels of mixed kinds, which a study's
            # frames may have: such a frame is checked by its width alone.
            labels = pd.RangeIndex(len(labels))
        validate_data(self, pd.DataFrame(columns=labels), reset=reset, skip_check_array=True)
        return X

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        tags.input_tags.allow_nan = True
        tags.input_tags.string = True
        return tags


def _frame(X: Any) -> pd.DataFrame:
    return X if isinstance(X, pd.DataFrame) else pd.DataFrame(X)


def _most_frequent(column: pd.Series) -> Any:
    counts = column.value_counts(dropna=True, sort=False)
    if counts.empty:
        return np.nan
    # The earliest of the most frequent values, as SimpleImputer picks the smallest.
    return counts.index[int(np.argmax(counts.to_numpy()))]


def _by_label(imputer: Any, result: Any, given: pd.DataFrame) -> pd.DataFrame:
    """The imputer's result with the given columns, a dropped one as it was."""
    frame = output_frame(result, imputer, list(given.columns), given.index).reindex(columns=given.columns)
    return frame.fillna(given) if frame.isna().to_numpy().any() else frame


def _back(column: pd.Series, values: npt.NDArray[np.float64]) -> Any:
    """Imputed floats in the column's own dtype, or in its nullable form
    while some cells are still missing."""
    dtype = column.dtype
    left = np.isnan(values)
    if isinstance(dtype, pd.CategoricalDtype):
        codes = np.where(left, -1, np.clip(np.rint(values), 0, len(dtype.categories) - 1)).astype(np.int64)
        # (Older pandas stubs take only a sequence of ints for the codes.)
        return pd.Categorical.from_codes(cast(Any, codes), dtype=dtype)
    if is_time(dtype):
        ticks = _held(column, np.rint(values), left, np.iinfo(np.int64))
        return _times_back(dtype, np.where(left, _NAT, ticks).astype(np.int64))
    if pd.api.types.is_bool_dtype(dtype):
        whole: Any = pd.array(values >= 0.5, dtype="boolean")
    elif pd.api.types.is_integer_dtype(dtype):
        rounded = _held(column, np.rint(values), left, np.iinfo(cast(Any, getattr(dtype, "numpy_dtype", dtype))))
        whole = pd.array(np.where(left, 0, rounded).astype(np.int64), dtype="Int64")
    else:
        return pd.Series(values, index=column.index).astype(dtype).array
    whole[left] = pd.NA
    if left.any() and isinstance(dtype, np.dtype):
        return whole.astype(nullable(dtype))
    return whole.astype(dtype)


_NAT = np.iinfo(np.int64).min  # the integer time of NaT


def _held(column: pd.Series, rounded: npt.NDArray[np.float64], left: npt.NDArray[np.bool_],
          limits: np.iinfo[Any]) -> npt.NDArray[np.float64]:
    """The rounded values, if the column's integers hold them all: NumPy
    would wrap the others around silently (1e30 becoming -2**63)."""
    # float(max) + 1 is exact for every width: 2**63 for int64, whose max
    # itself rounds up to 2**63 as a float.
    outside = ~left & ~((rounded >= float(limits.min)) & (rounded < float(limits.max) + 1))
    if outside.any():
        holds = "times whose integer time fits in 64 bits" if is_time(column.dtype) else \
            f"only {limits.min} to {limits.max}"
        raise ValueError(f"the imputer gave {rounded[outside][0]:g} for column {column.name!r} of dtype "
                         f"{column.dtype}, which holds {holds}")
    return rounded


def _times_back(dtype: Any, ticks: npt.NDArray[np.int64]) -> Any:
    """Integer times (NaT as the smallest int64) as an array of `dtype`."""
    if isinstance(dtype, pd.PeriodDtype):
        return pd.arrays.PeriodArray(ticks, dtype=dtype)
    base = getattr(dtype, "numpy_dtype", dtype)  # an Arrow-backed time's NumPy form
    if isinstance(dtype, pd.DatetimeTZDtype):
        return pd.DatetimeIndex(ticks.view(f"M8[{dtype.unit}]")).tz_localize("UTC").tz_convert(dtype.tz).array
    return pd.array(ticks.view(base)).astype(dtype)


def _numbers(columns: list[pd.Series], which: list[int], index: pd.Index) -> pd.DataFrame:
    """The numeric columns as float64, each as porosa's generators read it
    (ordered categoricals as their codes, times as their integer time)."""
    numbers = {}
    for j in which:
        values = column_view(columns[j])
        if values.dtype != np.float64:
            raise TypeError(f"cannot impute column {columns[j].name!r} of dtype {columns[j].dtype}")
        # Copies the imputer may write into, one block each, as a frame read
        # from a file: a single 2-D block would reach it as a read-only view
        # that some of scikit-learn's imputers write into.
        numbers[str(j)] = np.array(values)
    return pd.DataFrame(numbers, index=index, copy=False)
