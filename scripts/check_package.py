"""Checks of porosa's distributions, run by scripts/package.sh.

  check_package.py sdist SDIST          the source archive holds every tracked
                                       file the build and the metadata need
  check_package.py wheel WHEEL         the wheel's tag fits the running
                                       interpreter, it holds the module, its
                                       stubs and porosa_kit, its metadata is
                                       complete (the extras too), and the
                                       modules in it import and give the same
                                       seeded results as the installed ones
"""

import email.parser
import os
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import zipfile
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
NEEDED_IN_SDIST = ("CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "src/", "python/")
KIT = "python/porosa_kit/"
_STUDY = {"joblib", "threadpoolctl", "tqdm"}
EXTRAS = {"sklearn": {"scikit-learn"}, "plot": {"matplotlib"}, "parquet": {"pyarrow"},
          "polars": {"polars", "pyarrow"}, "study": _STUDY, "dask": _STUDY | {"distributed"},
          "all": {"scikit-learn", "matplotlib", "pyarrow", "polars"} | _STUDY}


def fail(msg):
    sys.exit(f"check_package: {msg}")


def tracked_files():
    out = subprocess.run(["git", "ls-files"], cwd=ROOT, capture_output=True, text=True, check=True)
    return [f for f in out.stdout.splitlines() if f.startswith(NEEDED_IN_SDIST)]


def check_sdist(path):
    with tarfile.open(path) as tar:
        names = {n.split("/", 1)[1] for n in tar.getnames() if "/" in n}
    missing = [f for f in tracked_files() if f not in names]
    if missing:
        fail(f"{path} lacks {missing}")
    stray = [n for n in names if n.startswith(("build/", ".venv"))]
    if stray:
        fail(f"{path} holds build products: {stray[:5]}")
    print(f"sdist ok: {Path(path).name}, {len(names)} files")


def expected_tag():
    major, minor = sys.version_info[:2]
    abi = f"cp{major}{minor}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else "")
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    return f"cp{major}{minor}-{abi}-{platform}"


def check_metadata(text):
    meta = email.parser.Parser().parsestr(text)
    wanted = {"Name": "porosa", "License-Expression": "MIT", "Requires-Python": ">=3.11"}
    for key, value in wanted.items():
        if meta.get(key) != value:
            fail(f"metadata {key} is {meta.get(key)!r}, not {value!r}")
    base: set[str] = set()
    extras: dict[str, set[str]] = {}
    for r in meta.get_all("Requires-Dist", []):
        name = r.split(">")[0].split("=")[0].split(";")[0].strip()
        if "extra ==" in r:
            extras.setdefault(r.split("extra ==")[1].strip().strip("'\""), set()).add(name)
        else:
            base.add(name)
    if base != {"numpy", "pandas"}:
        fail(f"Requires-Dist is {base}")
    if extras != EXTRAS or set(meta.get_all("Provides-Extra", [])) != set(EXTRAS):
        fail(f"the extras are {extras}, not {EXTRAS}")
    classifiers = meta.get_all("Classifier", [])
    for c in ("Programming Language :: Python :: Free Threading :: 3 - Stable", "Typing :: Typed"):
        if c not in classifiers:
            fail(f"classifier {c!r} missing")
    if not meta.get_payload().startswith("# porosa"):
        fail("the long description is not the README")


# Seeded calls whose printed results must not depend on which build runs them.
PROBE = """
import numpy as np, pandas as pd, porosa, porosa_kit
a = np.random.default_rng(5).normal(size=(60, 7))
out = porosa.MAR(mode="GM", random_seed=3)(a, 0.3)
frame = pd.DataFrame({"n": pd.array(np.arange(60) % 11, dtype="Int64"), "x": a[:, 0]})
kit = porosa_kit.amputate(frame, porosa_kit.MCAR(random_seed=3), 0.3)
print(porosa.__file__, porosa_kit.__file__)
print(np.flatnonzero(np.isnan(out)).tolist(), kit.isna().to_numpy().nonzero()[0].tolist(), kit.dtypes.tolist())
"""


def run_probe(pythonpath=None):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    if pythonpath:
        env["PYTHONPATH"] = pythonpath
    proc = subprocess.run([sys.executable, "-P", "-c", PROBE], capture_output=True, text=True, env=env, cwd="/")
    if proc.returncode != 0:
        fail(f"probe failed: {proc.stderr[-2000:]}")
    origins, result = proc.stdout.splitlines()
    return [Path(p) for p in origins.split()], result


def check_wheel(path):
    name = Path(path).name
    tag = expected_tag()
    if not name.endswith(f"-{tag}.whl"):
        fail(f"{name} does not carry the tag {tag}")
    with zipfile.ZipFile(path) as whl, tempfile.TemporaryDirectory() as tmp:
        names = set(whl.namelist())
        module = "porosa" + sysconfig.get_config_var("EXT_SUFFIX")
        kit = [f.replace("python/", "", 1) for f in tracked_files() if f.startswith(KIT)]
        for f in (module, "porosa.pyi", "porosa-stubs/__init__.pyi", *kit):
            if f not in names:
                fail(f"{name} lacks {f}")
        stray = [n for n in names if "__pycache__" in n or n.endswith(".pyc")]
        if stray:
            fail(f"{name} holds compiled files: {stray[:5]}")
        dist_info = next(n.split("/")[0] for n in names if n.endswith(".dist-info/METADATA"))
        check_metadata(whl.read(f"{dist_info}/METADATA").decode())
        whl.extractall(tmp)
        origins, result = run_probe(tmp)
        if [o.parent for o in origins] != [Path(tmp), Path(tmp) / "porosa_kit"]:
            fail(f"the probe imported {origins}, not the modules in {name}")
        if result != run_probe()[1]:
            fail(f"the module in {name} and the installed one give different results")
    print(f"wheel ok: {name}")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("sdist", "wheel"):
        fail(__doc__)
    (check_sdist if sys.argv[1] == "sdist" else check_wheel)(sys.argv[2])
