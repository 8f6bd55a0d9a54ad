"""The command line: python -m porosa_kit {amputate,evaluate} ..."""

from __future__ import annotations

import argparse
import sys
import warnings
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import Any, TypeVar

import numpy as np
import pandas as pd

from ._evaluate import Evaluation, evaluate_imputers
from ._frame import Generator, amputate
from ._generators import MECHANISMS, MODES, make_generator, mode_problem
from ._imputers import DEFAULT_IMPUTERS, IMPUTERS

PROG = "python -m porosa_kit"
_N = TypeVar("_N", int, float)
SUFFIXES = {".csv": "csv", ".parquet": "parquet", ".pq": "parquet"}


class Failure(Exception):
    """A failure to report in one line, with the exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "amputate":
            _amputate(args)
        else:
            _evaluate(args)
    except Failure as e:
        print(f"{PROG}: error: {e}", file=sys.stderr)
        return e.status
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, description="Amputate data files with porosa, and score imputers on them.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    amp = commands.add_parser(
        "amputate", help="remove values from a CSV or Parquet file",
        description="Reads IN, removes values from it and writes the result to OUT (.csv, .parquet or .pq; "
                    "Parquet needs pyarrow). Column dtypes are kept, with nullable ones where a dtype "
                    "cannot hold a missing value.")
    amp.add_argument("input", metavar="IN", type=Path)
    amp.add_argument("output", metavar="OUT", type=Path)
    amp.add_argument("--mechanism", type=_mechanism, default=("MAR", None),
                     help="MAR, MNAR or MCAR, with its mode after a colon if you like: MNAR:MAX (default MAR)")
    amp.add_argument("--mode", help="GM, MAX or MIN; for MNAR also BLOCK or BLOB (default GM)")
    amp.add_argument("--exclude", action="append", default=[], metavar="COLUMN",
                     help="a column never amputated (a target, an ID); repeat it for several")
    amp.add_argument("--rate", type=_rate, default=0.2, help="missing rate, 0 to 1 (default 0.2)")
    amp.add_argument("--seed", type=_seed, help="random seed, 0 to 2**64 - 1 (default: from the system)")
    amp.add_argument("--mean", type=float, help="GM: quantile position of the centre")
    amp.add_argument("--variance", type=float, help="GM: spread around it")
    amp.add_argument("--block-size", type=float, nargs=2, metavar=("WIDTH", "HEIGHT"), help="MNAR BLOCK")
    amp.add_argument("--n-blobs", type=int, help="MNAR BLOB: number of clouds")
    amp.add_argument("--max-missing-per-column", type=float, default=0.8, metavar="M",
                     help="caps the rate at M - M / columns (default 0.8)")

    ev = commands.add_parser(
        "evaluate", help="score scikit-learn's imputers on a CSV or Parquet file",
        description="Amputates IN repeatedly with each mechanism and rate, imputes it with scikit-learn's "
                    "standard imputers (mean, median, k nearest neighbours, iterative; the most frequent "
                    "value in text columns) and prints the mean and spread of their scores on the removed "
                    "cells. Needs scikit-learn.")
    ev.add_argument("input", metavar="IN", type=Path)
    ev.add_argument("--mechanism", type=_mechanism, action="append", metavar="MECHANISM[:MODE]",
                    help="MCAR, MAR or MNAR with an optional mode: MCAR, MAR:MAX, MNAR:BLOCK, ...; repeat it "
                         "for several, shown in the order given (default: MCAR, MAR and MNAR)")
    ev.add_argument("--mode", help="the mode of every MAR and MNAR given without one (default GM)")
    ev.add_argument("--imputers", type=_imputers, default=list(DEFAULT_IMPUTERS), metavar="NAMES",
                    help=f"comma-separated, from {','.join(IMPUTERS)} (default {','.join(DEFAULT_IMPUTERS)}); "
                         "text columns get their most frequent value")
    ev.add_argument("--exclude", action="append", default=[], metavar="COLUMN",
                    help="a column never amputated and never scored (a target, an ID); repeat it for several")
    ev.add_argument("--rate", type=_rate, nargs="+", default=[0.2], help="missing rates (default 0.2)")
    ev.add_argument("--repeats", type=_positive, default=5, help="amputations per mechanism and rate (default 5)")
    ev.add_argument("--seed", type=_seed, help="random seed of the study (default: from the system)")
    ev.add_argument("--metric", choices=["rmse", "mae"], default="rmse",
                    help="score of numeric columns, on standardised values (default rmse)")
    ev.add_argument("--max-missing-per-column", type=float, default=0.8, metavar="M",
                    help="caps the rate at M - M / columns (default 0.8)")
    ev.add_argument("--out", type=Path, metavar="FILE",
                    help="also write the scores, one row per repeat, imputer and metric (.csv, .parquet or .pq)")
    ev.add_argument("--figure", "--plot", type=Path, metavar="PNG", dest="figure",
                    help="also draw the summary into this image file (matplotlib)")
    return parser


def _bounded(kind: str, parse: Callable[[str], _N], ok: Callable[[_N], bool], expected: str) -> Callable[[str], _N]:
    """An argparse type: the text parsed and checked, else an error saying what was expected."""

    def convert(text: str) -> _N:
        try:
            value = parse(text)
        except ValueError:
            value = None
        if value is None or not ok(value):
            raise argparse.ArgumentTypeError(f"bad {kind} {text!r}: expected {expected}")
        return value

    return convert


_rate = _bounded("rate", float, lambda rate: 0 <= rate <= 1, "a number from 0 to 1")
_seed = _bounded("seed", int, lambda seed: 0 <= seed < 2**64, "an integer from 0 to 2**64 - 1")
_positive = _bounded("count", int, lambda value: value >= 1, "a whole number of at least 1")


def _mechanism(text: str) -> tuple[str, str | None]:
    """MECHANISM or MECHANISM:MODE, checked."""
    name, _, mode = text.partition(":")
    if name.upper() not in MECHANISMS:
        raise argparse.ArgumentTypeError(f"unknown mechanism {name!r}: expected MCAR, MAR or MNAR")
    problem = f"no mode after the colon in {text!r}" if ":" in text and not mode else \
        mode_problem(name.upper(), mode or None)
    if problem:
        raise argparse.ArgumentTypeError(problem)
    return name.upper(), mode.upper() or None


def _imputers(text: str) -> list[str]:
    names = [n.strip().lower() for n in text.split(",") if n.strip()]
    unknown = [n for n in names if n not in IMPUTERS]
    if unknown or not names:
        raise argparse.ArgumentTypeError(f"unknown imputer {(unknown or [text])[0]!r}: expected a comma-separated "
                                         f"list of {', '.join(IMPUTERS)}")
    return list(dict.fromkeys(names))


def _format(path: Path) -> str:
    kind = SUFFIXES.get(path.suffix.lower())
    if kind is None:
        raise Failure(f"{path}: unknown file type {path.suffix!r}; expected .csv, .parquet or .pq", 2)
    return kind


def _read(path: Path) -> pd.DataFrame:
    kind = _format(path)
    try:
        if kind == "csv":
            return pd.read_csv(path)
        return pd.read_parquet(path)
    except ImportError as e:
        raise Failure(f"reading Parquet needs pyarrow: pip install porosa[parquet] ({e})") from e
    except (OSError, ValueError, UnicodeDecodeError, pd.errors.ParserError) as e:
        raise Failure(f"cannot read {path}: {e}") from e


def _write(frame: pd.DataFrame, path: Path) -> None:
    kind = _format(path)
    try:
        if kind == "csv":
            frame.to_csv(path, index=False)
        else:
            frame.to_parquet(path, index=False)
    except ImportError as e:
        raise Failure(f"writing Parquet needs pyarrow: pip install porosa[parquet] ({e})") from e
    except (OSError, ValueError) as e:
        raise Failure(f"cannot write {path}: {e}") from e


def _generator(mechanism: str, mode: str | None, args: argparse.Namespace, seed: int | None) -> Generator:
    params: dict[str, Any] = {}
    for name in ("mean", "variance", "block_size", "n_blobs"):
        value = getattr(args, name, None)
        if value is not None:
            params[name] = tuple(value) if name == "block_size" else value
    try:
        if mechanism == "MCAR":
            if mode is not None or params:
                raise Failure("MCAR takes no --mode and none of the modes' options", 2)
            return make_generator("MCAR", None, seed, args.max_missing_per_column)
        return make_generator(mechanism, mode, seed, args.max_missing_per_column, **params)
    except (TypeError, ValueError) as e:
        raise Failure(str(e), 2) from e


def _run(what: str, fn: Any, *args: Any, **kwargs: Any) -> Any:
    try:
        return fn(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit, GeneratorExit, Failure):
        raise
    except BaseException as e:  # porosa's PanicException is not an Exception
        raise Failure(f"{what} failed: {type(e).__name__}: {e}") from e


def _amputate(args: argparse.Namespace) -> None:
    _format(args.output)
    mechanism, mode = _resolve([args.mechanism], args.mode)[0]
    frame = _read(args.input)
    _check_exclude(frame, args.exclude, args.input)
    generator = _generator(mechanism, mode, args, args.seed)
    out = _run("amputation", amputate, frame, generator, args.rate, exclude=args.exclude)
    _write(out, args.output)


def _resolve(given: list[tuple[str, str | None]], default_mode: str | None) -> list[tuple[str, str | None]]:
    """Each mechanism with its mode: its own, else --mode (which MCAR takes only
    when it stands alone, to be refused). A mode that a mechanism cannot take
    is refused before any work."""
    out = []
    for mechanism, mode in given:
        own = mode is not None
        if not own and default_mode is not None and (mechanism != "MCAR" or len(given) == 1):
            mode = default_mode
        problem = mode_problem(mechanism, mode)
        if problem:
            raise Failure(problem if own else f"--mode {default_mode}: {problem}", 2)
        out.append((mechanism, mode.upper() if mode else None))
    return list(dict.fromkeys(out))


def _check_exclude(frame: pd.DataFrame, exclude: list[str], path: Path) -> None:
    missing = [c for c in exclude if c not in frame.columns]
    if missing:
        raise Failure(f"--exclude {missing[0]}: {path} has no such column; its columns are "
                      f"{', '.join(map(str, frame.columns))}", 2)


def _evaluate(args: argparse.Namespace) -> None:
    if args.out is not None:
        _format(args.out)
    mechanisms = _resolve(args.mechanism or [(m, None) for m in ("MCAR", "MAR", "MNAR")], args.mode)
    frame = _read(args.input)
    _check_exclude(frame, args.exclude, args.input)
    try:
        from ._imputers import standard_imputers

        imputers = standard_imputers(args.imputers, args.seed)
    except ImportError as e:
        raise Failure(f"evaluate needs scikit-learn: pip install porosa[sklearn] ({e})") from e
    seeds: list[int | None] = [None] * len(mechanisms)
    if args.seed is not None:
        seeds = [int(s) for s in np.random.SeedSequence(args.seed).generate_state(len(mechanisms), np.uint64)]
    generators = {}
    for (mechanism, mode), seed in zip(mechanisms, seeds):
        name = mechanism if mechanism == "MCAR" else f"{mechanism} {mode or 'GM'}"
        generators[name] = _generator(mechanism, mode, args, seed)
    with warnings.catch_warnings():
        # The iterative imputer warns whenever it stops at its iteration cap;
        # the table is what this command is for.
        warnings.filterwarnings("ignore", category=Warning, module="sklearn")
        result = _run("evaluation", evaluate_imputers, frame, imputers, generators, args.rate, args.repeats,
                      args.metric, exclude=args.exclude, dataset=args.input.stem)
    print(result.table().to_string())
    _report_failures(result)
    if args.out is not None:
        _write(result.scores, args.out)
    if args.figure is not None:
        _figure(result, args.figure)
    if not result.scores["score"].notna().any():
        raise Failure("nothing could be scored: every configuration failed (see above)")


def _report_failures(result: Evaluation) -> None:
    """One line per configuration that failed, with its first reason."""
    scores = result.scores
    failed = scores[scores["error"].notna()].drop_duplicates(["mechanism", "missing_rate", "imputer", "repeat"])
    for (mechanism, rate, imputer), rows in failed.groupby(["mechanism", "missing_rate", "imputer"], sort=False):
        repeats = scores.loc[(scores["mechanism"] == mechanism) & (scores["missing_rate"] == rate)
                             & (scores["imputer"] == imputer), "repeat"].nunique()
        print(f"{PROG}: warning: {imputer} on {mechanism} at rate {rate:g} failed in {len(rows)} of {repeats} "
              f"repeats: {rows['error'].iloc[0]}", file=sys.stderr)


def _figure(result: Evaluation, path: Path) -> None:
    try:
        result.plot().savefig(path, dpi=120)
    except ImportError as e:
        raise Failure(str(e)) from e
    except (OSError, ValueError) as e:
        raise Failure(f"cannot write {path}: {e}") from e
