"""porosa_kit's errors, its Amputer across threads, and the dtypes that widen."""

import threading
import warnings

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import MCAR, amputate, missing_mask

EMPTY = {
    "0 rows": (pd.DataFrame({"a": pd.array([], dtype="Int64"), "b": []}), None),
    "0 columns": (pd.DataFrame(index=[3, 1, 2]), None),
    "0 x 0 array": (np.zeros((0, 0)), None),
    "0-row array": (np.zeros((0, 3), dtype=int), None),
    "all excluded": (pd.DataFrame({"a": [1.0, 2.0], "b": [3, 4]}), ["a", "b"]),
}
GENERATORS = [lambda: porosa.MAR(random_seed=1), lambda: porosa.MNAR(random_seed=1),
              lambda: porosa.MNAR(mode="BLOCK", random_seed=1), lambda: MCAR(random_seed=1)]


@pytest.mark.filterwarnings("ignore:Warning. Missing rate")  # a table without columns has the limit -inf
@pytest.mark.parametrize("make", GENERATORS, ids=["MAR", "MNAR-GM", "MNAR-BLOCK", "MCAR"])
@pytest.mark.parametrize("case", EMPTY)
def test_a_table_without_cells_comes_back_unchanged(case, make):
    data, exclude = EMPTY[case]
    out = amputate(data, make(), 0.5, exclude=exclude)
    assert out is not data and out.shape == data.shape
    if isinstance(data, pd.DataFrame):
        pd.testing.assert_frame_equal(out, data)
    assert not np.asarray(missing_mask(data, out)).any()


@pytest.mark.parametrize("data, generator, text", [
    (np.array([["a", "\ud800"], ["b", "c"]]), porosa.MNAR(random_seed=1), "cant convert to str: UnicodeEncodeError"),
    (np.array([[np.inf, 1.0], [-np.inf, 1.0]]), porosa.MNAR(random_seed=1), "Sample is nan"),
    (np.zeros(4), porosa.MAR(random_seed=1), "shape must be a pair of non-negative integers"),
], ids=["surrogate", "GM without a centre", "1-D array"])
def test_porosas_internal_failures_come_out_as_value_errors(data, generator, text, PanicException):
    with pytest.raises(ValueError, match=f"^{text}") as caught:
        amputate(data, generator, 0.3)
    assert isinstance(caught.value.__cause__, PanicException) and str(caught.value) == str(caught.value.__cause__)


@pytest.mark.parametrize("call", [
    lambda: amputate(np.ones((5, 4)), porosa.MNAR(random_seed=1), 0.7),
    lambda: pytest.importorskip("porosa_kit._amputer").Amputer(mode="MAX", mean=0.3).fit(np.ones((5, 4))),
], ids=["amputate", "Amputer.fit"])
def test_a_warning_made_an_error_is_raised_as_that_warning(call):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(UserWarning) as caught:
            call()
    assert type(caught.value) is UserWarning


class PanicException(BaseException):
    """Named as porosa's, from another module: not porosa's."""


@pytest.mark.parametrize("raised", [KeyboardInterrupt, SystemExit, PanicException])
def test_other_base_exceptions_pass_through_unchanged(raised):
    error = raised("stop")

    def generator(data, rate):
        raise error

    with pytest.raises(raised) as caught:
        amputate(pd.DataFrame({"a": [1.0, 2.0]}), generator, 0.3)
    assert caught.value is error


@pytest.mark.parametrize("mechanism", ["MAR", "MNAR", "MCAR"])
def test_an_amputer_shared_by_threads_continues_one_stream(mechanism):
    Amputer = pytest.importorskip("porosa_kit._amputer").Amputer
    X = np.random.default_rng(0).normal(size=(300, 12))
    shared, alone = (Amputer(mechanism=mechanism, missing_rate=0.3, random_state=4).fit(X) for _ in range(2))
    results, errors = [], []

    def work():
        for _ in range(20):
            try:
                results.append(np.isnan(shared.transform(X)).tobytes())
            except Exception as e:  # noqa: BLE001 - counted
                errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    # Each call took the next stretch of the stream: the same 80 results as one thread's.
    assert sorted(results) == sorted(np.isnan(alone.transform(X)).tobytes() for _ in range(80))


N = 12
WIDENED = {  # the column, the dtype it comes back in
    "interval[int64]": (pd.arrays.IntervalArray.from_breaks(np.arange(N + 1)), "interval[float64, right]"),
    "interval[uint64]": (pd.arrays.IntervalArray.from_breaks(np.arange(N + 1, dtype="uint64"), closed="both"),
                         "interval[float64, both]"),
    "interval[float64]": (pd.arrays.IntervalArray.from_breaks(np.arange(N + 1) / 2), "interval[float64, right]"),
    "Sparse[int64]": (pd.arrays.SparseArray(np.arange(N) % 3), "Sparse[float64, 0.0]"),
    "Sparse[uint8, 1]": (pd.arrays.SparseArray(np.arange(N, dtype="uint8") % 3, fill_value=1), "Sparse[float64, 1.0]"),
    "Sparse[bool]": (pd.arrays.SparseArray(np.arange(N) % 3 == 0), "Sparse[object, False]"),
    "Sparse[float64]": (pd.arrays.SparseArray(np.arange(N) % 3 * 0.5), "Sparse[float64, nan]"),
}


@pytest.mark.parametrize("make", [lambda: porosa.MNAR(mode="MAX", random_seed=2), lambda: MCAR(random_seed=2)],
                         ids=["MNAR", "MCAR"])
@pytest.mark.parametrize("kind", WIDENED)
def test_interval_and_sparse_columns_widen_by_dtype_not_by_draw(kind, make):
    column, dtype = WIDENED[kind]
    frame = pd.DataFrame({"x": column, "y": np.arange(N) * 1.0})
    for rate, lost in [(0.0, 0), (0.4, 1)]:
        out = amputate(frame, make(), rate)
        gone = missing_mask(frame, out)["x"].to_numpy()
        assert str(out.dtypes["x"]) == dtype and (gone.sum() >= lost) and out["x"].isna().sum() == gone.sum()
        assert out["x"][~gone].astype(object).tolist() == frame["x"][~gone].astype(object).tolist()
