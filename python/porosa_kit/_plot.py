"""plot_evaluation(): a study's scores as a grid of panels, one per metric and mechanism."""

from __future__ import annotations

import math
from collections.abc import Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
import numpy.typing as npt
import pandas as pd

from ._flags import DIVERGED, TEXT_NOTE, diverged, text_alike
from ._metrics import known, unbounded

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

    from ._evaluation import Evaluation

# Markers and line styles as well as colours, so that two imputers with equal
# scores still show as two lines, in print and to colour-blind readers too.
MARKERS = ("o", "s", "^", "D", "v", "P", "X", "*")
LINESTYLES = ("-", "--", ":", "-.")
SPREADS = {"std": "mean ± standard deviation", "iqr": "median and interquartile range"}
# Panels share a y axis only while the shared range is at most this many
# times a panel's own: past that, one blow-up flattens every other panel.
SHARE_FACTOR = 3.0
# yscale="auto" draws a panel of RMSE or MAE on a log scale when its points
# span more than this factor: on a linear one, every point but the highest
# would lie flat.
LOG_SPAN = 100.0
PANEL_INCHES = (3.2, 2.5)
KEYS = ["metric", "mechanism", "imputer", "missing_rate"]


@dataclass(frozen=True)
class _Panel:
    metric: str
    mechanism: str
    row: int
    col: int


