"""How a study runs: a step that hangs is stopped, a worker that dies keeps
the finished scores, imputers score the same on any worker, their warnings
and failures reach the caller."""

import contextlib
import os
import signal
import threading
import time
import warnings

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import Evaluation, evaluate_imputers

pytest.importorskip("joblib", reason="joblib runs parallel studies (porosa[study])")

# Far beyond any step of these studies (milliseconds), far below a hang guard.
TIMEOUT = 3


def data():
    return pd.DataFrame(np.random.default_rng(2).normal(size=(40, 3)), columns=list("abc"))


def zeros(holes):
    return holes.fillna(0)


def hangs(holes):
    time.sleep(300)  # a hang guard, should the timeout not stop it
    return holes.fillna(0)


def study(imputers, **options):
    options = {"repeats": 2, "random_state": 5, **options}
    return evaluate_imputers(data(), imputers, ["MCAR"], [0.2], **options).scores.drop(columns="seconds")


def same(got, expected):
    pd.testing.assert_frame_equal(got.reset_index(drop=True), expected.reset_index(drop=True), check_dtype=False,
                                  check_exact=True)


@pytest.mark.parametrize("n_jobs", [1, 2])
def test_a_step_that_hangs_is_stopped_and_recorded_and_the_study_goes_on(n_jobs):
    # The hang comes first: the next imputer runs in a new worker, on the same amputation.
    got = study({"hangs": hangs, "zeros": zeros}, timeout=TIMEOUT, n_jobs=n_jobs)
    stopped = got[got.imputer == "hangs"]
    assert (stopped["error"] == f"TimeoutError: ran longer than timeout={TIMEOUT} s and was stopped").all()
    assert len(stopped) == 2 and stopped["score"].isna().all()
    same(got[got.imputer == "zeros"], study({"zeros": zeros}))


def test_a_step_that_hangs_stops_a_study_told_to_raise_with_its_scores():
    with pytest.raises(TimeoutError) as info:
        study({"zeros": zeros, "hangs": hangs}, timeout=TIMEOUT, raise_errors=True)
    assert "while hangs imputed the data MCAR amputated at rate 0.2 (repeat 0)" in info.value.__notes__
    assert info.value.evaluation.scores.empty


def dies(holes):
    if holes.isna().sum().sum() > 20:  # at rate 0.5 only, as the system would end a worker short of memory
        os.kill(os.getpid(), signal.SIGKILL)
    return holes.fillna(0)


@pytest.mark.parametrize("options", [{"n_jobs": 2}, {"timeout": 60}], ids=["n_jobs=2", "timeout"])
def test_a_worker_that_dies_leaves_the_finished_scores_on_the_exception(options):
    with pytest.raises(Exception) as info:
        evaluate_imputers(data(), {"dies": dies}, ["MCAR"], [0.1, 0.5], repeats=2, random_state=5, **options)
    finished = info.value.evaluation.scores
    assert isinstance(info.value.evaluation, Evaluation)
    assert f"porosa_kit: {len(finished)} of 4 tasks finished" in info.value.__notes__  # a row per task
    assert (finished["missing_rate"] == 0.1).all()
    if "timeout" in options:  # one worker, in the study's order: both tasks at 0.1, then the one that died
        assert len(finished) == 2 and "while dies imputed the data MCAR amputated at rate 0.5 (repeat 0)" \
            in info.value.__notes__


class Counts:
    """An imputer that remembers how often it was used."""

    def __init__(self):
        self.calls = 0

    def __call__(self, holes):
        self.calls += 1
        return holes.fillna(self.calls)


class CountsToo(Counts):
    def fit_transform(self, holes):
        return self(holes)


@pytest.mark.parametrize("imputer", [Counts, CountsToo])
def test_an_imputer_that_keeps_state_scores_the_same_here_and_on_workers(imputer):
    serial = study({"it": imputer()}, repeats=4)
    same(study({"it": imputer()}, repeats=4, n_jobs=2), serial)
    same(serial, study({"it": lambda holes: holes.fillna(1)}, repeats=4))


class Locked:
    def __init__(self):
        self.lock = threading.Lock()

    def __call__(self, holes):
        return holes.fillna(0)


@pytest.mark.parametrize("options, advice", [({"n_jobs": 2}, "run the study with n_jobs=1"),
                                             ({"timeout": 60}, "run the study without timeout")])
