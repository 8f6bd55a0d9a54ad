"""porosa_kit's amputate, missing_mask and MCAR."""

import copy
import math
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import MCAR, amputate, missing_mask

N = 40
GENERATORS = [
    pytest.param(lambda: porosa.MNAR(mode="MAX", random_seed=5), id="MNAR-MAX"),
    pytest.param(lambda: porosa.MNAR(mode="MIN", random_seed=5), id="MNAR-MIN"),
    pytest.param(lambda: porosa.MAR(mode="MAX", random_seed=5), id="MAR-MAX"),
]


def ranks():
    return np.random.default_rng(3).permutation(N)


def with_hole(values):
    """A column of N values with its sixth cell missing (NaN in texts, which
    porosa reads as missing where it reads None as a text)."""
    s = pd.Series(values)
    s.iloc[5] = np.nan if s.dtype == object else None
    return s.array


# (the column as a user has it, what porosa should read for it): numbers in
# order of value, each built from the ranks by an increasing linear map so that
# text order and value order differ; texts as porosa reads texts.
COLUMNS = {
    "Int64": lambda r: (with_hole(pd.array(r * 7 + 3, dtype="Int64")), with_hole(r * 7.0 + 3)),
    "int64": lambda r: (r * 7 + 3, r * 7.0 + 3),
    "boolean": lambda r: (with_hole(pd.array(r % 2 == 1, dtype="boolean")), with_hole(r % 2 * 1.0)),
    "float32": lambda r: (with_hole((r * 1.5 - 20).astype(np.float32)), with_hole(r * 1.5 - 20)),
    "datetime": lambda r: (with_hole(pd.Timestamp("1999-12-30") + pd.to_timedelta(r * 37, "h")),
                           with_hole(r * 37.0)),
    # Across the autumn clock change: local times repeat, so their texts
    # do not sort as the times do.
    "datetime-tz": lambda r: (with_hole(pd.Timestamp("2001-10-28 01:20", tz="Europe/Paris")
                                        + pd.to_timedelta(r * 5, "min")), with_hole(r * 5.0)),
    "timedelta": lambda r: (with_hole(pd.to_timedelta(r * 7 - 20, "h")), with_hole(r * 7.0)),
    "ordered category": lambda r: (
        with_hole(pd.Categorical.from_codes(r, [f"z{N - k:03d}" for k in range(N)], ordered=True)),
        with_hole(r * 1.0)),
    "category": lambda r: (with_hole(pd.Categorical([f"c{k}" for k in r])),
                           with_hole(np.array([f"c{k}" for k in r], dtype=object))),
    "string": lambda r: (with_hole(pd.array([f"s{k}" for k in r], dtype="string")),
                         with_hole(np.array([f"s{k}" for k in r], dtype=object))),
}


@pytest.mark.parametrize("make", GENERATORS)
@pytest.mark.parametrize("kind", COLUMNS)
def test_frame_columns_go_to_the_generator_as_porosa_should_read_them(kind, make):
    column, reads_as = COLUMNS[kind](ranks())
    other = np.random.default_rng(4).normal(size=N)
    frame = pd.DataFrame({"x": column, "y": other})
    expected = make()(pd.DataFrame({"x": pd.Series(reads_as, dtype=object if reads_as.dtype == object else None),
                                    "y": other}), 0.3)
    got = amputate(frame, make(), 0.3)
    assert np.array_equal(got.isna().to_numpy(), expected.isna().to_numpy())


def mixed_frame():
    r = ranks()
    frame = pd.DataFrame({k: COLUMNS[k](r)[0] for k in COLUMNS})
    frame["float64"] = with_hole(np.linspace(-1, 1, N))
    # Named dtype: pandas 3 would read a bare object array of texts as its str dtype.
    frame["object"] = pd.Series([f"o{k % 5}" for k in r], dtype=object)
    frame.loc[5, "object"] = np.nan
    frame.index = pd.Index([f"row{k}" for k in range(N)], name="id")
    frame.columns = ["Int64", 1, "boolean", "float32", ("a", "tuple"), "datetime-tz", "timedelta",
                     "ordered category", "category", "string", "float64", "object"]
    return frame


NULLABLE = {1: pd.Int64Dtype(), "boolean": pd.BooleanDtype()}


