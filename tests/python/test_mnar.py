"""MNAR in its value modes, end to end."""

import warnings

import numpy as np
import pandas as pd
import pytest

from helpers import nan_mask, run_with_threads
from porosa import MNAR


def gaussian(rows, cols, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, cols))


@pytest.mark.parametrize("mode, kwargs, row", [("MAX", {}, 1), ("MIN", {}, 0), ("GM", {"mean": 1.0}, 0)])
def test_single_column_choice(mode, kwargs, row):
    # Two columns so that rows can keep their protected cell elsewhere; column 0
    # holds 3, 1, 2 and every row protects column 1 with some seed.
    data = np.array([[3.0, 0.0], [1.0, 0.0], [2.0, 0.0]])
    for seed in range(200):
        out = MNAR(mode=mode, random_seed=seed, **kwargs)(data, 1 / 6)
        if nan_mask(out)[:, 1].any():
            continue
        assert np.flatnonzero(nan_mask(out)[:, 0]).tolist() == [row]
        return
    pytest.fail("no seed protected column 1 in every row")


@pytest.mark.parametrize("mode", ["MAX", "MIN", "GM"])
@pytest.mark.parametrize("rate", [0.05, 0.3, 0.6])
def test_exact_target_and_one_value_per_row(mode, rate):
    data = gaussian(60, 7)
    out = MNAR(mode=mode, random_seed=11)(data, rate)
    assert nan_mask(out).sum() == int(np.ceil(60 * 7 * rate))
    assert (~nan_mask(out)).any(axis=1).all()
    assert not nan_mask(data).any()


@pytest.mark.parametrize("mode, below", [("MAX", True), ("MIN", False)])
def test_value_modes_remove_the_extremes_except_protected_cells(mode, below):
    data = gaussian(100, 4)
    out = MNAR(mode=mode, random_seed=5)(data, 0.2)
    gone = nan_mask(out)
    # A kept cell beyond the last removed value of its column must be its row's
    # protected cell, and a row protects one cell only.
    passed = np.zeros_like(gone)
    for c in range(4):
        edge = data[gone[:, c], c].max() if below else data[gone[:, c], c].min()
        passed[:, c] = ~gone[:, c] & ((data[:, c] < edge) if below else (data[:, c] > edge))
    assert passed.sum(axis=1).max() <= 1
    assert gone.sum() == 80


def test_nan_input_is_never_a_candidate():
    data = gaussian(40, 5)
    data[::3, 2] = np.nan
    before = nan_mask(data).sum()
    out = MNAR(mode="MIN", random_seed=3)(data, 0.25)
    assert nan_mask(out).sum() == before + int(np.ceil(200 * 0.25))


def test_same_seed_same_cells_and_a_second_call_continues():
    data = gaussian(50, 6)
    a, b = MNAR(mode="GM", variance=0.3, random_seed=9), MNAR(mode="GM", variance=0.3, random_seed=9)
    first_a, first_b = a(data, 0.3), b(data, 0.3)
    np.testing.assert_array_equal(first_a, first_b)
    second_a, second_b = a(data, 0.3), b(data, 0.3)
    np.testing.assert_array_equal(second_a, second_b)
    assert not np.array_equal(nan_mask(first_a), nan_mask(second_a))


def test_rate_zero_still_advances_the_generator():
    data = gaussian(30, 4)
    a, b = MNAR(mode="MAX", random_seed=4), MNAR(mode="MAX", random_seed=4)
    a(data, 0.0)
    assert not np.array_equal(nan_mask(a(data, 0.3)), nan_mask(b(data, 0.3)))


