"""Metrics come from one registry: a function scores like the built-in it
copies, an unknown name is refused, and a user's metric reaches tables,
figures, workers and checkpoints."""

import numpy as np
import pandas as pd
import pytest

from porosa_kit import evaluate_imputers, register_metric
from porosa_kit._fingerprint import fingerprint
from porosa_kit._flags import diverged
from porosa_kit._metrics import resolve_all


def frame():
    rng = np.random.default_rng(3)
    return pd.DataFrame(rng.normal(size=(40, 3)) * [1, 10, 100], columns=list("abc"))


def fill(holes):
    return holes.fillna(0.5)


def root_mean_square(truth, imputed, mask):
    return float(np.sqrt(np.mean((imputed - truth)[mask] ** 2)))


def worst(truth, imputed, mask):
    return float(np.max(np.abs(imputed - truth)[mask]))


def study(metric, **options):
    scores = evaluate_imputers(frame(), {"fill": fill}, ["MCAR"], [0.2, 0.4], repeats=2, metric=metric,
                               random_state=7, **options).scores
    return scores.pivot_table(index=["missing_rate", "repeat"], columns="metric", values="score")


def test_a_function_scores_as_the_built_in_it_copies_and_another_is_not_taken_for_mae():
    builtin = study(["rmse", "mae"])
    mine = study([root_mean_square, worst])
    np.testing.assert_allclose(mine["root_mean_square"], builtin["rmse"], rtol=1e-12)
    assert (mine["worst"] > builtin["mae"]).all()


@pytest.mark.parametrize("metric", ["rsme", ["rmse", "nope"], 3])
def test_an_unknown_metric_is_refused_before_the_study_runs(metric):
    with pytest.raises((ValueError, TypeError), match="metric"):
        study(metric)


def test_a_lambda_scores_serially_under_its_name():
    assert list(study(lambda t, i, m: 1.0).columns) == ["<lambda>"]


def test_a_registered_metric_runs_on_workers_and_a_checkpoint_knows_it(tmp_path):
    register_metric("worst_case", worst, bounds=(0, 1e9))
    book = tmp_path / "study.csv"
    serial = study("worst_case")
    pd.testing.assert_frame_equal(study("worst_case", n_jobs=2, checkpoint=book), serial)
    pd.testing.assert_frame_equal(study("worst_case", checkpoint=book), serial)  # resumed, nothing re-run
    with pytest.raises(ValueError, match="metrics or excluded columns"):
        study(["rmse"], checkpoint=book)


def test_the_fingerprint_tells_two_functions_of_one_name_apart_registered_or_not():
    def twin(truth, imputed, mask):
        return 0.0
    first = twin

    def twin(truth, imputed, mask):  # noqa: F811 - the same name, other code
        return 1.0
    register_metric("twin", first)
    marks = [fingerprint({"t": frame()}, {}, [], resolve_all(f), None, 0) for f in ("twin", twin, "rmse")]
    register_metric("twin", twin)
    marks.append(fingerprint({"t": frame()}, {}, [], resolve_all("twin"), None, 0))
    assert len(set(marks[:3])) == 3 and marks[3] == marks[1]


def test_only_unbounded_metrics_are_flagged_as_diverged():
    register_metric("bounded", worst, bounds=(0, 1e9))
    scores = pd.DataFrame({"metric": ["rmse", "bounded", "accuracy"], "score": [1e7, 1e7, 1e7]})
    assert diverged(scores).tolist() == [True, False, False]
