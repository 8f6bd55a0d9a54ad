"""A study's checkpoint: the rows of every finished task in a CSV or Parquet
file, marked with the study that wrote them, so that running the same study
again does only what is left and never mixes in another study's rows."""

from __future__ import annotations

import hashlib
import math
import os
import re
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import pandas as pd

from ._scoring import COLUMNS
from ._tasks import Task

# The parts of a study's mark, in the words a refusal names them by.
PARTS = {"tables": "tables", "mechanisms": "mechanisms", "imputers": "imputers",
         "scoring": "metrics or excluded columns", "seed": "random_state"}
TEXT = ["dataset", "mechanism", "imputer", "metric", "dropped", "error", "study"]
# A Parquet file cannot be appended to: it is written whole, at most this
# often while the study runs, and once more at its end or interruption.
PARQUET_EVERY = 1.0


def _digest(text: str) -> str:
    return hashlib.blake2b(text.encode("utf-8"), digest_size=6).hexdigest()


def _identity(obj: Any) -> str:
    """What an imputer or generator is, without the memory address that
    differs from run to run."""
    if callable(obj) and hasattr(obj, "__qualname__") and not hasattr(obj, "get_params"):
        return f"{getattr(obj, '__module__', '')}.{obj.__qualname__}"
    return re.sub(r" at 0x[0-9a-fA-F]+", "", repr(obj))


def _table_hash(data: Any) -> str:
    frame = data if isinstance(data, pd.DataFrame) else pd.DataFrame(np.asarray(data))
    try:
        cells = pd.util.hash_pandas_object(frame, index=True).to_numpy().tobytes().hex()
    except TypeError:  # cells pandas cannot hash: their pickled bytes
        import pickle

        cells = hashlib.blake2b(pickle.dumps(frame)).hexdigest()
    return f"{list(map(str, frame.columns))}{list(map(str, frame.dtypes))}{cells}"


def fingerprint(tables: Mapping[str, Any], mechanisms: Mapping[str, Any], imputers: Sequence[tuple[str, Any]],
                metrics: Sequence[str], exclude: Any, random_state: int | None) -> str:
    """The study's mark on each of its rows: one short hash per part, and
    the seed as it is. Rates and repeats are left out, so a study extended
    by either reuses the tasks it finished."""
    values = {
        "tables": "".join(f"{len(n)}:{n}{_table_hash(t)}" for n, t in tables.items()),
        "mechanisms": "".join(f"{len(n)}:{n}{_identity(m)}" for n, m in mechanisms.items()),
        "imputers": "".join(f"{len(n)}:{n}{_identity(i)}" for n, i in imputers),
        "scoring": f"{list(metrics)}{exclude!r}",
    }
    return " ".join([f"{part}={_digest(text)}" for part, text in values.items()] + [f"seed={random_state}"])


def _parts(mark: str) -> dict[str, str]:
    return dict(item.partition("=")[::2] for item in mark.split())


def recorded_seed(path: str | os.PathLike[str]) -> int | None:
    """The random_state a checkpoint's study ran with, if the file exists."""
    if not Path(path).exists():
        return None
    marks = _read(Path(path))["study"]
    seed = _parts(str(marks.iloc[0])).get("seed", "None") if len(marks) else "None"
    return int(seed) if seed.isdigit() else None


# Scores read back bit for bit: pandas 3.1 parses floats exactly by default
# (and deprecates the option); before, the option is needed.
_EXACT: dict[str, Any] = ({} if tuple(int(p) for p in pd.__version__.split(".")[:2]) >= (3, 1)
                          else {"float_precision": "round_trip"})


def _read(path: Path) -> pd.DataFrame:
    if _kind(path) == ".csv":
        frame: pd.DataFrame = pd.read_csv(path, dtype={c: str for c in TEXT}, keep_default_na=False,
                                          na_values={"score": [""], "seconds": [""]}, **_EXACT)
        return frame
    return pd.read_parquet(path)


def _kind(path: Path) -> str:
    kind = {".pq": ".parquet"}.get(path.suffix.lower(), path.suffix.lower())
    if kind not in (".csv", ".parquet"):
        raise ValueError(f"checkpoint must be a .csv, .parquet or .pq file, not {str(path)!r}")
    if kind == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError as e:
            raise ImportError("a Parquet checkpoint needs pyarrow: pip install porosa[parquet]") from e
    return kind


def _row(record: dict[str, Any]) -> dict[str, Any]:
    """A row read back as the study made it: Python's numbers, None for no error."""
    error = record["error"]
    missing = error is None or error == "" or (isinstance(error, float) and math.isnan(error))
    return {"dataset": str(record["dataset"]), "mechanism": str(record["mechanism"]),
            "missing_rate": float(record["missing_rate"]), "repeat": int(record["repeat"]),
            "imputer": str(record["imputer"]), "metric": str(record["metric"]), "score": float(record["score"]),
            "cells": int(record["cells"]), "seconds": float(record["seconds"]),
            "dropped": "" if record["dropped"] is None else str(record["dropped"]),
            "error": None if missing else str(error)}


class Checkpoint:
    """The file of a study's finished tasks: read when the study starts,
    written as each task finishes."""

    def __init__(self, path: str | os.PathLike[str], mark: str) -> None:
        self.path = Path(path)
        self.kind = _kind(self.path)
        self.mark = mark
        self.finished: dict[Task, list[dict[str, Any]]] = {}
        # Parquet: the frames of the file so far and of the tasks since, joined when written.
        self.kept: list[pd.DataFrame] = []
        self.pending = False
        self.written = 0.0
        if self.path.exists() and self.path.stat().st_size:
            self._load()

    def _load(self) -> None:
        frame = _read(self.path)
        if list(frame.columns) != COLUMNS + ["study"]:
            raise ValueError(f"{self.path} is no checkpoint of a study: its columns are {list(frame.columns)}")
        for other in dict.fromkeys(frame["study"]):
            if other != self.mark:
                raise ValueError(f"{self.path} is the checkpoint of another study (other {self._differs(other)}); "
                                 "give another file, or delete it to start again")
        self.kept = [frame]
        for record in frame.to_dict("records"):
            row = _row({str(k): v for k, v in record.items()})
            task = Task(row["dataset"], row["mechanism"], row["missing_rate"], row["repeat"])
            self.finished.setdefault(task, []).append(row)

    def _differs(self, other: str) -> str:
        mine, theirs = _parts(self.mark), _parts(str(other))
        named = [words for part, words in PARTS.items() if mine.get(part) != theirs.get(part)]
        return ", ".join(named) or "settings"

    def add(self, rows: list[dict[str, Any]]) -> None:
        """Records one finished task's rows."""
        if not rows:
            return
        frame = pd.DataFrame(rows, columns=COLUMNS).assign(study=self.mark)
        if self.kind == ".csv":
            new = not self.path.exists() or not self.path.stat().st_size
            with open(self.path, "a", encoding="utf-8", newline="") as f:
                frame.to_csv(f, header=new, index=False)
                f.flush()
            return
        self.kept.append(frame)
        self.pending = True
        if time.monotonic() - self.written >= PARQUET_EVERY:
            self.flush()

    def flush(self) -> None:
        """Writes what is not yet in the file, whole, replacing it at once:
        a study killed meanwhile leaves the last complete file."""
        if not self.pending:
            return
        temporary = self.path.with_name(self.path.name + ".partial")
        self.kept = [pd.concat(self.kept, ignore_index=True)]
        self.kept[0].to_parquet(temporary, index=False)
        os.replace(temporary, self.path)
        self.pending = False
        self.written = time.monotonic()