def test_results_do_not_depend_on_the_pool_size():
    code = """
        import json, numpy as np
        from porosa import MNAR
        data = np.random.default_rng(1).normal(size=(300, 9))
        data[::7, 3] = np.nan
        out = {}
        for mode, kw in [("MAX", {}), ("MIN", {}), ("GM", {}), ("GM", {"mean": 0.2, "variance": 0.5}),
                         ("BLOCK", {}), ("BLOB", {"n_blobs": 5})]:
            inst = MNAR(mode=mode, random_seed=21, **kw)
            # GM needs NaN-free columns for its references.
            x = np.nan_to_num(data) if mode == "GM" else data
            masks = [np.flatnonzero(np.isnan(inst(x, r))).tolist() for r in (0.3, 0.05)]
            out[mode + str(kw)] = masks
        print(json.dumps(out))
    """
    results = [run_with_threads(code, n) for n in (1, 2, 8)]
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("rate, limit_text", [(0.7, "0.6000000000000001")])
def test_missing_rate_warning_text(rate, limit_text):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = MNAR(mode="MAX", random_seed=1)(gaussian(10, 4), rate)
    assert [str(w.message) for w in caught] == [
        f"Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: {limit_text}"
    ]
    assert nan_mask(out).sum() == int(np.ceil(40 * 0.6000000000000001))


def test_one_column_warns_with_limit_zero_and_removes_nothing():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = MNAR(mode="MAX", random_seed=1)(gaussian(10, 1), 0.5)
    assert [str(w.message) for w in caught][0].endswith("Maximum missing rate: 0")
    assert not nan_mask(out).any()


@pytest.mark.parametrize("rate", [float("nan"), -0.5, 0.0])
def test_rates_without_removal(rate):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        out = MNAR(mode="MAX", random_seed=1)(gaussian(10, 4), rate)
    assert not nan_mask(out).any()


@pytest.mark.parametrize(
    "data, cap, rate",
    [
        (np.full((6, 4), np.nan), 0.8, 0.5),     # nothing left to remove
        (gaussian(8, 3), 5.0, 4.0),              # cap above 1: more than the unprotected cells
        (np.where(np.eye(6, 4) > 0, 1.0, np.nan), 0.8, 0.5),
    ],
)
@pytest.mark.parametrize("mode", ["MAX", "MIN", "GM"])
def test_unreachable_target_ends(data, cap, rate, mode, PanicException):
    inst = MNAR(mode=mode, random_seed=2, max_missing_per_column=cap)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        try:
            out = inst(data, rate)
        except PanicException as e:
            # GM on data full of NaN has NaN references.
            assert mode == "GM" and str(e) == "Sample is nan"
            return
    # Only protected cells survive: at most one per row, exactly one in full rows.
    kept = (~nan_mask(out)).sum(axis=1)
    assert kept.max() <= 1
    full_rows = (~nan_mask(data)).all(axis=1)
    assert (kept[full_rows] == 1).all()


def test_gm_nan_centre_panics_and_instance_stays_usable(PanicException):
    data = gaussian(10, 3)
    data[4, 0] = np.nan  # missing cells alone are fine
    # The two middle values are -inf and +inf: the median is NaN.
    data[:5, 1], data[5:, 1] = -np.inf, np.inf
    inst = MNAR(mode="GM", random_seed=1)
    with pytest.raises(PanicException, match="^Sample is nan$"):
        inst(data, 0.5)
    np.testing.assert_array_equal(np.isnan(data).sum(), 1)
    inst(gaussian(10, 3), 0.5)


@pytest.mark.parametrize("mean", [1.0, 1.5, 7.0])
def test_gm_quantile_past_the_end_takes_the_largest(mean):
    # Odd row count: the literal position would fall off the sorted column.
    data = gaussian(9, 3)
    out = MNAR(mode="GM", mean=mean, random_seed=1)(data, 0.1)
    assert nan_mask(out).sum() == 3


def test_frame_in_frame_out_with_text_column():
    df = pd.DataFrame({"a": np.arange(20.0), "b": list("xyz" * 6 + "xy"), "c": np.arange(20) % 3})
    out = MNAR(mode="MIN", random_seed=3)(df, 0.3)
    assert isinstance(out, pd.DataFrame) and list(out.columns) == ["a", "b", "c"]
    assert out.isna().sum().sum() == 18
    assert set(out["b"].dropna()) <= {"x", "y", "z"}


def test_zero_columns_with_rows_fails_as_the_draw_needs_a_column(PanicException):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(PanicException, match="cannot sample empty range"):
            MNAR(mode="MAX", random_seed=1)(np.zeros((3, 0)), 0.0)


def test_zero_rows_returns_empty():
    out = MNAR(mode="MAX", random_seed=1)(np.zeros((0, 3)), 0.5)
    assert out.shape == (0, 3)
