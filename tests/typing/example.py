"""A typed user of porosa: mypy --strict must accept it as it stands, and
every `type: ignore` below must still be needed (--warn-unused-ignores), so
the stub neither rejects good calls nor accepts bad ones."""

from typing import Any, assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

from porosa import MAR, MNAR


def amputate_frame(df: pd.DataFrame, rate: float) -> pd.DataFrame:
    return MAR(mode="MAX", random_seed=7)(df, rate)


def amputate_array(a: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    gen = MNAR(mode="BLOCK", block_size=(0.2, 0.1), random_seed=7)
    return gen(a, missing_rate=0.3)


def calls() -> None:
    floats = np.zeros((4, 3))
    ints: npt.NDArray[np.int64] = np.arange(12).reshape(4, 3)
    frame = pd.DataFrame({"x": [1.0, 2.0], "y": ["a", "b"]})

    assert_type(MNAR()(floats, 0.2), npt.NDArray[np.float64])
    assert_type(MNAR(mode="blob", n_blobs=2)(ints, 0.2), npt.NDArray[np.object_])
    assert_type(MAR(0.3, 0.1)(frame, 0.2), pd.DataFrame)
    assert_type(repr(MAR()), str)
    seeded: Any = MNAR(None, None, None, None, 0.5, "MIN", 2**64 - 1)
    assert seeded is not None

    MNAR()([[1.0, 2.0]], 0.2)  # type: ignore[call-overload]
    MNAR()(floats)  # type: ignore[call-overload]
    MAR(block_size=(0.5, 0.5))  # type: ignore[call-arg]
    MNAR(block_size=[0.5, 0.5])  # type: ignore[arg-type]
    MAR(random_seed="7")  # type: ignore[arg-type]
    MAR().mode  # type: ignore[attr-defined]


class Mine(MNAR):  # type: ignore[misc]
    pass
