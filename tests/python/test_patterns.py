"""MNAR BLOCK and BLOB end to end."""

import warnings

import numpy as np
import pandas as pd
import pytest

from helpers import hang_guard, nan_mask
from porosa import MNAR


def peak_memory():
    """The peak of this process's resident memory since the last clear, in bytes."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmHWM:"))


def clear_peak_memory():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # the peak becomes the current resident memory


def grid(rows, cols, seed=0):
    return np.random.default_rng(seed).normal(size=(rows, cols))


@pytest.mark.parametrize("shape", [(10, 10), (40, 7), (7, 40)])
@pytest.mark.parametrize("size", [None, (0.05, 0.05), (1.0, 1.0), (0.3, 0.9)])
@pytest.mark.parametrize("rate", [0.1, 0.4])
def test_block_removes_exactly_target_and_spares_one_column(shape, size, rate):
    data = grid(*shape)
    out = MNAR(mode="BLOCK", block_size=size, random_seed=7)(data, rate)
    gone = nan_mask(out)
    assert gone.sum() == int(np.ceil(shape[0] * shape[1] * rate))
    # One column, the same in every row, is protected.
    assert (~gone).all(axis=0).any()


def test_block_with_two_columns_removes_one_column_wide_rectangles():
    for seed in range(20):
        out = MNAR(mode="BLOCK", random_seed=seed)(grid(30, 2), 0.3)
        gone = nan_mask(out)
        assert gone.sum() == 18
        assert (gone.sum(axis=1) <= 1).all()
        assert not (gone[:, 0].any() and gone[:, 1].any())


def test_block_counts_around_input_nan():
    data = grid(20, 6)
    data[3:9, 2] = np.nan
    out = MNAR(mode="BLOCK", random_seed=1)(data, 0.25)
    assert nan_mask(out).sum() == 6 + 30


@pytest.mark.parametrize("n_blobs", [1, 3, 17])
@pytest.mark.parametrize("rate", [0.05, 0.3])
def test_blob_never_removes_a_protected_cell(n_blobs, rate):
    data = grid(50, 8)
    out = MNAR(mode="BLOB", n_blobs=n_blobs, random_seed=3)(data, rate)
    gone = nan_mask(out)
    assert (~gone).any(axis=1).all()
    target = int(np.ceil(400 * rate))
    # Overlapping blobs count twice but add one NaN cell; one blob never overlaps.
    assert gone.sum() <= target
    if n_blobs == 1:
        assert gone.sum() == target


@pytest.mark.parametrize("shape,rate,n_blobs", [((1000, 20), 0.001, 1000), ((100, 20), 0.3, 10**6)])
def test_blobs_drawn_after_nothing_remains_take_no_cell(shape, rate, n_blobs):
    out = MNAR(mode="BLOB", n_blobs=n_blobs, random_seed=3)(grid(*shape), rate)
    assert 0 < nan_mask(out).sum() <= np.ceil(shape[0] * shape[1] * rate)


def test_blob_and_block_results_are_reproducible_and_frames_work():
    df = pd.DataFrame(grid(25, 5), columns=list("abcde"))
    df["t"] = ["x", "y", "z", "w", "v"] * 5
    for mode in ("BLOCK", "BLOB"):
        a = MNAR(mode=mode, random_seed=11)(df, 0.3)
        b = MNAR(mode=mode, random_seed=11)(df, 0.3)
        pd.testing.assert_frame_equal(a, b)
        assert a.isna().sum().sum() > 0


@pytest.mark.parametrize(
    "kwargs, data, rate",
    [
        ({"mode": "BLOCK"}, np.full((6, 5), np.nan), 0.5),
        ({"mode": "BLOCK", "max_missing_per_column": 4.0}, grid(6, 5), 3.0),
        ({"mode": "BLOB", "n_blobs": 0}, grid(6, 5), 0.5),
        ({"mode": "BLOB", "n_blobs": 2, "max_missing_per_column": 4.0}, grid(6, 5), 3.0),
        ({"mode": "BLOB", "n_blobs": 3}, grid(2, 2), 0.5),
        ({"mode": "BLOB", "n_blobs": 5, "max_missing_per_column": 9.0}, grid(1, 3), 5.0),
        ({"mode": "BLOCK", "block_size": (float("nan"), float("inf"))}, grid(9, 4), 0.6),
        ({"mode": "BLOCK", "block_size": (-1.0, -3.0)}, grid(9, 4), 0.6),
    ],
)
def test_unreachable_or_odd_patterns_end(kwargs, data, rate):
    with hang_guard(), warnings.catch_warnings():
        warnings.simplefilter("ignore")
        out = MNAR(random_seed=2, **kwargs)(data, rate)
    assert out.shape == data.shape
    if kwargs.get("n_blobs") == 0:
        np.testing.assert_array_equal(out, data)


def test_blob_allocation_failure_is_reported(PanicException):
    inst = MNAR(mode="BLOB", n_blobs=2**62, random_seed=1)
    with pytest.raises((PanicException, MemoryError), match="n_blobs too large"):
        inst(grid(5, 5), 0.3)
    assert repr(inst) == "MNAR[Blobs(4611686018427387904)]"


def test_blob_lists_beyond_half_the_memory_are_refused_before_any_is_filled(PanicException):
    # Lists that could be granted on credit but not filled would get the
    # process killed: the refusal comes before they are filled (tens of GiB),
    # so the peak of resident memory stays about where it was.
    clear_peak_memory()
    before = peak_memory()
    with pytest.raises(PanicException, match="n_blobs too large"):
        MNAR(mode="BLOB", n_blobs=4 * 10**9, random_seed=1)(grid(5, 5), 0.3)
    assert peak_memory() - before < 64 * 2**20
