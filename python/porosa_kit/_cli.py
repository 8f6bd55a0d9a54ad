"""The command line: python -m porosa_kit {amputate,evaluate} ...

Every failure ends the program with one line on standard error: status 2
for a mistake on the command line, 1 for a file that cannot be read,
amputated, studied or written, 130 for Ctrl-C and 143 for SIGTERM (which
stops it as Ctrl-C does); --debug adds the traceback.
"""

from __future__ import annotations

import argparse
import os
import sys
import traceback
import warnings
from collections.abc import Sequence
from typing import NoReturn

from . import _cli_options as opt
from ._cli_errors import DATA, USAGE, Failure, kit_call, one_line, one_line_warnings, plain
from ._cli_io import file_kind, read_table, shown, write_cells, write_figure, write_table
from ._cli_signals import PROG, interrupted_status
from ._cli_table import check_table
from ._files import remove_leftovers
from ._metrics import names as metric_names
from ._evaluate import evaluate_imputers
from ._evaluation import Evaluation
from ._frame import amputate, missing_mask
from ._imputers import DEFAULT_IMPUTERS, IMPUTERS


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line on `argv` (default: sys.argv) and returns its exit status."""
    args = parser().parse_args(argv)
    try:
        with one_line_warnings():
            (_amputate if args.command == "amputate" else _evaluate)(args)
    except Failure as e:
        return _fail(e, str(e), e.status, args.debug)
    except KeyboardInterrupt as e:
        # A study says how far it got, and how to resume from its checkpoint.
        told = [n.removeprefix("porosa_kit: ") for n in getattr(e, "__notes__", ()) if n.startswith("porosa_kit: ")]
        return _fail(e, "; ".join(["interrupted", *told]), interrupted_status(), args.debug, kind="")
    except BrokenPipeError:
        # The reader of standard output left (`| head`): nothing more to say to it.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return DATA
    except (SystemExit, GeneratorExit):
        raise
    except BaseException as e:  # a fault: still one line, unless --debug
        return _fail(e, f"{type(e).__name__}: {one_line(e)} (this is a fault of porosa_kit: run again with "
                        "--debug and please report it)", DATA, args.debug)
    finally:
        remove_leftovers()
    return 0


def _fail(error: BaseException, message: str, status: int, debug: bool, kind: str = "error: ") -> int:
    if debug:
        traceback.print_exception(error)
    print(f"{PROG}: {kind}{message}", file=sys.stderr)
    return status


class _Parser(argparse.ArgumentParser):
    """argparse with its errors on one line, like every other failure."""

    def error(self, message: str) -> NoReturn:
        self.exit(USAGE, f"{self.prog}: error: {one_line(message)} (see {self.prog} --help)\n")


def parser() -> argparse.ArgumentParser:
    """The parser of both commands."""
    root = _Parser(prog=PROG, description="Amputate data files with porosa, and score imputers on them.")
    root.add_argument("--debug", action="store_true", help="show the traceback of a failure")
    commands = root.add_subparsers(dest="command", required=True, metavar="COMMAND")
    _amputate_options(commands.add_parser(
        "amputate", help="remove values from a CSV or Parquet file",
        description="Reads IN, removes values from it and writes the result to OUT (.csv, .parquet or .pq; "
                    "Parquet needs pyarrow; - for standard input or output, as CSV). From a CSV to a CSV, every "
                    "cell not removed keeps its text as written (007, NA, 1e5); a removed one is empty. Into "
                    "Parquet, column dtypes are kept, with nullable ones where a dtype cannot hold a missing "
                    "value. IN is read once (a pipe or FIFO will do). OUT appears or changes only once complete, "
                    "so OUT may be IN; SIGTERM stops the command as Ctrl-C does."))
    _evaluate_options(commands.add_parser(
        "evaluate", help="score scikit-learn's imputers on a CSV or Parquet file",
        description="Amputates each IN (- for standard input) repeatedly with each mechanism and rate, imputes it "
                    "with scikit-learn's standard imputers (mean, median, k nearest neighbours, iterative; the "
                    "most frequent value in text columns) and prints the mean and spread of their scores on the "
                    "removed cells. Needs scikit-learn."))
    return root


def _common(cmd: argparse.ArgumentParser) -> None:
    # SUPPRESS: a subcommand's default would overwrite a --debug given before it.
    cmd.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                     help="show the traceback of a failure")
    cmd.add_argument("--sep", type=opt.sep, metavar="CHAR",
                     help="the CSV delimiter, for reading and writing (tab: 'tab'); by default guessed among , ; "
                          "tab | from the first lines, and kept for the output")
    cmd.add_argument("--exclude", action="append", default=[], metavar="COLUMN",
                     help="a column never amputated (a target, an ID); repeat it for several")
    cmd.add_argument("--max-missing-per-column", type=opt.share, default=0.8, metavar="M",
                     help="caps the rate at M - M / columns (default 0.8)")


def _amputate_options(amp: argparse.ArgumentParser) -> None:
    amp.add_argument("input", metavar="IN", help="a .csv, .parquet or .pq file; - for standard input")
    amp.add_argument("output", metavar="OUT", help="a .csv, .parquet or .pq file; - for standard output")
    amp.add_argument("--mechanism", type=opt.mechanism, default=("MAR", None), metavar="MECHANISM[:MODE]",
                     help="MAR, MNAR or MCAR, with its mode after a colon if you like: MNAR:MAX (default MAR)")
    amp.add_argument("--mode", type=opt.mode, help="GM, MAX or MIN; for MNAR also BLOCK or BLOB (default GM)")
    amp.add_argument("--rate", type=opt.rate, default=0.2, help="missing rate, 0 to 1 (default 0.2)")
    amp.add_argument("--seed", type=opt.seed, help="random seed, 0 to 2**64 - 1 (default: from the system)")
    amp.add_argument("--mean", type=opt.finite, help="GM: quantile position of the centre, 0 to 1 (default 0.5)")
    amp.add_argument("--variance", type=opt.spread, help="GM: spread around it, a share of the range (default 0)")
    amp.add_argument("--block-size", type=opt.share, nargs=2, metavar=("WIDTH", "HEIGHT"),
                     help="MNAR BLOCK: largest share of the columns and of the rows (default 0.5 0.5)")
    amp.add_argument("--n-blobs", type=opt.count, help="MNAR BLOB: number of clouds (default 3)")
    _common(amp)


def _evaluate_options(ev: argparse.ArgumentParser) -> None:
    ev.add_argument("input", metavar="IN", nargs="+",
                    help="a .csv, .parquet or .pq file; - for standard input; several for a study of each, "
                         "named by their file names")
    ev.add_argument("--mechanism", type=opt.mechanism, action="append", metavar="MECHANISM[:MODE]",
                    help="MCAR, MAR or MNAR with an optional mode: MCAR, MAR:MAX, MNAR:BLOCK, ...; repeat it "
                         "for several, shown in the order given (default: MCAR, MAR and MNAR)")
    ev.add_argument("--mode", type=opt.mode, help="the mode of every MAR and MNAR given without one (default GM)")
    ev.add_argument("--imputers", type=opt.imputers, default=list(DEFAULT_IMPUTERS), metavar="NAMES",
                    help=f"comma-separated, from {','.join(IMPUTERS)} (default {','.join(DEFAULT_IMPUTERS)}): "
                         "scikit-learn's imputers with their defaults, as MixedImputer makes them, so the "
                         "scores are those of the API; knn measures distances on the values as they are, not "
                         "standardised; iterative and forest draw with the seed --seed mod 2**32 (0 without "
                         "--seed); text columns get their most frequent value, and a column an amputation "
                         "empties is neither imputed nor scored")
    ev.add_argument("--rate", type=opt.rate, nargs="+", default=[0.2], help="missing rates (default 0.2)")
    ev.add_argument("--repeats", type=opt.count, default=5, help="amputations per mechanism and rate (default 5)")
    ev.add_argument("--seed", type=opt.seed, help="random seed of the study (default: from the system)")
    ev.add_argument("--metric", choices=metric_names(), default="rmse",
                    help="score of numeric columns, on standardised values (default rmse)")
    ev.add_argument("--out", metavar="FILE",
                    help="also write the scores, one row per repeat, imputer and metric (.csv, .parquet or .pq)")
    ev.add_argument("--jobs", type=opt.jobs, default=1, metavar="N",
                    help="tasks run at once, each in a process of its own with its share of the cores "
                         "(-1: as many as cores; default 1); the scores do not depend on it")
    ev.add_argument("--timeout", type=opt.seconds, metavar="SECONDS",
                    help="stop an amputation or an imputer that runs longer on one task, record it as failed "
                         "and go on (each task then runs in a worker process that can be ended)")
    ev.add_argument("--checkpoint", metavar="FILE",
                    help="keep each finished task's scores in FILE (.csv, .parquet or .pq); the same command "
                         "run again does only what is left")
    ev.add_argument("--figure", "--plot", metavar="IMAGE", dest="figure",
                    help="also draw the summary into this image file (.png, .pdf, .svg, ...; matplotlib)")
    _common(ev)


def _amputate(args: argparse.Namespace) -> None:
    (name, word), = opt.check(args)
    # A CSV written back gets each kept cell's text as read ('007', 'NA',
    # 1e5); the amputation reads its numbers, to order and count them.
    table = read_table(args.input, sep=args.sep, cells=file_kind(args.output) == "csv")
    check_table(table.frame, shown(args.input), args.exclude, study=False)
    generator = opt.generator(name, word, args, args.seed)
    out = kit_call(shown(args.input), "amputate", amputate, table.frame, generator, args.rate,
                   exclude=args.exclude)
    sep = args.sep or table.sep or ","
    if table.cells is None:
        write_table(out, args.output, sep=sep)
    else:
        write_cells(table.cells, missing_mask(table.frame, out).to_numpy(dtype=bool), args.output, sep=sep)


def _evaluate(args: argparse.Namespace) -> None:
    plan = opt.check(args)
    names = opt.dataset_names(args.input)
    tables, seps = {}, []
    for path, name in zip(args.input, names):
        table = read_table(path, sep=args.sep)
        check_table(table.frame, shown(path), args.exclude, study=True)
        tables[name] = table.frame
        seps.append(table.sep)
    try:
        from ._imputers import standard_imputers

        imputers = standard_imputers(args.imputers, args.seed)
    except ImportError as e:
        raise Failure(f"evaluate needs scikit-learn: pip install porosa[sklearn] ({e})") from e
    mechanisms = {opt.label(m, word): opt.description(m, word, args) for m, word in plan}
    about = ", ".join(map(shown, args.input))
    with warnings.catch_warnings():
        # The iterative imputer warns whenever it stops at its iteration cap;
        # the table is what this command is for.
        warnings.filterwarnings("ignore", category=Warning, module="sklearn")
        # joblib's advice when a stopped or failed study leaves tasks behind
        # is for whoever wrote the loop, not for whoever ran the command.
        warnings.filterwarnings("ignore", message=r"\d+ tasks (have been|which were)", category=UserWarning,
                                module="joblib")
        result = kit_call(about, "study", evaluate_imputers, tables, imputers, mechanisms, args.rate,
                          repeats=args.repeats, metric=args.metric, exclude=args.exclude,
                          random_state=args.seed, n_jobs=args.jobs, checkpoint=args.checkpoint, timeout=args.timeout,
                          dataset=names[0] if len(names) == 1 else None)
    table = result.table()
    print(table.to_string())
    for note in table.attrs.get("notes", []):
        print(note)
    _report_failures(result)
    if args.out is not None:
        write_table(result.scores, args.out, sep=args.sep or seps[0] or ",", what="--out ")
    if args.figure is not None:
        write_figure(kit_call(about, "draw", result.plot), args.figure)
    if not result.scores["score"].notna().any():
        raise Failure("nothing could be scored: every configuration failed (see above)")


def _report_failures(result: Evaluation) -> None:
    """One line per configuration that failed, with its first reason."""
    scores = result.scores
    where = ["dataset", "mechanism", "missing_rate", "imputer"]
    failed = scores[scores["error"].notna()].drop_duplicates([*where, "repeat"])
    several = scores["dataset"].nunique() > 1
    for (dataset, mechanism, rate, imputer), rows in failed.groupby(where, sort=False):
        repeats = scores.loc[(scores["dataset"] == dataset) & (scores["mechanism"] == mechanism)
                             & (scores["missing_rate"] == rate) & (scores["imputer"] == imputer), "repeat"].nunique()
        reason = str(rows["error"].iloc[0])
        at, _, text = reason.rpartition("PanicException: ")
        on = f"{dataset}, {mechanism}" if several else mechanism
        print(f"{PROG}: warning: {imputer} on {on} at rate {rate:g} failed in {len(rows)} of {repeats} "
              f"repeats: {at}{plain(text)}", file=sys.stderr)
