"""porosa_kit's promises over random frames of mixed dtypes, gaps, odd labels
and 0 to 50 rows: the input untouched, the guide's count of new missing cells,
dtypes, index and labels kept, the same cells for the same seed, and no
PanicException (nothing but a result: these inputs are all valid)."""

import math
import os
import warnings
from contextlib import contextmanager

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import porosa
from porosa_kit import MCAR, amputate, missing_mask

PROPERTY = settings(
    max_examples=int(os.environ.get("POROSA_KIT_EXAMPLES", "80")), deadline=None, database=None,
    derandomize=True, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])

# --- strategies ------------------------------------------------------------

TEXTS = ["a", "b", "zz", "é", "nan", "NaN", "<NA>", None]  # with porosa's missing markers
COLUMNS = {  # kind: (cell strategy, the column from a list of cells)
    "float": (st.floats(-1e6, 1e6) | st.just(math.nan), lambda v: np.array(v, dtype=float)),
    "int": (st.integers(-50, 50), lambda v: np.array(v, dtype=np.int64)),
    "Int64": (st.integers(-50, 50) | st.none(), lambda v: pd.array(v, dtype="Int64")),
    "bool": (st.booleans(), lambda v: np.array(v, dtype=bool)),
    "boolean": (st.booleans() | st.none(), lambda v: pd.array(v, dtype="boolean")),
    "object": (st.sampled_from(TEXTS), lambda v: pd.Series(v, dtype=object).array),
    "string": (st.sampled_from(TEXTS), lambda v: pd.array(v, dtype="string")),
    "category": (st.sampled_from(TEXTS), lambda v: pd.Categorical(v)),
    "ordered": (st.sampled_from(["lo", "mid", "hi", None]),
                lambda v: pd.Categorical(v, categories=["lo", "mid", "hi"], ordered=True)),
    "datetime": (st.integers(0, 10**6) | st.none(), lambda v: pd.to_datetime(v, unit="h").array),
}
LABELS = st.sampled_from([0, 1, "a", "b", 2.5, ("t", 1)])  # repeats and non-texts
GENERATORS = {
    "MCAR": lambda seed: MCAR(random_seed=seed),
    **{f"MAR-{m}": (lambda m: lambda seed: porosa.MAR(mode=m, random_seed=seed))(m) for m in ("GM", "MAX", "MIN")},
    **{f"MNAR-{m}": (lambda m: lambda seed: porosa.MNAR(mode=m, random_seed=seed))(m)
       for m in ("GM", "MAX", "MIN", "BLOCK", "BLOB")},
}


