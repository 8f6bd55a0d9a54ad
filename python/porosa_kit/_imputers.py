"""scikit-learn's standard imputers, each made fit for frames with text
columns, by the names the command line gives them."""

from __future__ import annotations

from typing import Any

IMPUTERS = ("mean", "median", "knn", "iterative", "forest")
DEFAULT_IMPUTERS = ("mean", "median", "knn", "iterative")


def standard_imputers(names: tuple[str, ...] | list[str] = DEFAULT_IMPUTERS, seed: int | None = None) -> dict[str, Any]:
    """{name: MixedImputer} for the names in IMPUTERS, in the given order.

    Each is what ``MixedImputer`` makes of scikit-learn's imputer with its
    defaults, so that the command line scores what the API scores: mean and
    median (SimpleImputer), knn (KNNImputer: five neighbours by distance on
    the values as they are, not standardised), iterative (IterativeImputer
    with its Bayesian ridge) and forest (IterativeImputer with random
    forests). A column that an amputation left empty is dropped by each, so
    it is neither imputed nor scored, and text columns get their most
    frequent value. The iterative imputers draw with ``seed % 2**32``, their
    ``random_state`` (0 without a seed), so that a study can be repeated.
    """
    from sklearn.ensemble import RandomForestRegressor
    from sklearn.experimental import enable_iterative_imputer  # noqa: F401
    from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer

    from ._mixed import MixedImputer

    state = 0 if seed is None else seed % 2**32
    makers = {
        "mean": lambda: SimpleImputer(strategy="mean"),
        "median": lambda: SimpleImputer(strategy="median"),
        "knn": lambda: KNNImputer(),
        "iterative": lambda: IterativeImputer(random_state=state),
        # A study fits one forest per column, round and repeat: 10 trees,
        # each split among a third of the columns, leaves of at least five
        # rows (the usual settings of a regression forest for imputation),
        # and five rounds.
        "forest": lambda: IterativeImputer(
            RandomForestRegressor(n_estimators=10, max_features=1 / 3, min_samples_leaf=5, random_state=state),
            max_iter=5, random_state=state),
    }
    unknown = [n for n in names if n not in makers]
    if unknown:
        raise ValueError(f"unknown imputer {unknown[0]!r}; expected some of {', '.join(IMPUTERS)}")
    return {name: MixedImputer(makers[name]()) for name in names}

