"""porosa_kit.evaluate_imputers: the study loop, its scores, summary, progress and plot."""

import io

import numpy as np
import pandas as pd
import pytest

import porosa
from porosa_kit import MCAR, evaluate_imputers, missing_mask


def table():
    rng = np.random.default_rng(5)
    frame = pd.DataFrame(rng.normal(size=(60, 3)) * [1, 10, 100] + [0, 5, -50], columns=["a", "b", "c"])
    frame["n"] = pd.array(rng.integers(0, 20, 60), dtype="Int64")
    frame["t"] = pd.Categorical(rng.choice(["x", "y", "z"], 60))
    frame.iloc[3, 0] = np.nan
    return frame


def generators():
    return {"MNAR": porosa.MNAR(mode="MAX", random_seed=1), "MCAR": MCAR(random_seed=2)}


def column_means(holes):
    """Each column's mean (the most frequent text), where a value is missing."""
    out = holes.copy()
    for c in out.columns:
        if out[c].dtype == "category":
            out[c] = out[c].fillna(out[c].mode().iloc[0])
        else:
            out[c] = out[c].astype(float).fillna(out[c].mean())
    return out


def test_scores_are_the_errors_on_the_removed_cells_of_standardised_columns():
    data = table()
    study = evaluate_imputers(data, {"truth": lambda holes: data, "means": column_means}, generators(),
                              [0.1, 0.3], repeats=2, metric=["rmse", "mae"])
    s = study.scores
    assert len(s) == 2 * 2 * 2 * 2 * 3  # generators x rates x repeats x imputers x (rmse, mae, accuracy)
    truth = s[s.imputer == "truth"].set_index("metric")["score"]
    assert (truth[["rmse", "mae"]] == 0).all() and (truth["accuracy"] == 1).all()

    # The first MNAR repeat at 0.1, recomputed by hand from the same draws.
    holes = porosa.MNAR(mode="MAX", random_seed=1)(data.astype({"n": float, "t": object}), 0.1)
    removed = missing_mask(data, holes).to_numpy()[:, :4]
    numbers = data.iloc[:, :4].astype(float)
    left = numbers.mask(removed)
    err = ((left.fillna(left.mean()) - numbers) / numbers.std(ddof=0)).to_numpy()[removed]
    first = s[(s.mechanism == "MNAR") & (s.missing_rate == 0.1) & (s.repeat == 0) & (s.imputer == "means")]
    assert first.set_index("metric")["score"]["rmse"] == pytest.approx(np.sqrt(np.mean(err**2)))
    assert first.set_index("metric")["cells"]["rmse"] == removed.sum()

    again = evaluate_imputers(data, {"truth": lambda holes: data, "means": column_means}, generators(),
                              [0.1, 0.3], repeats=2, metric=["rmse", "mae"])
    pd.testing.assert_frame_equal(s.drop(columns="seconds"), again.scores.drop(columns="seconds"))
    summary = study.summary
    assert summary.loc[("means", "MNAR", 0.1, "rmse"), "repeats"] == 2
    assert study.table().shape == (4, 6)


@pytest.mark.parametrize("progress, terminal, shown", [(None, True, True), (None, False, False),
                                                     (False, True, False), (True, False, True)])
def test_progress_counts_tasks_with_time_left_on_a_terminal_and_nothing_elsewhere(monkeypatch, progress,
                                                                                 terminal, shown):
    pytest.importorskip("tqdm", reason="tqdm draws the bar (porosa[study])")

    class Screen(io.StringIO):
        def isatty(self):
            return terminal

    screen = Screen()
    monkeypatch.setattr("sys.stderr", screen)
    evaluate_imputers(table(), [column_means], ["MCAR", "MAR:MAX"], 0.2, repeats=3, progress=progress)
    last = screen.getvalue().rpartition("\r")[2]
    assert ("6/6 [" in last and "<00:00" in last) if shown else screen.getvalue() == ""


def test_plot_draws_a_panel_per_metric_and_mechanism():
    pytest.importorskip("matplotlib", reason="matplotlib is porosa_kit's optional dependency (porosa[plot])")
    study = evaluate_imputers(table(), {"means": column_means}, generators(), [0.1, 0.2], repeats=2)
    fig = study.plot()
    assert len(fig.axes) == 2 * 2 and fig.axes[0].get_title() == "MNAR"


def test_an_imputer_that_fails_is_named_when_errors_are_raised():
    def broken(holes):
        raise RuntimeError("no")

    with pytest.raises(RuntimeError) as info:
        evaluate_imputers(table(), {"broken": broken}, generators(), 0.2, repeats=1, raise_errors=True)
    assert "while broken imputed the data MNAR amputated at rate 0.2 (repeat 0)" in info.value.__notes__
