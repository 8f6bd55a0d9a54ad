"""Building a generator from plain parameters, for Amputer and the command line."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import porosa

from ._errors import guarded
from ._frame import Generator
from ._mcar import MCAR

MECHANISMS = ("MAR", "MNAR", "MCAR")
# The modes' own parameters, passed to porosa's generators when given.
PARAMETERS = ("mean", "variance", "block_size", "n_blobs")


def make_generator(mechanism: str, mode: str | None, seed: int | None,
                   max_missing_per_column: float = 0.8, **params: Any) -> Generator:
    """porosa's MAR or MNAR (mode None: GM), or MCAR (which takes no mode and
    none of the modes' parameters: ValueError if they are given)."""
    name = str(mechanism).upper()
    if name not in MECHANISMS:
        raise ValueError(f"mechanism must be one of {', '.join(MECHANISMS)}, not {mechanism!r}")
    given = {k: v for k, v in params.items() if v is not None}
    unknown = set(given) - set(PARAMETERS)
    if unknown:
        raise TypeError(f"unknown parameters {sorted(unknown)}")
    if name == "MCAR":
        unused = (["mode"] if mode is not None else []) + sorted(given)
        if unused:
            raise ValueError(f"MCAR takes no {', '.join(unused)}")
        return MCAR(random_seed=seed, max_missing_per_column=max_missing_per_column)
    cls: Callable[..., Generator] = porosa.MAR if name == "MAR" else porosa.MNAR
    return guarded(cls, **given, max_missing_per_column=max_missing_per_column,
                   mode="GM" if mode is None else mode, random_seed=seed)


# The modes each mechanism takes, in the order the help lists them.
MODES = {"MCAR": (), "MAR": ("GM", "MAX", "MIN"), "MNAR": ("GM", "MAX", "MIN", "BLOCK", "BLOB")}


def mode_problem(mechanism: str, mode: str | None) -> str | None:
    """Why `mechanism` cannot take `mode`, in plain words; None if it can."""
    if mode is None:
        return None
    if mechanism == "MCAR":
        return "MCAR takes no mode"
    word = mode.upper()
    takers = [m for m, modes in MODES.items() if word in modes]
    if not takers:
        return f"unknown mode {mode!r}: expected one of {', '.join(MODES['MNAR'])}"
    if mechanism not in takers:
        return (f"{mechanism} cannot take mode {word}: only {' and '.join(takers)} can "
                f"(e.g. --mechanism {takers[0]}:{word}); {mechanism} takes {', '.join(MODES[mechanism])}")
    return None
