"""Data in and out of a generator call: which inputs are accepted, how cells
are read and classified, and what kind of object comes back. A rate of 0
removes nothing, so the result shows the conversion alone."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

from porosa import MNAR

UNSUPPORTED = "Unsupported type: '{}'. Supported types are: numpy.ndarray, pandas.DataFrame"


def roundtrip(data, rate=0.0, seed=1):
    return MNAR(mode="MAX", random_seed=seed)(data, rate)


def grid(rows=6, cols=4):
    return np.arange(rows * cols, dtype=np.float64).reshape(rows, cols) * 1.5 - 7.0


def assert_panics(PanicException, fn, match):
    with pytest.raises(PanicException) as info:
        fn()
    assert type(info.value).__name__ == "PanicException"
    assert match in str(info.value)


# ---- float64 arrays -------------------------------------------------------

LAYOUTS = {
    "c": lambda a: np.ascontiguousarray(a),
    "fortran": lambda a: np.asfortranarray(a),
    "sliced": lambda a: np.repeat(np.repeat(a, 2, axis=0), 3, axis=1)[::2, ::3],
    "reversed": lambda a: np.ascontiguousarray(a[::-1, ::-1])[::-1, ::-1],
    "transposed": lambda a: np.ascontiguousarray(a.T).T,
}


@pytest.mark.parametrize("layout", LAYOUTS)
def test_float64_layouts_read_in_row_major_order(layout):
    base = grid()
    base[2, 1] = np.nan
    base[0, 3] = -np.inf
    data = LAYOUTS[layout](base)
    out = roundtrip(data)
    assert type(out) is np.ndarray and out.dtype == np.float64 and out.flags.c_contiguous
    np.testing.assert_array_equal(out, base)
    assert out is not data
    # With removal too: the generator must see the same matrix whatever the strides.
    np.testing.assert_array_equal(roundtrip(data, 0.3), roundtrip(base, 0.3))


def test_float64_result_keeps_nan_in_removed_cells_and_input_untouched():
    data = grid()
    before = data.copy()
    out = roundtrip(data, 0.25)
    np.testing.assert_array_equal(data, before)
    assert np.isnan(out).sum() == math.ceil(data.size * 0.25)
    kept = ~np.isnan(out)
    np.testing.assert_array_equal(out[kept], data[kept])


def test_memmap_comes_back_as_plain_ndarray(tmp_path):
    path = tmp_path / "m.dat"
    mm = np.memmap(path, dtype=np.float64, mode="w+", shape=(3, 2))
    mm[:] = [[1, 2], [3, 4], [5, 6]]
    out = roundtrip(mm)
    assert type(out) is np.ndarray and out.dtype == np.float64
    np.testing.assert_array_equal(out, [[1, 2], [3, 4], [5, 6]])


@pytest.mark.parametrize("shape", [(0, 3), (0, 1)])
def test_empty_float64_array(shape):
    out = roundtrip(np.empty(shape))
    assert out.shape == shape and out.dtype == np.float64


# ---- arrays through the cell path -----------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        np.array([[1, -2], [3, 2**40]], dtype=np.int64),
        np.array([[1.5, -2.25], [3.0, 0.5]], dtype=np.float32),
        np.array([[1.5, -2.0], [3.0, 4.0]], dtype=">f8"),
        np.array([[True, False], [False, True]]),
        np.array([[1, 2.5], [True, None]], dtype=object)[:, :1],
    ],
    ids=["int64", "float32", "big-endian", "bool", "object"],
)
def test_numeric_arrays_come_back_as_python_floats(data):
    out = roundtrip(data)
    assert out.dtype == object and out.shape == data.shape
    for got, want in zip(out.ravel(), data.ravel()):
        assert type(got) is float and got == float(want)


def test_int_array_removed_cells_are_python_nan():
    data = np.arange(20, dtype=np.int64).reshape(5, 4)
    out = roundtrip(data, 0.3)
    missing = [c for c in out.ravel() if math.isnan(c)]
    assert len(missing) == 6 and all(type(c) is float for c in missing)


def test_string_array_decodes_texts_and_markers():
    data = np.array([["b", "nan", "x"], ["a", "NaN", "y"], ["<NA>", "None", "x"], ["b", "", "N/A"]])
    out = roundtrip(data)
    assert out.dtype == object
    want = [["b", "NaN", "x"], ["a", "NaN", "y"], ["NaN", "None", "x"], ["b", "", "N/A"]]
    assert out.tolist() == want
    assert all(type(c) is str for c in out.ravel())


def test_string_array_removed_cells_become_nan_text():
    data = np.array([[f"r{i}c{j}" for j in range(3)] for i in range(8)])
    out = roundtrip(data, 0.3)
    for got, want in zip(out.ravel(), data.ravel()):
        assert got in (want, "NaN")
    assert list(out.ravel()).count("NaN") == math.ceil(data.size * 0.3)


def test_mixed_object_array_classifies_columns():
    class Floaty:
        def __float__(self):
            return 2.5

    class NoFloat:
        def __float__(self):
            raise ValueError("no")

        def __str__(self):
            return "nf"

    data = np.empty((4, 5), dtype=object)
    data[:, 0] = [1.0, "a", 2.0, float("nan")]  # numbers before text keep their shortest form
    data[:, 1] = [1e20, -0.0, float("nan"), None]  # NaN before text is the marker "NaN"
    data[:, 2] = [Floaty(), 1, True, np.float32(0.5)]
    data[:, 3] = [3.0, NoFloat(), 10**400, "9"]
    data[:, 4] = [10**400, 0.0, 1.5, float("inf")]
    out = roundtrip(data)
    assert out[:, 0].tolist() == ["1", "a", "2.0", "NaN"]
    assert out[:, 1].tolist() == ["100000000000000000000", "-0", "NaN", "None"]
    assert out[:, 2].tolist() == [2.5, 1.0, 1.0, 0.5]
    assert out[:, 3].tolist() == ["3", "nf", str(10**400), "9"]
    assert out[:, 4].tolist() == [str(10**400), "0.0", "1.5", "inf"]


def test_float_nan_stays_numeric():
    data = np.array([[1.0, np.nan], [np.nan, 2]], dtype=object)
    out = roundtrip(data)
    assert out[0, 0] == 1.0 and math.isnan(out[0, 1]) and type(out[0, 1]) is float


@pytest.mark.parametrize("message", ["nope", "no\0pe"])
def test_failing_str_is_a_panic(PanicException, message):
    class Bad:
        def __str__(self):
            raise RuntimeError(message)

    data = np.array([["a", None]], dtype=object)
    data[0, 1] = Bad()
    assert_panics(PanicException, lambda: roundtrip(data), f"cant convert to str: RuntimeError: {message}")
    # The instance stays usable after the failure.
    assert roundtrip(np.ones((2, 2))).shape == (2, 2)


@pytest.mark.parametrize("data", [np.arange(3), np.zeros((2, 2, 2)), np.array(5)], ids=["1d", "3d", "0d"])
def test_arrays_not_two_dimensional_are_panics(PanicException, data):
    assert_panics(PanicException, lambda: roundtrip(data), "shape")


# ---- unsupported kinds ----------------------------------------------------


class ndarray_lookalike:  # noqa: N801 - a name one letter off must still be refused
    shape = (1, 1)


@pytest.mark.parametrize(
    "data, name",
    [
        ([[1.0, 2.0]], "list"),
        (((1.0,),), "tuple"),
        (np.asmatrix(np.ones((2, 2))), "matrix"),
        (pd.Series([1.0]), "Series"),
        (ndarray_lookalike(), "ndarray_lookalike"),
        (None, "NoneType"),
    ],
)
def test_unsupported_kind_prints_name_and_raises(capfd, data, name):
    with pytest.raises(TypeError) as info:
        roundtrip(data)
    assert str(info.value) == UNSUPPORTED.format(name)
    assert capfd.readouterr().out == name + "\n"


# ---- DataFrames -----------------------------------------------------------


@pytest.mark.parametrize(
    "columns, want",
    [
        (None, ["0", "1", "2"]),
        (pd.Index([-3, 0, 7]), ["-3", "0", "7"]),
        (["x", "y", "z"], ["x", "y", "z"]),
        (pd.Index([True, False, True], dtype=object), ["1", "0", "1"]),
    ],
    ids=["default", "negative", "texts", "bools"],
)
def test_frame_labels_become_texts(columns, want):
    df = pd.DataFrame(np.ones((2, 3)), columns=columns)
    out = roundtrip(df)
    assert list(out.columns) == want


@pytest.mark.parametrize(
    "columns, exc",
    [([0.5, 1.5], TypeError), (["a", 1], TypeError), (pd.Index([2**63, 1], dtype=object), OverflowError)],
    ids=["float", "mixed", "too-large"],
)
def test_frame_labels_neither_texts_nor_integers_fail(columns, exc):
    df = pd.DataFrame(np.ones((2, 2)), columns=columns)
    with pytest.raises(exc):
        roundtrip(df)


def test_frame_text_columns_decode_and_markers_become_none():
    df = pd.DataFrame(
        {
            "num": [1, 2, 3, 4],
            "txt": ["b", "nan", "<NA>", "NaN"],
            "mixed": [1.0, "a", 2.0, None],
            # object dtype keeps None itself (a text dtype would store it as NaN)
            "none": pd.Series([None, "x", "", "None"], dtype=object, index=[10, 20, 30, 40]),
        },
        index=[10, 20, 30, 40],
    )
    before = df.copy()
    out = roundtrip(df)
    pd.testing.assert_frame_equal(df, before)
    assert list(out.index) == [0, 1, 2, 3]
    assert out["num"].dtype == np.float64 and out["num"].tolist() == [1.0, 2.0, 3.0, 4.0]
    assert out["txt"].dtype == object and out["txt"].tolist() == ["b", None, None, None]
    assert out["mixed"].tolist() == ["1", "a", "2.0", "None"]
    assert out["none"].tolist() == ["None", "x", "", "None"]


def test_frame_removed_text_cells_are_none_and_input_untouched():
    df = pd.DataFrame({"a": list("pqrstuvw"), "b": [f"t{i % 3}" for i in range(8)], "c": np.arange(8.0)})
    before = df.copy()
    out = roundtrip(df, 0.4)
    pd.testing.assert_frame_equal(df, before)
    for col in "ab":
        for got, want in zip(out[col], df[col]):
            assert got is None or got == want
    assert out.isna().sum().sum() == math.ceil(df.size * 0.4)


def test_float_frame_matches_array_fast_path():
    data = grid(10, 3)
    df = pd.DataFrame(data, columns=["a", "b", "c"])
    out = roundtrip(df, 0.3)
    assert (out.dtypes == np.float64).all()
    np.testing.assert_array_equal(out.to_numpy(), roundtrip(data, 0.3))


def test_empty_frame_keeps_its_shape():
    out = roundtrip(pd.DataFrame({"a": [], "b": []}))
    assert out.shape == (0, 2) and list(out.columns) == ["a", "b"]


# ---- first use from many threads ------------------------------------------


def test_first_use_from_many_threads_at_once():
    # The NumPy interface is loaded on first use; a fresh interpreter lets the
    # threads race for it.
    script = textwrap.dedent(
        """
        import threading
        import numpy as np, pandas as pd
        from porosa import MNAR
        barrier = threading.Barrier(8)
        results = [None] * 8
        def work(k):
            data = np.arange(40.0).reshape(10, 4) if k % 2 else pd.DataFrame({"t": list("abcdefghij")})
            barrier.wait()
            results[k] = MNAR(mode="MAX", random_seed=3)(data, 0.2)
        threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert all(np.array_equal(results[1], r, equal_nan=True) for r in results[1::2])
        assert all(results[0].equals(r) for r in results[0::2])
        print("ok")
        """
    )
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"
