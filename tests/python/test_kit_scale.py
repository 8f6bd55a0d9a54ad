"""Studies that scale: tasks seeded by their names score the same serially,
on joblib's processes and on a Dask or Ray cluster; tables travel once."""

import os
import pickle

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import MCAR, Mechanism, evaluate_imputers

pytest.importorskip("joblib", reason="joblib runs parallel studies (porosa[study])")

MECHANISMS = ["MCAR", "MAR:MAX", "MNAR:BLOCK"]


def tables():
    rng = np.random.default_rng(3)
    x = rng.normal(size=(60, 4))
    frame = pd.DataFrame(x @ [[1, 0.5, 0, 0], [0, 1, 0.5, 0], [0, 0, 1, 0.5], [0, 0, 0, 1]], columns=list("abcd"))
    frame["kind"] = rng.choice(["u", "v"], 60)
    return {"frame": frame, "array": x[:40]}


def means(holes):
    frame = pd.DataFrame(holes)
    return frame.fillna(frame.mean(numeric_only=True)).fillna("u")


def study(data=None, generators=MECHANISMS, rates=(0.1, 0.3), **options):
    result = evaluate_imputers(tables() if data is None else data, {"means": means, "medians": lambda h: means(h).fillna(h.median(numeric_only=True))},
                               generators, list(rates), repeats=2, random_state=11, **options)
    return result.scores.drop(columns="seconds")


# Session scope: the slowest tests run first and the module's others later,
# which would end and remake a module-scoped fixture in between.
@pytest.fixture(scope="session")
def serial():
    return study()


def on_dask():
    """The study on a cluster of two worker processes, and how often a table
    travelled there: one cluster for both, as starting it costs more than
    they do (a fixture would start one in each of pytest-xdist's workers)."""
    pytest.importorskip("distributed", reason="Dask's distributed is not installed for this interpreter")
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster):
        return run_with_backend("dask"), trips_of_a_table("dask")


def on_ray(monkeypatch):
    ray = pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
    from ray.util.joblib import register_ray

    register_ray()
    # Ray's workers import this module for its imputers, as the others do;
    # they inherit the environment of the local instance that init starts.
    path = os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")])
    monkeypatch.setenv("PYTHONPATH", path)
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        # Ray's backend runs one task at a time unless told otherwise, which
        # porosa_kit rightly takes for a serial study.
        return run_with_backend("ray", n_jobs=2)
    finally:
        ray.shutdown()


def run_with_backend(backend, n_jobs=None):
    import joblib

    # The study's n_jobs stays None: the config alone sends the tasks there.
    with joblib.parallel_config(backend=backend, n_jobs=n_jobs):
        return study()


@pytest.mark.parametrize("runner", ["n_jobs=2", "threads", "dask", "ray"])
def test_scores_are_identical_whatever_runs_the_tasks(serial, runner, monkeypatch):
    if runner == "n_jobs=2":
        got = study(n_jobs=2)
    elif runner == "threads":
        got = run_with_backend("threading", n_jobs=2)
    elif runner == "dask":
        got, trips = on_dask()
        assert trips <= 1  # Dask sends a table once, by reference after
    else:
        got = on_ray(monkeypatch)
    pd.testing.assert_frame_equal(got, serial, check_exact=True)
    assert list(dict.fromkeys(serial["dataset"])) == ["frame", "array"]


@pytest.mark.parametrize("change", ["another table", "another rate", "another mechanism"])
def test_adding_to_a_study_leaves_the_others_scores_unchanged(serial, change):
    bigger = {"another table": lambda: study({"first": tables()["array"], **tables()}),
              "another rate": lambda: study(rates=(0.2, 0.1, 0.3)),
              "another mechanism": lambda: study(generators=["MNAR:MIN"] + MECHANISMS)}[change]()
    kept = bigger.merge(serial[["dataset", "mechanism", "missing_rate", "repeat"]].drop_duplicates())
    pd.testing.assert_frame_equal(kept, serial, check_exact=True)
    assert len(bigger) > len(serial)


