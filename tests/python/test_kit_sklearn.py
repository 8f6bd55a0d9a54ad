"""porosa_kit's scikit-learn estimators: Amputer and MixedImputer."""

import pickle
import re

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.experimental import enable_iterative_imputer  # noqa: E402, F401
from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import porosa  # noqa: E402
import porosa_kit  # noqa: E402
from porosa_kit import MCAR, Amputer, MixedImputer, evaluate_imputers, missing_mask  # noqa: E402

MECHANISMS = {
    "MAR": (dict(mechanism="MAR", mode="MIN"), lambda seed: porosa.MAR(mode="MIN", random_seed=seed)),
    "MNAR": (dict(mechanism="mnar", mode="BLOCK", block_size=(0.4, 0.3)),
             lambda seed: porosa.MNAR(mode="BLOCK", block_size=(0.4, 0.3), random_seed=seed)),
    "MCAR": (dict(mechanism="MCAR"), lambda seed: MCAR(random_seed=seed)),
}


ESTIMATORS = {
    **{f"Amputer-{m}": lambda m=m: Amputer(**MECHANISMS[m][0], random_state=0) for m in MECHANISMS},
    "MixedImputer": lambda: MixedImputer(),
    "MixedImputer-knn": lambda: MixedImputer(KNNImputer(n_neighbors=2)),
    "MixedImputer-iterative": lambda: MixedImputer(IterativeImputer(max_iter=2, random_state=0)),
}


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.SkipTestWarning")  # the non-deterministic checks
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("name", ESTIMATORS)
def test_check_estimator(name):
    check_estimator(ESTIMATORS[name]())


def test_every_estimator_of_the_kit_is_checked():
    from sklearn.base import BaseEstimator

    public = {n for n in porosa_kit.__all__ if isinstance(getattr(porosa_kit, n), type)
              and issubclass(getattr(porosa_kit, n), BaseEstimator)}
    assert public == {type(make()).__name__ for make in ESTIMATORS.values()}


@pytest.mark.parametrize("mechanism", MECHANISMS)
def test_transform_continues_the_generators_stream_and_fit_restarts_it(mechanism):
    params, make = MECHANISMS[mechanism]
    X = np.random.default_rng(0).normal(size=(50, 6))
    amputer = Amputer(**params, missing_rate=0.3, random_state=7)
    generator = make(7)
    assert np.array_equal(amputer.fit_transform(X), generator(X, 0.3), equal_nan=True)
    second = amputer.transform(X)
    copied = pickle.loads(pickle.dumps(amputer))  # starts again, as if just fitted
    assert np.array_equal(second, generator(X, 0.3), equal_nan=True)
    assert np.array_equal(copied.transform(X), amputer.fit(X).transform(X), equal_nan=True)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
def test_frames_through_pipelines_column_transformers_and_pandas_output():
    rng = np.random.default_rng(1)
    X = pd.DataFrame(rng.normal(size=(80, 4)), columns=list("abcd"), index=np.arange(80) + 1000)
    X["n"] = pd.array(rng.integers(0, 9, 80), dtype="Int64")
    amputer = Amputer(mechanism="MNAR", mode="MAX", missing_rate=0.25, random_state=3)
    out = clone(amputer).set_output(transform="pandas").fit_transform(X)
    assert out.index.equals(X.index) and out.dtypes.equals(X.dtypes)
    assert list(amputer.fit(X).get_feature_names_out()) == list("abcdn")
    assert missing_mask(X, out).to_numpy().sum() == 100

    ct = ColumnTransformer([("amp", clone(amputer), ["a", "b"])], remainder="passthrough")
    part = ct.set_output(transform="pandas").fit_transform(X)
    assert part.columns[:2].tolist() == ["amp__a", "amp__b"] and part.iloc[:, 2:].notna().all().all()

    pipe = make_pipeline(clone(amputer), IterativeImputer(random_state=0)).fit(X)
    assert not np.isnan(pipe.transform(X)).any()


@pytest.mark.parametrize("params, error", [
    (dict(mechanism="MCAR2"), "mechanism"),
    (dict(missing_rate=1.5), "missing_rate"),
    (dict(mode="BLOCK"), "BLOCK not supported for MAR"),
    (dict(random_state="seven"), "random_state"),
])
def test_bad_parameters_fail_at_fit(params, error):
    with pytest.raises(ValueError, match=error):
        Amputer(**params).fit(np.ones((5, 3)))


def holey(dtype):
    column = pd.Series([3, None, 5, 7], dtype="Int64") if dtype != "datetime" else \
        pd.to_datetime(pd.Series(["2020-01-01", None, "2020-01-03", "2020-01-05"]))
    return pd.DataFrame({"x": [0.5, 1.0, np.nan, 2.0], "n": column if dtype in ("Int64", "datetime")
                         else column.astype(dtype)}).astype({"x": float})


@pytest.mark.parametrize("dtype", ["Int64", "Int8", "UInt8", "datetime"])
@pytest.mark.parametrize("fill", [1e30, -np.inf, -1.0, 200.0])
def test_mixed_imputer_refuses_values_an_integer_or_time_column_cannot_hold(dtype, fill):
    frame = holey(dtype)
    imputer = MixedImputer(SimpleImputer(strategy="constant", fill_value=fill))
    limits = np.iinfo(np.int64 if dtype == "datetime" else pd.api.types.pandas_dtype(dtype).numpy_dtype)
    if limits.min <= fill <= limits.max:
        # A value in range comes back as it was given, rounded to the dtype.
        filled = imputer.fit_transform(frame)
        assert filled.dtypes.equals(frame.dtypes) and filled["n"].astype("int64").iloc[1] == fill
        return
    with pytest.raises(ValueError, match=re.escape(f"gave {fill:g} for column 'n' of dtype {frame['n'].dtype},")):
        imputer.fit_transform(frame)
    study = evaluate_imputers(frame, {"wild": imputer}, [MCAR(random_seed=1)], [0.3], repeats=1)
    assert study.scores["error"].str.startswith("ValueError: the imputer gave").all()
