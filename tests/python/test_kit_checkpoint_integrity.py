"""A checkpoint holds each task whole or not at all, one study at a time,
and knows imputers and tables by what they are; a mechanism is seeded by
what it is, not by its name."""

import functools
import os
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

from porosa_kit import Mechanism, evaluate_imputers
from porosa_kit._checkpoint import Checkpoint
from porosa_kit._tasks import plan


def table():
    rng = np.random.default_rng(3)
    return pd.DataFrame(rng.normal(size=(30, 3)), columns=list("abc")).assign(kind=rng.choice(["u", "v"], 30))


def shifted(holes, by=0):
    out = holes.fillna(holes.mean(numeric_only=True)).fillna("u")
    out[["a", "b", "c"]] += by
    return out


def study(checkpoint, imputer=shifted, **options):
    settings = {"repeats": 2, "random_state": 4, "metric": ["rmse", "mae"]} | options
    return evaluate_imputers(table(), {"i": imputer}, ["MCAR", "MNAR:MAX"], [0.2], checkpoint=checkpoint, **settings)


def scores(evaluation):
    return evaluation.scores.drop(columns="seconds")


def mark_of(path):
    return (pd.read_csv if path.suffix == ".csv" else pd.read_parquet)(path)["study"][0]


@pytest.fixture(scope="module")
def written(tmp_path_factory):
    """A study's scores, its checkpoint's bytes and mark, and each task's
    rows with the file's size once they are in."""
    path = tmp_path_factory.mktemp("written") / "study.csv"
    whole = study(path).scores
    book, tasks = Checkpoint(path.with_name("copy.csv"), mark_of(path)), []
    for task in plan(["data"], ["MCAR", "MNAR:MAX"], [0.2], 2):
        rows = whole[(whole["mechanism"] == task.mechanism) & (whole["repeat"] == task.repeat)].to_dict("records")
        book.add(rows)
        tasks.append((rows, os.path.getsize(book.path)))
    book.close()
    assert book.path.read_bytes() == path.read_bytes()
    return whole.drop(columns="seconds"), path.read_bytes(), book.mark, tasks


def test_a_file_cut_anywhere_keeps_its_whole_tasks_and_the_next_task_follows_cleanly(written, tmp_path):
    _, raw, mark, tasks = written
    ends, path = [end for _, end in tasks], tmp_path / "cut.csv"
    for cut in range(len(raw)):
        path.write_bytes(raw[:cut])
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            book = Checkpoint(path, mark)
        done = sum(end <= cut for end in ends)
        assert list(book.finished.values()) == [rows for rows, _ in tasks[:done]], cut
        assert [str(w.message) for w in caught] == ([] if cut in (0, raw.index(b"\n") + 1, *ends) else [
            f"{path} ends in a task cut short (by a kill, a crash or a full disk): dropped, 1 task will run again"
        ]), cut
        if cut in (50, ends[0] + 7, ends[-1] - 1):  # in the header, mid-task, without the last newline
            book.add(tasks[done][0])
            book.close()
            with warnings.catch_warnings():
                warnings.simplefilter("error")
                book = Checkpoint(path, mark)
            assert len(book.finished) == done + 1
        book.close()


@pytest.mark.parametrize("kind", ["csv", "parquet"])
def test_a_task_recorded_twice_counts_once_and_a_held_file_is_refused(kind, written, tmp_path):
    if kind == "parquet":
        pytest.importorskip("pyarrow", reason="a Parquet checkpoint needs pyarrow")
    whole, raw, _, tasks = written
    path = tmp_path / f"twice.{kind}"
    if kind == "csv":
        path.write_bytes(raw + raw[raw.index(b"\n") + 1:tasks[0][1]])
    else:
        study(path)
        frame = pd.read_parquet(path)
        pd.concat([frame, frame.iloc[:len(tasks[0][0])]], ignore_index=True).to_parquet(path)
    with pytest.warns(UserWarning, match="holds 1 task twice"):
        pd.testing.assert_frame_equal(scores(study(path)), whole, check_exact=True)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # a CSV file keeps its copy, told of again
        book = Checkpoint(path, mark_of(path))
    try:
        book.pending = True  # a Parquet file is replaced by a new one: still held
        book.flush()
        with pytest.raises(ValueError, match="is the checkpoint of a study that is running now; wait for it"):
            study(path)
    finally:
        book.close()


class Stateful:
    def __init__(self, by):
        self.by = by

    def __call__(self, holes):
        return shifted(holes, self.by)


def fill(by):
    return lambda holes: shifted(holes, by)


@pytest.mark.parametrize("first, second, same", [
    (fill(0), fill(5), False),
    (fill(0), fill(0), True),
    (functools.partial(shifted, by=0), functools.partial(shifted, by=5), False),
    (Stateful(0), Stateful(5), False),
    (Stateful(0), Stateful(0), True),
    (lambda holes: shifted(holes, 0), lambda holes: shifted(holes, 1), False),
])
def test_an_imputer_is_known_by_what_it_is_not_by_its_name(first, second, same, tmp_path):
    path = tmp_path / "study.csv"
    before = study(path, first, repeats=1)
    if same:
        pd.testing.assert_frame_equal(scores(study(path, second, repeats=1)), scores(before), check_exact=True)
    else:
        with pytest.raises(ValueError, match=r"another study \(other imputers\)"):
            study(path, second, repeats=1)


