"""porosa's own rules, written again in Python where porosa_kit cannot ask the
extension: MCAR must cap, count and warn as porosa's generators do, and
missing_mask must read as missing what porosa reads as missing.
tests/python/test_kit_rules.py holds each of them to the extension."""

from __future__ import annotations

import decimal
import math

import numpy as np

# The texts porosa reads as a missing cell in a text column.
MISSING_TEXTS = ("nan", "NaN", "<NA>")

# porosa's warning when a rate is above the limit, before the limit's number
# text; the word MAR is porosa's for both of its classes.
RATE_WARNING = "Warning: Missing rate too high to ensure MAR properties! Maximum missing rate: "


def rate_limit(max_missing_per_column: float, columns: int) -> float:
    """The highest rate porosa keeps, ``m - m / columns``, in double precision
    (``-inf`` for no columns, NaN where ``m`` is infinite or NaN)."""
    with np.errstate(divide="ignore", invalid="ignore"):
        m = np.float64(max_missing_per_column)
        return float(m - m / np.float64(columns))


def rate_warning(limit: float) -> str:
    """The text of porosa's warning that a rate was lowered to ``limit``."""
    return RATE_WARNING + number_text(limit)


def target(rows: int, cols: int, rate: float) -> int:
    """ceil(rows × cols × rate) in double precision, as porosa counts it."""
    cells = float(rows * cols) * rate
    if not cells > 0:
        return 0
    return math.ceil(cells) if math.isfinite(cells) else rows * cols


def number_text(value: float) -> str:
    """A number as porosa writes it: the shortest decimal that reads back to
    the same double, positional, a whole number without a point."""
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "inf" if value > 0 else "-inf"
    text = format(decimal.Decimal(repr(value)), "f")
    return text.rstrip("0").rstrip(".") if "." in text else text
