"""The built artefact: one extension module, installed where the interpreter
finds it, exporting both init hooks, and keeping a free-threaded interpreter
free of the GIL. Also checks that the bundled demo keeps running."""

import ctypes
import importlib.machinery
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def run_python(*args, env_extra=None, timeout=300):
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHON_GIL", "PYTHONPATH")}
    env.update(env_extra or {})
    return subprocess.run(
        [sys.executable, "-P", *args], capture_output=True, text=True, env=env, timeout=timeout,
        cwd=ROOT / "tests",
    )


@pytest.mark.skipif(not FREE_THREADED, reason="needs a free-threaded interpreter")
def test_import_keeps_gil_disabled():
    # In a fresh interpreter, so no earlier import can have switched the GIL on
    # and PYTHON_GIL from the caller's environment cannot force it off.
    proc = run_python("-c", "import sys, porosa; print(sys._is_gil_enabled())")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "False", proc.stderr


def test_module_is_a_top_level_extension():
    import porosa

    path = porosa.__file__
    assert path is not None and path.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES)), path
    assert not hasattr(porosa, "__path__"), "porosa must be a single module, not a package"
    # Installed at the top of site-packages, not picked up from a build tree.
    site = {os.path.realpath(sysconfig.get_paths()[k]) for k in ("platlib", "purelib")}
    assert os.path.realpath(os.path.dirname(path)) in site, path


@pytest.mark.parametrize("symbol", ["PyInit_porosa", "PyModExport_porosa"])
def test_shared_library_exports(symbol):
    import porosa

    lib = ctypes.CDLL(porosa.__file__)
    assert hasattr(lib, symbol), f"{symbol} is not exported by {porosa.__file__}"


def test_demo_runs_and_is_independent_of_thread_count():
    # The demo uses fixed seeds, so its whole output, every cell count
    # included, must not depend on the number of worker threads.
    outputs = []
    for threads in ("1", "2"):
        proc = run_python(str(ROOT / "demo" / "run_demo.py"), env_extra={"POROSA_THREADS": threads})
        assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
        assert "FAILED" not in proc.stdout
        outputs.append(proc.stdout)
    assert outputs[0] == outputs[1]
    assert outputs[0].count("cells missing: realised rate") == 9
