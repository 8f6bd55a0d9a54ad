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

from ._evaluate import evaluate_imputers
from ._frame import Generator, amputate
from ._generators import MECHANISMS, make_generator

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
    amp.add_argument("--mechanism", type=_mechanism, default="MAR", help="MAR, MNAR or MCAR (default MAR)")
    amp.add_argument("--mode", help="GM, MAX or MIN; for MNAR also BLOCK or BLOB (default GM)")
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
    ev.add_argument("--mechanism", type=_mechanism, action="append",
                    help="MAR, MNAR or MCAR; repeat it for several (default: all three)")
    ev.add_argument("--mode", help="the mode of MAR and MNAR (default GM)")
    ev.add_argument("--rate", type=_rate, nargs="+", default=[0.2], help="missing rates (default 0.2)")
    ev.add_argument("--repeats", type=_positive, default=5, help="amputations per mechanism and rate (default 5)")
    ev.add_argument("--seed", type=_seed, help="random seed of the study (default: from the system)")
    ev.add_argument("--metric", choices=["rmse", "mae"], default="rmse",
                    help="score of numeric columns, on standardised values (default rmse)")
    ev.add_argument("--max-missing-per-column", type=float, default=0.8, metavar="M",
                    help="caps the rate at M - M / columns (default 0.8)")
    ev.add_argument("--plot", type=Path, metavar="PNG", help="also draw the summary into this file (matplotlib)")
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


def _mechanism(text: str) -> str:
    if text.upper() not in MECHANISMS:
        raise argparse.ArgumentTypeError(f"unknown mechanism {text!r}: expected MAR, MNAR or MCAR")
    return text.upper()


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


def _run(what: str, fn: Any, *args: Any) -> Any:
    try:
        return fn(*args)
    except (KeyboardInterrupt, SystemExit, GeneratorExit, Failure):
        raise
    except BaseException as e:  # porosa's PanicException is not an Exception
        raise Failure(f"{what} failed: {type(e).__name__}: {e}") from e


def _amputate(args: argparse.Namespace) -> None:
    _format(args.output)
    frame = _read(args.input)
    generator = _generator(args.mechanism, args.mode, args, args.seed)
    out = _run("amputation", amputate, frame, generator, args.rate)
    _write(out, args.output)


def _evaluate(args: argparse.Namespace) -> None:
    frame = _read(args.input)
    try:
        imputers = standard_imputers(frame, args.seed)
    except ImportError as e:
        raise Failure(f"evaluate needs scikit-learn: pip install porosa[sklearn] ({e})") from e
    mechanisms = list(dict.fromkeys(args.mechanism or MECHANISMS))
    seeds: list[int | None] = [None] * len(mechanisms)
    if args.seed is not None:
        seeds = [int(s) for s in np.random.SeedSequence(args.seed).generate_state(len(mechanisms), np.uint64)]
    generators = {}
    for mechanism, seed in zip(mechanisms, seeds):
        name = mechanism if mechanism == "MCAR" else f"{mechanism} {(args.mode or 'GM').upper()}"
        generators[name] = _generator(mechanism, None if mechanism == "MCAR" else args.mode, args, seed)
    with warnings.catch_warnings():
        # The iterative imputer warns whenever it stops at its iteration cap;
        # the table is what this command is for.
        warnings.filterwarnings("ignore", category=Warning, module="sklearn.impute")
        result = _run("evaluation", evaluate_imputers, frame, imputers, generators, args.rate, args.repeats,
                      args.metric)
    print(result.table().to_string())
    if args.plot is not None:
        try:
            result.plot().savefig(args.plot, dpi=120)
        except ImportError as e:
            raise Failure(str(e)) from e
        except (OSError, ValueError) as e:
            raise Failure(f"cannot write {args.plot}: {e}") from e


def standard_imputers(frame: pd.DataFrame, seed: int | None) -> dict[str, Any]:
    """scikit-learn's standard imputers for the frame's numeric columns, each
    with the most frequent value for its text and categorical columns."""
    from sklearn.compose import ColumnTransformer
    from sklearn.experimental import enable_iterative_imputer  # noqa: F401
    from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer

    numeric = [c for c in frame.columns if pd.api.types.is_bool_dtype(frame[c].dtype)
               or (pd.api.types.is_numeric_dtype(frame[c].dtype)
                   and not pd.api.types.is_complex_dtype(frame[c].dtype))]
    others = [c for c in frame.columns if c not in numeric]
    # A column with nothing left after an amputation still comes back.
    numeric_imputers = {
        "mean": SimpleImputer(strategy="mean", keep_empty_features=True),
        "median": SimpleImputer(strategy="median", keep_empty_features=True),
        "knn": KNNImputer(keep_empty_features=True),
        "iterative": IterativeImputer(random_state=0 if seed is None else seed % 2**32,
                                      keep_empty_features=True),
    }
    out = {}
    for name, imputer in numeric_imputers.items():
        parts = []
        if numeric:
            parts.append(("numbers", imputer, numeric))
        if others:
            parts.append(("texts", SimpleImputer(strategy="most_frequent", keep_empty_features=True), others))
        out[name] = ColumnTransformer(parts, verbose_feature_names_out=False).set_output(transform="pandas")
    return out
