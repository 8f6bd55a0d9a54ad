"""The study's table as Markdown or LaTeX, for a report or a paper."""

from __future__ import annotations

from typing import cast

import pandas as pd

FORMATS = ("markdown", "latex")


def export_table(table: pd.DataFrame, format: str) -> str:
    """`table` (rows by mechanism and rate, columns by metric and imputer) as
    a text in `format`."""
    if format == "markdown":
        return _markdown(table)
    if format == "latex":
        return _latex(table)
    raise ValueError(f"format must be None or one of {', '.join(FORMATS)}, not {format!r}")


def _rows(table: pd.DataFrame) -> list[list[str]]:
    return [[str(k) for k in keys[:-1]] + [_rate(keys[-1])] + [str(v) for v in values]
            for keys, values in zip(table.index.tolist(), table.to_numpy())]


def _heads(table: pd.DataFrame) -> list[str]:
    """The row labels' headings: the table's name, if shown, the mechanism and the rate."""
    return [str(name).replace("_", " ") for name in table.index.names]


def _columns(table: pd.DataFrame) -> list[tuple[str, str]]:
    """The (metric, imputer) pairs of the columns."""
    pairs = cast(list[tuple[object, object]], table.columns.tolist())
    return [(str(metric), str(imputer)) for metric, imputer in pairs]


def _rate(rate: object) -> str:
    return f"{rate:g}" if isinstance(rate, float) else str(rate)


def _markdown(table: pd.DataFrame) -> str:
    heads = _heads(table)
    head = heads + [f"{imputer} ({metric})" for metric, imputer in _columns(table)]
    aligns = ["---"] * (len(heads) - 1) + ["---:"] * (1 + len(table.columns))
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(aligns) + "|"]
    lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |" for row in _rows(table)]
    return "\n".join(lines) + "\n"


_LATEX_SPECIAL = {"&": r"\&", "%": r"\%", "$": r"\$", "#": r"\#", "_": r"\_", "{": r"\{", "}": r"\}",
                  "~": r"\textasciitilde{}", "^": r"\textasciicircum{}", "\\": r"\textbackslash{}"}


def _tex(text: str) -> str:
    return "".join(_LATEX_SPECIAL.get(c, c) for c in text).replace("±", r"$\pm$")


def _latex(table: pd.DataFrame) -> str:
    """A booktabs tabular: a header row of metrics over their imputers."""
    columns = _columns(table)
    metrics = list(dict.fromkeys(m for m, _ in columns))
    spans = [sum(m == metric for m, _ in columns) for metric in metrics]
    heads = _heads(table)
    lines = [r"\begin{tabular}{" + "l" * len(heads) + "r" * len(table.columns) + "}", r"\toprule"]
    lines.append(" & ".join([""] * len(heads) + [rf"\multicolumn{{{n}}}{{c}}{{{_tex(m)}}}"
                                        for m, n in zip(metrics, spans)]) + r" \\")
    start = len(heads) + 1
    rules = []
    for n in spans:
        rules.append(rf"\cmidrule(lr){{{start}-{start + n - 1}}}")
        start += n
    lines.append(" ".join(rules))
    lines.append(" & ".join([_tex(h) for h in heads] + [_tex(i) for _, i in columns]) + r" \\")
    lines.append(r"\midrule")
    lines += [" & ".join(_tex(cell) for cell in row) + r" \\" for row in _rows(table)]
    lines += [r"\bottomrule", r"\end{tabular}"]
    return "\n".join(lines) + "\n"
