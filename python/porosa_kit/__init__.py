"""Imputation studies on top of porosa's generators.

- ``amputate(data, generator, missing_rate)``: a generator's call that gives a
  DataFrame back with its index, labels and dtypes, and takes Polars
  DataFrames and pyarrow Tables too;
- ``missing_mask(before, after)``: the cells a call removed;
- ``MCAR``: values missing completely at random, with porosa's promises;
- ``Amputer``: a scikit-learn transformer (needs scikit-learn);
- ``evaluate_imputers``: amputate, impute and score, repeated and summarised,
  over several tables, on every core or a cluster, resumable;
- ``Mechanism``: a generator described by plain values, for such studies;
- ``register_metric``: a metric of one's own, for studies, tables and figures;
- ``MixedImputer``: a numeric imputer made fit for frames with text columns
  (needs scikit-learn).
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from ._amputer import Amputer
    from ._evaluate import evaluate_imputers
    from ._evaluation import Evaluation
    from ._frame import amputate, missing_mask
    from ._mcar import MCAR
    from ._mechanism import Mechanism
    from ._metrics import register_metric
    from ._mixed import MixedImputer

    __version__: str

__all__ = ["Amputer", "Evaluation", "MCAR", "Mechanism", "MixedImputer", "amputate", "evaluate_imputers", "missing_mask",
           "register_metric"]


# Each public name's module, imported when the name is first asked for:
# scikit-learn is an optional dependency that only Amputer and MixedImputer
# need, and `python -m porosa_kit` must reach its own code, which turns a
# Ctrl-C into one line, before pandas and NumPy take their time to import.
_HOMES = {"Amputer": "_amputer", "Evaluation": "_evaluation", "MCAR": "_mcar", "Mechanism": "_mechanism",
          "MixedImputer": "_mixed", "amputate": "_frame", "evaluate_imputers": "_evaluate",
          "missing_mask": "_frame", "register_metric": "_metrics"}


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(f".{home}", __name__), name)
        globals()[name] = value
        return value
    if name == "__version__":
        # Read when asked for: importlib.metadata alone takes longer to import
        # than porosa_kit's own modules.
        globals()["__version__"] = version = _version()
        return version
    raise AttributeError(f"module 'porosa_kit' has no attribute {name!r}")


def _version() -> str:
    from importlib import metadata

    try:
        # porosa_kit ships inside porosa's distribution.
        return metadata.version("porosa")
    except metadata.PackageNotFoundError:  # a source tree on the path, not installed
        return "0+unknown"


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
