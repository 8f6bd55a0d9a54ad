"""A study's checkpoint: the rows of every finished task in a CSV or Parquet
file, marked with the study that wrote them, so that running the same study
again does only what is left and never mixes in another study's rows. One
study at a time holds the file."""

from __future__ import annotations

import os
import time
import warnings
from pathlib import Path
from typing import Any

import pandas as pd

from ._checkpoint_rows import HEADER, Read, encode, read_csv, read_frame, row
from ._files import replacing
from ._tasks import Task

try:
    import fcntl
except ImportError:  # Windows: no advisory locks; one study per file is then the user's to keep
    fcntl = None  # type: ignore[assignment]

# The parts of a study's mark, in the words a refusal names them by.
PARTS = {"tables": "tables", "mechanisms": "mechanisms", "imputers": "imputers",
         "scoring": "metrics or excluded columns", "seed": "random_state"}
# A Parquet file cannot be appended to: it is written whole, at most this
# often while the study runs, and once more at its end or interruption.
PARQUET_EVERY = 1.0


def _parts(mark: str) -> dict[str, str]:
    return dict(item.partition("=")[::2] for item in mark.split())


def recorded_seed(path: str | os.PathLike[str]) -> int | None:
    """The random_state a checkpoint's study ran with, if the file exists."""
    path = Path(path)
    if not path.exists() or not path.stat().st_size:
        return None
    read = read_csv(path.read_bytes(), path) if _kind(path) == ".csv" else read_frame(pd.read_parquet(path), path)
    seed = _parts(read.tasks[0][0]).get("seed", "None") if read.tasks else "None"
    return int(seed) if seed.isdigit() else None


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


def _held(path: Path) -> int:
    """The file at `path`, made if need be, opened and locked for this study:
    ValueError if another study holds it. The lock is the open file's, so
    the file must still be the one at `path` once it is held (a Parquet
    checkpoint is replaced as a whole)."""
    for _ in range(100):
        try:
            fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_APPEND, 0o666)
        except PermissionError:
            fd = os.open(path, os.O_RDONLY)  # a finished study read back needs no writing
        try:
            if fcntl is not None:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            mine = os.fstat(fd)
            now = os.stat(path)
            if (mine.st_ino, mine.st_dev) == (now.st_ino, now.st_dev):
                return fd
        except BlockingIOError:
            os.close(fd)
            break
        except FileNotFoundError:  # removed by the study that held it, as it ended
            pass
        except BaseException:
            os.close(fd)
            raise
        os.close(fd)
    raise ValueError(f"{path} is the checkpoint of a study that is running now; wait for it to end, "
                     "or give another file")