def test_an_imputer_that_cannot_be_pickled_is_named(options, advice):
    with pytest.raises(Exception) as info:
        study({"zeros": zeros, "locked": Locked()}, **options)
    assert str(info.value) == ("Could not pickle imputer 'locked' (Locked) to send it to the workers: TypeError: "
                               f"cannot pickle '_thread.lock' object; make it picklable, or {advice}")
    assert not study({"locked": Locked()})["error"].any()  # here, it needs no pickling


@pytest.mark.parametrize("place, doing, why", [("a directory", "read", "Is a directory"),
                                               ("a full disk", "write", "No space left on device")])
def test_a_checkpoint_that_cannot_be_used_is_named_with_the_systems_reason(tmp_path, place, doing, why):
    book = tmp_path / "study.csv"
    if place == "a directory":
        book.mkdir()
    else:
        if not os.path.exists("/dev/full"):
            pytest.skip("no /dev/full to fill")
        book.symlink_to("/dev/full")
    with pytest.raises(OSError) as info:
        study({"zeros": zeros}, checkpoint=book)
    assert str(info.value).endswith(f"cannot {doing} the checkpoint {book}: {why}")
    if doing == "write":
        assert info.value.evaluation.scores.empty
        from porosa_kit._cli_errors import kit_failure

        assert "please report" not in str(kit_failure(info.value, "in.csv", "study"))


def warns(holes):
    warnings.warn("few values", UserWarning)
    return holes.fillna(0)


@pytest.mark.parametrize("options", [{"n_jobs": 2}, {"timeout": 60}], ids=["n_jobs=2", "timeout"])
def test_workers_warnings_reach_the_caller_as_a_serial_studys_do(options):
    def caught(action, **more):
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter(action)
            study({"warns": warns}, repeats=4, **more)
        return [(str(w.message), w.category, w.lineno) for w in seen]

    serial = caught("always")
    assert len(serial) == 4 and caught("always", **options) == serial
    # However many workers sent it, a warning is shown once.
    assert caught("default", **options) == serial[:1]


@pytest.mark.parametrize("option, value, message", [
    ("timeout", 0, "timeout must be None or a number of seconds above 0, not 0"),
    ("backend", "threading", "timeout stops a task by ending the process that runs it, which joblib's "
                             "ThreadingBackend cannot do"),
    ("generator", porosa.MNAR(mode="MAX"), "a timeout runs tasks in other processes, where a generator instance"),
])
def test_a_timeout_is_refused_where_it_cannot_stop_a_task(option, value, message):
    import joblib

    generators = [value] if option == "generator" else ["MCAR"]
    config = joblib.parallel_config(backend=value) if option == "backend" else contextlib.nullcontext()
    with pytest.raises(ValueError) as info, config:
        evaluate_imputers(data(), [zeros], generators, 0.2, timeout=value if option == "timeout" else 1)
    assert str(info.value).startswith(message)


@pytest.mark.filterwarnings("ignore:\\[IterativeImputer\\] Early stopping")
def test_an_imputers_own_joblib_work_stays_in_its_dask_worker():
    pytest.importorskip("distributed", reason="Dask's distributed is not installed for this interpreter")
    pytest.importorskip("sklearn", reason="scikit-learn is porosa_kit's optional dependency (porosa[sklearn])")
    import joblib
    from distributed import Client, LocalCluster, get_task_stream
    from sklearn.ensemble import RandomForestRegressor
    from sklearn.experimental import enable_iterative_imputer  # noqa: F401
    from sklearn.impute import IterativeImputer

    # A forest fits its trees through joblib; a forest with n_jobs > 1 sums
    # its trees' predictions in the order its threads end, which differs
    # from run to run even here.
    forest = IterativeImputer(RandomForestRegressor(n_estimators=5, random_state=0), max_iter=2, random_state=0)

    def run():
        return evaluate_imputers(data(), {"forest": forest}, ["MCAR", "MAR:MAX"], [0.3], repeats=2,
                                 random_state=3).scores.drop(columns="seconds")

    serial = run()
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None) as cluster, \
            Client(cluster) as client, joblib.parallel_config(backend="dask"), get_task_stream(client) as stream:
        on_dask = run()
    same(on_dask, serial)
    assert len(stream.data) <= 4  # the study's 4 tasks, in runs: none of the forests' own
