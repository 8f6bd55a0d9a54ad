"""What porosa_kit's parameters may be, declared once: the estimator, the
functions, MCAR and the command line check their values against these and
word their errors from them."""

from __future__ import annotations

import math
import numbers
import operator
from dataclasses import dataclass
from typing import Any

# In the order the Python API's messages name them: porosa's two, then the kit's.
MECHANISMS = ("MAR", "MNAR", "MCAR")
# The modes each mechanism takes, in the order the help lists them; the
# mechanisms in the order a study shows them when none is chosen.
MODES: dict[str, tuple[str, ...]] = {
    "MCAR": (),
    "MAR": ("GM", "MAX", "MIN"),
    "MNAR": ("GM", "MAX", "MIN", "BLOCK", "BLOB"),
}
# The modes' own parameters, each with the one mode that uses it: porosa
# warns about and drops it for any other.
MODE_PARAMETERS = {"mean": "GM", "variance": "GM", "block_size": "BLOCK", "n_blobs": "BLOB"}
PARAMETERS = tuple(MODE_PARAMETERS)


@dataclass(frozen=True)
class Range:
    """The numbers a parameter takes, and the words that say which.

    ``kind`` names what the value is ("a number"), ``bounds`` the range in
    words ("from 0 to 1", "" when any finite value will do); the limits
    are the same range as numbers. NaN is in no range.
    """

    kind: str
    bounds: str
    low: float = -math.inf
    high: float = math.inf
    low_open: bool = False
    high_open: bool = False

    def __contains__(self, value: Any) -> bool:
        above = value > self.low if self.low_open else value >= self.low
        below = value < self.high if self.high_open else value <= self.high
        return bool(above and below)

    @property
    def expected(self) -> str:
        """What a value must be, as one phrase: "a number from 0 to 1"."""
        if not self.bounds:
            return self.kind
        # "a whole number of at least 1", but "a number from 0 to 1".
        return f"{self.kind} {'of ' if self.bounds.startswith('at least') else ''}{self.bounds}"


RATE = Range("a number", "from 0 to 1", 0, 1)
SEED = Range("an integer", "from 0 to 2**64 - 1", 0, 2**64 - 1)
COUNT = Range("a whole number", "at least 1", 1)
# max_missing_per_column, and each side of block_size.
SHARE = Range("a number", "above 0 and at most 1", 0, 1, low_open=True)
FINITE = Range("a finite number", "", low_open=True, high_open=True)
SPREAD = Range("a finite number", "at least 0", 0, high_open=True)
# A study's time limit per step of a task, in seconds.
TIMEOUT = Range("a number of seconds", "above 0", 0, low_open=True)


def listed(words: tuple[str, ...]) -> str:
    """"A, B or C"."""
    return ", ".join(words[:-1]) + " or " + words[-1]


def check_mechanism(mechanism: Any) -> str:
    """The mechanism's name in capitals; ValueError for no mechanism."""
    name = str(mechanism).upper()
    if name not in MECHANISMS:
        raise ValueError(f"mechanism must be one of {', '.join(MECHANISMS)}, not {mechanism!r}")
    return name


def check_rate(missing_rate: Any) -> None:
    """ValueError unless ``missing_rate`` is a real number in RATE."""
    if not isinstance(missing_rate, numbers.Real) or missing_rate not in RATE:
        raise ValueError(f"missing_rate must be {RATE.expected}, not {missing_rate!r}")


def check_seed(random_seed: Any) -> int | None:
    """``random_seed`` as an int, or None; like porosa, TypeError for what is
    no integer and OverflowError outside SEED."""
    if random_seed is None:
        return None
    seed = operator.index(random_seed)
    if seed not in SEED:
        raise OverflowError(f"random_seed must be {SEED.bounds}, not {seed}")
    return seed


def check_timeout(timeout: Any) -> float | None:
    """``timeout`` as a float, or None; ValueError outside TIMEOUT."""
    if timeout is None:
        return None
    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real) or timeout not in TIMEOUT:
        raise ValueError(f"timeout must be None or {TIMEOUT.expected}, not {timeout!r}")
    return float(timeout)


def check_parameters(max_missing_per_column: Any = None, **params: Any) -> None:
    """ValueError, worded alike for every entry (the estimator, the
    descriptions, MCAR and the command line), for a parameter outside its
    declared range. porosa itself takes these and quietly does nothing, or
    too much: no blobs remove no cell, a cap above 1 caps nothing."""
    if max_missing_per_column is not None:
        _check_share("max_missing_per_column", max_missing_per_column)
    n_blobs = params.get("n_blobs")
    if n_blobs is not None and (isinstance(n_blobs, bool) or not isinstance(n_blobs, numbers.Integral)
                                or n_blobs not in COUNT):
        raise ValueError(f"n_blobs must be {COUNT.expected}, not {n_blobs!r}")
    size = params.get("block_size")
    if size is not None:
        sides = tuple(size) if isinstance(size, (tuple, list)) else ()
        if len(sides) != 2 or not all(_is_real(s) and s in SHARE for s in sides):
            raise ValueError(f"block_size must be two numbers {SHARE.bounds}, not {size!r}")


def _check_share(name: str, value: Any) -> None:
    if _is_real(value) and value not in SHARE:
        raise ValueError(f"{name} must be {SHARE.expected}, not {value!r}")


def _is_real(value: Any) -> bool:
    return isinstance(value, numbers.Real) and not isinstance(value, bool)


def real(value: Any, name: str) -> float:
    """``value`` as a float; TypeError, naming ``name``, for what is no real number."""
    if isinstance(value, numbers.Real):
        return float(value)
    raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
