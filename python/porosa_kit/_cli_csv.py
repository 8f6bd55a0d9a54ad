"""CSV text as the command line reads and writes it: the delimiter guessed
from the first lines, the table parsed from bytes read once, and the text of
every cell as written, so that the cells an amputation keeps are written
back byte for byte."""

from __future__ import annotations

import csv
import io
import re
from dataclasses import dataclass
from typing import Any, TextIO

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._cli_errors import Failure

# What the delimiter is guessed among, and the part of a file it is guessed from.
DELIMITERS = ",;\t|"
SAMPLE = 8192
_BOM = b"\xef\xbb\xbf"


@dataclass(frozen=True)
class Cells:
    """A CSV's header and cells as written (a quoted cell without its
    quotes), with its file's line ending and byte-order mark."""

    header: list[str]
    cells: npt.NDArray[np.object_]
    newline: str
    bom: bool

    def write(self, removed: npt.NDArray[np.bool_], target: str | TextIO, sep: str) -> None:
        """Writes the cells to a path or a text stream, `removed` ones empty."""
        kept = self.cells.copy()
        kept[removed] = ""
        if self.bom and not isinstance(target, str):
            target.write("\ufeff")
        pd.DataFrame(kept, dtype=object).to_csv(
            target, sep=sep, index=False, header=self.header, lineterminator=self.newline,
            encoding="utf-8-sig" if self.bom else "utf-8")


def parse(data: bytes, sep: str | None, name: str, *, cells: bool) -> tuple[pd.DataFrame, str, Cells | None]:
    """The table in CSV `data`, its delimiter, and with `cells` its text.

    The frame holds what pandas reads (numbers where a column holds numbers,
    missing for its usual markers), for the amputation to order and count;
    with `cells`, its labels are the header as written, repeats included.
    """
    used = sep or sniff(data[:SAMPLE])
    written = _cells(data, used) if cells else None
    if written is None:
        # low_memory=False: one dtype per column, not one per chunk of rows.
        frame = pd.read_csv(io.BytesIO(data), **_options(used))
    else:
        # Positional names: pandas would rename a repeated label ("a.1").
        frame = pd.read_csv(io.BytesIO(data), header=0, names=range(len(written.header)), **_options(used))
        if len(frame) != len(written.cells):
            raise Failure(f"{name}: read as text it has {len(written.cells)} rows, as values {len(frame)}; "
                          "this is a fault of porosa_kit: please report it")
        frame.columns = pd.Index(written.header, dtype=object)
    if frame.shape[1] == 1:
        _check_one_column(frame, data[:SAMPLE], used, name)
    return frame, used, written


def _options(sep: str) -> dict[str, Any]:
    # pandas' fast parser takes a one-byte delimiter only, and says so in a
    # warning when it hands a longer one to its slower one.
    if len(sep.encode("utf-8")) > 1:
        return {"sep": sep, "engine": "python"}
    return {"sep": sep, "low_memory": False}


def _cells(data: bytes, sep: str) -> Cells:
    texts = pd.read_csv(io.BytesIO(data), header=None, dtype=str, keep_default_na=False, na_filter=False,
                        **_options(sep))
    # A row shorter than the header has no text for its last cells.
    values = texts.fillna("").to_numpy(dtype=object)
    line = data[: data.find(b"\n") + 1]
    return Cells(header=[str(v) for v in values[0]], cells=values[1:], bom=data.startswith(_BOM),
                 newline="\r\n" if line.endswith(b"\r\n") else "\n")


def sniff(sample: bytes) -> str:
    """The delimiter of a CSV whose first bytes are `sample`."""
    text = sample.decode("utf-8", errors="replace").lstrip("\ufeff")
    if len(sample) == SAMPLE and "\n" in text:
        text = text[: text.rindex("\n") + 1]  # whole lines: a cut one counts fewer delimiters
    try:
        return csv.Sniffer().sniff(text, delimiters=DELIMITERS).delimiter
    except csv.Error:
        return ","


def sep_option(sep: str) -> str:
    """How to pass `sep` on the command line."""
    return "tab" if sep == "\t" else f"'{sep}'"


def _check_one_column(frame: pd.DataFrame, sample: bytes, sep: str, name: str) -> None:
    """One column read from a header that holds another delimiter, outside
    quotes, is most likely a file read with the wrong one."""
    header = sample.decode("utf-8", errors="replace").lstrip("\ufeff").partition("\n")[0]
    unquoted = re.sub(r'"[^"]*"', "", header)
    others = [d for d in DELIMITERS if d != sep and d in unquoted]
    if others:
        raise Failure(f"{name} was read as one column, {str(frame.columns[0])!r}, but its header holds "
                      f"{others[0]!r}: if that separates its columns, pass --sep {sep_option(others[0])}")