def plot_evaluation(
    evaluation: Evaluation,
    metric: str | None = None,
    *,
    mechanism: str | None = None,
    dataset: str | None = None,
    ax: Axes | Sequence[Axes] | npt.NDArray[Any] | None = None,
    ncols: int | None = None,
    sharey: bool | None = None,
    yscale: Literal["auto", "linear", "log"] = "auto",
    spread: Literal["std", "iqr"] = "std",
    title: str | None = None,
) -> Figure:
    """Draw a study's scores: one panel per metric and mechanism, each
    imputer's score against the missing rate; for a study of several
    tables, a row of panels per table and metric.

    Mechanisms, rates and imputers keep the study's order. Scores that are
    NaN (a failed repeat, or no removed cell to score) are left out, not
    counted as zero. So are the repeats that diverged (an RMSE or MAE above
    1e6, in standard deviations of the columns, or infinite), so that they
    do not set the axis: a triangle at the top of the panel marks where they
    were. A point from a single repeat, which has no bar, is hollow. When
    every imputer scored the same accuracy, the caption says so. Needs
    matplotlib (``pip install porosa[plot]``).

    Parameters
    ----------
    evaluation : Evaluation
        The study, as :func:`porosa_kit.evaluate_imputers` returns it (the
        instance itself when called as ``evaluation.plot(...)``).
    metric : str, default=None
        Only this metric ("rmse", "mae" or "accuracy"); by default every
        metric of the study, a block of rows each.
    mechanism : str, default=None
        Only this mechanism (by its name in the study); by default all.
    dataset : str, default=None
        Only this table (by its name in the study); by default all.
    ax : matplotlib Axes or sequence of Axes, default=None
        Draw into these axes instead of a new figure: one Axes for a single
        panel (select one metric and one mechanism), or one Axes per panel,
        metric by metric, mechanism by mechanism.
    ncols : int, default=None
        Panels per row, at most 3 or 4 by default, whichever leaves fewer
        empty cells. Ignored with ``ax``.
    sharey : bool, default=None
        Whether a metric's panels share their y axis. By default they do
        only when the shared range is at most 3 times each panel's own.
    yscale : {"auto", "linear", "log"}, default="auto"
        The y axis' scale. "auto" is linear, or log for a panel of RMSE or
        MAE whose points span more than a factor of 100 (for all of a
        metric's panels, with ``sharey=True``).
    spread : {"std", "iqr"}, default="std"
        Each point and its bar: the mean and one standard deviation either
        side, or the median and the interquartile range, over the repeats.
        Bars are cut at 0 for RMSE, MAE and accuracy and at 1 for accuracy.
    title : str, default=None
        The figure's title (with ``ax``: before each panel's title). By
        default ``evaluation.dataset`` when it is set, else none.

    Returns
    -------
    figure : matplotlib.figure.Figure
        A new figure, or the figure of ``ax``.

    Raises
    ------
    ImportError
        Without matplotlib.
    ValueError
        For a metric or mechanism the study lacks, an unknown ``spread`` or
        ``yscale``, or ``ax`` with the wrong number of axes.

    Examples
    --------
    >>> import pandas as pd
    >>> from porosa_kit import Evaluation
    >>> scores = pd.DataFrame({
    ...     "mechanism": ["MCAR"] * 4 + ["MNAR MAX"] * 4, "missing_rate": [0.1, 0.1, 0.3, 0.3] * 2,
    ...     "repeat": 0, "imputer": ["zero", "mean"] * 4, "metric": "rmse",
    ...     "score": [1.0, 0.8, 1.1, 0.9, 1.6, 1.8, 1.1, 1.4]})
    >>> fig = Evaluation(scores, dataset="toy").plot()
    >>> [ax.get_title() for ax in fig.axes], fig.get_suptitle()
    (['MCAR', 'MNAR MAX'], 'toy')
    >>> fig.savefig("study.png")  # doctest: +SKIP
    """
    try:
        from matplotlib.axes import Axes
        from matplotlib.figure import Figure
    except ImportError as e:
        raise ImportError("plot() needs matplotlib: pip install porosa[plot]") from e
    if spread not in SPREADS:
        raise ValueError(f"spread must be 'std' or 'iqr', not {spread!r}")
    if yscale not in ("auto", "linear", "log"):
        raise ValueError(f"yscale must be 'auto', 'linear' or 'log', not {yscale!r}")
    if dataset is not None:
        evaluation = evaluation.select(dataset)
    scores = evaluation.scores
    if title is None:
        title = getattr(evaluation, "dataset", None)
    if len(evaluation.datasets) > 1:
        scores, mechanism, ncols = _rows_by_dataset(scores, mechanism, ncols)
    panels, ncols = _layout(scores, metric, mechanism, ncols)
    chosen = {(p.metric, p.mechanism) for p in panels}
    scores = scores[[key in chosen for key in zip(scores["metric"], scores["mechanism"])]]
    points = _points(scores, spread)
    flagged = scores[diverged(scores)].groupby(KEYS, sort=False).size().rename("diverged").reset_index()
    imputers = list(dict.fromkeys(scores["imputer"]))
    rates = sorted(dict.fromkeys(float(r) for r in scores["missing_rate"]))

    if ax is None:
        rows = panels[-1].row + 1
        fig = Figure(figsize=(PANEL_INCHES[0] * ncols + 0.3, PANEL_INCHES[1] * rows + 1.0), layout="constrained")
        grid = fig.add_gridspec(rows, ncols)
        axes = [fig.add_subplot(grid[p.row, p.col]) for p in panels]
    else:
        axes = _given_axes(ax, panels, Axes)
        first = axes[0].figure
        fig = first if isinstance(first, Figure) else first.figure
        panels = [_Panel(p.metric, p.mechanism, 0, 0) for p in panels]

    scales = _scales(points, panels, yscale, sharey)
    occupied = {(p.row, p.col) for p in panels}
    for p, a in zip(panels, axes):
        _draw(a, points, flagged, p, imputers, rates, scales[p])
        a.set_title(p.mechanism if ax is None or not title else f"{title}: {p.mechanism}")
        if ax is not None or p.col == 0:
            a.set_ylabel(_label(p.metric))
        if ax is not None or (p.row + 1, p.col) not in occupied:
            a.set_xlabel("missing rate")
    for name in dict.fromkeys(p.metric for p in panels):
        group = [(p, a) for p, a in zip(panels, axes) if p.metric == name]
        _share_y(group, points, sharey, scales, hide_labels=ax is None)

    handles = _legend_handles(imputers, points, flagged)
    caption = _caption(points, spread, "\n" if ax is not None else " ", text_alike(scores))
    if ax is None:
        fig.legend(handles=handles, loc="outside lower center", ncols=len(handles) if len(handles) <= 6 else 4,
                   title=caption, frameon=False)
        if title:
            fig.suptitle(title)
    else:
        # Beside the last panel: inside, the bars leave no corner free.
        axes[-1].legend(handles=handles, title=caption, fontsize="small", title_fontsize="small",
                        loc="upper left", bbox_to_anchor=(1.02, 1.0), borderaxespad=0.0, alignment="left")
    return fig


