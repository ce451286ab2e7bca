"""kestrum_frames' effects and predictions against marginaleffects'
avg_slopes, avg_comparisons and avg_predictions on statsmodels probit fits
of the same formulas.

marginaleffects' estimates are taken as they are (its derivatives in x are
accurate to about 1e-11 here). Its standard errors come from a one-sided
numerical Jacobian in beta that is good to about 3e-4 only, so the oracle
for the standard errors is the delta method with a Jacobian of
marginaleffects' own estimates by central differences in beta, formed
here. Needs marginaleffects (Python 3.12 or later); skipped without it.
"""

import copy

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
me = pytest.importorskip("marginaleffects", reason="needs marginaleffects (Python >= 3.12)")
if int(pytest.importorskip("polars").__version__.split(".")[0]) >= 2:
    # marginaleffects' own code fails with polars 2 ('is_in' no longer casts).
    pytest.skip("marginaleffects needs polars < 2", allow_module_level=True)
smf = pytest.importorskip("statsmodels.formula.api")
from marginaleffects.datagrid import datagrid  # noqa: E402


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    n = 800
    frame = pd.DataFrame({
        "x1": rng.normal(0.5, 1.0, n),
        "x2": rng.uniform(0.5, 2.5, n),
        "x3": rng.normal(size=n),
        "d": rng.integers(0, 2, n).astype(float),
        "g": rng.choice(["a", "b", "c", "e"], n),
        "grp": rng.choice(["u", "v", "w"], n),
    })
    index = (0.3 * frame.x1 - 0.25 * frame.x1**2 + 0.3 * frame.x1 * frame.x2 - 0.2 * frame.x2 + 0.3 * frame.d
             + frame.g.map({"a": 0.0, "b": 0.5, "c": -0.4, "e": 0.2}) * (1 + 0.3 * frame.x1))
    frame["y"] = (index + rng.normal(size=n) > 0).astype(float)
    return frame


# Each case: the formula for kestrum_frames (formulaic), the data's reference level for g, and the
# formula for statsmodels (patsy) on data whose categories start with that level.
CASES = {
    "squares": ("y ~ x1 + I(x1**2) + x2 + I(x2**2)", None, "y ~ x1 + I(x1**2) + x2 + I(x2**2)"),
    "continuous interaction": ("y ~ x1 * x2 + x3 + d", None, "y ~ x1 * x2 + x3 + d"),
    "factor interaction, base c": ("y ~ C(g, contr.treatment('c')) * x1 + x2", "c", "y ~ g * x1 + x2"),
}


def fits(data, case):
    formula, base, sm_formula = CASES[case]
    levels = ["a", "b", "c", "e"]
    if base is not None:
        levels = [base] + [level for level in levels if level != base]
    frame = data.assign(g=pd.Categorical(data.g, categories=levels), grp=pd.Categorical(data.grp))
    ours = kf.fit_probit(formula, data)
    theirs = smf.probit(sm_formula, frame).fit(disp=0, method="newton", tol=1e-12, maxiter=100)
    return ours, theirs


def at_params_of(ours, theirs):
    """The statsmodels fit moved to kestrum_frames' coefficients and
    covariance (the two fits stop at slightly different points), its
    coefficients matched by name: patsy writes C(g, ...)[T.a] as g[T.a]."""
    def patsy_name(name):
        return name.replace("C(g, contr.treatment('c'))", "g")

    names = {patsy_name(name): name for name in ours.params.index}
    order = [names[name] for name in theirs.params.index]
    moved = copy.copy(theirs)
    moved.params = pd.Series(ours.params[order].to_numpy(), index=theirs.params.index)
    cov = ours.cov_params().loc[order, order].to_numpy()
    moved.cov_params = lambda: pd.DataFrame(cov, index=theirs.params.index, columns=theirs.params.index)
    return moved


def keyed(table, by_columns):
    """marginaleffects' rows as {(by values..., our label): estimate}."""
    out = {}
    for row in table.iter_rows(named=True):
        contrast = row.get("contrast", "")
        label = row.get("term", "overall")
        if contrast.startswith("dY/dX") or label == "overall":
            pass
        elif " - " in contrast:
            level, _ = contrast.split(" - ")
            label = label if level in ("1", "1.0") else f"{label}[{level}]"
        out[(*(row[c] for c in by_columns), label)] = row["estimate"]
    return out