@pytest.mark.parametrize("make", [GENERATORS[0], pytest.param(lambda: MCAR(random_seed=5), id="MCAR")])
def test_a_frame_comes_back_as_it_went_in(make):
    frame = mixed_frame()
    frame["boolean"] = frame["boolean"].fillna(True).astype(bool)
    before = frame.copy(deep=True)
    rate = 0.25
    out = amputate(frame, make(), rate)
    pd.testing.assert_frame_equal(frame, before)  # untouched
    assert out.index.equals(frame.index) and list(out.columns) == list(frame.columns)
    for j, label in enumerate(frame.columns):
        assert out.dtypes.iloc[j] == NULLABLE.get(label, frame.dtypes.iloc[j]), label
    removed = missing_mask(frame, out).to_numpy()
    assert removed.sum() == math.ceil(frame.size * rate)
    # Every other cell is as it was.
    kept = out.mask(removed).astype(object).where(~out.isna() & ~removed, "gap")
    pd.testing.assert_frame_equal(kept, frame.astype(object).where(~out.isna() & ~removed, "gap").astype(object),
                                  check_dtype=False)


@pytest.mark.parametrize("make", GENERATORS + [pytest.param(lambda: MCAR(random_seed=5), id="MCAR")])
@pytest.mark.parametrize("dtype", [np.float64, np.int64])
def test_arrays_go_straight_through(make, dtype):
    a = np.random.default_rng(1).normal(size=(30, 4)) * 10
    a = a.astype(dtype)
    if dtype is np.float64:
        a[3, 1] = np.nan
    got, expected = amputate(a, make(), 0.3), make()(a, 0.3)
    assert got.dtype == expected.dtype
    assert np.array_equal(got.view(np.uint64), expected.view(np.uint64)) if got.dtype == np.float64 \
        else np.array_equal(pd.isna(got), pd.isna(expected))


def test_a_float_frame_equals_the_generators_own_call_bit_for_bit():
    frame = pd.DataFrame(np.random.default_rng(2).normal(size=(200, 6)), index=np.arange(200) * 3)
    frame.iloc[::7, 2] = np.nan
    got = amputate(frame, porosa.MAR(mode="GM", random_seed=9), 0.3)
    expected = porosa.MAR(mode="GM", random_seed=9)(frame, 0.3)
    assert np.array_equal(got.to_numpy().view(np.uint64), expected.to_numpy().view(np.uint64))
    assert got.index.equals(frame.index)


def test_any_generator_with_porosas_call_works():
    def first_column_of_even_rows(data, rate):
        out = data.copy()
        out.iloc[::2, 0] = np.nan
        return out

    frame = mixed_frame()
    out = amputate(frame, first_column_of_even_rows, 0.5)
    mask = missing_mask(frame, out).to_numpy()
    assert mask[:, 1:].sum() == 0 and mask[::2, 0].all() and mask.sum() == N // 2


@pytest.mark.parametrize("as_frame", [False, True])
def test_missing_mask_marks_the_removed_cells(as_frame):
    data = np.array([[1.0, "a"], [np.nan, "b"], [3.0, "NaN"], [4.0, "c"]] * 10, dtype=object)
    before = pd.DataFrame(data, index=range(100, 140)) if as_frame else data
    after = porosa.MNAR(mode="MAX", random_seed=2)(before, 0.25)  # object array: "NaN" texts
    mask = missing_mask(before, after)
    assert mask.sum().sum() == 20 and not np.asarray(mask)[1::4, 0].any() and not np.asarray(mask)[2::4, 1].any()
    if as_frame:
        assert mask.index.equals(before.index)


# --- MCAR ---------------------------------------------------------------


def mcar_by_its_definition(bits, data, rate, m=0.8):
    """MCAR as its docstring defines it, one word at a time."""
    rows, cols = data.shape
    limit = m - m / cols
    rate = limit if rate > limit else rate
    target = math.ceil(rows * cols * rate) if rate > 0 else 0
    protected = [int(bits.random_raw()) % cols for _ in range(rows)]
    candidates = [(i, j) for i in range(rows) for j in range(cols) if not np.isnan(data[i, j]) and j != protected[i]]
    n = len(candidates)
    k = min(target, n)
    s = k if 2 * k <= n else n - k
    drawn = set()
    while k and len(drawn) < s:
        for _ in range(s - len(drawn)):
            drawn.add(int(bits.random_raw()) % n)
    out = data.copy()
    for c in (drawn if s == k else set(range(n)) - drawn):
        out[candidates[c]] = np.nan
    return out


