"""Imputation studies on top of porosa's generators.

- ``amputate(data, generator, missing_rate)``: a generator's call that gives a
  DataFrame back with its index, labels and dtypes;
- ``missing_mask(before, after)``: the cells a call removed;
- ``MCAR``: values missing completely at random, with porosa's promises.
"""

from ._frame import amputate, missing_mask
from ._mcar import MCAR

__all__ = ["MCAR", "amputate", "missing_mask"]
