"""A real SIGINT in the middle of one long call, and failures raised by cells."""

import json
import signal
import subprocess
import sys
import textwrap
import time

import numpy as np
import pandas as pd
import pytest

from helpers import cpu_seconds
from porosa import MNAR

CHILD = """
import json, signal, sys, time
import numpy as np
import porosa
# A test command run in the background ignores SIGINT, and so would this child.
signal.signal(signal.SIGINT, signal.default_int_handler)

data = {data}
before = data.copy()
cpu = time.process_time()
{inst}({piece}, {rate})
piece, inst = time.process_time() - cpu, {inst}
try:  # the signal may come as soon as this is printed
    print(json.dumps({{"piece": piece}}), flush=True)
    inst(data, {rate})
    print(json.dumps({{"finished": True}}), flush=True)
    sys.exit(0)
except KeyboardInterrupt:
    cpu = time.process_time()
after = inst(np.ones((10, 10)), 0.3)
unchanged = np.array_equal(data, before, equal_nan=data.dtype.kind == "f")
print(json.dumps({{"cpu": cpu, "unchanged": bool(unchanged), "after": int(np.isnan(after).sum())}}), flush=True)
"""

# Each takes seconds of CPU uninterrupted (about 8, 3, 3 and 11), so the
# signal, a quarter of a second in, lands in its middle: BLOB's blobs on the
# pool's workers and on the calling thread, the data bridge alone, reading and
# rebuilding a text array cell by cell, and MAR's predictor choice on wide data,
# billions of column pairs, also with a gap in every column. The same call on a
# piece of the data costs a tenth of the whole or less (a fifteenth, a
# fifteenth, an eleventh and an eleventh), and a stop a few tens of milliseconds.
WORKLOADS = {
    "blobs": ("np.random.default_rng(0).random((4000, 2000))", 'porosa.MNAR(mode="BLOB", n_blobs=2, random_seed=1)',
              0.5, "data[:800]"),
    "text cells": ('np.array(["ab", "cd", "ef"])[np.random.default_rng(0).integers(0, 3, (8000, 2000))]',
                   'porosa.MNAR(mode="MAX", random_seed=1)', 0.0, "data[:800]"),
    "wide predictors": ("np.random.default_rng(0).random((2, 100000))", 'porosa.MAR(mode="MAX", random_seed=1)', 0.2,
                        "data[:, :31623]"),
    "wide predictors with gaps": (
        "np.where(np.tile(np.eye(200, dtype=bool), (1, 100)), np.nan, np.random.default_rng(0).random((200, 20000)))",
        'porosa.MAR(mode="MAX", random_seed=1)', 0.2, "data[:, :6000]"),
}


@pytest.mark.parametrize("workload", WORKLOADS)
def test_sigint_stops_a_long_call_promptly(workload, tmp_path):
    data, inst, rate, piece = WORKLOADS[workload]
    code = textwrap.dedent(CHILD).format(data=data, inst=inst, rate=rate, piece=piece)
    proc = subprocess.Popen([sys.executable, "-P", "-c", code], cwd=tmp_path, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)
    try:
        line = proc.stdout.readline()
        assert line, proc.stderr.read()
        piece = json.loads(line)["piece"]
        time.sleep(0.25)
        sent = cpu_seconds(proc.pid)
        proc.send_signal(signal.SIGINT)
        out, err = proc.communicate(timeout=120)
    finally:
        proc.kill()
    assert proc.returncode == 0, err
    report = json.loads(out)
    assert "cpu" in report, f"the call ended before the signal: {report}"
    # Counted in CPU time, which a busy machine hardly stretches, unlike wall
    # time: the call ended on the signal, not at the end of its work.
    after = report["cpu"] - sent
    assert after < piece, f"{after:.3f} s of CPU after the signal; a tenth of the work takes {piece:.3f} s"
    assert report["unchanged"]
    assert report["after"] == 30


