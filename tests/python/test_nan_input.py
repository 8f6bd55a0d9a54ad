"""Data that already holds missing values: every value mode works on it, a call
that failed before NaN input was supported succeeds now, and every other seeded
call picks the recorded cells."""

import json
import pathlib
import sys
import warnings

import numpy as np
import pytest

import porosa

DATA = pathlib.Path(__file__).parent / "data"
sys.path.insert(0, str(DATA))
import seeded_corpus  # noqa: E402

RECORDED = json.loads((DATA / "seeded_results.json").read_text())


def test_seeded_results_are_the_recorded_ones():
    checked = now_succeed = 0
    for key, run in seeded_corpus.corpus():
        before, after = RECORDED[key]["results"], run()
        for i, (was, now) in enumerate(zip(before, after)):
            if was.startswith("error"):
                # GM used to stop on any column holding NaN or both infinities.
                assert was == "error: Sample is nan" and not now.startswith("error"), key
                now_succeed += 1
            elif not any(b.startswith("error") for b in before[:i]):
                # A call after a failed one starts from another point of the stream.
                assert now == was, key
                checked += 1
    assert checked > 400 and now_succeed > 100


def nan_data(rows, cols, fraction, seed):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(rows, cols))
    a[rng.random(a.shape) < fraction] = np.nan
    return a


CASES = [(cls, mode) for cls in ("MNAR", "MAR") for mode in ("GM", "MAX", "MIN")]


@pytest.mark.parametrize("cls,mode", CASES)
@pytest.mark.parametrize("fraction", [0.05, 0.2])
def test_value_modes_reach_the_target_on_nan_data(cls, mode, fraction):
    data = nan_data(300, 7, fraction, 5)
    # A column with nothing observed (MAR could not reach its target if that
    # were a missing column), and one with both infinities.
    data[:, 3] = np.nan if cls == "MNAR" else data[:, 3]
    data[0, 5], data[1, 5] = np.inf, -np.inf
    kwargs = {"variance": 0.2} if mode == "GM" else {}
    out = getattr(porosa, cls)(mode=mode, random_seed=9, **kwargs)(data, 0.2)
    new = np.isnan(out) & ~np.isnan(data)
    assert new.sum() == np.ceil(data.size * 0.2)
    assert not new[:, 3].any()


def lost_cells(data, out):
    return np.isnan(out) & ~np.isnan(data)


def kept_columns_removing(data, out, col):
    """The columns that lost nothing and by whose (value, row) order the cells
    `col` lost are the first of its non-NaN rows, as MAR MAX removes them."""
    lost = set(np.flatnonzero(lost_cells(data, out)[:, col]))
    rows = np.flatnonzero(~np.isnan(data[:, col]))
    found = []
    for p in range(data.shape[1]):
        if p == col or lost_cells(data, out)[:, p].any():
            continue
        order = rows[np.argsort(data[rows, p], kind="stable")]  # NaN sorts last
        if set(order[: len(lost)]) == lost:
            found.append(p)
    return found


def removed_by_some_kept_column(data, out, col):
    return bool(kept_columns_removing(data, out, col))


@pytest.mark.parametrize("seed", range(8))
def test_mar_predictor_keeps_its_values(seed):
    # Every column holds a NaN, and one row has nothing.
    data = nan_data(60, 5, 0.05, seed)
    data[seed % 60, :] = np.nan
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = porosa.MAR(mode="MAX", random_seed=seed)(data, 0.3)
    lost = [c for c in range(5) if (np.isnan(out[:, c]) != np.isnan(data[:, c])).any()]
    assert lost
    for c in lost:
        assert removed_by_some_kept_column(data, out, c)


@pytest.mark.parametrize("seed", range(6))
def test_mar_predictor_with_gaps_is_the_one_pandas_ranks_first(seed):
    # Every column has a gap, which used to rule all of them out as predictors.
    pd = pytest.importorskip("pandas")
    complete = pytest.importorskip("sklearn.datasets").load_wine().data
    gaps = complete.copy()
    gaps[np.random.default_rng(seed).integers(0, len(gaps), gaps.shape[1]), np.arange(gaps.shape[1])] = np.nan
    strength = []
    for data in (complete, gaps):
        out = porosa.MAR(mode="MAX", random_seed=seed)(data, 0.3)
        corr = pd.DataFrame(data).corr().abs().to_numpy()
        lost = np.flatnonzero(lost_cells(data, out).any(axis=0))
        kept = np.flatnonzero(~lost_cells(data, out).any(axis=0))
        chosen = [kept_columns_removing(data, out, m) for m in lost]
        assert chosen == [[kept[np.argmax(corr[m, kept])]] for m in lost]
        strength.append(np.mean([corr[m, p] for m, [p] in zip(lost, chosen)]))
    assert strength[1] == pytest.approx(strength[0], abs=0.02)
