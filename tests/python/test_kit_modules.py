"""porosa_kit's modules import one another without a circle."""

import ast
from pathlib import Path

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
