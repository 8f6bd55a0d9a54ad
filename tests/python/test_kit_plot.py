"""Evaluation.plot: the grid, the shared y axes, the bars, the labels and drawing into given axes."""

import functools
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from porosa_kit import Evaluation

MECHANISMS = ["MNAR MAX", "MCAR", "MAR MAX", "BLOB", "BLOCK", "MNAR GM", "MAR GM"]
IMPUTERS = ["zero", "mean", "knn", "iterative"]
RATES = [0.3, 0.1, 0.2]


def study(blowup=True, dataset=None, flags=False):
    """7 mechanisms x 3 rates x 4 imputers x 5 repeats of RMSE and accuracy;
    BLOB blows up the knn imputer's RMSE, and the mean imputer's repeat 4
    fails at BLOCK 0.1 (NaN scores). With `flags`: the knn imputer diverges
    in one repeat of MCAR 0.3, MAR GM runs once, and every imputer scores
    the same accuracy."""
    rng = np.random.default_rng(3)
    rows = []
    for g, mechanism in enumerate(MECHANISMS):
        for rate in RATES:
            for repeat in range(5):
                for k, imputer in enumerate(IMPUTERS):
                    # "zero" and "mean" score alike: their lines must both show.
                    level = 0.9 + 0.1 * g + 0.2 * max(k - 1, 0)
                    rmse = rng.lognormal(2, 1.2) if blowup and (mechanism, imputer) == ("BLOB", "knn") else (
                        abs(level + rng.normal(0, 0.4 if k == 0 else 0.05)))
                    accuracy = min(0.97 + rng.normal(0, 0.05), 1.0)
                    failed = (mechanism, rate, repeat, imputer) == ("BLOCK", 0.1, 4, "mean")
                    for metric, score in (("rmse", rmse), ("accuracy", accuracy)):
                        rows.append({"mechanism": mechanism, "missing_rate": rate, "repeat": repeat,
                                     "imputer": imputer, "metric": metric,
                                     "score": np.nan if failed else score, "cells": 10, "seconds": 0.0})
    scores = pd.DataFrame(rows)
    if flags:
        accuracy = scores["metric"] == "accuracy"
        scores.loc[accuracy, "score"] = scores[accuracy].groupby(["mechanism", "missing_rate", "repeat"])[
            "score"].transform("first")
        scores.loc[(scores.mechanism == "MCAR") & (scores.missing_rate == 0.3) & (scores.repeat == 2)
                   & (scores.imputer == "knn") & ~accuracy, "score"] = 7.2e103
        scores = scores[(scores.mechanism != "MAR GM") | (scores.repeat == 0)]
    return Evaluation(scores, dataset=dataset)


def drawn(ax):
    """Per imputer label: the points' y and the bars' (low, high) ends."""
    out = {}
    for container in ax.containers:
        line, _, (bars,) = container.lines
        ends = np.array([[seg[0][1], seg[1][1]] for seg in bars.get_segments()])
        out[container.get_label()] = (np.asarray(line.get_ydata()), ends)
    return out


def ends(axes):
    return np.concatenate([e.ravel() for a in axes for _, e in drawn(a).values()])


def same_ylim(axes):
    return len({a.get_ylim() for a in axes}) == 1


def grid(fig):
    spec = fig.axes[0].get_subplotspec().get_gridspec()
    return spec.nrows, spec.ncols, [a.get_title() for a in fig.axes], fig.get_size_inches()[0]


def centres(fig, spread):
    """Drawn centres against the raw scores' mean or median, NaN left out."""
    s = study().scores
    s = s[(s.metric == "rmse") & (s.mechanism == "BLOCK")]
    want = s.groupby(["imputer", "missing_rate"])["score"].agg("mean" if spread == "std" else "median")
    got = drawn(fig.axes[MECHANISMS.index("BLOCK")])
    return all(np.allclose(got[i][0], want[i].sort_index().to_numpy()) for i in IMPUTERS)


def one_panel(ax):
    fig = study(dataset="wine").plot("accuracy", mechanism="MCAR", ax=ax)
    assert fig is ax.figure and ax.get_title() == "wine: MCAR" and len(drawn(ax)) == 4
    return True


def figure(rows=1, cols=1):
    from matplotlib.figure import Figure

    return Figure().subplots(rows, cols, squeeze=False)


@functools.cache
def plotted(*args, blowup=True, dataset=None, flags=False, **options):
    """The study's figure, drawn once per set of options: the checks only read it."""
    return study(blowup, dataset, flags).plot(*args, **options)


def panel(fig, mechanism):
    return fig.axes[MECHANISMS.index(mechanism)]


def marks(ax, facecolor=None):
    """The points drawn apart from the lines: diverged triangles, or hollow (white) markers."""
    lines = [line for line in ax.lines if line.get_linestyle() == "None"]
    if facecolor is None:
        return [line for line in lines if line.get_marker() == "^"]
    return [line for line in lines if line.get_markerfacecolor() == facecolor]


def legend(fig):
    return fig.legends[0].get_title().get_text(), [t.get_text() for t in fig.legends[0].get_texts()]


