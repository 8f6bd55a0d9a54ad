"""The command line's option values: each checked as argparse reads it, and
what depends on several of them checked at once, before any work."""

from __future__ import annotations

import argparse
import importlib.util
from collections.abc import Callable
from pathlib import Path
from typing import Any, TypeVar

from ._cli_errors import MODE_WORDS, USAGE, Failure, one_line
from ._cli_io import STDIO, check_output, file_kind, figure_format
from ._constraints import COUNT, FINITE, MODE_PARAMETERS, MODES, PARAMETERS, RATE, SEED, SHARE, SPREAD, TIMEOUT, Range
from ._frame import Generator
from ._generators import make_generator, without_unused
from ._imputers import IMPUTERS
from ._mechanism import WORDS, Mechanism, mode_problem, parse

# How the command line asks for a mechanism; the API shows the text to pass.
CLI_EXAMPLE = "--mechanism {}"

_N = TypeVar("_N", int, float)
Plan = list[tuple[str, str | None]]


def _bounded(kind: str, parse: Callable[[str], _N], allowed: Range) -> Callable[[str], _N]:
    """An argparse type: the text parsed and checked, else an error saying what was expected."""

    def convert(text: str) -> _N:
        try:
            value = parse(text)
        except ValueError:
            value = None
        if value is None or value not in allowed:
            raise argparse.ArgumentTypeError(f"bad {kind} {text!r}: expected {allowed.expected}")
        return value

    return convert


rate = _bounded("rate", float, RATE)
seed = _bounded("seed", int, SEED)
count = _bounded("count", int, COUNT)
finite = _bounded("number", float, FINITE)
spread = _bounded("spread", float, SPREAD)
share = _bounded("share", float, SHARE)
seconds = _bounded("number of seconds", float, TIMEOUT)


def mode(text: str) -> str:
    """A mode word, in capitals."""
    word = WORDS.get(text.lower())
    if word is None:
        raise argparse.ArgumentTypeError(f"unknown mode {text!r}: {MODE_WORDS}")
    return word


def label(name: str, word: str | None) -> str:
    """How a study names a mechanism with its mode: MCAR, MAR GM, MNAR MAX."""
    return name if name == "MCAR" else f"{name} {word or 'GM'}"


def mechanism(text: str) -> tuple[str, str | None]:
    """MECHANISM or MECHANISM:MODE, checked, in capitals."""
    try:
        return parse(text, example=CLI_EXAMPLE)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from e


def jobs(text: str) -> int:
    """A number of tasks at once: at least 1, or -1 for as many as cores
    (joblib's -2 and below: all but some)."""
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value == 0:
        raise argparse.ArgumentTypeError(f"bad number of jobs {text!r}: expected a whole number of at least 1, "
                                         "or -1 for one per core")
    return value


def imputers(text: str) -> list[str]:
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in IMPUTERS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown imputer {(unknown or [text])[0]!r}: expected a comma-separated "
                                         f"list of {', '.join(IMPUTERS)}")
    return list(dict.fromkeys(names))


def sep(text: str) -> str:
    """The CSV delimiter: one character; `tab` or `\\t` for a tab."""
    value = "\t" if text in ("tab", "\\t") else text
    if len(value) != 1 or value in "\"\r\n":
        raise argparse.ArgumentTypeError(f"bad delimiter {text!r}: expected one character such as , ; | "
                                         "or tab, other than a quote")
    return value


def resolve(given: Plan, default_mode: str | None) -> Plan:
    """Each mechanism with its mode: its own, else --mode (which MCAR takes
    only when it stands alone, to be refused)."""
    out = []
    for name, word in given:
        own = word is not None
        if not own and default_mode is not None and (name != "MCAR" or len(given) == 1):
            word = default_mode
        problem = mode_problem(name, word, example=CLI_EXAMPLE)
        if problem:
            raise Failure(problem if own else f"--mode {default_mode}: {problem}", USAGE)
        out.append((name, word))
    return list(dict.fromkeys(out))


def _check_mode_options(args: argparse.Namespace, plan: Plan) -> None:
    name, word = plan[0]
    # Warned about and left out, as the API does: porosa's own way.
    given = {dest: getattr(args, dest, None) for dest in MODE_PARAMETERS}
    try:
        kept = without_unused(name, word, given)
    except (TypeError, ValueError) as e:
        raise Failure(one_line(e), USAGE) from e
    for dest in given.keys() - kept.keys():
        setattr(args, dest, None)


def _outputs(args: argparse.Namespace) -> list[tuple[str, str]]:
    """Each file the command writes, with the option that names it ("" for OUT)."""
    if args.command == "amputate":
        return [(args.output, "")]
    return [(path, f"--{option} ") for option, path in (("out", args.out), ("figure", args.figure),
                                                          ("checkpoint", args.checkpoint)) if path is not None]


def _check_files(args: argparse.Namespace) -> None:
    inputs = [args.input] if args.command == "amputate" else args.input
    for path in inputs:
        file_kind(path)
    if inputs.count(STDIO) > 1:
        raise Failure("- stands for standard input once only", USAGE)
    tables = list(inputs)
    for path, what in _outputs(args):
        if what and path == STDIO:
            why = ("a checkpoint is read back when the command runs again" if what == "--checkpoint "
                   else "evaluate prints its table on standard output")
            raise Failure(f"{what}-: {why}; give {what.strip()} a file name", USAGE)
        if what == "--figure ":
            _check_figure(path)
        else:
            file_kind(path, what)
            tables.append(path)
        check_output(path, what)
    parquet = [path for path in tables if file_kind(path) == "parquet"]
    if parquet and importlib.util.find_spec("pyarrow") is None:
        raise Failure(f"{parquet[0]}: Parquet needs pyarrow: pip install porosa[parquet]")


def _check_figure(path: str) -> None:
    try:
        from matplotlib.backend_bases import FigureCanvasBase
    except ImportError as e:
        raise Failure("--figure needs matplotlib: pip install porosa[plot]") from e
    if figure_format(path) not in FigureCanvasBase.get_supported_filetypes():
        raise Failure(f"--figure {path}: matplotlib cannot draw {Path(path).suffix!r} images; "
                      "use .png, .pdf or .svg", USAGE)


def check(args: argparse.Namespace) -> Plan:
    """What no argparse type can see alone, refused before any work; the
    mechanisms with their modes."""
    if args.command == "amputate":
        plan = resolve([args.mechanism], args.mode)
        _check_mode_options(args, plan)
    else:
        plan = resolve(args.mechanism or [(m, None) for m in MODES], args.mode)
    _check_files(args)
    return plan


def generator(name: str, word: str | None, args: argparse.Namespace, seed: int | None) -> Generator:
    """The generator of a mechanism and mode, with the options of that mode."""
    params: dict[str, Any] = {}
    for dest in PARAMETERS:
        value = getattr(args, dest, None)
        if value is not None:
            params[dest] = tuple(value) if dest == "block_size" else value
    try:
        return make_generator(name, word, seed, args.max_missing_per_column, **params)
    except (TypeError, ValueError) as e:
        raise Failure(one_line(e), USAGE) from e


def dataset_names(paths: list[str]) -> list[str]:
    """A study's name for each input: its file name without the suffix, or
    the path as given where two share one."""
    stems = ["stdin" if p == STDIO else Path(p).stem for p in paths]
    return [stem if stems.count(stem) == 1 else p for stem, p in zip(stems, paths)]


def description(name: str, word: str | None, args: argparse.Namespace) -> Mechanism:
    """A mechanism and mode as a study's description, with the cap given."""
    return Mechanism(name, mode=word, max_missing_per_column=args.max_missing_per_column)
