"""The user guide's and porosa_kit's examples run as doctests, and the guide's
signatures match the classes."""

import doctest
import importlib
import pkgutil
import re
from pathlib import Path

import pytest

import porosa
import porosa_kit

GUIDE = Path(__file__).resolve().parents[2] / "docs" / "guide.md"


def test_guide_examples_pass():
    result = doctest.testfile(
        str(GUIDE),
        module_relative=False,
        optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE,
    )
    # A guide whose fences hide every prompt would "pass" with nothing run.
    assert result.attempted >= 50
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed (see the output above)"


@pytest.mark.parametrize("cls", [porosa.MAR, porosa.MNAR], ids=["MAR", "MNAR"])
def test_guide_signature_matches_class(cls):
    text = GUIDE.read_text(encoding="utf-8")
    shown = re.findall(rf"^{cls.__name__}(\(.*\))$", text, flags=re.MULTILINE)
    assert shown == [cls.__text_signature__]


def test_readme_quick_start_runs(monkeypatch, capsys):
    root = GUIDE.parents[1]
    blocks = re.findall(r"^```python\n(.*?)^```", (root / "README.md").read_text(encoding="utf-8"),
                        flags=re.MULTILINE | re.DOTALL)
    assert blocks, "the README has no Python example"
    monkeypatch.chdir(root)  # the example reads the bundled demo data by a relative path
    for code in blocks:
        exec(compile(code, "README.md", "exec"), {})
    assert "MAR[0.5]" in capsys.readouterr().out


def test_the_extras_and_the_cluster_example_are_as_the_package_has_them():
    import tomllib

    root = GUIDE.parents[1]
    extras = tomllib.loads((root / "pyproject.toml").read_text(encoding="utf-8"))["project"]["optional-dependencies"]
    guide, readme = GUIDE.read_text(encoding="utf-8"), (root / "README.md").read_text(encoding="utf-8")
    assert all(f'".[{name}]"' in guide and f'".[{name}]"' in readme for name in extras)
    # "all" is every extra but dask, as both say.
    assert set(extras["all"]) == {r for name, reqs in extras.items() if name not in ("all", "dask") for r in reqs}
    assert all("all of them but `dask`" in " ".join(text.split()) for text in (guide, readme))
    # A script that starts a LocalCluster must guard it: its workers import the script again.
    clusters = [b for b in re.findall(r"^```python\n(.*?)^```", guide, flags=re.MULTILINE | re.DOTALL)
                if "LocalCluster(" in b]
    assert clusters and all('if __name__ == "__main__":' in b for b in clusters)


# Every module but __main__, which runs the command line when imported.
KIT_MODULES = ["porosa_kit"] + sorted(m.name for m in pkgutil.iter_modules(porosa_kit.__path__, "porosa_kit.")
                                      if m.name != "porosa_kit.__main__")


@pytest.mark.parametrize("name", KIT_MODULES)
def test_kit_docstring_examples_pass(name):
    result = doctest.testmod(importlib.import_module(name),
                             optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0, f"{result.failed} of {result.attempted} examples failed (see the output above)"


@pytest.mark.parametrize("name", porosa_kit.__all__)
def test_every_public_name_of_the_kit_shows_an_example(name):
    tests = doctest.DocTestFinder().find(getattr(porosa_kit, name), name)
    assert any(t.examples for t in tests if t.name == name)