@pytest.mark.parametrize(("call", "check"), [
    # 7 mechanisms wrap into 2 rows of 4, in the study's order, not a strip.
    (lambda: plotted("rmse"), lambda f: grid(f)[:3] == (2, 4, MECHANISMS) and grid(f)[3] < 15),
    (lambda: plotted(ncols=3), lambda f: grid(f)[:2] == (6, 3) and len(f.axes) == 14),
    # The blow-up leaves the other panels their own range unless forced.
    (lambda: plotted("rmse"), lambda f: not same_ylim(f.axes)),
    (lambda: plotted("rmse", blowup=False), lambda f: same_ylim(f.axes)),
    (lambda: plotted("rmse", sharey=True), lambda f: same_ylim(f.axes)),
    (lambda: plotted("rmse", blowup=False, sharey=False), lambda f: not same_ylim(f.axes)),
    (lambda: plotted("rmse", yscale="log"), lambda f: f.axes[0].get_yscale() == "log"),
    # Auto: log where a panel spans over two decades (BLOB's blow-up), all of them when shared.
    (lambda: plotted("rmse"), lambda f: [a.get_yscale() for a in f.axes] == ["linear"] * 3 + ["log"] + ["linear"] * 3),
    (lambda: plotted("rmse", sharey=True), lambda f: {a.get_yscale() for a in f.axes} == {"log"}),
    # A diverged repeat is left out of the point, and marked at the top, not setting the axis.
    (lambda: plotted("rmse", flags=True), lambda f: panel(f, "MCAR").get_ylim()[1] < 10
     and len(marks(panel(f, "MCAR"))) == 1 and not marks(panel(f, "MNAR MAX"))
     and legend(f)[1][-1] == "diverged (error > 1e+06), left out"),
    # Points of one repeat are hollow (MAR GM, every imputer), and the legend says why.
    (lambda: plotted("rmse", flags=True), lambda f: len(marks(panel(f, "MAR GM"), "white")) == 4
     and not marks(panel(f, "MCAR"), "white") and "one repeat (no bar)" in legend(f)[1]),
    (lambda: plotted(flags=True), lambda f: legend(f)[0].endswith("\naccuracy: every imputer alike "
                                                                   "(MixedImputer fills text with its most frequent value)")),
    (lambda: plotted(), lambda f: "accuracy" not in legend(f)[0]),
    # Bars stop at 0 for RMSE and at 1 for accuracy, both reached here.
    (lambda: plotted(), lambda f: (ends(f.axes[:7]).min(), ends(f.axes[7:]).max()) == (0, 1)
     and ends(f.axes[7:]).min() > 0),
    # Equal lines stay visible: each imputer its own marker and line style.
    (lambda: plotted("rmse"), lambda f: len({(h.get_marker(), h.get_linestyle())
                                                   for h in f.legends[0].legend_handles}) == 4),
    (lambda: plotted("rmse"), lambda f: [t.get_text() for t in f.legends[0].get_texts()] == IMPUTERS),
    # The caption says what the points are; the failed repeat leaves 4 of 5.
    (lambda: plotted(), lambda f: f.legends[0].get_title().get_text()
     == "mean ± standard deviation over 4 to 5 repeats" and centres(f, "std")),
    (lambda: plotted("rmse", spread="iqr"), lambda f: f.legends[0].get_title().get_text()
     == "median and interquartile range over 4 to 5 repeats" and centres(f, "iqr")),
    (lambda: plotted("rmse", mechanism="MCAR"), lambda f: f.legends[0].get_title().get_text()
     == "mean ± standard deviation over 5 repeats"),
    (lambda: plotted(), lambda f: f.get_suptitle() == ""),
    (lambda: plotted(dataset="wine"), lambda f: f.get_suptitle() == "wine"),
    (lambda: study(dataset="wine").plot(title="Wine, 178 rows"), lambda f: f.get_suptitle() == "Wine, 178 rows"),
    (lambda: plotted(), lambda f: [a.get_ylabel() for a in f.axes if a.get_ylabel()]
     == ["RMSE (standardised values)"] * 2 + ["accuracy"] * 2),
    # The x label under each column's lowest panel only (the last row is short).
    (lambda: plotted("rmse"), lambda f: [a.get_xlabel() for a in f.axes] == [""] * 3 + ["missing rate"] * 4
     and list(f.axes[0].get_xticks()) == [0.1, 0.2, 0.3]),
    (lambda: one_panel(figure()[0][0]), lambda ok: ok),
    (lambda: study().plot("rmse", ax=figure(1, 7)), None),
    (lambda: study().plot("rmse", ax=figure()[0][0]), "one metric and one mechanism"),
    (lambda: study().plot("rmse", ax=figure(1, 6)), "one per panel"),
    (lambda: plotted("f1"), "no metric 'f1'"),
    (lambda: plotted(spread="sem"), "spread must be"),
])
def test_plot(call, check):
    pytest.importorskip("matplotlib", reason="matplotlib is porosa_kit's optional dependency (porosa[plot])")
    if isinstance(check, str):
        with pytest.raises(ValueError, match=check):
            call()
    elif check is None:
        fig = call()
        assert [a.get_title() for a in fig.axes] == MECHANISMS and all(drawn(a) for a in fig.axes)
    else:
        assert check(call())


def test_matplotlib_stays_optional(monkeypatch):
    code = "import sys, porosa_kit; sys.exit('matplotlib' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    with pytest.raises(ImportError, match=r"pip install porosa\[plot\]"):
        study().plot()


def test_an_imputer_without_scores_says_so_in_the_legend():
    pytest.importorskip("matplotlib", reason="matplotlib is porosa_kit's optional dependency (porosa[plot])")
    scores = study().scores
    scores.loc[scores["imputer"] == "knn", "score"] = np.nan
    legend = Evaluation(scores).plot("rmse").legends[0]
    assert [t.get_text() for t in legend.get_texts()] == ["zero", "mean", "knn (no scores)", "iterative"]
