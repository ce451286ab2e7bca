"""Fits side by side, as a paper prints them, and the HTML Jupyter shows.

``etable`` builds a pandas DataFrame of strings (an estimate with its stars,
beneath it the standard error or interval in parentheses, then the facts of
each fit) and renders it with pandas: Markdown through ``to_markdown``
(tabulate), LaTeX and HTML through the Styler.
"""

from __future__ import annotations

from html import escape

import numpy as np
import pandas as pd

from . import _native, arguments

KINDS = ("coef", "ame")
BELOW = ("se", "ci")
OUTPUTS = ("frame", "markdown", "latex", "html")
# Stars by p-value, the labels of kestrum's AME table: "* p<0.1, ** p<0.05, *** p<0.01".
STARS_NOTE = ", ".join(f"{label} p<{below:g}" for below, label in reversed(_native.SIGNIFICANCE_LEVELS))


def _estimates(result, kind: str, alpha: float) -> pd.DataFrame:
    """estimate, se, its stars and 1 - alpha interval by term: the coefficients, or the AMEs."""
    if kind == "coef":
        table = pd.DataFrame({"estimate": result.params, "se": result.bse, "p": result.pvalues})
    else:
        from .margins import ame

        effects = ame(result)
        table = pd.DataFrame({"estimate": effects["dy/dx"], "se": effects["Std. Err"], "p": effects["Pr(>|z|)"]})
    estimate, se = table["estimate"].to_numpy(dtype=float), table["se"].to_numpy(dtype=float)
    table["low"], table["high"] = _native.normal_interval(estimate, se, alpha)
    table["stars"] = _native.significance_labels(table["p"].to_numpy(dtype=float))
    return table


def _facts(result, digits: int) -> dict[str, str]:
    clusters = getattr(result, "n_clusters", None)
    return {
        "Dependent variable": str(result.model.endog_names),
        "Observations": f"{int(result.nobs)}",
        "Pseudo R-squared": f"{result.prsquared:.{digits}f}",
        "Log-likelihood": f"{result.llf:.{digits}f}",
        # kestrum_frames names the convention by its code (vcov); statsmodels by cov_type.
        "Covariance": str(getattr(result, "vcov", None) or getattr(result, "cov_type", "")),
        "Clusters": "" if clusters is None else " x ".join(str(int(g)) for g in np.atleast_1d(clusters)),
    }


def merged_order(orders: list[list[str]]) -> list[str]:
    """Every term once, each fit's terms in that fit's order: a term new to
    the list goes right after the term before it in its fit."""
    merged: list[str] = []
    for order in orders:
        for position, term in enumerate(order):
            if term in merged:
                continue
            placed = [merged.index(t) for t in order[:position] if t in merged]
            merged.insert(max(placed) + 1 if placed else len(merged), term)
    return merged


def _column(estimates: pd.DataFrame, terms: list[str], below: str, digits: int, stars: bool) -> list[str]:
    cells = []
    for term in terms:
        if term not in estimates.index:
            cells += ["", ""]
            continue
        b, se, low, high, mark = estimates.loc[term, ["estimate", "se", "low", "high", "stars"]]
        cells.append(f"{b:.{digits}f}" + (mark if stars else ""))
        if below == "se":
            cells.append(f"({se:.{digits}f})")
        else:
            cells.append(f"[{low:.{digits}f}, {high:.{digits}f}]")
    return cells


def etable(
    results,
    kind: str = "coef",
    below: str = "se",
    names=None,
    digits: int = 3,
    alpha: float = 0.05,
    stars: bool = True,
    output: str = "frame",
):
    """Fits side by side: a column per fit, two rows per term (the estimate
    with stars, then its standard error or interval in parentheses or
    brackets), then the dependent variable, observations, pseudo R-squared,
    log-likelihood, covariance type and clusters.

    results: a list of fit results (a single one is a list of one):
        kestrum_frames results or statsmodels Probit results.
    kind: "coef" for the coefficients, "ame" for average marginal effects.
    below: "se" for standard errors, "ci" for 1 - alpha normal intervals.
    names: the column headers (default "(1)", "(2)", ...).
    digits: decimals of every number.
    output: "frame" (a DataFrame of strings, the note in ``attrs["note"]``),
        or a string: "markdown", "latex" or "html", the note beneath.
    """
    results = list(results) if isinstance(results, (list, tuple)) else [results]
    if not results:
        raise ValueError("results must hold at least one fit")
    for argument, value, allowed in (("kind", kind, KINDS), ("below", below, BELOW), ("output", output, OUTPUTS)):
        if value not in allowed:
            raise ValueError(f"{argument} must be one of {', '.join(map(repr, allowed))}; got {value!r}")
    digits = arguments.integer(digits, "digits", 0)
    alpha = arguments.real(alpha, "alpha")
    if not 0.0 < alpha < 1.0:
        raise ValueError(f"alpha must be in (0, 1); got {alpha}")
    names = [f"({j + 1})" for j in range(len(results))] if names is None else [str(name) for name in names]
    if len(names) != len(results):
        raise ValueError(f"names has {len(names)} entries for {len(results)} fits")

    estimates = [_estimates(result, kind, alpha) for result in results]
    terms = merged_order([list(table.index) for table in estimates])
    body = {name: _column(table, terms, below, digits, stars) for name, table in zip(names, estimates)}
    facts = [_facts(result, digits) for result in results]
    for name, fact in zip(names, facts):
        body[name] += list(fact.values())
    index = [label for term in terms for label in (term, "")] + list(facts[0])
    table = pd.DataFrame(body, index=index)

    what = "Average marginal effects" if kind == "ame" else "Coefficients"
    spread = "standard errors in parentheses" if below == "se" else f"{1 - alpha:.0%} intervals in brackets"
    note = f"{what}; {spread}" + (f"; {STARS_NOTE}" if stars else "") + "."
    table.attrs["note"] = note
    if output == "frame":
        return table
    return render(table, output)


def render(table: pd.DataFrame, output: str) -> str:
    """An etable frame as Markdown, LaTeX or HTML, its note beneath."""
    note = table.attrs.get("note", "")
    if output == "markdown":
        return table.to_markdown(stralign="right") + (f"\n\n{note}\n" if note else "\n")
    language = "latex" if output == "latex" else "html"
    styler = table.style.format(escape=language)
    for axis in ("index", "columns"):
        styler = styler.format_index(escape=language, axis=axis)
    if output == "latex":
        latex = styler.to_latex(hrules=True, column_format="l" + "c" * table.shape[1])
        # In LaTeX text % starts a comment and < is not the less-than sign.
        note = note.replace("%", r"\%").replace("<", "$<$")
        return latex + (f"\\par\\footnotesize {note}\n" if note else "")
    html = styler.to_html()
    return html + (f"<p><small>{escape(note)}</small></p>\n" if note else "")


def summary_html(result) -> str:
    """The summary of a fit as HTML: its facts, then the coefficient table."""
    summary = result.summary()
    facts = pd.DataFrame(summary.facts).astype(str).style.format(escape="html")
    head = facts.hide(axis="index").hide(axis="columns").set_caption("Probit Regression Results").to_html()
    coefficients = summary.table.style.format("{:.4f}").format_index(escape="html", axis="index")
    return head + coefficients.set_caption(escape(f"Formula: {summary.formula}")).to_html()
