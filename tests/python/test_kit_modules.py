"""porosa_kit's modules import one another without a circle, and its public
options are keyword-only."""

import ast
import inspect
from pathlib import Path

import pytest

import porosa_kit

KIT = Path(__file__).resolve().parents[2] / "python" / "porosa_kit"


def imports(path):
    """The kit's modules that `path` imports when it runs, at the top or in a
    function; an import under `if TYPE_CHECKING:` never runs and is left out."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    typing_only = {id(n) for block in ast.walk(tree)
                   if isinstance(block, ast.If) and "TYPE_CHECKING" in ast.unparse(block.test)
                   for n in ast.walk(block)}
    found = set()
    for node in ast.walk(tree):
        if id(node) in typing_only:
            continue
        if isinstance(node, ast.ImportFrom) and node.level == 1:
            found |= {node.module} if node.module else {a.name for a in node.names}
        elif isinstance(node, ast.ImportFrom) and (node.module or "").startswith("porosa_kit."):
            found.add(node.module.split(".")[1])
        elif isinstance(node, ast.Import):
            found |= {a.name.split(".")[1] for a in node.names if a.name.startswith("porosa_kit.")}
    return found


def test_no_module_imports_one_that_imports_it_back():
    graph = {p.stem: imports(p) for p in KIT.glob("*.py")}
    assert {"_frame", "_mcar", "_cli"} <= graph.keys() and "_frame" in graph["_mcar"]

    def circle(start, path):
        for nxt in sorted(graph.get(path[-1], ())):
            if nxt == start:
                return path + [nxt]
            if nxt not in path:
                found = circle(start, path + [nxt])
                if found:
                    return found
        return None

    circles = [c for m in sorted(graph) if (c := circle(m, [m]))]
    assert not circles, " ; ".join(" -> ".join(c) for c in circles)


def test_the_api_never_imports_the_command_line():
    # The command line words its messages for a terminal; what it shares
    # with the API lives in neutral modules.
    cli = {p.stem for p in KIT.glob("_cli*.py")} | {"__main__"}
    reaching = {m: sorted(n for n in imports(KIT / f"{m}.py") if n in cli)
                for m in (p.stem for p in KIT.glob("*.py")) if m not in cli}
    assert {"_cli", "_cli_io", "_cli_errors"} <= cli
    assert {m: found for m, found in reaching.items() if found} == {}


# Options that stay positional, as scikit-learn keeps them: fit's y, a
# meta-estimator's estimator, and the panel that plot("rmse") selects.
POSITIONAL_OPTIONS = {"fit": {"y"}, "MixedImputer": {"imputer"}, "plot": {"metric"}}


def public_callables():
    for name in porosa_kit.__all__:
        obj = getattr(porosa_kit, name)
        yield name, obj
        if isinstance(obj, type):
            yield from ((f"{name}.{attr}", value) for attr, value in vars(obj).items()
                        if callable(value) and (attr == "__call__" or not attr.startswith("_")))


PUBLIC = dict(public_callables())


@pytest.mark.parametrize("name", PUBLIC)
def test_public_options_are_keyword_only(name):
    fn = PUBLIC[name]
    allowed = POSITIONAL_OPTIONS.get(name.rpartition(".")[2], set())
    positional = [p.name for p in inspect.signature(fn).parameters.values()
                  if p.default is not p.empty and p.kind is not p.KEYWORD_ONLY and p.name not in allowed]
    assert not positional