def oracle(call, fitted, by_columns):
    """marginaleffects' estimates, and the delta-method standard errors of
    them with their Jacobian by central differences in beta."""
    base = keyed(call(fitted), by_columns)
    keys = list(base)
    params = fitted.params
    jacobian = np.empty((len(keys), len(params)))
    for j in range(len(params)):
        h = 1e-4 * max(abs(params.iloc[j]), 1e-2)
        moved = []
        for step in (h, -h):
            shifted = copy.copy(fitted)
            shifted.params = params.copy()
            shifted.params.iloc[j] += step
            moved.append(keyed(call(shifted), by_columns))
        jacobian[:, j] = [(moved[0][key] - moved[1][key]) / (2 * h) for key in keys]
    se = np.sqrt(np.einsum("ij,jk,ik->i", jacobian, fitted.cov_params().to_numpy(), jacobian))
    return {key: (base[key], s) for key, s in zip(keys, se)}


def compare(table, expected, column="dy/dx"):
    keys = [key if isinstance(key, tuple) else (key,) for key in table.index]
    assert sorted(map(str, keys)) == sorted(map(str, expected)), (keys, list(expected))
    for key, (estimate, se) in zip(keys, table[[column, "Std. Err"]].to_numpy()):
        want_estimate, want_se = expected[key]
        assert estimate == pytest.approx(want_estimate, rel=1e-6, abs=1e-10), key
        assert se == pytest.approx(want_se, rel=1e-5), key


def slopes_and_contrasts(fitted, numeric, categorical, **options):
    """avg_slopes of the numeric variables and avg_comparisons of the others, in one table."""
    import polars as pl

    tables = []
    if numeric:
        tables.append(me.avg_slopes(fitted, variables=numeric, vcov=False, eps=1e-4, **options).data)
    for name in categorical:
        variables = {name: [0, 1]} if name == "d" else name
        tables.append(me.avg_comparisons(fitted, variables=variables, vcov=False, **options).data)
    return pl.concat(tables, how="diagonal_relaxed")


VARIABLES = {
    "squares": (["x1", "x2"], []),
    "continuous interaction": (["x1", "x2", "x3"], ["d"]),
    "factor interaction, base c": (["x1", "x2"], ["g"]),
}


@pytest.mark.parametrize("case", list(CASES))
@pytest.mark.parametrize("by", [None, "grp"])
def test_average_effects(data, case, by):
    ours, theirs = fits(data, case)
    numeric, categorical = VARIABLES[case]
    options = {} if by is None else {"by": by}
    by_columns = [] if by is None else [by]
    def call(m):
        return slopes_and_contrasts(m, numeric, categorical, **options)

    compare(kf.ame(ours, by=by), oracle(call, at_params_of(ours, theirs), by_columns))
    compare(kf.ame(theirs, by=by), oracle(call, theirs, by_columns))  # its rows rebuilt by patsy


@pytest.mark.parametrize("case", ["squares", "factor interaction, base c"])
def test_effects_at_values(data, case):
    ours, theirs = fits(data, case)
    numeric, categorical = VARIABLES[case]

    def call(m):
        grid = datagrid(model=m, x2=[1.0, 2.0], grid_type="counterfactual")
        return slopes_and_contrasts(m, [n for n in numeric if n != "x2"], categorical, newdata=grid, by="x2")

    expected = oracle(call, at_params_of(ours, theirs), ["x2"])
    table = kf.ame(ours, at={"x2": [1.0, 2.0]}, variables=[n for n in numeric + categorical if n != "x2"])
    compare(table, expected)


@pytest.mark.parametrize("case", list(CASES))
def test_average_predictions(data, case):
    ours, fitted = fits(data, case)
    theirs = at_params_of(ours, fitted)
    expected = oracle(lambda m: me.avg_predictions(m, vcov=False).data, theirs, [])
    compare(kf.avg_predictions(ours), {("overall",): v for v in expected.values()}, column="Prediction")

    expected = oracle(lambda m: me.avg_predictions(m, by="grp", vcov=False).data, theirs, ["grp"])
    compare(kf.avg_predictions(ours, by="grp"), {(k[0],): v for k, v in expected.items()}, column="Prediction")

    def at(m):
        return me.avg_predictions(m, newdata=datagrid(model=m, x1=[0.0, 1.0], grid_type="counterfactual"),
                                  by="x1", vcov=False).data

    expected = oracle(at, theirs, ["x1"])
    compare(kf.avg_predictions(ours, at={"x1": [0.0, 1.0]}), {(k[0],): v for k, v in expected.items()},
            column="Prediction")
