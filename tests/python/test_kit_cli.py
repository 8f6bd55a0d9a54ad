"""The command line: python -m porosa_kit amputate / evaluate."""

import importlib.util
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import amputate
from porosa_kit._cli import main

HAVE_PYARROW = importlib.util.find_spec("pyarrow") is not None


def run(*args):
    """main's exit status, argparse's own exits included."""
    try:
        status = main([str(a) for a in args])
    except SystemExit as e:  # argparse's own errors
        status = e.code
    return status


@pytest.fixture
def csv(tmp_path):
    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"age": rng.integers(20, 80, 60), "bmi": rng.normal(25, 4, 60).round(1),
                          "smoker": rng.choice(["no", "yes"], 60)})
    path = tmp_path / "in.csv"
    frame.to_csv(path, index=False)
    return path


@pytest.mark.parametrize("suffix", [".csv", pytest.param(".parquet", marks=pytest.mark.skipif(
    not HAVE_PYARROW, reason="Parquet needs pyarrow, porosa_kit's optional dependency (porosa[parquet])"))])
def test_amputate_writes_what_the_function_returns(csv, tmp_path, suffix):
    out = tmp_path / f"out{suffix}"
    assert run("amputate", csv, out, "--mechanism", "MNAR", "--mode", "MAX", "--rate", "0.2", "--seed", "7") == 0
    expected = amputate(pd.read_csv(csv), porosa.MNAR(mode="MAX", random_seed=7), 0.2)
    # Both through the same file format, which has its own missing values.
    read = pd.read_csv if suffix == ".csv" else pd.read_parquet
    (expected.to_csv if suffix == ".csv" else expected.to_parquet)(tmp_path / f"expected{suffix}", index=False)
    pd.testing.assert_frame_equal(read(out), read(tmp_path / f"expected{suffix}"))


@pytest.mark.parametrize("args, status, message", [
    (["amputate", "missing.csv", "out.csv"], 1, "cannot read missing.csv"),
    (["amputate", "{csv}", "out.csv", "--rate", "1.5"], 2, "bad rate '1.5'"),
    (["amputate", "{csv}", "out.csv", "--rate", "lots"], 2, "bad rate 'lots'"),
    (["amputate", "{csv}", "out.csv", "--colour", "red"], 2, "unrecognized arguments: --colour"),
    (["amputate", "{csv}", "out.xlsx"], 2, "unknown file type '.xlsx'"),
    (["amputate", "{csv}", "out.csv", "--mechanism", "MCAR", "--mode", "MAX"], 2, "--mode MAX: MCAR takes no mode"),
    (["amputate", "{csv}", "out.csv", "--mechanism", "MAR", "--mode", "BLOB"], 2,
     "MAR cannot take mode BLOB: only MNAR can (e.g. --mechanism MNAR:BLOB)"),
    (["amputate", "{csv}", "out.csv", "--mechanism", "MAR:BLOCK"], 2, "MAR cannot take mode BLOCK"),
    (["amputate", "{csv}", "out.csv", "--exclude", "height"], 2, "--exclude height: "),
    (["evaluate", "{csv}", "--mode", "BLOCK"], 2, "--mode BLOCK: MAR cannot take mode BLOCK: only MNAR can"),
    (["evaluate", "{csv}", "--mechanism", "MCAR:MAX"], 2, "MCAR takes no mode"),
    (["evaluate", "{csv}", "--mechanism", "MNAR:SIDEWAYS"], 2, "unknown mode 'SIDEWAYS'"),
    (["evaluate", "{csv}", "--imputers", "mean,magic"], 2, "unknown imputer 'magic'"),
    (["evaluate", "{csv}", "--out", "scores.xlsx"], 2, "unknown file type '.xlsx'"),
    (["evaluate", "{bad}", "--repeats", "0"], 2, "bad count '0'"),
    (["evaluate", "{bad}"], 1, "cannot read"),
])
def test_failures_are_one_clear_line_and_a_non_zero_exit(csv, tmp_path, capsys, monkeypatch, args, status, message):
    bad = tmp_path / "bad.csv"
    bad.write_bytes(b"a,b\n\xff\xfe,1\n")
    args = [a.format(csv=csv, bad=bad) for a in args]
    monkeypatch.chdir(tmp_path)
    assert run(*args) == status
    assert message in capsys.readouterr().err


def test_evaluate_writes_scores_and_figure_and_reports_each_failure(csv, tmp_path, capsys, monkeypatch):
    pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")
    pytest.importorskip("matplotlib", reason="matplotlib is porosa_kit's optional dependency (porosa[plot])")
    out, figure = tmp_path / "scores.csv", tmp_path / "study.png"
    # Excluding every numeric column leaves only accuracy to score.
    assert run("evaluate", csv, "--mechanism", "MNAR:MAX", "--mechanism", "MCAR", "--repeats", "2", "--seed", "1",
               "--imputers", "median,mean", "--exclude", "age", "--out", out, "--figure", figure) == 0
    scores = pd.read_csv(out)
    assert list(dict.fromkeys(scores["mechanism"])) == ["MNAR MAX", "MCAR"]
    assert list(dict.fromkeys(scores["imputer"])) == ["median", "mean"]
    assert set(scores["metric"]) == {"rmse", "accuracy"} and scores["error"].isna().all()
    assert figure.stat().st_size > 0

    monkeypatch.setattr("porosa_kit._imputers.standard_imputers", lambda names, seed: {"broken": lambda h: 1 / 0})
    capsys.readouterr()
    assert run("evaluate", csv, "--mechanism", "MCAR", "--repeats", "2", "--seed", "1") == 1
    err = capsys.readouterr().err.splitlines()
    assert err[0] == ("python -m porosa_kit: warning: broken on MCAR at rate 0.2 failed in 2 of 2 repeats: "
                      "ZeroDivisionError: division by zero")
    assert err[-1] == "python -m porosa_kit: error: nothing could be scored: every configuration failed (see above)"


def test_evaluate_prints_the_summary_for_sklearns_imputers(csv):
    pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")
    proc = subprocess.run([sys.executable, "-P", "-m", "porosa_kit", "evaluate", str(csv), "--rate", "0.1", "0.3",
                           "--repeats", "2", "--seed", "3", "--mechanism", "MCAR", "--mechanism", "mnar"],
                          capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0].split() == ["metric", "rmse", "accuracy"]
    assert lines[1].split() == ["imputer"] + ["mean", "median", "knn", "iterative"] * 2
    assert [line.split()[0] for line in lines[3:]] == ["MCAR", "0.3", "MNAR", "0.3"]
    assert proc.stderr == ""
