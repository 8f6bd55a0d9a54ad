"""The command line keeps every cell's text, reads its input once, stops on
SIGTERM and at start-up in one line, refuses unwritable directories early,
and its imputers score what the API's defaults score."""

import contextlib
import csv
import io
import os
import signal
import subprocess
import sys
import threading
import warnings

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import amputate, missing_mask
from porosa_kit._cli import main

MARKERS = ["NA", "None", "null", "n/a", "", "nan", "N/A", "NULL", "-nan"]


def random_csv(seed):
    """A CSV as people write them, its delimiter and its columns' cells."""
    rng = np.random.default_rng(seed)
    rows = int(rng.integers(15, 40))

    def marked(cells):
        return [rng.choice(MARKERS) if rng.random() < 0.15 else c for c in cells]

    columns = {
        "id": [f"{i:03d}" for i in rng.permutation(rows)],  # '007'
        "big": [str(v) for v in rng.integers(10**16, 10**17, rows)],
        "gaps": marked([str(v) for v in rng.integers(-5000, 5000, rows)]),  # never '4.0'
        "x": marked([repr(v) for v in rng.normal(size=rows) * 10.0 ** rng.integers(-8, 8, rows)]),
        "y": marked(rng.choice(["1e5", "-0.0", "1.10", " 3", "0.1000000000000000055511151231257827"], rows)),
        "text": marked(rng.choice(['a "quoted" one', "with, comma", "semi;colon", "two\nlines", "plain"], rows)),
    }
    header = [*columns, "x"]  # a label twice: not renamed
    cells = [[str(col[i]) for col in columns.values()] + [columns["x"][i - 1]] for i in range(rows)]
    sep = [",", ";", "\t", "é"][seed % 4]
    text = io.StringIO(newline="")
    csv.writer(text, delimiter=sep, lineterminator="\r\n" if seed % 3 == 0 else "\n").writerows([header, *cells])
    return ("\ufeff" if seed % 5 == 0 else "") + text.getvalue(), sep, [header, *cells]


def read_cells(path, sep):
    with open(path, encoding="utf-8-sig", newline="") as f:
        return list(csv.reader(f, delimiter=sep))


@pytest.mark.parametrize("seed", range(12))
def test_every_kept_cell_comes_back_as_written_and_the_removed_ones_are_the_apis(seed, tmp_path, capsys):
    text, sep, written = random_csv(seed)
    source, out = tmp_path / "in.csv", tmp_path / "out.csv"
    source.write_bytes(text.encode())
    exclude = ["gaps"] if seed % 2 else []
    argv = ["amputate", source, out, "--seed", seed, "--rate", 0.3, "--mechanism", ["MAR", "MNAR:MAX"][seed % 2],
            "--sep", sep, *(a for c in exclude for a in ("--exclude", c))]
    assert main([str(a) for a in argv]) == 0
    assert capsys.readouterr().err == ""
    got = read_cells(out, sep)
    assert got[0] == written[0] and len(got) == len(written)
    removed = np.array([[a != b for a, b in zip(r, w, strict=True)] for r, w in zip(got[1:], written[1:])])
    assert all(g == "" for r, m in zip(got[1:], removed) for g, gone in zip(r, m) if gone)
    # The cells removed are those the API removes from what pandas reads.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        frame = pd.read_csv(io.BytesIO(source.read_bytes()), sep=sep, engine="python" if sep == "é" else "c")
        generator = porosa.MAR(random_seed=seed) if seed % 2 == 0 else porosa.MNAR(mode="MAX", random_seed=seed)
        expected = missing_mask(frame, amputate(frame, generator, 0.3, exclude=exclude or None)).to_numpy()
    assert removed.any() and (removed == expected).all()
    raw = out.read_bytes()
    assert raw.startswith(b"\xef\xbb\xbf") == text.startswith("\ufeff")
    assert (b"\r\n" in raw) == (seed % 3 == 0)


def test_a_fifo_is_read_whole(tmp_path):
    text, sep, written = random_csv(1)
    head, _, body = text.partition("\n")
    fifo = tmp_path / "in.csv"
    os.mkfifo(fifo)

    def feed():
        with contextlib.suppress(BrokenPipeError), open(fifo, "wb") as f:  # a reader that left: told below
            f.write(f"{head}\n{body * 400}".encode())  # well over the 8 KiB a delimiter is guessed from

    threading.Thread(target=feed, daemon=True).start()
    try:
        proc = subprocess.run([sys.executable, "-P", "-m", "porosa_kit", "amputate", str(fifo), "out.csv", "--seed",
                               "1", "--sep", sep], cwd=tmp_path, capture_output=True, timeout=120)  # a hang guard
    finally:
        os.close(os.open(fifo, os.O_RDONLY | os.O_NONBLOCK))  # frees a writer left waiting
    assert (proc.returncode, proc.stderr) == (0, b"")
    got = read_cells(tmp_path / "out.csv", sep)
    assert len(got) == 1 + 400 * (len(written) - 1)
    assert all(g in (w, "") for r, want in zip(got[1:], written[1:] * 400) for g, w in zip(r, want))


# Ctrl-C or SIGTERM while the command imports its libraries: the import
# hook stands for a signal that lands there, which a real one does only now
# and then.
STARTUP = """
import os, runpy, signal, sys

class Signal:
    def find_spec(self, name, path=None, target=None):
        if name == "pandas":
            {}

signal.signal(signal.SIGINT, signal.default_int_handler)
sys.meta_path.insert(0, Signal())
sys.argv[1:] = ["amputate", "in.csv", "out.csv"]
runpy.run_module("porosa_kit", run_name="__main__", alter_sys=True)
"""


