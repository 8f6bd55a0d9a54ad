"""The study's table as Markdown or LaTeX, for a report or a paper."""

from __future__ import annotations

from typing import cast

import pandas as pd

FORMATS = ("markdown", "latex")


def export_table(table: pd.DataFrame, format: str) -> str:
    """`table` (rows by mechanism, rate and repeats, columns by metric and
    imputer, and perhaps the dropped columns) as a text in `format`, with
    the notes of ``table.attrs["notes"]`` below it."""
    if format == "markdown":
        return _markdown(table)
    if format == "latex":
        return _latex(table)
    raise ValueError(f"format must be None or one of {', '.join(FORMATS)}, not {format!r}")


def _rows(table: pd.DataFrame) -> list[list[str]]:
    return [[_key(k) for k in keys] + [str(v) for v in values]
            for keys, values in zip(table.index.tolist(), table.to_numpy())]


def _notes(table: pd.DataFrame) -> list[str]:
    return list(table.attrs.get("notes", []))


def _heads(table: pd.DataFrame) -> list[str]:
    """The row labels' headings: the table's name, if shown, the mechanism and the rate."""
    return [str(name).replace("_", " ") for name in table.index.names]


def _columns(table: pd.DataFrame) -> list[tuple[str, str]]:
    """The (metric, imputer) pairs of the columns; a column of no imputer
    (the dropped columns) as (its name, "")."""
    pairs = cast(list[tuple[object, object]], table.columns.tolist())
    return [(str(metric), str(imputer)) for metric, imputer in pairs]


def _head(metric: str, imputer: str) -> str:
    return f"{imputer} ({metric})" if imputer else metric


def _key(key: object) -> str:
    return f"{key:g}" if isinstance(key, float) else str(key)


def _markdown(table: pd.DataFrame) -> str:
    heads = _heads(table)
    columns = _columns(table)
    head = heads + [_head(metric, imputer) for metric, imputer in columns]
    # Numbers to the right: the rate, the repeats and the scores.
    aligns = ["---"] * (len(heads) - 2) + ["---:"] * 2 + ["---:" if i else "---" for _, i in columns]
    lines = ["| " + " | ".join(head) + " |", "|" + "|".join(aligns) + "|"]
    lines += ["| " + " | ".join(cell.replace("|", "\\|") for cell in row) + " |" for row in _rows(table)]
    lines += [""] + _notes(table) if _notes(table) else []
    return "\n".join(lines) + "\n"


_LATEX_SPECIAL = {"&": r"\&", "%": r"\%", "$": r"\$", "#": r"\#", "_": r"\_", "{": r"\{", "}": r"\}",
                  "~": r"\textasciitilde{}", "^": r"\textasciicircum{}", "\\": r"\textbackslash{}"}


def _tex(text: str) -> str:
    return "".join(_LATEX_SPECIAL.get(c, c) for c in text).replace("±", r"$\pm$")


def _latex(table: pd.DataFrame) -> str:
    """A booktabs tabular: a header row of metrics over their imputers."""
    columns = _columns(table)
    scored = [(m, i) for m, i in columns if i]
    metrics = list(dict.fromkeys(m for m, _ in scored))
    spans = [sum(m == metric for m, _ in scored) for metric in metrics]
    heads = _heads(table)
    extra = len(columns) - len(scored)  # the dropped columns, after the scores
    width = len(heads) + len(columns)
    lines = [r"\begin{tabular}{" + "l" * (len(heads) - 2) + "rr" + "r" * len(scored) + "l" * extra + "}",
             r"\toprule"]
    lines.append(" & ".join([""] * len(heads) + [rf"\multicolumn{{{n}}}{{c}}{{{_tex(m)}}}"
                                        for m, n in zip(metrics, spans)] + [""] * extra) + r" \\")
    start = len(heads) + 1
    rules = []
    for n in spans:
        rules.append(rf"\cmidrule(lr){{{start}-{start + n - 1}}}")
        start += n
    lines.append(" ".join(rules))
    lines.append(" & ".join([_tex(h) for h in heads] + [_tex(i or m) for m, i in columns]) + r" \\")
    lines.append(r"\midrule")
    lines += [" & ".join(_tex(cell) for cell in row) + r" \\" for row in _rows(table)]
    lines.append(r"\bottomrule")
    lines += [rf"\multicolumn{{{width}}}{{l}}{{\footnotesize {_tex(note)}}} \\"
              for note in _notes(table)]
    lines.append(r"\end{tabular}")
    return "\n".join(lines) + "\n"
