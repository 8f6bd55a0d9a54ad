"""porosa's internal failures as the Python errors porosa_kit raises.

porosa stops on what it treats as impossible with PanicException, which
derives from BaseException so that ``except Exception`` misses it, yet many
of its causes are ordinary data: a table without rows, a text cell that
cannot be encoded. porosa_kit reaches porosa only through the two functions
below, so no PanicException leaves it.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

import numpy as np

import porosa

T = TypeVar("T")

# The text porosa gives a warning that the filters turned into an error.
_WARNED = "Something went wrong..: UserWarning: "


def is_panic(error: BaseException | None) -> bool:
    """Whether ``error`` is porosa's PanicException.

    It is no attribute of the module, so it is known by its type's name and
    module; being no Exception, it can be nothing a user raised on purpose.
    """
    cls = type(error)
    return cls.__name__ == "PanicException" and cls.__module__ == porosa.__name__ and not isinstance(error, Exception)


def guarded(fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    """``fn(*args, **kwargs)`` with porosa's PanicException raised as the error
    it stands for, the panic as its cause.

    A warning that the filters turned into an error is raised as that
    UserWarning, as :class:`porosa_kit.MCAR` raises its own; every other
    internal failure as ValueError with porosa's text. Anything that is not a
    PanicException (KeyboardInterrupt, a signal handler's exception) passes
    through unchanged.
    """
    try:
        return fn(*args, **kwargs)
    except BaseException as e:
        if not is_panic(e):
            raise
        text = str(e)
        if text.startswith(_WARNED):
            raise UserWarning(text[len(_WARNED):]) from e
        raise ValueError(text) from e


def generate(generator: Callable[[Any, float], Any], data: Any, missing_rate: float) -> Any:
    """``generator(data, missing_rate)``: porosa_kit's one call of a generator.

    A 2-D table without a cell has nothing to lose: where porosa fails on one
    (MAR without rows, MNAR without columns), it comes back as an unchanged
    copy. Other failures are raised as :func:`guarded` raises them.
    """
    try:
        return guarded(generator, data, missing_rate)
    except ValueError as e:
        if is_panic(e.__cause__) and np.ndim(data) == 2 and 0 in data.shape:
            return data.copy()
        raise
