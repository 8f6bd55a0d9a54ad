"""The command line's files: CSV or Parquet by suffix, `-` for standard input
and output (as CSV), the CSV delimiter, and writes that replace their target
only once complete."""

from __future__ import annotations

import io
import os
import stat
import sys
from collections.abc import Callable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pandas as pd

from ._cli_csv import Cells, parse
from ._cli_errors import USAGE, Failure, one_line
from ._files import remove_leftovers, replacing

STDIO = "-"
SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


@dataclass(frozen=True)
class Table:
    """A table as read, with the delimiter of its CSV (None for Parquet),
    which the output keeps by default, and the CSV's cells as written when
    they were asked for."""

    frame: pd.DataFrame
    sep: str | None
    cells: Cells | None = None


def shown(path: str) -> str:
    """How a file is named in messages."""
    return "standard input" if path == STDIO else path


def file_kind(path: str, what: str = "") -> str:
    """"csv" or "parquet" by the suffix; `-` is CSV. `what` names the option."""
    if path == STDIO:
        return "csv"
    if os.path.isdir(path):
        raise Failure(f"{what}{path} is a directory; give a .csv, .parquet or .pq file")
    suffix = Path(path).suffix
    kind = SUFFIXES.get(suffix.lower())
    if kind is None:
        raise Failure(f"{what}{path}: unknown file type {suffix!r}; expected .csv, .parquet or .pq, "
                      "or - for standard input or output as CSV", USAGE)
    return kind


def check_output(path: str, what: str = "") -> None:
    """Fails before any work where `path` could not be written at the end."""
    if path == STDIO:
        return
    target = Path(os.path.realpath(path))
    if not target.parent.is_dir():
        raise Failure(f"{what}{path}: cannot write there: the directory {target.parent} does not exist")
    # The file is written beside its target and renamed over it, so the
    # directory must take a new file; only making one tells (root passes
    # every permission check, yet cannot make a file in /sys).
    try:
        with replacing(str(target), keep=False):
            pass
    except OSError as e:
        raise Failure(f"{what}{path}: cannot write there: {e.strerror or e}") from e


def read_table(path: str, *, sep: str | None = None, cells: bool = False) -> Table:
    """The table in `path` (`-`: standard input), a failure as one line.

    Without `sep`, a CSV's delimiter is guessed from its first lines among
    ``, ; tab |``, ',' when nothing fits. `cells` keeps a CSV's text too.
    """
    kind = file_kind(path)
    try:
        # Read once: a pipe or FIFO cannot be read again, and a delimiter
        # guessed from one read must be the delimiter of the data parsed.
        data = _read_bytes(path, kind)
        if kind == "parquet":
            return Table(pd.read_parquet(data), None)
        return Table(*parse(data, sep, shown(path), cells=cells))
    except Failure:
        raise
    except ImportError as e:
        raise Failure(f"{path}: reading Parquet needs pyarrow: pip install porosa[parquet]") from e
    except Exception as e:
        raise Failure(f"cannot read {shown(path)}: {_reason(e)}") from e


def _read_bytes(path: str, kind: str) -> Any:
    if path == STDIO:
        return sys.stdin.buffer.read()
    if kind == "parquet" and stat.S_ISREG(os.stat(path).st_mode):
        return path  # read in place, only the parts needed
    with open(path, "rb") as f:
        data = f.read()
    return data if kind == "csv" else io.BytesIO(data)


def _reason(error: Exception) -> str:
    if isinstance(error, IsADirectoryError):
        return "it is a directory; give a .csv, .parquet or .pq file"
    if isinstance(error, FileNotFoundError):
        return "no such file"
    if isinstance(error, UnicodeDecodeError):
        # No offset: pandas decodes by chunks, and gives it within one.
        return (f"it is not UTF-8 text (it holds the byte {error.object[error.start]:#04x}); is it a CSV file? "
                "Save it as UTF-8")
    if isinstance(error, pd.errors.EmptyDataError):
        return "it is empty: no header and no rows"
    if isinstance(error, OSError) and error.strerror:
        return error.strerror
    if isinstance(error, pd.errors.ParserError):
        return f"{one_line(error)}; if its columns are not separated by what it was read with, pass --sep"
    return one_line(error) or type(error).__name__


def write_table(frame: pd.DataFrame, path: str, *, sep: str = ",", what: str = "") -> None:
    """Writes `frame` without its index to `path` (`-`: standard output, as CSV);
    a file only appears or changes once it is complete."""
    _write(path, what, lambda target: frame.to_csv(target, sep=sep, index=False),
           lambda target: frame.to_parquet(target, index=False))


def write_cells(cells: Cells, removed: Any, path: str, *, sep: str) -> None:
    """Writes a CSV's cells as they were read, the `removed` ones empty, to
    a CSV file or standard output, as write_table does."""
    _write(path, "", lambda target: cells.write(removed, target, sep), None)


def _write(path: str, what: str, as_csv: Callable[[Any], None], as_parquet: Callable[[str], None] | None) -> None:
    try:
        if path == STDIO:
            as_csv(sys.stdout)
            sys.stdout.flush()
            return
        kind = file_kind(path, what)
        with replacing(path) as temp:
            if kind == "csv" or as_parquet is None:
                as_csv(temp)
            else:
                as_parquet(temp)
    except (Failure, BrokenPipeError):
        raise
    except ImportError as e:
        raise Failure(f"{what}{path}: writing Parquet needs pyarrow: pip install porosa[parquet]") from e
    except Exception as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else one_line(e)
        raise Failure(f"cannot write {what}{path}: {reason}") from e


def figure_format(path: str) -> str:
    """The image format that the suffix names, PNG without one."""
    return Path(path).suffix[1:].lower() or "png"


def write_figure(figure: Any, path: str) -> None:
    """Saves a matplotlib figure as write_table saves a table."""
    try:
        with replacing(path) as temp:
            # The format by name: the temporary file's suffix names none.
            figure.savefig(temp, format=figure_format(path), dpi=120)
    except Exception as e:
        reason = e.strerror if isinstance(e, OSError) and e.strerror else one_line(e)
        raise Failure(f"cannot write --figure {path}: {reason}") from e
