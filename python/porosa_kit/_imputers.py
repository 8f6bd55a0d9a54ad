"""scikit-learn's standard imputers, each made fit for frames with text
columns, by the names the command line gives them."""

from __future__ import annotations

from typing import Any

IMPUTERS = ("mean", "median", "knn", "iterative", "forest")
DEFAULT_IMPUTERS = ("mean", "median", "knn", "iterative")


def standard_imputers(names: tuple[str, ...] | list[str] = DEFAULT_IMPUTERS, seed: int | None = None) -> dict[str, Any]:
    """{name: MixedImputer} for the names in IMPUTERS, in the given order:
    mean and median (SimpleImputer), knn (KNNImputer), iterative
    (IterativeImputer with its default Bayesian ridge) and forest
    (IterativeImputer with random forests). Every one keeps a column that an
    amputation left empty, and fills text columns with their most frequent
    value. `seed` fixes the iterative imputers' draws."""
    from sklearn.ensemble import RandomForestRegressor
    from sklearn.experimental import enable_iterative_imputer  # noqa: F401
    from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer

    from ._mixed import MixedImputer

    state = 0 if seed is None else seed % 2**32
    makers = {
        "mean": lambda: SimpleImputer(strategy="mean", keep_empty_features=True),
        "median": lambda: SimpleImputer(strategy="median", keep_empty_features=True),
        "knn": lambda: KNNImputer(keep_empty_features=True),
        "iterative": lambda: IterativeImputer(random_state=state, keep_empty_features=True),
        # A study fits one forest per column, round and repeat: 10 trees,
        # each split among a third of the columns, leaves of at least five
        # rows (the usual settings of a regression forest for imputation),
        # and five rounds.
        "forest": lambda: IterativeImputer(
            RandomForestRegressor(n_estimators=10, max_features=1 / 3, min_samples_leaf=5, random_state=state),
            max_iter=5, random_state=state, keep_empty_features=True),
    }
    unknown = [n for n in names if n not in makers]
    if unknown:
        raise ValueError(f"unknown imputer {unknown[0]!r}; expected some of {', '.join(IMPUTERS)}")
    return {name: MixedImputer(makers[name]()) for name in names}