def test_a_study_with_python_sets_resumes_under_another_hash_seed(tmp_path):
    code = textwrap.dedent(f"""
        import pandas as pd
        from porosa_kit import evaluate_imputers
        frame = pd.DataFrame({{"tags": [{{"alpha", "beta", "gamma"}}, {{"delta", "eps"}}] * 5, "x": range(10),
                               "y": [0.5, 1.5] * 5}})
        def mean(h, known={{"u", "v", "w"}}):
            return h.fillna(h.mean(numeric_only=True)) if "x" not in {{"a", "b", "c", "d"}} else h
        evaluate_imputers(frame, {{"mean": mean}}, ["MCAR"], [0.2], repeats=1, random_state=1, exclude=["tags"],
                          checkpoint={str(tmp_path / "sets.csv")!r})
    """)
    for seed in "01":
        run = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, PYTHONHASHSEED=seed),
                             capture_output=True, text=True, timeout=300)
        assert run.returncode == 0, run.stderr


@pytest.mark.parametrize("content, message", [
    (b"dataset,mechanism,missing_rate,repeat,imputer,metric,score,cells,seconds,dropped,error,study\n",
     "is the checkpoint of an earlier porosa_kit"),
    (None, r"cannot be read back after its first 0 tasks \(was it edited\?\)"),
])
def test_a_file_damaged_before_its_end_is_refused_and_left_as_it_was(content, message, written, tmp_path):
    path = tmp_path / "study.csv"
    path.write_bytes(written[1].replace(b"\n", b"\r\n") if content is None else content)
    with pytest.raises(ValueError, match=message):
        study(path)
    assert path.read_bytes() == (written[1].replace(b"\n", b"\r\n") if content is None else content)


def test_a_parquet_checkpoint_never_writes_through_a_planted_link(tmp_path, monkeypatch):
    pytest.importorskip("pyarrow", reason="a Parquet checkpoint needs pyarrow")
    victim = tmp_path / "victim.txt"
    victim.write_text("not yours")
    monkeypatch.setattr("secrets.token_hex", lambda n: "f" * 2 * n)
    for name in ("study.parquet.partial", f".study.parquet.{'f' * 16}.part"):
        (tmp_path / name).symlink_to(victim)
    with pytest.raises(FileExistsError):
        study(tmp_path / "study.parquet")
    assert victim.read_text() == "not yours"


@pytest.mark.parametrize("given, renamed", [
    ("MNAR:BLOCK", "MNAR:BLOCK"),
    # Parameters given at porosa's defaults describe the same generator.
    ("MAR:GM", Mechanism("MAR", mean=0.5, variance=0.0)),
    ("MNAR:BLOB", Mechanism("MNAR", mode="BLOB", n_blobs=3, max_missing_per_column=0.8)),
    (Mechanism("MNAR", mode="BLOCK", block_size=(0.3, 0.2)),
     Mechanism("mnar:block", block_size=[np.float64(0.3), 0.2])),
])
def test_a_mechanisms_seed_comes_from_what_it_is_not_its_name(given, renamed):
    def run(mechanisms):
        return scores(evaluate_imputers(table(), {"i": shifted}, mechanisms, [0.3], repeats=2, random_state=9))

    pd.testing.assert_frame_equal(run({"renamed": renamed}).assign(mechanism=str(given)), run([given]),
                                  check_exact=True)


class Sleepy:
    """shifted, after a wait its representation leaves out: the killed study
    and its quick resumption are one study."""

    def __init__(self, wait):
        self.wait = wait

    def __repr__(self):
        return "Sleepy()"

    def __call__(self, holes):
        time.sleep(self.wait)
        return shifted(holes)


def long_study(path, wait):
    return study(path, Sleepy(wait), repeats=100, metric="rmse")


def test_a_study_killed_mid_run_resumes_with_the_scores_of_an_uninterrupted_one(tmp_path):
    path = tmp_path / "killed.csv"
    script = f"from test_kit_checkpoint_integrity import long_study; long_study({str(path)!r}, 0.02)"
    found = os.pathsep.join([str(Path(__file__).parents[2] / "python"), str(Path(__file__).parent),
                             os.environ.get("PYTHONPATH", "")])
    child = subprocess.Popen([sys.executable, "-c", script], env=dict(os.environ, PYTHONPATH=found))
    deadline = time.monotonic() + 300  # a hang guard only
    while (not path.exists() or path.read_bytes().count(b"\n") < 8) and child.poll() is None \
            and time.monotonic() < deadline:
        time.sleep(0.005)
    child.send_signal(signal.SIGKILL)
    child.wait(timeout=60)
    assert child.returncode == -signal.SIGKILL  # amid its 200 tasks, long before its waits could end
    path.write_bytes(path.read_bytes()[:-20])  # and as if the kill had cut its last write
    with pytest.warns(UserWarning, match="1 task will run again"):
        resumed = scores(long_study(path, 0.0))
    pd.testing.assert_frame_equal(resumed, scores(long_study(None, 0.0)), check_exact=True)