@st.composite
def cases(draw):
    """A frame, an amputation of it (generator name, seed, rate) and the labels it excludes."""
    name, seed = draw(st.sampled_from(sorted(GENERATORS))), draw(st.integers(0, 2**64 - 1))
    rate = draw(st.floats(0, 1) | st.sampled_from([0.1, 0.3, 0.5]))
    rows, kinds = draw(st.integers(0, 50)), draw(st.lists(st.sampled_from(sorted(COLUMNS)), max_size=6))
    frame = pd.DataFrame({j: COLUMNS[k][1](draw(st.lists(COLUMNS[k][0], min_size=rows, max_size=rows)))
                          for j, k in enumerate(kinds)})
    frame.index = draw(st.sampled_from([pd.RangeIndex(rows), pd.Index(np.arange(rows) // 2 * 7),
                                        pd.Index([f"r{i}" for i in range(rows)][::-1])]))
    frame.columns = draw(st.lists(LABELS, min_size=len(kinds), max_size=len(kinds)))
    exclude = draw(st.none() | st.lists(st.sampled_from(list(frame.columns)), max_size=2)) if kinds else None
    return frame, name, seed, rate, exclude


@contextmanager
def quiet():
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # porosa's rate warning
        try:
            yield
        except Exception:
            raise
        except BaseException as e:  # PanicException derives from BaseException
            raise AssertionError(f"{type(e).__name__} left porosa_kit: {e}") from e


def run(case):
    frame, name, seed, rate, exclude = case
    with quiet():
        return amputate(frame, GENERATORS[name](seed), rate, exclude=exclude)


def amputated(case):
    """The positions of the columns the generator sees."""
    frame, exclude = case[0], case[4] or []
    return [j for j, label in enumerate(frame.columns) if label not in exclude]


def held(frame):
    """The cells that hold a value: missing neither to pandas nor, as a text, to porosa."""
    return ~(frame.isna() | frame.astype(object).isin(["nan", "NaN", "<NA>"])).to_numpy(dtype=bool)


# --- properties --------------------------------------------------------------
# Each property is checked on every case: drawing a case costs more than
# checking one, so the properties share the cases instead of drawing their own.


def the_new_missing_cells_are_the_guides_count_and_the_rest_is_kept(case, out, removed):
    frame, name, _, rate, _ = case
    keep = amputated(case)
    rows, cols = frame.shape[0], len(keep)
    rate = min(rate, 0.8 - 0.8 / cols if cols else -math.inf)  # porosa's cap, and MCAR's
    target = math.ceil(float(rows * cols) * rate) if rows * cols * rate > 0 else 0
    present = held(frame)[:, keep].sum(axis=0)
    if name == "MNAR-BLOB":
        enough = False  # clouds may overlap: at most the target
    elif name.startswith("MAR"):  # n columns lose cells, each at most ceil(target / n)
        n = math.ceil(float(cols) * rate / 0.8) if target else 1
        enough = present.min(initial=rows) >= math.ceil(target / n)
    else:  # one protected cell per row
        enough = present.sum() - rows >= target
    assert removed.sum() == target if enough else removed.sum() <= target
    for j in range(frame.shape[1]):
        was, now = frame.iloc[:, j], out.iloc[:, j]
        assert now[~removed[:, j]].astype(object).equals(was[~removed[:, j]].astype(object))


WIDER = {"int64": "Int64", "bool": "boolean"}  # dtypes that cannot hold a missing value


def dtypes_index_and_labels_are_kept(case, out, mask):
    frame, keep = case[0], amputated(case)
    for got in (out, mask):
        assert got.index.equals(frame.index) and got.columns.equals(frame.columns)
    for j, dtype in enumerate(frame.dtypes):
        assert str(out.dtypes.iloc[j]) == (WIDER.get(str(dtype), str(dtype)) if j in keep else str(dtype))
    assert (mask.dtypes == bool).all()


def the_same_seed_removes_the_same_cells_by_every_road(case, out, numbered):
    frame, name, seed, rate, exclude = case
    pd.testing.assert_frame_equal(run(case), out, check_exact=True)
    with quiet():
        by_mcar = MCAR(random_seed=seed)(frame, rate)  # on every frame: it must leave each untouched
        if name == "MCAR" and exclude is None:
            pd.testing.assert_frame_equal(by_mcar, out, check_exact=True)
        Amputer = pytest.importorskip("porosa_kit._amputer").Amputer
        mechanism, _, mode = name.partition("-")
        fitted = Amputer(mechanism=mechanism, mode=mode or None, missing_rate=rate, random_state=seed).fit(numbered)
        expected = amputate(numbered, GENERATORS[name](seed), rate)
        pd.testing.assert_frame_equal(fitted.transform(numbered), expected, check_exact=True)


@PROPERTY
@given(cases())
def test_the_input_is_untouched_and_the_result_is_the_guides(case):
    frame = case[0]
    numbered = frame.set_axis(range(frame.shape[1]), axis=1)  # labels as scikit-learn takes them
    before = [frame.copy(deep=True), numbered.copy(deep=True)]
    out = run(case)
    with quiet():
        mask = missing_mask(frame, out)
    the_new_missing_cells_are_the_guides_count_and_the_rest_is_kept(case, out, mask.to_numpy())
    dtypes_index_and_labels_are_kept(case, out, mask)
    the_same_seed_removes_the_same_cells_by_every_road(case, out, numbered)
    pd.testing.assert_frame_equal(frame, before[0], check_exact=True)
    pd.testing.assert_frame_equal(numbered, before[1], check_exact=True)
