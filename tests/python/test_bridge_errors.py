"""A Python error met while the data bridge looks at the caller's data is never
taken for a reason to read it another way: it reaches the caller, unless it is
an ordinary one the bridge may put up with."""

import subprocess
import sys
import textwrap

import pytest

# Each runs in a fresh interpreter, where porosa has not loaded NumPy's C
# interface yet.
CHILD = """
import builtins
import numpy as np
import pandas as pd
import porosa

{setup}
try:
    porosa.MNAR(mode="MAX", random_seed=1)(data, 0.2)
    print("finished")
except BaseException as e:
    print(type(e).__name__)
"""

# The first import of NumPy's multiarray module (under either of its names) fails.
IMPORT_FAILS = """
real_import = builtins.__import__
def failing_once(name, *args, **kwargs):
    if name.endswith("core._multiarray_umath"):
        builtins.__import__ = real_import
        raise {error}
    return real_import(name, *args, **kwargs)
builtins.__import__ = failing_once
data = pd.DataFrame({{"x": [1.5, 2.5, 3.5, 4.5], "s": list("abab")}})
"""

# An array subclass named like NumPy's memmap, which the bridge tells apart by
# looking numpy.memmap up: that look-up fails.
MEMMAP_LOOKUP_FAILS = """
class memmap(np.ndarray):
    pass
data = np.arange(12).reshape(4, 3).view(memmap)
def failing(name):
    raise {error}
del np.memmap
np.__getattr__ = failing
"""


@pytest.mark.parametrize("setup,error,outcome", [
    (IMPORT_FAILS, "KeyboardInterrupt", "KeyboardInterrupt"),
    (IMPORT_FAILS, "ImportError('broken')", "ImportError"),
    (MEMMAP_LOOKUP_FAILS, "KeyboardInterrupt", "KeyboardInterrupt"),
    (MEMMAP_LOOKUP_FAILS, "AttributeError(name)", "finished"),
])
def test_a_failure_while_looking_at_the_data_reaches_the_caller(setup, error, outcome):
    code = CHILD.format(setup=textwrap.dedent(setup).format(error=error))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == [outcome]


def lookalike_frame(shape):
    return type("DataFrame", (), {"columns": ["a", "b"], "shape": shape})()


@pytest.mark.parametrize("shape,text", [
    ([2, 2], "TypeError: expected a tuple, got 'list'"),
    ((1, 2, 3), "ValueError: expected 2 items, got 3"),
])
def test_a_shape_that_is_no_pair_of_counts(shape, text, PanicException):
    import porosa

    with pytest.raises(PanicException) as info:
        porosa.MNAR(random_seed=1)(lookalike_frame(shape), 0.1)
    assert str(info.value) == f"shape must be a pair of non-negative integers: {text}"
