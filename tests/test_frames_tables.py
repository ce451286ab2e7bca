"""Fits side by side (etable) and the HTML of results."""

import pathlib

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from same_fit import MROZ_FORMULA

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
pytest.importorskip("tabulate", reason="Markdown tables need tabulate")
pytest.importorskip("jinja2", reason="LaTeX and HTML tables need jinja2")

MROZ = pathlib.Path(__file__).resolve().parents[1] / "data" / "mroz.csv"
RESTRICTED = "inlf ~ nwifeinc + exper + I(exper**2) + kidslt6 + kidsge6"

# Checked by eye: column (2) is the probit of Wooldridge's Example 17.1
# (Table 17.1 to three decimals, log-likelihood -401.30, pseudo R-squared
# 0.221); column (1) is statsmodels' HC0 fit of the restricted model rounded
# the same way. Stars by two-sided p-value.
EXPECTED_MARKDOWN = """\
|                    |       (1) |       (2) |
|-------------------:|----------:|----------:|
|          Intercept | -0.658*** |     0.270 |
|                    |   (0.165) |   (0.509) |
|           nwifeinc |   -0.008* |  -0.012** |
|                    |   (0.005) |   (0.005) |
|               educ |           |  0.131*** |
|                    |           |   (0.025) |
|              exper |  0.134*** |  0.123*** |
|                    |   (0.017) |   (0.019) |
|      I(exper ** 2) | -0.003*** | -0.002*** |
|                    |   (0.001) |   (0.001) |
|                age |           | -0.053*** |
|                    |           |   (0.008) |
|            kidslt6 | -0.437*** | -0.868*** |
|                    |   (0.096) |   (0.119) |
|            kidsge6 |  0.113*** |     0.036 |
|                    |   (0.041) |   (0.043) |
| Dependent variable |      inlf |      inlf |
|       Observations |       753 |       753 |
|   Pseudo R-squared |     0.143 |     0.221 |
|     Log-likelihood |  -441.395 |  -401.302 |
|         Covariance |       HC0 | nonrobust |
|           Clusters |           |           |

Coefficients; standard errors in parentheses; * p<0.1, ** p<0.05, *** p<0.01.
"""


@pytest.fixture(scope="module")
def mroz():
    return pd.read_csv(MROZ)


@pytest.fixture(scope="module")
def pair(mroz):
    return kf.fit_probit(RESTRICTED, mroz, vcov="HC0"), kf.fit_probit(MROZ_FORMULA, mroz)


def test_markdown_of_a_known_pair(pair):
    assert kf.etable(list(pair), output="markdown") == EXPECTED_MARKDOWN


def number(cell: str) -> float:
    return float(cell.strip("()*"))


@pytest.mark.parametrize("kind", ["coef", "ame"])
@pytest.mark.parametrize("below, alpha", [("se", 0.05), ("ci", 0.05), ("ci", 0.1)])
def test_cells_hold_each_fits_estimates(mroz, pair, kind, below, alpha):
    clustered = kf.fit_probit(MROZ_FORMULA, mroz.assign(group=np.arange(len(mroz)) % 40), cluster="group")
    fits = [*pair, clustered]
    table = kf.etable(fits, kind=kind, below=below, alpha=alpha, digits=5, names=["a", "b", "c"])
    assert list(table.columns) == ["a", "b", "c"]
    z = stats.norm.ppf(1 - alpha / 2)
    for name, fit in zip(table.columns, fits):
        if kind == "coef":
            estimate, se, p = fit.params, fit.bse, fit.pvalues
        else:
            effects = kf.ame(fit)
            estimate, se, p = effects["dy/dx"], effects["Std. Err"], effects["Pr(>|z|)"]
        labels = list(table.index)
        for term in estimate.index:
            row = labels.index(term)
            cell, beneath = table[name].iloc[row], table[name].iloc[row + 1]
            assert number(cell) == pytest.approx(estimate[term], abs=5e-6)
            assert cell.count("*") == sum(int(p[term] < bound) for bound in (0.01, 0.05, 0.1))
            if below == "se":
                assert number(beneath) == pytest.approx(se[term], abs=5e-6)
            else:
                low, high = (float(v) for v in beneath.strip("[]").split(","))
                assert (low, high) == pytest.approx((estimate[term] - z * se[term], estimate[term] + z * se[term]),
                                                    abs=5e-6)
        assert table.loc["Observations", name] == str(fit.nobs)
        assert float(table.loc["Pseudo R-squared", name]) == pytest.approx(fit.prsquared, abs=5e-6)
    assert table.loc["Clusters"].tolist() == ["", "", "40"]
    assert table.loc["Covariance"].tolist() == ["HC0", "nonrobust", "CR1"]
    # A term the restricted fit lacks is blank there.
    assert table.loc["educ", "a"] == ""


@pytest.mark.parametrize("kind", ["coef", "ame"])
def test_a_statsmodels_fit_of_the_same_model_gives_the_same_column(mroz, kind):
    smf = pytest.importorskip("statsmodels.formula.api")
    theirs = smf.probit(MROZ_FORMULA, mroz).fit(disp=0)
    table = kf.etable([kf.fit_probit(MROZ_FORMULA, mroz), theirs], kind=kind)
    assert table["(1)"].tolist() == table["(2)"].tolist()


def test_latex_and_html_escape_names_and_the_note(mroz):
    frame = mroz.rename(columns={"educ": "years_of_school"})
    fit = kf.fit_probit("inlf ~ years_of_school + age", frame)
    latex = kf.etable([fit], below="ci", output="latex")
    assert "\\toprule" in latex and "\\bottomrule" in latex
    assert "years\\_of\\_school &" in latex and "95\\% intervals" in latex and "p$<$0.1" in latex
    html = kf.etable([fit], output="html", names=["<b>"])
    assert "<table" in html and "&lt;b&gt;" in html and "p&lt;0.1" in html


def test_results_show_an_html_summary_in_notebooks(pair):
    html = pair[1]._repr_html_()
    assert html.count("<table") == 2
    assert "I(exper ** 2)" in html and "753" in html and "nonrobust" in html
    assert f"{pair[1].llf:.4f}" in html  # the log-likelihood, as the text summary prints it


@pytest.mark.parametrize(
    "options, message",
    [
        ({"kind": "odds"}, "kind must be one of"),
        ({"below": "t"}, "below must be one of"),
        ({"output": "docx"}, "output must be one of"),
        ({"names": ["one"]}, "names has 1 entries for 2 fits"),
        ({"alpha": 1.0}, "alpha must be in"),
    ],
)
def test_bad_options_are_refused(pair, options, message):
    with pytest.raises(ValueError, match=message):
        kf.etable(list(pair), **options)