def _layout(scores: pd.DataFrame, metric: str | None, mechanism: str | None,
            ncols: int | None) -> tuple[list[_Panel], int]:
    """The panels to draw and their cells: each metric starts a row, and its
    mechanisms wrap into rows of ``ncols``."""
    if scores.empty:
        raise ValueError("the evaluation holds no scores to plot")
    metrics = list(dict.fromkeys(scores["metric"]))
    mechanisms = list(dict.fromkeys(scores["mechanism"]))
    for given, present_ones, what in ((metric, metrics, "metric"), (mechanism, mechanisms, "mechanism")):
        if given is not None and given not in present_ones:
            raise ValueError(f"no {what} {given!r} in this evaluation; it has {', '.join(map(repr, present_ones))}")
    metrics = metrics if metric is None else [metric]
    mechanisms = mechanisms if mechanism is None else [mechanism]
    present = set(zip(scores["metric"], scores["mechanism"]))
    per_metric = [[m for m in mechanisms if (name, m) in present] for name in metrics]
    widest = max(len(ms) for ms in per_metric)
    if not widest:
        raise ValueError(f"the evaluation has no {metric} scores under {mechanism}")
    if ncols is None:
        # Fewest empty cells in the last row; on a tie, fewer rows.
        ncols = widest if widest <= 4 else min((4, 3), key=lambda c: -widest % c)
    elif ncols < 1:
        raise ValueError(f"ncols must be at least 1, not {ncols}")
    ncols = min(ncols, widest)
    panels: list[_Panel] = []
    row = 0
    for name, ms in zip(metrics, per_metric):
        panels += [_Panel(name, m, row + i // ncols, i % ncols) for i, m in enumerate(ms)]
        row += math.ceil(len(ms) / ncols)
    return panels, ncols


def _rows_by_dataset(scores: pd.DataFrame, mechanism: str | None,
                     ncols: int | None) -> tuple[pd.DataFrame, None, int]:
    """The scores of several tables as panels named "table: mechanism", a
    row of them per table."""
    mechanisms = list(dict.fromkeys(scores["mechanism"]))
    if mechanism is not None:
        if mechanism not in mechanisms:
            raise ValueError(f"no mechanism {mechanism!r} in this evaluation; it has {', '.join(map(repr, mechanisms))}")
        scores = scores[scores["mechanism"] == mechanism]
    named = scores["dataset"].astype(str) + ": " + scores["mechanism"].astype(str)
    return scores.assign(mechanism=named), None, ncols or (1 if mechanism is not None else len(mechanisms))


def _points(scores: pd.DataFrame, spread: str) -> pd.DataFrame:
    """Per metric, mechanism, imputer and rate: the point ("centre"), its
    bar's ends ("low", "high", cut to the metric's bounds) and the number of
    scores behind them."""
    values = scores["score"].astype(float)
    grouped = scores[np.isfinite(values) & ~diverged(scores)].groupby(KEYS, sort=False)["score"]
    count = grouped.count()
    if spread == "std":
        centre = grouped.mean()
        half = grouped.std().fillna(0.0)  # one repeat has no spread
        low, high = centre - half, centre + half
    else:
        centre, low, high = grouped.median(), grouped.quantile(0.25), grouped.quantile(0.75)
    out = pd.DataFrame({"centre": centre, "low": low, "high": high, "count": count}).reset_index()
    # A function never registered has no known range: its bars stay whole.
    ranges = [m.bounds if (m := known(name)) else (-math.inf, math.inf) for name in out["metric"]]
    out["low"] = np.maximum(out["low"].to_numpy(dtype=np.float64), [r[0] for r in ranges])
    out["high"] = np.minimum(out["high"].to_numpy(dtype=np.float64), [r[1] for r in ranges])
    return out


def _label(name: str) -> str:
    metric = known(name)
    return metric.axis_label if metric else name


def _style(k: int) -> dict[str, Any]:
    return {"color": f"C{k % 10}", "marker": MARKERS[k % len(MARKERS)],
            "linestyle": LINESTYLES[k % len(LINESTYLES)]}


def _scales(points: pd.DataFrame, panels: list[_Panel], yscale: str, sharey: bool | None) -> dict[_Panel, str]:
    """Each panel's y scale: "auto" is log for a panel of an unbounded
    metric whose points span more than LOG_SPAN, and for all of the
    metric's panels when they must share their range."""
    if yscale != "auto":
        return {p: yscale for p in panels}
    scales = {p: "log" if p.metric in unbounded() and _spans(_on(points, p)) > LOG_SPAN else "linear" for p in panels}
    if sharey:
        logged = {p.metric for p in panels if scales[p] == "log"}
        scales = {p: "log" if p.metric in logged else "linear" for p in panels}
    return scales


def _spans(mine: pd.DataFrame) -> float:
    """How many times its lowest point a panel's highest bar end is."""
    positive = mine["centre"][mine["centre"] > 0]
    return float(mine["high"].max() / positive.min()) if len(positive) else 1.0


def _on(frame: pd.DataFrame, panel: _Panel) -> pd.DataFrame:
    return frame[(frame["metric"] == panel.metric) & (frame["mechanism"] == panel.mechanism)]


def _draw(ax: Axes, points: pd.DataFrame, flagged: pd.DataFrame, panel: _Panel, imputers: list[Any],
          rates: list[float], yscale: str) -> None:
    """One panel: a line with bars per imputer, nudged sideways so that
    equal points and their bars stay apart, hollow points where one repeat
    was scored, and a triangle at the top where repeats diverged."""
    mine, marks = _on(points, panel), _on(flagged, panel)
    gap = min(np.diff(rates)) if len(rates) > 1 else max(abs(rates[0]), 0.1)
    nudge = 0.12 * gap / max(len(imputers) - 1, 1)
    for k, imputer in enumerate(imputers):
        shift = (k - (len(imputers) - 1) / 2) * nudge
        rows = mine[mine["imputer"] == imputer].sort_values("missing_rate")
        if not rows.empty:
            centre = rows["centre"].to_numpy()
            bars = np.vstack([centre - rows["low"].to_numpy(), rows["high"].to_numpy() - centre])
            x = rows["missing_rate"].to_numpy() + shift
            ax.errorbar(x, centre, yerr=bars, capsize=2.5, markersize=5, linewidth=1.4, elinewidth=1.0,
                        label=str(imputer), **_style(k))
            single = rows["count"].to_numpy() == 1
            if single.any():
                ax.plot(x[single], centre[single], linestyle="none", marker=_style(k)["marker"], markersize=5,
                        markerfacecolor="white", markeredgecolor=_style(k)["color"], zorder=3)
        ran = marks[marks["imputer"] == imputer]["missing_rate"].to_numpy()
        if ran.size:
            # At the top of the panel whatever its range: x in data, y in the axes' height.
            ax.plot(ran + shift, np.full(ran.size, 0.97), transform=ax.get_xaxis_transform(), linestyle="none",
                    marker="^", markersize=6, color=_style(k)["color"], clip_on=False)
    ax.set_yscale(yscale)
    if yscale == "log":
        _plain_log_labels(ax)
    if mine.empty:
        ax.text(0.5, 0.5, "no score" if marks.empty else "every repeat diverged", transform=ax.transAxes,
                ha="center", va="center", color="0.4")
        ax.set_yticks([])
    # Every panel spans the same rates, even one with nothing to draw.
    ax.set_xlim(rates[0] - 0.3 * gap, rates[-1] + 0.3 * gap)
    ax.set_xticks(rates, [f"{r:g}" for r in rates])
    ax.grid(alpha=0.3)


def _plain_log_labels(ax: Axes) -> None:
    """Log ticks read 0.6 and 20 rather than 6×10⁻¹ and 2×10¹, on the ticks
    matplotlib would label."""
    from matplotlib.ticker import LogFormatterSciNotation

    class Plain(LogFormatterSciNotation):
        def __call__(self, x: float, pos: int | None = None) -> str:
            return f"{x:g}" if super().__call__(x, pos) else ""

    ax.yaxis.set_major_formatter(Plain())
    ax.yaxis.set_minor_formatter(Plain(labelOnlyBase=False))


def _share_y(chosen: list[tuple[_Panel, Axes]], points: pd.DataFrame, sharey: bool | None,
             scales: dict[_Panel, str], hide_labels: bool) -> None:
    """Gives a metric's panels one y range when asked, or by default when
    they have one scale and none of them would be squeezed to less than a
    third of its height."""
    drawn = []
    for p, a in chosen:
        extent = _extent(_on(points, p), scales[p] == "log")
        if extent is not None:  # a panel without scores has no range to give
            drawn.append((p, a, extent))
    if len(drawn) < 2 or sharey is False or len({scales[p] for p, _, _ in drawn}) > 1:
        return
    if sharey is None:
        lo, hi = min(e[0] for *_, e in drawn), max(e[1] for *_, e in drawn)
        if any(hi - lo > SHARE_FACTOR * _height(e) for *_, e in drawn):
            return
    limits = [a.get_ylim() for _, a, _ in drawn]
    shared = (min(lim[0] for lim in limits), max(lim[1] for lim in limits))
    labelled = {p.row for p, _, _ in drawn if p.col == 0}
    for p, a, _ in drawn:
        a.set_ylim(shared)
        if hide_labels and p.col > 0 and p.row in labelled:
            a.tick_params(labelleft=False)


def _extent(mine: pd.DataFrame, log: bool) -> tuple[float, float] | None:
    """A panel's lowest bar end and highest, in decades on a log scale."""
    ends = np.concatenate([mine["low"].to_numpy(), mine["centre"].to_numpy(), mine["high"].to_numpy()])
    if log:
        ends = np.log10(ends[ends > 0])
    if not ends.size:
        return None
    return float(ends.min()), float(ends.max())


def _height(extent: tuple[float, float]) -> float:
    # A flat panel (one point, or every imputer alike) still takes a tenth of
    # its level, so that flat panels at different levels do not share.
    lo, hi = extent
    return max(hi - lo, 0.1 * max(abs(lo), abs(hi)), 1e-12)


def _given_axes(ax: Any, panels: list[_Panel], axes_type: type[Axes]) -> list[Axes]:
    if isinstance(ax, axes_type):
        if len(panels) != 1:
            raise ValueError(f"a single ax draws one panel, but {len(panels)} are selected: choose one "
                             f"metric and one mechanism (metric=..., mechanism=...) or pass one Axes per panel")
        return [ax]
    given = list(np.ravel(np.asarray(ax, dtype=object)))
    if not all(isinstance(a, axes_type) for a in given):
        raise TypeError("ax must be a matplotlib Axes or a sequence of them")
    if len(given) != len(panels):
        raise ValueError(f"ax holds {len(given)} axes for {len(panels)} panels: give one per panel")
    return given


def _legend_handles(imputers: list[Any], points: pd.DataFrame, marked: pd.DataFrame) -> list[Any]:
    from matplotlib.lines import Line2D

    # An imputer without a single point or mark (one that failed every time)
    # says so, rather than leaving a reader to look for its line.
    drawn = set(points["imputer"]) | set(marked["imputer"])
    handles = [Line2D([], [], label=str(imputer) if imputer in drawn else f"{imputer} (no scores)", **_style(k))
               for k, imputer in enumerate(imputers)]
    if (points["count"] == 1).any():
        handles.append(Line2D([], [], linestyle="none", marker="o", markerfacecolor="white", color="0.3",
                              label="one repeat (no bar)"))
    if not marked.empty:
        handles.append(Line2D([], [], linestyle="none", marker="^", color="0.3",
                              label=f"diverged (error > {DIVERGED:g}), left out"))
    return handles


def _caption(points: pd.DataFrame, spread: str, sep: str, alike: bool) -> str:
    """What a point and its bar are, and over how many repeats: a range when
    failed or unscored repeats left some points with fewer."""
    fewest, most = (int(points["count"].min()), int(points["count"].max())) if len(points) else (0, 0)
    repeats = f"{most}" if fewest == most else f"{fewest} to {most}"
    caption = f"{SPREADS[spread]}{sep}over {repeats} repeat{'' if most == 1 else 's'}"
    # Beside a panel (sep a line break) the note takes two lines, not the panel's width.
    note = TEXT_NOTE.replace(" (", "\n(") if sep == "\n" else TEXT_NOTE
    return f"{caption}\n{note}" if alike else caption
