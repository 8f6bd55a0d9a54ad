"""The study's progress bar: tasks done, elapsed and remaining time."""

from __future__ import annotations

import sys
from typing import Any


class _Silent:
    def update(self, n: int = 1) -> None:
        pass

    def close(self) -> None:
        pass


def progress_bar(total: int, show: bool | None) -> Any:
    """A tqdm bar of `total` tasks (a widget in a notebook), shown when
    `show` says so, by default when standard error is a terminal."""
    try:
        from tqdm.auto import tqdm
    except ImportError as e:
        if show:
            raise ImportError("progress=True needs tqdm: pip install porosa[study]") from e
        return _Silent()
    if show is None:
        isatty = getattr(sys.stderr, "isatty", None)
        show = bool(isatty and isatty())
    return tqdm(total=total, disable=not show, unit="task", desc="porosa_kit", file=sys.stderr)