@pytest.mark.parametrize("instance, suggested", [
    (porosa.MNAR(mode="MAX", random_seed=1), "'MNAR:MAX'"),
    (porosa.MAR(random_seed=1), "'MAR:GM'"),
    (porosa.MNAR(mode="BLOCK", block_size=(0.2, 0.3)), "Mechanism('MNAR', mode='BLOCK', block_size=(0.2, 0.3))"),
    (porosa.MNAR(mode="BLOB", n_blobs=5), "Mechanism('MNAR', mode='BLOB', n_blobs=5)"),
    (MCAR(random_seed=2), "'MCAR'"),
])
@pytest.mark.parametrize("option", [{"n_jobs": 2}, {"checkpoint": "never-written.csv"}, {"config": 2}])
def test_an_instance_is_refused_where_its_stream_cannot_continue_with_the_description_to_use(
        instance, suggested, option, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    import joblib

    option = dict(option)
    with pytest.raises(ValueError, match="describe generator 'g'") as info, \
            joblib.parallel_config(n_jobs=option.pop("config", None)):
        evaluate_imputers(tables()["frame"], [means], {"g": instance}, 0.1, **option)
    assert f"as {suggested} instead" in str(info.value) and not any(tmp_path.iterdir())
    # The suggestion builds a generator of the same representation.
    text = suggested.strip("'")
    built = eval(suggested, {"Mechanism": Mechanism}) if suggested.startswith("M") and "(" in suggested else \
        Mechanism.from_text(text)
    assert repr(built.generator(0)) == repr(instance)


def test_a_study_without_random_state_records_the_seed_that_repeats_it():
    first = evaluate_imputers(tables(), [means], MECHANISMS, 0.2, repeats=2)
    again = evaluate_imputers(tables(), [means], MECHANISMS, 0.2, repeats=2, random_state=first.random_state)
    other = evaluate_imputers(tables(), [means], MECHANISMS, 0.2, repeats=2)
    pd.testing.assert_frame_equal(again.scores.drop(columns="seconds"), first.scores.drop(columns="seconds"), check_exact=True)
    assert other.random_state != first.random_state and not other.scores["score"].equals(first.scores["score"])


@pytest.mark.parametrize("text, expected", [
    ("MNAR:block", "MNAR:BLOCK"), ("mar", "MAR:GM"), ("MCAR", "MCAR"),
    ("MAR:BLOCK", "MAR cannot take mode BLOCK: only MNAR can (e.g. 'MNAR:BLOCK')"),
    ("MCAR:GM", "MCAR takes no mode"), ("MNAR:", "no mode after the colon"), ("XAR", "unknown mechanism 'XAR'"),
])
def test_a_description_pickles_and_is_checked_at_once(text, expected):
    if " " in expected:
        with pytest.raises(ValueError) as info:
            Mechanism.from_text(text)
        assert str(info.value).startswith(expected)
        return
    description = Mechanism.from_text(text)
    assert str(description) == expected and pickle.loads(pickle.dumps(description)) == description
    assert np.array_equal(description.generator(5)(np.eye(9) + 1, 0.3),
                          description.generator(5)(np.eye(9) + 1, 0.3), equal_nan=True)


class Counted:
    """A cell that counts how often the table holding it is pickled, and
    arrives as a plain text."""

    times = 0

    def __reduce__(self):
        Counted.times += 1
        return str, ("u",)


def trips_of_a_table(backend):
    """How often a table went to the workers of a study of 36 tasks."""
    import joblib

    frame = tables()["frame"].astype({"kind": object})
    frame.loc[0, "kind"] = Counted()
    Counted.times = 0
    with joblib.parallel_config(backend=backend):
        result = evaluate_imputers({"t": frame}, [means], MECHANISMS, [0.1, 0.2, 0.3], repeats=4, random_state=1,
                                   n_jobs=2)
    assert result.scores["error"].isna().all() and result.scores["repeat"].nunique() == 4
    return Counted.times


def test_a_table_travels_once_per_run_of_its_tasks_not_once_per_task():
    # 36 tasks in 12 runs of 3 (about 8 per worker; joblib may batch runs,
    # which ships the table once per batch). Dask's count is checked on its
    # cluster with its scores.
    assert trips_of_a_table("loky") <= 12 < 3 * 3 * 4
