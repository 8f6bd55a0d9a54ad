"""The rules porosa_kit repeats in Python (_rules.py) against the extension itself."""

import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import example, given
from hypothesis import strategies as st

import porosa
from porosa_kit import MCAR
from porosa_kit._frame import array_missing, column_missing
from porosa_kit._rules import number_text, rate_limit, rate_warning, target

NAN, INF = float("nan"), float("inf")


def warned(call):
    """The texts of the warnings `call` issues, and its result (or its failure)."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            result = call()
        except BaseException as e:  # noqa: BLE001 - porosa's PanicException too
            result = e
    return [str(w.message) for w in caught], result


# rows, columns, max_missing_per_column, rate: limits that print with many
# digits, with none, below 1e-20 and above 1e300, negative, exactly the
# rate, one ulp above it, and NaN.
RATE_CASES = [
    (10, 3, 0.8, 0.7), (7, 3, 0.7, 0.9), (6, 7, 1 / 3, 0.5), (5, 2, 1e-20, 0.5), (4, 3, 2.0, 1.5),
    (10, 1, 0.8, 0.5), (10, 4, 0.8, 0.6), (10, 5, 0.5, 0.4), (6, 3, 5e-324, 0.5), (6, 3, 1e300, INF),
    (6, 3, -0.5, 0.0), (6, 3, NAN, 0.5), (6, 3, 0.8, NAN), (3, 11, 0.9, 1.0),
]


@pytest.mark.parametrize("rows, cols, m, rate", RATE_CASES)
def test_rate_limit_warning_and_count_are_the_extensions(rows, cols, m, rate):
    limit = rate_limit(m, cols)
    expected = [rate_warning(limit)] if rate > limit else []
    data = np.arange(rows * cols, dtype=float).reshape(rows, cols)
    for cls in (porosa.MAR, porosa.MNAR):
        texts, _ = warned(lambda: cls(mode="MAX", max_missing_per_column=m, random_seed=1)(data, rate))
        assert texts == expected, cls.__name__
    theirs = warned(lambda: porosa.MNAR(mode="MAX", max_missing_per_column=m, random_seed=1)(data, rate))[1]
    ours_texts, ours = warned(lambda: MCAR(max_missing_per_column=m, random_seed=1)(data, rate))
    assert ours_texts == expected
    # Every row keeps its protected cell, so at most rows × (cols - 1) can go.
    count = min(target(rows, cols, limit if rate > limit else rate), rows * (cols - 1))
    assert np.isnan(theirs).sum() == np.isnan(ours).sum() == count


@given(st.floats(allow_nan=True, allow_infinity=True))
@example(0.1 + 0.2)
@example(-0.0)
@example(5e-324)
@example(1.7976931348623157e308)
@example(2.0**53 + 2)
@example(1e15 + 0.3)
@example(1e-7)
def test_number_text_is_the_extensions(value):
    # porosa writes GM's mean into the representation as it writes the limit
    # into its warning.
    assert f"MNAR[{number_text(value)}]" == repr(porosa.MNAR(mean=value))


@pytest.mark.parametrize("text", [
    "nan", "NaN", "<NA>", "None", "NAN", "Nan", "nAn", "", " ", "nan ", " nan", "-nan", "+nan", "N/A", "NA", "<na>",
    "<NA> ", "null", "NULL", "NaT", "inf", "nan\x00", "ｎａｎ",
])
def test_missing_texts_are_the_extensions(text):
    frame = pd.DataFrame({"t": [text, "x", "y"], "n": [1.0, 2.0, 3.0]})
    # Nothing removed: a frame comes back with None exactly where porosa read
    # a missing text.
    theirs = porosa.MNAR(mode="MAX", random_seed=1)(frame, 0.0).iloc[0, 0] is None
    assert column_missing(frame["t"])[0] == theirs
    # The text porosa writes into an object array there is read back alike.
    written = porosa.MNAR(mode="MAX", random_seed=1)(frame.to_numpy(), 0.0)
    assert array_missing(written)[0, 0] == array_missing(frame.to_numpy())[0, 0] == theirs

