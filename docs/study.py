"""Draws the figure of the imputation study in the user guide (section 10).

The study is the guide's own: scikit-learn's bundled wine table (178 x 13,
nothing downloaded), three imputers against MCAR, MAR MAX and MNAR MAX at
missing rates 0.1, 0.2 and 0.3, three seeded repeats each, scored by the RMSE
of standardised values on the removed cells. Keep the two in step: the guide
prints the table of the same study.

Usage: python docs/study.py [OUTPUT.png]   (default: docs/study.png)
"""

import sys
import warnings
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
from sklearn.datasets import load_wine  # noqa: E402
from sklearn.exceptions import ConvergenceWarning  # noqa: E402
from sklearn.experimental import enable_iterative_imputer  # noqa: E402, F401
from sklearn.impute import IterativeImputer, KNNImputer, SimpleImputer  # noqa: E402

from porosa import MAR, MNAR  # noqa: E402
from porosa_kit import MCAR, evaluate_imputers  # noqa: E402


def main(out: Path) -> None:
    wine = load_wine(as_frame=True).data
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ConvergenceWarning)
        study = evaluate_imputers(
            wine,
            {"mean": SimpleImputer(), "knn": KNNImputer(), "iterative": IterativeImputer(random_state=0)},
            {"MCAR": MCAR(random_seed=1), "MAR MAX": MAR(mode="MAX", random_seed=2),
             "MNAR MAX": MNAR(mode="MAX", random_seed=3)},
            missing_rates=[0.1, 0.2, 0.3], repeats=3)
    print(study.table(digits=2).to_string())
    # The axis label says the RMSE is of standardised values, the legend what
    # the bars are: the title only names the data.
    fig = study.plot(title="Imputers on the wine table (178 rows, 13 numeric columns)")
    fig.savefig(out, dpi=110)
    print(f"wrote {out}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else Path(__file__).with_name("study.png"))
