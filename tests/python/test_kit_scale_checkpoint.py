"""A checkpointed study resumes where it stopped, with the scores of an
uninterrupted run, and refuses another study's file."""

import os
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from porosa_kit import evaluate_imputers

KIT = Path(__file__).resolve().parents[2] / "python"


def tables():
    rng = np.random.default_rng(8)
    frame = pd.DataFrame(rng.normal(size=(50, 4)), columns=list("abcd"))
    frame["kind"] = rng.choice(["u", "v"], 50)
    return {"one": frame, "two": frame.iloc[:30, :3] * 2}


calls = []


def means(holes):
    calls.append(1)
    return holes.fillna(holes.mean(numeric_only=True)).fillna("u")


class Means:
    """means, and Ctrl-C on the call given by `stop`."""

    stop = None

    def __repr__(self):
        return "Means()"

    def __call__(self, holes):
        if len(calls) == Means.stop:
            raise KeyboardInterrupt
        return means(holes)


def study(checkpoint, imputer=Means(), **options):
    settings = {"repeats": 3, "random_state": 5} | options
    return evaluate_imputers(tables(), {"means": imputer}, ["MCAR", "MNAR:MAX"], [0.1, 0.3],
                             checkpoint=checkpoint, **settings)


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_an_interrupted_study_resumes_with_the_scores_of_an_uninterrupted_one(kind, tmp_path):
    if kind == "parquet":
        pytest.importorskip("pyarrow", reason="a Parquet checkpoint needs pyarrow")
    whole = study(None).scores.drop(columns="seconds")
    path = tmp_path / f"study.{kind}"
    calls.clear()
    Means.stop = 12
    with pytest.raises(KeyboardInterrupt) as info:
        study(path)
    Means.stop = None
    assert info.value.__notes__ == [f"porosa_kit: 12 of 24 tasks finished; running the same study again "
                                    f"resumes from {path}"]
    # The first table's tasks, an rmse and an accuracy each.
    pd.testing.assert_frame_equal(info.value.evaluation.scores.drop(columns="seconds"), whole.iloc[:24], check_exact=True)
    calls.clear()
    resumed = study(path)
    assert len(calls) == 12
    pd.testing.assert_frame_equal(resumed.scores.drop(columns="seconds"), whole, check_exact=True)
    # A study with one more repeat runs only that repeat's tasks.
    calls.clear()
    more = study(path, repeats=4)
    assert len(calls) == 8 and len(more.scores) == len(whole) * 4 // 3


@pytest.mark.parametrize("change, named", [
    ({"random_state": 6}, "random_state"),
    ({"metric": "mae"}, "metrics or excluded columns"),
    ({"imputer": lambda holes: holes.fillna(0)}, "imputers"),
    ({"data": {"one": tables()["one"] * 2}}, "tables"),
])
def test_a_checkpoint_of_another_study_is_refused_and_left_as_it_was(change, named, tmp_path):
    path = tmp_path / "study.csv"
    study(path, repeats=1)
    before = path.read_bytes()
    data = change.pop("data", None)
    with pytest.raises(ValueError, match=f"checkpoint of another study \\(other {named}\\)"):
        if data is None:
            study(path, repeats=1, **change)
        else:
            evaluate_imputers(data, {"means": Means()}, ["MCAR", "MNAR:MAX"], [0.1], repeats=1, random_state=5,
                              checkpoint=path)
    assert path.read_bytes() == before


class Slow:
    """The imputer of the study below: it waits (in the child, so that Ctrl-C
    lands mid-study) and counts its calls. Its representation leaves the wait
    out, so that the child's study and the rerun here are one study."""

    def __init__(self, wait=0.0):
        self.wait = wait

    def __repr__(self):
        return "Slow()"

    def __call__(self, holes):
        time.sleep(self.wait)
        calls.append(1)
        return holes.fillna(holes.mean())


def slow_study(checkpoint, imputer, **options):
    data = pd.DataFrame(np.random.default_rng(0).normal(size=(40, 3)))
    return evaluate_imputers(data, {"slow": imputer}, ["MCAR"], [0.1, 0.2], repeats=20, random_state=1,
                             checkpoint=checkpoint, **options)


def test_ctrl_c_stops_a_parallel_study_before_its_work_is_done_and_a_rerun_resumes(tmp_path):
    pytest.importorskip("joblib", reason="joblib runs parallel studies (porosa[study])")
    # The child's tasks sleep 40 s in all, 20 s on its two workers whatever the
    # load: some ten times what a stop takes on a busy machine, so a study that
    # ran on after Ctrl-C would finish them all.
    script = textwrap.dedent(f"""
        import signal, sys
        from test_kit_scale_checkpoint import Slow, slow_study

        # A test command run in the background ignores SIGINT, and so would this child.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        try:
            slow_study({str(tmp_path / 'study.csv')!r}, Slow(wait=1.0), n_jobs=2)
        except KeyboardInterrupt as e:
            print("stopped", len(e.evaluation.scores), flush=True)
            sys.exit(3)
    """)
    # The child and its workers import this module for the study and its imputer.
    found = os.pathsep.join([str(KIT), str(Path(__file__).parent), os.environ.get("PYTHONPATH", "")])
    child = subprocess.Popen([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=found),
                             stdout=subprocess.PIPE, text=True)
    path = tmp_path / "study.csv"
    try:
        for _ in range(6000):  # a hang guard of five minutes: workers start slowly on a busy machine
            if path.exists() and path.stat().st_size >= 200 or child.poll() is not None:
                break
            time.sleep(0.05)
        assert child.poll() is None and path.stat().st_size >= 200, "the study wrote no row"
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=300)
    finally:
        child.kill()
    assert child.returncode == 3
    finished = int(out.split()[1])
    assert 0 < finished < 40 and len(pd.read_csv(path)) == finished
    # The rerun (serial here: resuming picks the tasks before they are run
    # either way) runs only the rest, and the tasks the workers finished in
    # any order hold their own scores.
    calls.clear()
    resumed = slow_study(path, Slow()).scores.drop(columns="seconds")
    assert len(calls) == 40 - finished
    pd.testing.assert_frame_equal(resumed, slow_study(None, Slow()).scores.drop(columns="seconds"),
                                  check_exact=True)
