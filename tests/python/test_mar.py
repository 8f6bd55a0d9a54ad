"""MAR end to end: how many cells each missing column loses, which column
predicts, and what ends a call."""

import warnings

import numpy as np
import pandas as pd
import pytest

from helpers import nan_mask, run_with_threads
from porosa import MAR


def correlated(rows, cols, seed=0):
    rng = np.random.default_rng(seed)
    base = rng.normal(size=(rows, 1))
    return base + rng.normal(size=(rows, cols)) * np.linspace(0.2, 1.5, cols)


def call(inst, data, rate):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        out = inst(data, rate)
    return out, [str(w.message) for w in caught]


@pytest.mark.parametrize(
    "cols, rate, limit, target, losses",
    [
        (5, 1.0, "0.64", 32, [8, 8, 8, 8]),
        (5, 0.5, None, 25, [7, 6, 6, 6]),
        (3, 1.0, "0.5333333333333334", 17, None),
    ],
)
@pytest.mark.parametrize("mode", ["MAX", "MIN", "GM"])
def test_worked_ten_row_examples(cols, rate, limit, target, losses, mode):
    data = correlated(10, cols, seed=cols)
    out, warned = call(MAR(mode=mode, random_seed=3), data, rate)
    expected = [] if limit is None else [
        f"Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: {limit}"]
    assert warned == expected
    lost = nan_mask(out).sum(axis=0)
    assert lost.sum() == target
    if losses is not None:
        # The observed column keeps every value; the first missing column may lose one more.
        assert sorted(lost.tolist(), reverse=True) == [*losses, 0]
    else:
        assert sorted(lost.tolist()) == [5, 6, 6]


def test_max_removes_rows_of_smallest_predictor_values():
    # Column 1 is the only observed column when n = 1 of 2; it predicts column 0.
    x = np.arange(10.0)
    data = np.column_stack([x * 2 + 1, x[::-1].copy()])
    for seed in range(50):
        out = MAR(mode="MAX", random_seed=seed)(data, 0.3)
        missing = np.flatnonzero(nan_mask(out).any(axis=0))
        assert len(missing) == 1
        m = missing[0]
        p = 1 - m
        gone = np.flatnonzero(nan_mask(out)[:, m])
        np.testing.assert_array_equal(np.sort(data[gone, p]), np.sort(data[:, p])[: len(gone)])


def test_equal_predictor_values_remove_the_earlier_row_first():
    pred = np.array([1.0, 0.0, 0.0, 0.0, 2.0, 3.0])
    data = np.column_stack([np.arange(6.0), pred])
    for seed in range(40):
        out = MAR(mode="MAX", random_seed=seed)(data, 0.2)
        if nan_mask(out)[:, 0].any():
            assert np.flatnonzero(nan_mask(out)[:, 0]).tolist() == [1, 2, 3][: nan_mask(out).sum()]
            return
    pytest.fail("column 0 never missing")


def test_rate_zero_still_shuffles():
    data = correlated(20, 6)
    a, b = MAR(mode="MAX", random_seed=8), MAR(mode="MAX", random_seed=8)
    a(data, 0.0)
    outs = [nan_mask(a(data, 0.3)), nan_mask(b(data, 0.3))]
    assert not np.array_equal(*outs)


def test_same_seed_same_cells_second_call_differs():
    data = correlated(40, 6)
    a, b = MAR(random_seed=4, variance=0.2), MAR(random_seed=4, variance=0.2)
    np.testing.assert_array_equal(a(data, 0.3), b(data, 0.3))
    assert not np.array_equal(nan_mask(a(data, 0.3)), nan_mask(MAR(random_seed=4, variance=0.2)(data, 0.3)))


def test_results_do_not_depend_on_the_pool_size():
    code = """
        import json, numpy as np
        from porosa import MAR
        rng = np.random.default_rng(2)
        data = rng.normal(size=(400, 1)) + rng.normal(size=(400, 12))
        out = {m: np.flatnonzero(np.isnan(MAR(mode=m, random_seed=5)(data, 0.35))).tolist()
               for m in ("MAX", "MIN", "GM")}
        print(json.dumps(out))
    """
    results = [run_with_threads(code, n) for n in (1, 2, 8)]
    assert results[0] == results[1] == results[2]


def test_constant_column_is_never_a_predictor():
    rng = np.random.default_rng(0)
    data = np.column_stack([rng.normal(size=12), np.full(12, 0.1), rng.normal(size=12)])
    for seed in range(30):
        out = MAR(mode="MAX", random_seed=seed)(data, 0.2)
        assert nan_mask(out).sum() == int(np.ceil(36 * 0.2))


@pytest.mark.parametrize(
    "data, cap, rate",
    [
        (np.column_stack([np.full(8, np.nan), np.arange(8.0), np.arange(8.0) ** 2]), 0.8, 0.5),
        (np.random.default_rng(1).normal(size=(6, 4)), 3.0, 2.0),
        (np.random.default_rng(1).normal(size=(6, 4)), float("inf"), 0.3),
        (np.random.default_rng(1).normal(size=(6, 4)), float("nan"), 0.3),
    ],
)
@pytest.mark.parametrize("mode", ["MAX", "MIN"])
def test_unreachable_targets_end(data, cap, rate, mode):
    out, _ = call(MAR(mode=mode, random_seed=1, max_missing_per_column=cap), data, rate)
    assert out.shape == data.shape
    assert nan_mask(out).sum() >= nan_mask(data).sum()


def test_gm_with_a_nan_spread_factor_panics(PanicException):
    data = correlated(10, 2)
    data[3, :] = np.nan  # missing cells alone are fine
    inst = MAR(mode="GM", variance=float("nan"), random_seed=1)
    with pytest.raises(PanicException, match="^Sample is nan$"):
        inst(data, 0.3)
    assert repr(inst) == "MAR[0.5]"


@pytest.mark.parametrize("shape", [(0, 3), (4, 0)])
def test_empty_input_fails_in_correlation(shape, PanicException):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with pytest.raises(PanicException, match="^Failed to calculate pearson_correlation: EmptyInput$"):
            MAR(mode="MAX", random_seed=1)(np.zeros(shape), 0.3)


def test_one_column_warns_limit_zero_and_removes_nothing():
    out, warned = call(MAR(mode="MIN", random_seed=1), np.arange(5.0).reshape(5, 1), 0.4)
    assert warned[0].endswith("Maximum missing rate: 0")
    assert not nan_mask(out).any()


def test_frame_keeps_labels_and_text():
    df = pd.DataFrame({"x": np.arange(30.0), "y": np.arange(30.0) ** 1.5, "t": list("ab" * 15)})
    out = MAR(mode="GM", random_seed=2)(df, 0.2)
    assert list(out.columns) == ["x", "y", "t"]
    assert out.isna().sum().sum() == 18
    assert df.isna().sum().sum() == 0
