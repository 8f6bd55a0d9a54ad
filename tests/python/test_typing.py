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
# Analysing numpy and pandas takes most of a minute (several on the
# free-threaded interpreter, where mypy runs uncompiled); a cache per
# environment (in the git-ignored build tree) makes later runs quick. mypy
# keeps one set of options and one set of installed stubs per cache, and a run
# with others analyses everything anew: each set of options, and each venv
# (.venv-std and .venv-np1 share an interpreter, not their pandas stubs), has a
# cache of its own.
CACHE = ROOT / "build" / "mypy-cache" / f"{sys.implementation.cache_tag}{sys.abiflags}-{Path(sys.prefix).name}"
TYPING = ROOT / "tests" / "typing"
EXAMPLES = {"example": "typing/example.py", "kit_example": "typing/kit_example.py"}


def run_mypy(cache, *args, python=sys.executable, **env_extra):
    if python == sys.executable:
        pytest.importorskip("mypy", reason="mypy comes with the test requirements of scripts/")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    env.update(MYPY_CACHE_DIR=str(CACHE / cache), **env_extra)
    return subprocess.run(
        [python, "-P", "-m", *args], capture_output=True, text=True, env=env,
        cwd=ROOT / "tests", timeout=600,
    )


def strict_mypy():
    """The interpreter that runs the strict check, its cache and the options
    that aim it at this environment. POROSA_MYPY may name another
    interpreter whose compiled mypy checks this environment's packages for
    this Python version (scripts/test.sh names .venv-std's for the
    free-threaded run, where mypy is uncompiled and takes minutes)."""
    other = os.environ.get("POROSA_MYPY")
    if not other or Path(other).resolve() == Path(sys.executable).resolve():
        return sys.executable, "strict", []
    version = f"{sys.version_info.major}.{sys.version_info.minor}"
    return other, f"strict-by-{Path(other).parents[1].name}", ["--python-executable", sys.executable,
                                                               "--python-version", version]


def test_stub_matches_the_runtime_module():
    proc = run_mypy("stubtest", "mypy.stubtest", "porosa", "--mypy-config-file", str(TYPING / "stubtest.ini"))
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_kit_and_typed_examples_pass_strict_mypy():
    """One strict run (the numpy and pandas stubs analysed once) over
    porosa_kit's own sources as installed and two typed users: of porosa,
    whose `type: ignore`s on calls the stub must refuse make a stub that
    accepts them fail (warn_unused_ignores), and of porosa_kit."""
    # The examples are found as modules, as mypy takes no files beside a package.
    python, cache, aim = strict_mypy()
    proc = run_mypy(cache, "mypy", *aim, "--config-file", str(TYPING / "kit.ini"), "-p", "porosa_kit",
                    *(arg for name in EXAMPLES for arg in ("-m", name)), python=python, MYPYPATH=str(TYPING))
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    # Exit 1 is "errors found", each on a line of its own; anything else is
    # mypy failing to run at all.
    assert proc.returncode == 0 or (proc.returncode == 1 and errors), proc.stdout + proc.stderr
    by_file = {name: [e for e in errors if e.startswith(path)] for name, path in EXAMPLES.items()}
    by_file["porosa_kit"] = [e for e in errors if not e.startswith(tuple(EXAMPLES.values()))]
    assert by_file == {name: [] for name in by_file}


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
