"""porosa_kit's Amputer, a scikit-learn transformer."""

import pickle

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")

from sklearn.base import clone  # noqa: E402
from sklearn.compose import ColumnTransformer  # noqa: E402
from sklearn.experimental import enable_iterative_imputer  # noqa: E402, F401
from sklearn.impute import IterativeImputer  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.utils.estimator_checks import check_estimator  # noqa: E402

import porosa  # noqa: E402
from porosa_kit import MCAR, Amputer, missing_mask  # noqa: E402

MECHANISMS = {
    "MAR": (dict(mechanism="MAR", mode="MIN"), lambda seed: porosa.MAR(mode="MIN", random_seed=seed)),
    "MNAR": (dict(mechanism="mnar", mode="BLOCK", block_size=(0.4, 0.3)),
             lambda seed: porosa.MNAR(mode="BLOCK", block_size=(0.4, 0.3), random_seed=seed)),
    "MCAR": (dict(mechanism="MCAR"), lambda seed: MCAR(random_seed=seed)),
}


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.SkipTestWarning")  # the non-deterministic checks
@pytest.mark.parametrize("mechanism", MECHANISMS)
def test_check_estimator(mechanism):
    check_estimator(Amputer(**MECHANISMS[mechanism][0], random_state=0))


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
