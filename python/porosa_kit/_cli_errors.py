"""How the command line reports: a failure is one line on standard error with an
exit status, and porosa's own texts are put in words a person can act on."""

from __future__ import annotations

import re
import sys
import warnings
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any, TypeVar

from ._cli_signals import PROG
from ._constraints import MODES, listed
from ._rules import RATE_WARNING

DATA = 1  # a file that cannot be read, written, amputated or studied
USAGE = 2  # a mistake on the command line, as argparse's own errors

_T = TypeVar("_T")


class Failure(Exception):
    """A failure to report in one line, with the exit status."""

    def __init__(self, message: str, status: int = DATA) -> None:
        super().__init__(message)
        self.status = status


def one_line(text: object, limit: int = 300) -> str:
    """The text on one line, a long one cut short: a message must never
    scroll a traceback-sized text past the user."""
    words = " ".join(str(text).split())
    return words if len(words) <= limit else words[: limit - 1] + "…"




# Which mode words each mechanism takes, in words.
MODE_WORDS = (f"MAR and MNAR take {listed(MODES['MAR'])}, and MNAR also "
              f"{listed(tuple(w for w in MODES['MNAR'] if w not in MODES['MAR']))}")

# porosa keeps its texts letter for letter for programs that match them; the
# command line says instead what happened and what to do about it.
_PLAIN = (
    ("Sample is nan", "GM found no centre in a column (does it hold infinite values?); "
                      "try --mode MAX or MIN, or remove those values"),
    ("Failed to calculate pearson_correlation", "it has no rows or no columns to amputate"),
    ("cannot sample empty range", "it has no columns to amputate"),
    ("Unknown mode parameter", f"unknown mode: {MODE_WORDS}"),
)


def plain(text: str) -> str:
    """porosa's text in plain words where it has some, else the text itself."""
    for start, words in _PLAIN:
        if text.startswith(start):
            return words
    return text


def kit_failure(error: BaseException, path: str, doing: str) -> Failure:
    """A failure of porosa or porosa_kit while `doing` something with `path`,
    as one line; the reason is kept for what no plain words exist."""
    if isinstance(error, MemoryError):
        return Failure(f"{path}: not enough memory to {doing} it")
    died = _worker_death(error)
    if died is not None:
        return Failure(f"{path}: cannot {doing} it: {died}")
    text = one_line(error)
    words = plain(text)
    # An OSError is the environment's (a checkpoint without permission, a full disk), not ours.
    if words != text or isinstance(error, (ValueError, TypeError, OSError)):
        return Failure(f"{path}: cannot {doing} it: {words}")
    # porosa's internal failure (PanicException) or a fault of our own.
    return Failure(f"{path}: cannot {doing} it: {type(error).__name__}: {text} "
                   "(run again with --debug for the traceback, and please report it)")


# How joblib says that a worker process ended without handing back its
# work; its own message goes on with advice, over several lines.
_DEATHS = ("TerminatedWorkerError", "BrokenProcessPool")
_EXIT_CODES = re.compile(r"exit codes of the workers are (\{[^}]*\})")


def _worker_death(error: BaseException) -> str | None:
    """In plain words, the death of a worker process behind `error`, if one is."""
    seen: BaseException | None = error
    while seen is not None and type(seen).__name__ not in _DEATHS:
        seen = seen.__cause__ or seen.__context__
    if seen is None:
        return None
    codes = _EXIT_CODES.search(str(seen))
    told = [n.removeprefix("porosa_kit: ") for n in getattr(error, "__notes__", ()) if n.startswith("porosa_kit: ")]
    return "; ".join([f"a worker process ended abruptly{f' (exit codes {codes[1]})' if codes else ''}, "
                      "out of memory or in a crash; try fewer --jobs", *told])


def kit_call(path: str, doing: str, fn: Callable[..., _T], *args: Any, **kwargs: Any) -> _T:
    """fn(*args, **kwargs), its failure worded by kit_failure. porosa's
    PanicException is no Exception, so this catches BaseException, less
    what must stop the program."""
    try:
        return fn(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit, GeneratorExit, Failure):
        raise
    except BaseException as e:
        raise kit_failure(e, path, doing) from e


_RATE = re.compile(re.escape(RATE_WARNING) + r"(\S+)")


def _show(message: Warning | str, category: type[Warning], filename: str, lineno: int,
          file: Any = None, line: str | None = None) -> None:
    text = str(message)
    capped = _RATE.fullmatch(text)
    if capped:
        text = (f"the rate is capped at {capped[1]} of the cells: --max-missing-per-column M lets "
                "M - M / columns go missing")
    print(f"{PROG}: warning: {one_line(text)}", file=sys.stderr)


@contextmanager
def one_line_warnings() -> Iterator[None]:
    """Every warning shown as one line, without the source line that Python
    shows and a command-line user has no use for."""
    with warnings.catch_warnings():
        warnings.showwarning = _show
        yield