class Checkpoint:
    """The file of a study's finished tasks: read when the study starts,
    written as each task finishes, held until :meth:`close`."""

    def __init__(self, path: str | os.PathLike[str], mark: str) -> None:
        self.path = Path(path)
        self.kind = _kind(self.path)
        self.mark = mark
        self.finished: dict[Task, list[dict[str, Any]]] = {}
        # Parquet: the frames of the file so far and of the tasks since, joined when written.
        self.kept: list[pd.DataFrame] = []
        self.pending = False
        self.written = 0.0
        made = not self.path.exists()
        self.fd = _held(self.path)
        self.made = made
        try:
            self.size = self._load()
        except BaseException:
            self.close()
            raise

    def _load(self) -> int:
        """Reads the file's whole tasks; the size the file is to keep."""
        size = os.fstat(self.fd).st_size
        if not size:
            return 0
        if self.kind == ".csv":
            with open(self.fd, "rb", closefd=False) as f:
                read = read_csv(f.read(), self.path)
        else:
            frame = pd.read_parquet(self.path)
            read = read_frame(frame, self.path)
        for mark, _, _ in read.tasks:
            if mark != self.mark:
                raise ValueError(f"{self.path} is the checkpoint of another study (other {self._differs(mark)}); "
                                 "give another file, or delete it to start again")
        kept: list[int] = []
        for _, records, start in read.tasks:
            rows = [row(r) for r in records]
            task = Task(rows[0]["dataset"], rows[0]["mechanism"], rows[0]["missing_rate"], rows[0]["repeat"])
            if task not in self.finished:
                self.finished[task] = rows
                kept += range(start, start + len(rows))
        twice = len(read.tasks) - len(self.finished)
        if twice:
            warnings.warn(f"{self.path} holds {twice} task{_s(twice)} twice (did two studies write to it at "
                          "once?): only the first copy counts", UserWarning, stacklevel=4)
        if read.damaged:
            self._damaged(read)
        if self.kind != ".csv":
            self.kept = [frame.iloc[kept].reset_index(drop=True)]
            self.pending = bool(twice) or read.damaged  # the next write keeps one copy of each whole task
        return read.end

    def _damaged(self, read: Read) -> None:
        tasks = {where for r in read.cut if (where := _task_of(r)) is not None}
        if len(tasks) > 1:
            # A write cut short leaves part of one task; more is not a cut but a change.
            raise ValueError(f"{self.path} cannot be read back after its first {len(read.tasks)} tasks (was it "
                             "edited?); give another file, or delete it to start again")
        # The tail of a write cut within its first row names no task: that one.
        again = len(tasks - set(self.finished)) if tasks else 1
        warnings.warn(f"{self.path} ends in a task cut short (by a kill, a crash or a full disk): dropped, "
                      f"{again} task{_s(again)} will run again", UserWarning, stacklevel=5)

    def _differs(self, other: str) -> str:
        mine, theirs = _parts(self.mark), _parts(str(other))
        named = [words for part, words in PARTS.items() if mine.get(part) != theirs.get(part)]
        return ", ".join(named) or "settings"

    def add(self, rows: list[dict[str, Any]]) -> None:
        """Records one finished task's rows, whole or (killed meanwhile) not at all."""
        if not rows:
            return
        frame, data = encode(rows, self.mark)
        if self.kind == ".csv":
            self._append(data)
            return
        self.kept.append(frame)
        self.pending = True
        if time.monotonic() - self.written >= PARQUET_EVERY:
            self.flush()

    def _append(self, data: bytes) -> None:
        if os.fstat(self.fd).st_size != self.size:
            os.ftruncate(self.fd, self.size)  # a damaged tail, left until now in case nothing was to be written
        if not self.size:
            data = HEADER + data
        try:
            view = memoryview(data)
            while view:
                view = view[os.write(self.fd, view):]
        except BaseException:
            # A full disk: leave no part of the task behind for the next append to follow.
            try:
                os.ftruncate(self.fd, self.size)
            except OSError:
                pass
            raise
        self.size += len(data)

    def flush(self) -> None:
        """Writes what is not yet in the file, whole, replacing it at once:
        a study killed meanwhile leaves the last complete file. A CSV file
        has every task already."""
        if not self.pending or self.kind == ".csv":
            return
        self.kept = [pd.concat(self.kept, ignore_index=True)]
        with replacing(str(self.path)) as temporary:
            # Created by replacing(), alone and under a random name; a link put there since is not followed.
            fd = os.open(temporary, os.O_RDWR | getattr(os, "O_NOFOLLOW", 0))
            try:
                if fcntl is not None:
                    fcntl.flock(fd, fcntl.LOCK_EX)  # held before it takes the old file's place
                with os.fdopen(os.dup(fd), "wb") as f:
                    self.kept[0].to_parquet(f, index=False)
            except BaseException:
                os.close(fd)
                raise
        os.close(self.fd)
        self.fd = fd
        self.pending = False
        self.written = time.monotonic()

    def close(self) -> None:
        """Lets another study have the file; removes it if this one made it
        and wrote nothing."""
        if self.fd < 0:
            return
        try:
            if self.made and not os.fstat(self.fd).st_size:
                os.unlink(self.path)
        except OSError:
            pass
        finally:
            os.close(self.fd)
            self.fd = -1


def _task_of(record: dict[str, Any]) -> Task | None:
    """The task a record of a damaged tail belongs to, if its fields say."""
    try:
        return Task(str(record["dataset"]), str(record["mechanism"]), float(record["missing_rate"]),
                    int(record["repeat"]))
    except (TypeError, ValueError):
        return None


def _s(count: int) -> str:
    return "" if count == 1 else "s"