class Refusing:
    """A cell whose float conversion raises `on_float`, and whose text raises `on_str` if given."""

    def __init__(self, on_float, on_str=None):
        self.on_float, self.on_str = on_float, on_str

    def __float__(self):
        raise self.on_float

    def __str__(self):
        if self.on_str is not None:
            raise self.on_str
        return "refused"


class NotAnException(BaseException):
    pass


def refusing_sources(cell, column=None):
    """The same refusing cell in an object array and in a frame read column by column."""
    column = column or [cell] + [float(i) for i in range(1, 100)]
    return {
        "array": np.array([[float(i), c] for i, c in enumerate(column)], dtype=object),
        "frame": pd.DataFrame({"a": np.arange(100.0), "b": column}),
    }


@pytest.mark.parametrize("source", ["array", "frame"])
@pytest.mark.parametrize(
    "cell",
    [
        Refusing(KeyboardInterrupt("stop")),
        Refusing(SystemExit(3)),
        Refusing(MemoryError()),
        Refusing(NotAnException()),
        Refusing(ValueError("not a number"), KeyboardInterrupt("stop")),
    ],
    ids=["KeyboardInterrupt", "SystemExit", "MemoryError", "BaseException", "in __str__"],
)
def test_a_cell_raising_more_than_a_failure_reaches_the_caller(cell, source):
    inst = MNAR(mode="MAX", random_seed=0)
    data = refusing_sources(cell)[source]
    expected = cell.on_str if cell.on_str is not None else cell.on_float
    with pytest.raises(BaseException) as info:
        inst(data, 0.0)
    assert info.value is expected
    assert np.isnan(inst(np.ones((10, 10)), 0.3)).sum() == 30


@pytest.mark.parametrize("source", ["array", "frame"])
def test_a_cell_that_fails_to_convert_makes_its_column_text(source):
    out = MNAR(mode="MAX", random_seed=0)(refusing_sources(Refusing(ValueError("no")))[source], 0.0)
    column = out[:, 1] if source == "array" else out["b"].to_numpy()
    assert column[:3].tolist() == ["refused", "1.0", "2.0"]



class Custom(Exception):
    pass



class Signalling:
    """A cell whose float conversion, and str() too if `in_str`, runs the SIGUSR1 handler
    as when a signal arrives just then, and fails on its own if the handler lets it."""

    def __init__(self, in_str):
        self.in_str = in_str

    def __float__(self):
        signal.raise_signal(signal.SIGUSR1)
        raise ValueError("the cell's own failure")

    def __str__(self):
        return self.__float__() if self.in_str else "refused"


def raise_custom(signum, frame):
    raise Custom(signum)


HANDLERS = {"function": raise_custom, "*args": lambda *args: raise_custom(*args),
            "returning": lambda signum, frame: None}


@pytest.mark.parametrize("source", ["array", "frame"])
@pytest.mark.parametrize("in_str", [False, True], ids=["__float__", "__str__"])
@pytest.mark.parametrize("handler", HANDLERS)
def test_what_a_signal_handler_raises_while_a_cell_converts_stops_the_call(handler, in_str, source):
    cell = Signalling(in_str)
    data = refusing_sources(cell, ["text", cell] + [float(i) for i in range(98)] if in_str else None)[source]
    inst = MNAR(mode="MAX", random_seed=0)
    before = signal.signal(signal.SIGUSR1, HANDLERS[handler])
    try:
        if handler != "returning":
            with pytest.raises(Custom) as info:
                inst(data, 0.0)
            assert info.value.args == (signal.SIGUSR1,)
        elif in_str:  # the cell's own failure, as if no signal had come
            with pytest.raises(BaseException, match="^cant convert to str: ValueError: the cell's own failure$"):
                inst(data, 0.0)
        else:
            out = inst(data, 0.0)
            assert (out[:, 1] if source == "array" else out["b"].to_numpy())[0] == "refused"
    finally:
        signal.signal(signal.SIGUSR1, before)
    assert np.isnan(inst(np.ones((10, 10)), 0.3)).sum() == 30
