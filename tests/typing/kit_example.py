"""A typed user of porosa_kit: mypy --strict must accept it as it stands, and
every `type: ignore` below must still be needed (--warn-unused-ignores). It
also fails if the installed package lost its py.typed marker."""

from typing import assert_type

import numpy as np
import numpy.typing as npt
import pandas as pd

from porosa import MNAR
from porosa_kit import MCAR, Amputer, Evaluation, amputate, evaluate_imputers, missing_mask


def study(df: pd.DataFrame) -> pd.DataFrame:
    holes = amputate(df, MNAR(mode="MAX", random_seed=7), 0.2)
    assert_type(holes, pd.DataFrame)
    assert_type(missing_mask(df, holes), pd.DataFrame)
    result = evaluate_imputers(df, {"zeros": lambda h: h.fillna(0)}, [MCAR(random_seed=1)], [0.1, 0.2], repeats=3)
    assert_type(result, Evaluation)
    assert_type(result.scores, pd.DataFrame)
    return result.summary


def arrays(a: npt.NDArray[np.float64]) -> None:
    assert_type(amputate(a, MCAR(), 0.3), npt.NDArray[np.float64])
    assert_type(MCAR(random_seed=3)(a, 0.3), npt.NDArray[np.float64])
    assert_type(missing_mask(a, a), npt.NDArray[np.bool_])
    amputer = Amputer(mechanism="MNAR", mode="MAX", missing_rate=0.2, random_state=7)
    assert_type(amputer.fit(a), Amputer)

    amputate([[1.0]], MCAR(), 0.2)  # type: ignore[call-overload]
    MCAR(random_seed="7")  # type: ignore[arg-type]
    Amputer(block_size=[0.5, 0.5])  # type: ignore[arg-type]
    evaluate_imputers(a, [], [], 0.2, repeats="5")  # type: ignore[arg-type]


class Frame:
    """Types like a Polars DataFrame, so that the example checks without Polars."""

    def get_columns(self) -> list[object]:
        return []

    def to_arrow(self) -> object:
        return None


def tables(frame: Frame) -> None:
    assert_type(amputate(frame, MCAR(), 0.2), Frame)
    assert_type(MCAR()(frame, 0.2), Frame)
    assert_type(missing_mask(frame, frame), Frame)
