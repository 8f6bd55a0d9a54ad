"""Building a generator from plain parameters, for Amputer and the command line."""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import Any

import porosa

from ._constraints import MODE_PARAMETERS, PARAMETERS, check_mechanism, check_parameters
from ._errors import guarded
from ._frame import Generator
from ._mcar import MCAR


def make_generator(mechanism: str, mode: str | None, seed: int | None,
                   max_missing_per_column: float = 0.8, **params: Any) -> Generator:
    """porosa's MAR or MNAR (mode None: GM), or MCAR (which takes no mode and
    none of the modes' parameters: ValueError if they are given)."""
    name = check_mechanism(mechanism)
    given = {k: v for k, v in params.items() if v is not None}
    unknown = set(given) - set(PARAMETERS)
    if unknown:
        raise TypeError(f"unknown parameters {sorted(unknown)}")
    check_parameters(max_missing_per_column, **given)
    if name == "MCAR":
        unused = (["mode"] if mode is not None else []) + sorted(given)
        if unused:
            raise ValueError(f"MCAR takes no {', '.join(unused)}")
        return MCAR(random_seed=seed, max_missing_per_column=max_missing_per_column)
    cls: Callable[..., Generator] = porosa.MAR if name == "MAR" else porosa.MNAR
    return guarded(cls, **given, max_missing_per_column=max_missing_per_column,
                   mode="GM" if mode is None else mode, random_seed=seed)


# Amputer's words, where porosa has none: MCAR is the kit's.
MCAR_IGNORES = "MCAR uses neither mode nor the modes' parameters"


def without_unused(mechanism: str, mode: str | None, params: dict[str, Any]) -> dict[str, Any]:
    """`params` without those the mode does not take, each warned about in
    porosa's words (MCAR: in Amputer's), so that every entry accepts them
    alike, as a grid search that sets them for the other modes needs."""
    unused = {p: v for p, v in params.items()
              if v is not None and (mechanism == "MCAR" or MODE_PARAMETERS[p] != (mode or "GM"))}
    if unused and mechanism == "MCAR":
        warnings.warn(MCAR_IGNORES, UserWarning, stacklevel=3)
    elif unused:
        make_generator(mechanism, mode, 0, **unused)  # porosa warns, and checks them as it would
    return {p: v for p, v in params.items() if p not in unused}