@pytest.mark.parametrize("stop, status", [("raise KeyboardInterrupt", 130),
                                          ("os.kill(os.getpid(), signal.SIGTERM)", 143)])
def test_a_signal_while_the_command_starts_up_is_one_line(tmp_path, stop, status):
    (tmp_path / "in.csv").write_text("a,b\n1,2\n")
    proc = subprocess.run([sys.executable, "-P", "-c", STARTUP.format(stop)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=120)
    assert (proc.returncode, proc.stderr) == (status, "python -m porosa_kit: interrupted\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["in.csv"]


@pytest.fixture
def locked(tmp_path):
    """A directory in which no new file can be made, for root too."""
    if os.geteuid() != 0:
        folder = tmp_path / "locked"
        folder.mkdir(mode=0o555)
        return folder
    try:  # root passes every permission check, yet cannot make a file in /sys
        os.close(os.open("/sys/.probe", os.O_WRONLY | os.O_CREAT | os.O_EXCL))
    except OSError:
        return "/sys"
    os.unlink("/sys/.probe")
    pytest.skip("running as root, with no directory at hand that refuses a new file")


@pytest.mark.parametrize("option", ["OUT", "--out", "--figure", "--checkpoint"])
def test_an_unwritable_directory_is_refused_before_any_work(tmp_path, locked, monkeypatch, capsys, option):
    if option == "--figure":
        pytest.importorskip("matplotlib", reason="--figure needs matplotlib (porosa[plot])")
    source, target = tmp_path / "in.csv", f"{locked}/out{'.png' if option == '--figure' else '.csv'}"
    source.write_text("a,b,c\n1,2,3\n4,5,6\n7,8,9\n")
    for work in ("amputate", "evaluate_imputers"):
        monkeypatch.setattr(f"porosa_kit._cli.{work}", lambda *a, **k: pytest.fail("the work began"))
    argv = ["amputate", source, target] if option == "OUT" else ["evaluate", source, option, target]
    assert main([str(a) for a in argv]) == 1
    err = capsys.readouterr().err
    assert err.startswith(f"python -m porosa_kit: error: {option + ' ' if option != 'OUT' else ''}{target}: "
                          "cannot write there: ") and err.count("\n") == 1


# joblib's own text (shortened): advice, then the exit codes, over several lines.
KILLED = ("A worker process managed by the executor was unexpectedly terminated. This could be caused by a "
          "segmentation fault ...\n\nThe exit codes of the workers are {SIGKILL(-9)}\nDetailed tracebacks ...")


@pytest.mark.parametrize("how, said", [
    ("killed", "error: {}: cannot study it: a worker process ended abruptly (exit codes {{SIGKILL(-9)}}), out of "
               "memory or in a crash; try fewer --jobs"),
    ("interrupted", "interrupted"),
])
def test_a_parallel_study_that_stops_says_so_in_one_plain_line(tmp_path, monkeypatch, capsys, how, said):
    pytest.importorskip("sklearn", reason="evaluate needs scikit-learn (porosa[sklearn])")
    import joblib
    from joblib.externals.loky.process_executor import TerminatedWorkerError

    gate = threading.Event()

    def stopped(*args, **kwargs):
        # Tasks left running when the study stops: joblib warns with advice.
        with joblib.parallel_config(backend="threading"):
            runs = joblib.Parallel(n_jobs=2, return_as="generator_unordered")(
                joblib.delayed(gate.wait)(60 if i else 0) for i in range(10))
            next(runs)
            runs.close()
        raise TerminatedWorkerError(KILLED) if how == "killed" else KeyboardInterrupt

    monkeypatch.setattr("porosa_kit._cli.evaluate_imputers", stopped)
    source = tmp_path / "in.csv"
    source.write_text("a,b,c\n1,2,3\n4,5,6\n7,8,9\n")
    try:
        status = main(["evaluate", str(source), "--jobs", "2"])
    finally:
        gate.set()
    assert (status, capsys.readouterr().err) == (1 if how == "killed" else 130,
                                                 f"python -m porosa_kit: {said.format(source)}\n")


def test_evaluates_imputers_score_what_the_apis_defaults_score(tmp_path):
    pytest.importorskip("sklearn", reason="evaluate needs scikit-learn (porosa[sklearn])")
    from sklearn.experimental import enable_iterative_imputer  # noqa: F401
    from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer

    from porosa_kit import MixedImputer, evaluate_imputers

    rng = np.random.default_rng(0)
    frame = pd.DataFrame(rng.normal(size=(40, 3)) * [1, 10, 100], columns=list("xyz"))
    frame.loc[rng.random(40) < 0.4, "x"] = np.nan  # MAR MAX at 0.5 empties it now and then
    frame.to_csv(tmp_path / "in.csv", index=False)
    out = tmp_path / "scores.csv"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert main(["evaluate", str(tmp_path / "in.csv"), "--mechanism", "MAR:MAX", "--rate", "0.5", "--repeats",
                     "3", "--seed", str(2**32 + 3), "--out", str(out)]) == 0
        api = evaluate_imputers(
            pd.read_csv(tmp_path / "in.csv"),
            {"mean": MixedImputer(SimpleImputer()), "median": MixedImputer(SimpleImputer(strategy="median")),
             "knn": MixedImputer(KNNImputer()), "iterative": MixedImputer(IterativeImputer(random_state=3))},
            {"MAR MAX": "MAR:MAX"}, 0.5, repeats=3, random_state=2**32 + 3, dataset="in")
    api.scores.to_csv(tmp_path / "api.csv", index=False)
    got, expected = (pd.read_csv(p).drop(columns="seconds") for p in (out, tmp_path / "api.csv"))
    assert (got["dropped"] == "x").any()
    pd.testing.assert_frame_equal(got, expected)
