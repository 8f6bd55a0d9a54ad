"""Draws which cells each porosa mode removes from a real table.

The table is scikit-learn's bundled wine data (178 rows x 13 columns), so
nothing is downloaded. Every mode amputates it at the same rate and seed; the
figure shows each result's missingness matrix (dark = missing) twice:

- top row: rows in data order, the matrix as it comes back;
- bottom row: each column's cells sorted by the value that decides their
  removal, smallest at the top: the cell's own value for MNAR, the value of
  the column's predictor in the same row for MAR.

Usage: python docs/missingness.py [OUTPUT.png]   (default: docs/missingness.png)
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (after the backend is chosen)
import numpy as np  # noqa: E402
from matplotlib.colors import ListedColormap  # noqa: E402
from sklearn.datasets import load_wine  # noqa: E402

import porosa  # noqa: E402

RATE = 0.2
SEED = 2
BLOCK_SIZE = (0.3, 0.3)
N_BLOBS = 3


def case(cls, mode, **params):
    """(panel title, generator): the title is the call that made the panel."""
    args = ",\n".join([f'mode="{mode}"'] + [f"{k}={v}" for k, v in params.items()])
    return f"{cls.__name__}({args})", cls(mode=mode, random_seed=SEED, **params)


CASES = [case(porosa.MAR, m) for m in ("GM", "MAX", "MIN")] + [
    case(porosa.MNAR, m) for m in ("GM", "MAX", "MIN")] + [
    case(porosa.MNAR, "BLOCK", block_size=BLOCK_SIZE),
    case(porosa.MNAR, "BLOB", n_blobs=N_BLOBS),
]
VALUE_MODES = 6  # the first six cases choose cells by value; BLOCK and BLOB by shape

CMAP = ListedColormap(["#eef0f2", "#1b2a3a"])  # present light, missing dark


def load_table():
    """The wine features as z-scores.

    MAR's GM mode compares a sample of the amputated column's own distribution
    with its predictor's values. On one common scale the sample lands inside
    the predictor's range; on the raw table it mostly falls outside, and GM
    then removes the same cells as MAX or MIN.
    """
    frame = load_wine(as_frame=True).data
    return (frame - frame.mean()) / frame.std()


def sort_keys(data, missing, is_mar):
    """The values that order each column's cells in the bottom row.

    MNAR removes a cell by its own value. MAR removes it by its predictor's
    value: the intact column with the largest absolute correlation (the same
    rule the generator applies; ties are too unlikely on real data to matter).
    """
    if not is_mar:
        return data
    intact = np.flatnonzero(~missing.any(axis=0))
    corr = np.abs(np.corrcoef(data, rowvar=False))
    keys = data.copy()
    for col in np.flatnonzero(missing.any(axis=0)):
        keys[:, col] = data[:, intact[np.argmax(corr[col, intact])]]
    return keys


def sorted_view(missing, keys):
    """Each column of the mask reordered by its key, ascending (tied cells
    stay in row order)."""
    order = np.argsort(keys, axis=0, kind="stable")
    return np.take_along_axis(missing, order, axis=0)


def draw(ax, mask, title=None):
    ax.imshow(mask, cmap=CMAP, vmin=0, vmax=1, aspect="auto", interpolation="nearest")
    ax.set_xticks([0, mask.shape[1] - 1])
    ax.set_yticks([0, mask.shape[0] - 1])
    ax.tick_params(labelsize=7, length=2)
    if title:
        ax.set_title(title, fontsize=9)


def explain(ax, rows, cols):
    ax.axis("off")
    ax.text(0.02, 0.98, (
        f"wine data, {rows} rows x {cols} columns (z-scores)\n"
        f"missing_rate={RATE}, random_seed={SEED}\n\n"
        "dark = missing, light = present\n\n"
        "top: rows in data order\n"
        "bottom: each column's cells sorted\n"
        "by its key, smallest at the top:\n"
        "  MNAR - the cell's own value\n"
        "  MAR - its predictor's value\n"
        "  (the most correlated intact column)\n"
        "light specks in MNAR's bands: every\n"
        "row keeps one random column intact\n\n"
        "BLOCK and BLOB follow no value, so\n"
        "they have no sorted view. BLOB counts\n"
        "a cell two blobs share once per blob,\n"
        "so it may end below the rate."
    ), va="top", fontsize=9, family="monospace", transform=ax.transAxes)


def main(out):
    frame = load_table()
    data = frame.to_numpy()
    fig, axes = plt.subplots(2, len(CASES), figsize=(17, 8.5), sharey=True)
    for i, (title, gen) in enumerate(CASES):
        missing = gen(frame, RATE).isna().to_numpy()
        rate = missing.mean()
        draw(axes[0, i], missing, f"{title}\nmissing {rate:.1%}")
        print(f"{' '.join(title.split()):42s} missing {rate:.4f}"
              f" ({missing.sum()} of {missing.size} cells)")
        if i < VALUE_MODES:
            keys = sort_keys(data, missing, isinstance(gen, porosa.MAR))
            draw(axes[1, i], sorted_view(missing, keys))
        else:
            axes[1, i].remove()
    explain(fig.add_subplot(2, 4, 8), *data.shape)
    axes[0, 0].set_ylabel("row (data order)")
    axes[1, 0].set_ylabel("row (sorted by key)")
    fig.supxlabel("column", fontsize=9)
    fig.tight_layout()
    fig.savefig(out, dpi=110)
    print(f"wrote {out} ({Path(out).stat().st_size // 1024} KiB)")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).with_name("missingness.png"))
