"""The type stub that ships with the module: it matches the runtime module,
documents every constructor parameter, and types a real user's code; and
porosa_kit's inline types, checked strictly."""

import ast
import inspect
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import porosa

ROOT = Path(__file__).resolve().parents[2]
STUB = ROOT / "src" / "porosa.pyi"
SITE = Path(sysconfig.get_paths()["platlib"])


# Analysing numpy and pandas takes most of a minute; a cache per interpreter
# (in the git-ignored build tree) makes later runs quick.
CACHE = ROOT / "build" / "mypy-cache" / (sys.implementation.cache_tag + sys.abiflags)


def run_mypy(*args):
    pytest.importorskip("mypy", reason="mypy comes with the test requirements of scripts/")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    env["MYPY_CACHE_DIR"] = str(CACHE)
    proc = subprocess.run(
        [sys.executable, "-P", "-m", *args], capture_output=True, text=True, env=env,
        cwd=ROOT / "tests", timeout=600,
    )
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_stub_matches_the_runtime_module():
    run_mypy("mypy.stubtest", "porosa", "--mypy-config-file", str(ROOT / "tests" / "typing" / "stubtest.ini"))


def test_typed_example_passes_strict_mypy():
    # The example also carries `type: ignore`s on calls the stub must refuse;
    # --warn-unused-ignores turns a stub that accepts them into a failure.
    run_mypy("mypy", "--strict", "--warn-unused-ignores", str(ROOT / "tests" / "typing" / "example.py"))


@pytest.mark.parametrize("args", [
    # porosa_kit's own sources as installed, and a typed user of them.
    ["--config-file", str(ROOT / "tests" / "typing" / "kit.ini"), "-p", "porosa_kit"],
    ["--strict", "--warn-unused-ignores", str(ROOT / "tests" / "typing" / "kit_example.py")],
], ids=["kit", "kit-example"])
def test_kit_passes_strict_mypy(args):
    run_mypy("mypy", *args)


@pytest.mark.parametrize("installed", ["porosa.pyi", "porosa-stubs/__init__.pyi"])
def test_stub_is_installed_beside_the_module(installed):
    path = Path(porosa.__file__).parent / installed
    assert path.read_bytes() == STUB.read_bytes(), path


def constructor_parameters(cls_name):
    tree = ast.parse(STUB.read_text())
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == cls_name)
    new = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__new__")
    return ast.get_docstring(cls), [a.arg for a in new.args.args[1:]]


@pytest.mark.parametrize("cls_name", ["MAR", "MNAR"])
def test_every_parameter_is_documented_in_runtime_order(cls_name):
    doc, params = constructor_parameters(cls_name)
    assert params == list(inspect.signature(getattr(porosa, cls_name)).parameters)
    # In the class docstring each parameter opens an unindented "name:" line.
    documented = [line[:-1] for line in doc.splitlines() if line.endswith(":") and not line.startswith(" ")]
    assert documented == params
