"""Amputer: porosa's generators as a scikit-learn transformer."""

from __future__ import annotations

import numbers
import secrets
import threading
import warnings
from typing import Any

import numpy as np
import pandas as pd

try:
    from sklearn.base import BaseEstimator, OneToOneFeatureMixin, TransformerMixin
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError("porosa_kit.Amputer needs scikit-learn 1.6 or later: pip install porosa[sklearn]") from e

from ._constraints import PARAMETERS, check_mechanism, check_rate
from ._frame import Generator, amputate
from ._generators import MCAR_IGNORES, make_generator


class Amputer(OneToOneFeatureMixin, TransformerMixin, BaseEstimator):  # type: ignore[misc]
    """Remove values from the data it transforms, with porosa's ``MAR`` or
    ``MNAR``, or porosa_kit's ``MCAR``.

    ``fit`` checks the parameters, settles the seed (``seed_``) and builds the
    generator (``generator_``) from them. Each ``transform`` continues the
    generator's random stream, so two calls on the same data remove different
    cells, while refitting starts the stream again: with an integer
    ``random_state``, ``fit_transform`` always removes the same cells. A copy
    or a pickle of a fitted Amputer starts the stream again from ``seed_``, as
    if just fitted (porosa's generators cannot be copied). ``transform`` may be
    called from several threads at once: the calls take turns on the
    generator, each continuing its stream where the one before left it.

    Parameters
    ----------
    mechanism : {"MAR", "MNAR", "MCAR"}, default="MAR"
        The generator, in any case.
    mode : {"GM", "MAX", "MIN", "BLOCK", "BLOB"}, default=None
        The generator's mode; "BLOCK" and "BLOB" are MNAR's only. None is the
        generator's default, GM. MCAR takes none.
    missing_rate : float, default=0.2
        The share of cells to remove, from 0 to 1.
    mean : float, default=None
        GM only: porosa's parameter of the same name.
    variance : float, default=None
        GM only: porosa's parameter of the same name.
    block_size : tuple of (float, float), default=None
        MNAR BLOCK only: porosa's parameter of the same name.
    n_blobs : int, default=None
        MNAR BLOB only: porosa's parameter of the same name.
    max_missing_per_column : float, default=0.8
        Caps the missing rate at ``m - m / columns``.
    random_state : int, RandomState instance or Generator, default=None
        An int from 0 to 2**64 - 1 is the generator's seed; a NumPy
        ``RandomState`` or ``Generator`` draws a seed at each fit; None seeds
        from the operating system.
    exclude : list of labels, default=None
        Columns never amputated, such as a target or an ID: labels for a
        DataFrame, positions otherwise; the missing rate is of the other
        columns' cells.

    Attributes
    ----------
    seed_ : int
        The seed the generator was built with.
    generator_ : callable
        The fitted generator: ``porosa.MAR``, ``porosa.MNAR`` or
        :class:`porosa_kit.MCAR`.
    n_features_in_ : int
        The number of columns seen at fit.
    feature_names_in_ : ndarray of str
        The column labels seen at fit, when they are all texts.

    See Also
    --------
    amputate : The generator's call that ``transform`` makes.

    Examples
    --------
    >>> import numpy as np
    >>> from porosa_kit import Amputer
    >>> X = np.arange(24.0).reshape(6, 4)
    >>> amputer = Amputer(mechanism="MNAR", mode="MAX", missing_rate=0.25, random_state=0)
    >>> print(amputer.fit_transform(X))
    [[nan nan nan  3.]
     [nan nan  6. nan]
     [ 8.  9. 10. 11.]
     [12. 13. 14. 15.]
     [16. 17. 18. 19.]
     [20. 21. 22. 23.]]
    >>> amputer.generator_
    MNAR[MAX]
    """

    seed_: int
    generator_: Generator
    _mechanism: str
    _lock: threading.Lock

    def __init__(
        self,
        *,
        mechanism: str = "MAR",
        mode: str | None = None,
        missing_rate: float = 0.2,
        mean: float | None = None,
        variance: float | None = None,
        block_size: tuple[float, float] | None = None,
        n_blobs: int | None = None,
        max_missing_per_column: float = 0.8,
        random_state: int | np.random.RandomState | np.random.Generator | None = None,
        exclude: list[Any] | None = None,
    ) -> None:
        self.mechanism = mechanism
        self.mode = mode
        self.missing_rate = missing_rate
        self.mean = mean
        self.variance = variance
        self.block_size = block_size
        self.n_blobs = n_blobs
        self.max_missing_per_column = max_missing_per_column
        self.random_state = random_state
        self.exclude = exclude

    def fit(self, X: Any, y: Any = None) -> Amputer:
        """Check the parameters and build the generator.

        Parameters
        ----------
        X : DataFrame or array-like of shape (n_samples, n_features)
            The data to be amputated; only its shape and column labels are
            read.
        y : None
            Ignored.

        Returns
        -------
        self : Amputer
            The fitted amputer, with ``seed_`` and ``generator_``.

        Raises
        ------
        ValueError
            For an unknown mechanism, a missing rate outside 0 to 1, a
            random state of another kind, or a mode the generator does not
            take.
        OverflowError
            For an integer random state outside 0 to 2**64 - 1.

        Warns
        -----
        UserWarning
            For an MCAR given a mode or a mode's parameter (which it ignores),
            and porosa's warnings about parameters its mode ignores.
        """
        self._check(X, reset=True)
        mechanism = check_mechanism(self.mechanism)
        check_rate(self.missing_rate)
        if mechanism == "MCAR" and (self.mode is not None or any(getattr(self, n) is not None for n in PARAMETERS)):
            # Not an error: a grid search may set them for the other mechanisms.
            warnings.warn(MCAR_IGNORES, UserWarning, stacklevel=2)
        seed = _seed(self.random_state)
        # Drawn here rather than by the generator, so that a copy can rebuild
        # the same stream.
        self.seed_ = secrets.randbits(64) if seed is None else seed
        self._mechanism = mechanism
        self.generator_ = self._generator()
        self._lock = threading.Lock()
        return self

    def _generator(self) -> Generator:
        if self._mechanism == "MCAR":
            return make_generator("MCAR", None, self.seed_, self.max_missing_per_column)
        params = {name: getattr(self, name) for name in PARAMETERS}
        return make_generator(self._mechanism, self.mode, self.seed_, self.max_missing_per_column, **params)

    def __getstate__(self) -> Any:
        state = dict(super().__getstate__())
        state.pop("generator_", None)
        state.pop("_lock", None)
        return state

    def __setstate__(self, state: Any) -> None:
        super().__setstate__(state)
        if hasattr(self, "seed_"):
            self.generator_ = self._generator()
            self._lock = threading.Lock()

    def transform(self, X: Any) -> Any:
        """Remove ``missing_rate`` of the cells of X with the fitted generator.

        Parameters
        ----------
        X : DataFrame or array-like of shape (n_samples, n_features)
            The data, with the columns seen at fit.

        Returns
        -------
        X_amputated : DataFrame or ndarray of shape (n_samples, n_features)
            A DataFrame as :func:`porosa_kit.amputate` returns it (index,
            labels and dtypes kept); anything else is read as a float64
            array and comes back as one.
        """
        check_is_fitted(self, "generator_")
        X = self._check(X, reset=False)
        # The generator takes one call at a time (porosa's refuse a second
        # one): calls from several threads take turns, each continuing the
        # stream where the one before left it.
        with self._lock:
            return amputate(X, self.generator_, float(self.missing_rate), exclude=self.exclude)

    def _check(self, X: Any, reset: bool) -> Any:
        if isinstance(X, pd.DataFrame):
            # Frames keep their dtypes: only their shape and names are checked.
            validate_data(self, X, reset=reset, skip_check_array=True)
            return X
        return validate_data(self, X, reset=reset, dtype=np.float64, ensure_all_finite=False)

    def __sklearn_tags__(self) -> Any:
        tags = super().__sklearn_tags__()
        # transform is not a function of its input: every call continues the
        # generator's stream.
        tags.non_deterministic = True
        tags.input_tags.allow_nan = True
        tags.transformer_tags.preserves_dtype = ["float64"]
        return tags


def _seed(random_state: Any) -> int | None:
    if random_state is None:
        return None
    if isinstance(random_state, np.random.RandomState):
        return int(random_state.randint(0, 2**63 - 1, dtype=np.int64))
    if isinstance(random_state, np.random.Generator):
        return int(random_state.integers(0, 2**64, dtype=np.uint64))
    if isinstance(random_state, numbers.Integral) and not isinstance(random_state, bool):
        return int(random_state)
    raise ValueError(f"random_state must be None, an int, a RandomState or a Generator, not {random_state!r}")