@pytest.mark.parametrize("rows, cols, holes, rates, m", [
    (20, 5, 0.0, [0.3, 0.3], 0.8),
    (31, 7, 0.2, [0.1, 0.6, 0.0], 0.8),  # 0.6 draws the cells to keep
    (12, 3, 0.5, [0.9], 2.0),  # asks for more than there is
    (9, 1, 0.0, [0.5], 0.8),  # one column: nothing can go
])
def test_mcar_removes_the_cells_its_definition_names(rows, cols, holes, rates, m):
    rng = np.random.default_rng(rows)
    data = rng.normal(size=(rows, cols))
    data[rng.random(data.shape) < holes] = np.nan
    mcar, bits = MCAR(random_seed=11, max_missing_per_column=m), np.random.PCG64(11)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for rate in rates:  # successive calls continue the stream
            got = mcar(data, rate)
            assert np.array_equal(got, mcar_by_its_definition(bits, data, rate, m), equal_nan=True)


def test_mcar_draws_are_pinned():
    # The same cells with any NumPy version: the test runs with NumPy 1 and 2.
    mcar = MCAR(random_seed=2024)
    a = np.arange(48.0).reshape(8, 6)
    assert np.flatnonzero(np.isnan(mcar(a, 0.25))).tolist() == [1, 2, 11, 19, 23, 27, 31, 32, 34, 37, 43, 44]
    with pytest.warns(UserWarning, match="Maximum missing rate: 0.6666666666666667$"):
        out = mcar(a, 0.7)
    assert np.flatnonzero(~np.isnan(out)).tolist() == [3, 5, 8, 10, 12, 16, 19, 20, 23, 26, 30, 36, 42, 43, 44, 46]
    assert not np.isnan(a).any()


@pytest.mark.parametrize("cols, m, rate", [(4, 0.8, 0.7), (3, 0.5, 0.9), (5, 1e-3, 0.5), (2, 0.3, 1.0)])
def test_mcar_warns_and_caps_as_porosa(cols, m, rate):
    a = np.ones((10, cols))
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        expected = np.isnan(porosa.MNAR(mode="MAX", max_missing_per_column=m, random_seed=1)(a, rate)).sum()
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        got = np.isnan(MCAR(max_missing_per_column=m, random_seed=1)(a, rate)).sum()
    assert [str(w.message) for w in ours] == [str(w.message) for w in theirs] and len(ours) == 1
    assert got == expected


@pytest.mark.parametrize("data", [np.ones((10, 2)), pd.DataFrame(np.ones((10, 2)))], ids=["array", "frame"])
@pytest.mark.parametrize("call", [lambda d: MCAR()(d, 0.9), lambda d: amputate(d, MCAR(), 0.9)],
                         ids=["MCAR", "amputate"])
def test_mcar_warns_at_the_callers_line(data, call):
    with pytest.warns(UserWarning, match="Maximum missing rate") as caught:
        call(data)
    assert [w.filename for w in caught] == [__file__]


@pytest.mark.parametrize("dtype, out_dtype", [
    ("float32", "float32"), ("int16", "float64"), ("bool", "float64"), ("datetime64[s]", "datetime64[s]"),
    ("U3", "object"),
])
def test_mcar_array_kinds(dtype, out_dtype):
    a = (np.arange(60).reshape(12, 5) % 7).astype(dtype)
    out = MCAR(random_seed=3)(a, 0.3)
    assert out.dtype == out_dtype and pd.isna(out).sum() == 18


def test_mcar_cells_do_not_depend_on_threads_and_copies_continue_the_stream(monkeypatch):
    data = np.random.default_rng(0).normal(size=(200_000, 3))  # several blocks of rows
    results = []
    for threads in ("1", "3"):
        monkeypatch.setenv("POROSA_THREADS", threads)
        results.append(MCAR(random_seed=8)(data, 0.4))
    assert np.array_equal(results[0], results[1], equal_nan=True)
    first = MCAR(random_seed=8)
    first(data[:50], 0.2)
    second = copy.deepcopy(first)
    assert np.array_equal(first(data[:50], 0.2), second(data[:50], 0.2), equal_nan=True)


def test_mcar_works_in_a_forked_child_after_its_parent_used_it():
    # The child inherits the parent's pool of threads but none of its threads.
    script = """if True:
        import os, numpy as np
        from porosa_kit import MCAR
        a = np.ones((300_000, 3))
        MCAR(random_seed=1)(a, 0.2)
        pid = os.fork()
        if pid == 0:
            os._exit(int(np.isnan(MCAR(random_seed=1)(a, 0.2)).sum() != 180_000))
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
    """
    proc = subprocess.run([sys.executable, "-P", "-c", script], capture_output=True, text=True, timeout=120)
    assert proc.stdout.strip() == "0", proc.stderr
