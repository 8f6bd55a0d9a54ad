"""How a checkpoint records a task: its rows with the study's mark, the last
row closed by the task's row count and a checksum of the task's bytes, so
that a file cut anywhere (a kill mid-write, a full disk) reads back as its
whole tasks followed by a tail known to be damaged."""

from __future__ import annotations

import csv
import math
import re
import sys
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import Any, cast

import pandas as pd

from ._fingerprint import digest
from ._scoring import COLUMNS

FILE_COLUMNS = COLUMNS + ["study", "check"]
HEADER = (",".join(FILE_COLUMNS) + "\n").encode("ascii")
# The columns of the files of earlier versions, which recorded tasks without
# checks and seeded them by the mechanisms' names.
EARLIER = COLUMNS + ["study"]
_CHECK = re.compile(r"(\d+):([0-9a-f]{16})")


def encode(rows: list[dict[str, Any]], mark: str) -> tuple[pd.DataFrame, bytes]:
    """A task's rows as the frame a Parquet file keeps and the bytes a CSV
    file gets in one write, both closed by the same check."""
    frame = pd.DataFrame(rows, columns=COLUMNS).assign(study=mark, check="")
    # The text ends in the last row's empty check and its newline: the check goes between.
    body = frame.to_csv(header=False, index=False, lineterminator="\n").encode("utf-8", "backslashreplace")[:-1]
    check = f"{len(rows)}:{digest(body)}"
    frame.iloc[-1, -1] = check
    return frame, body + check.encode("ascii") + b"\n"


def row(record: dict[str, Any]) -> dict[str, Any]:
    """A row read back as the study made it: Python's numbers, None for no
    error, from a CSV file's texts or a Parquet file's values."""
    def number(value: Any) -> float:
        return math.nan if value is None or value == "" else float(value)

    error = record["error"]
    missing = error is None or error == "" or (isinstance(error, float) and math.isnan(error))
    return {"dataset": str(record["dataset"]), "mechanism": str(record["mechanism"]),
            "missing_rate": float(record["missing_rate"]), "repeat": int(record["repeat"]),
            "imputer": str(record["imputer"]), "metric": str(record["metric"]), "score": number(record["score"]),
            "cells": int(record["cells"]), "seconds": number(record["seconds"]),
            "dropped": "" if record["dropped"] is None else str(record["dropped"]),
            "error": None if missing else str(error)}


@dataclass
class Read:
    """A checkpoint as read: each whole task's mark, records and first
    row's position (Parquet), the bytes (CSV) or rows (Parquet) they end
    at, and the records of the damaged tail."""

    tasks: list[tuple[str, list[dict[str, Any]], int]] = field(default_factory=list)
    end: int = 0
    cut: list[dict[str, Any]] = field(default_factory=list)
    damaged: bool = False


def columns_problem(names: list[str], path: Any) -> str | None:
    """Why a file with these columns is no checkpoint of this version; None if it is."""
    if names == FILE_COLUMNS:
        return None
    if names == EARLIER:
        return (f"{path} is the checkpoint of an earlier porosa_kit, which seeded tasks otherwise and did not "
                "check them; give another file, or delete it to start again")
    return f"{path} is no checkpoint of a study: its columns are {names}"


def read_csv(data: bytes, path: Any) -> Read:
    """The whole tasks of a CSV checkpoint's bytes, up to the first damage."""
    newline = data.find(b"\n")
    if newline < 0 and HEADER.startswith(data):  # cut within its header: no task yet
        return Read(damaged=bool(data))
    header = data[:newline + 1] if newline >= 0 else data
    problem = columns_problem(next(csv.reader([header.decode("utf-8", "replace").rstrip("\r\n")]), []), path)
    if problem:
        raise ValueError(problem)
    read = Read(end=len(header))
    # csv refuses a field longer than its limit (128 KiB), which the labels a
    # wide table's imputer dropped can exceed; the limit is only ever raised.
    if csv.field_size_limit() < len(data):
        csv.field_size_limit(min(len(data), sys.maxsize))
    group: list[dict[str, Any]] = []
    for fields, end in _records(data, read.end):
        if len(fields) != len(FILE_COLUMNS):
            break
        record = dict(zip(FILE_COLUMNS, fields))
        group.append(record)
        if not record["check"]:
            continue
        check = _CHECK.fullmatch(record["check"])
        if check is None or int(check[1]) != len(group) or \
                check[2] != digest(data[read.end:end - len(check[0]) - 1]):
            break
        read.tasks.append((record["study"], group, 0))
        read.end, group = end, []
    read.damaged = read.end < len(data)
    read.cut = [dict(zip(FILE_COLUMNS, f)) for f, _ in _records(data, read.end) if len(f) == len(FILE_COLUMNS)]
    return read


def _records(data: bytes, start: int) -> Iterator[tuple[list[str], int]]:
    """Each record from `start` with the offset it ends at; the records stop
    at a line without its newline, and at a quote left open."""
    at = start

    def lines() -> Iterator[str]:
        nonlocal at
        while (newline := data.find(b"\n", at)) >= 0:
            line, at = data[at:newline + 1], newline + 1
            yield line.decode("utf-8", "surrogateescape")

    reader = csv.reader(lines(), strict=True)
    try:
        for fields in reader:
            yield fields, at
    except csv.Error:
        return


def read_frame(frame: pd.DataFrame, path: Any) -> Read:
    """The whole tasks of a Parquet checkpoint's rows."""
    problem = columns_problem(list(map(str, frame.columns)), path)
    if problem:
        raise ValueError(problem)
    read, group = Read(), []
    records = cast(list[dict[str, Any]], frame.to_dict("records"))
    for i, record in enumerate(records):
        group.append(record)
        check = _CHECK.fullmatch(str(record["check"] or ""))
        if check is None:
            continue
        if int(check[1]) != len(group):
            break
        read.tasks.append((str(record["study"]), group, read.end))
        read.end, group = i + 1, []
    read.damaged = read.end < len(frame)
    read.cut = records[read.end:]
    return read
