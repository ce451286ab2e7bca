"""Marginal effects of variables and average predictions in kestrum_frames,
against closed forms written here in NumPy (with their Jacobians by central
differences in beta), on pandas, polars and Dask frames."""

import types
import warnings

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
import kestrum  # noqa: E402
from scipy import special  # noqa: E402

FORMULA = "y ~ x1 + I(x1**2) + x1:x2 + C(g) + d"


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(7)
    n = 1500
    frame = pd.DataFrame({
        "x1": rng.normal(1.0, 1.0, n),
        "x2": rng.uniform(0.5, 2.0, n),
        "g": rng.choice(["a", "b", "c"], n),
        "d": rng.integers(0, 2, n).astype(float),
        "grp": rng.choice([2, 1, 3], n),
    })
    index = 0.2 + 0.5 * frame.x1 - 0.3 * frame.x1**2 + 0.4 * frame.x1 * frame.x2 + 0.6 * (frame.g == "b") \
        - 0.4 * (frame.g == "c") + 0.3 * frame.d
    frame["y"] = (index + rng.normal(size=n) > 0).astype(float)
    return frame


def closed_forms(frame, beta, link=False, x1=None):
    """Per effect label, the values of every row under the model FORMULA
    (coefficients in a dict by name), as derived by hand."""
    F = (lambda z: z) if link else special.ndtr
    f = (lambda z: np.ones_like(z)) if link else (lambda z: np.exp(-z * z / 2) / np.sqrt(2 * np.pi))
    x1 = frame.x1.to_numpy() if x1 is None else np.full(len(frame), x1)
    x2, d = frame.x2.to_numpy(), frame.d.to_numpy()
    level = {"a": 0.0, "b": beta["C(g)[T.b]"], "c": beta["C(g)[T.c]"]}

    def index(g_shift, d_value):
        return (beta["Intercept"] + beta["x1"] * x1 + beta["I(x1 ** 2)"] * x1**2 + beta["x1:x2"] * x1 * x2
                + g_shift + beta["d"] * d_value)

    z = index(frame.g.map(level).to_numpy(), d)
    return {
        "x1": f(z) * (beta["x1"] + 2 * beta["I(x1 ** 2)"] * x1 + beta["x1:x2"] * x2),
        "x2": f(z) * beta["x1:x2"] * x1,
        "g[b]": F(index(level["b"], d)) - F(index(0.0, d)),
        "g[c]": F(index(level["c"], d)) - F(index(0.0, d)),
        "d": F(index(frame.g.map(level).to_numpy(), 1.0)) - F(index(frame.g.map(level).to_numpy(), 0.0)),
        "overall": F(z),
    }


def oracle(frame, result, labels, groups=None, **options):
    """Averages of the closed forms and their delta-method standard errors,
    the Jacobian by central differences in beta."""
    names = result.params.index.tolist()
    beta = result.params.to_numpy()
    masks = [np.ones(len(frame), bool)] if groups is None else groups

    def averages(b):
        rows = closed_forms(frame, dict(zip(names, b)), **options)
        return np.array([rows[label][mask].mean() for mask in masks for label in labels])

    jacobian = np.empty((len(masks) * len(labels), beta.size))
    for j in range(beta.size):
        h = 1e-6 * max(abs(beta[j]), 1.0)
        up, down = beta.copy(), beta.copy()
        up[j] += h
        down[j] -= h
        jacobian[:, j] = (averages(up) - averages(down)) / (up[j] - down[j])
    se = np.sqrt(np.einsum("ij,jk,ik->i", jacobian, result.cov_params().to_numpy(), jacobian))
    return averages(beta), se


def assert_table(table, estimates, se, column="dy/dx"):
    np.testing.assert_allclose(table[column].to_numpy(), estimates, rtol=1e-7, atol=1e-12)
    np.testing.assert_allclose(table["Std. Err"].to_numpy(), se, rtol=1e-6)
    z = estimates / se
    np.testing.assert_allclose(table["Pr(>|z|)"].to_numpy(), 2 * special.ndtr(-np.abs(z)), rtol=1e-5)
    np.testing.assert_allclose(table["0.975]"] - table["[0.025"], 2 * 1.959963984540054 * se, rtol=1e-6)


def as_library(frame, library):
    return frame if library == "pandas" else pytest.importorskip("polars").from_pandas(frame)


@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("scale", ["response", "link"])
@pytest.mark.parametrize("chunk_size", [None, 333])
def test_effects_of_variables_match_closed_forms(data, library, scale, chunk_size):
    result = kf.fit_probit(FORMULA, as_library(data, library), npartitions=3)
    table = kf.ame(result, scale=scale, chunk_size=chunk_size)
    labels = ["x1", "g[b]", "g[c]", "d", "x2"]
    assert table.index.tolist() == labels
    assert table.index.name == "term"
    assert table.columns.tolist() == ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance", "[0.025", "0.975]"]
    assert_table(table, *oracle(data, result, labels, link=scale == "link"))


def test_effects_by_group_and_at_values(data):
    result = kf.fit_probit(FORMULA, data)
    by = kf.ame(result, variables=["x1", "g"], by="grp")
    labels = ["x1", "g[b]", "g[c]"]
    groups = [data.grp.to_numpy() == value for value in (1, 2, 3)]
    assert by.index.names == ["grp", "term"]
    assert by.index.tolist() == [(value, label) for value in (1, 2, 3) for label in labels]
    assert_table(by, *oracle(data, result, labels, groups=groups))

    at = kf.ame(result, variables="x2", at={"x1": [0.5, 2.0]})
    assert at.index.names == ["x1", "term"]
    assert at.index.tolist() == [(0.5, "x2"), (2.0, "x2")]
    expected = [oracle(data, result, ["x2"], x1=value) for value in (0.5, 2.0)]
    assert_table(at, np.concatenate([e for e, _ in expected]), np.concatenate([s for _, s in expected]))


@pytest.mark.parametrize("scale", ["response", "link"])
def test_average_predictions(data, scale):
    result = kf.fit_probit(FORMULA, data)
    link = scale == "link"
    overall = kf.avg_predictions(result, scale=scale)
    assert overall.index.tolist() == ["overall"]
    assert overall.columns.tolist() == ["Prediction", "Std. Err", "z", "Pr(>|z|)", "[0.025", "0.975]"]
    assert_table(overall, *oracle(data, result, ["overall"], link=link), column="Prediction")
    if not link:
        assert overall["Prediction"].iloc[0] == pytest.approx(result.predict().mean(), rel=1e-12)

    by = kf.avg_predictions(result, by="grp", scale=scale)
    assert by.index.name == "grp" and by.index.tolist() == [1, 2, 3]
    groups = [data.grp.to_numpy() == value for value in (1, 2, 3)]
    assert_table(by, *oracle(data, result, ["overall"], groups=groups, link=link), column="Prediction")

    at = kf.avg_predictions(result, at={"x1": [0.0, 1.5]}, by="grp", scale=scale)
    assert at.index.names == ["grp", "x1"]
    assert at.index.tolist() == [(g, v) for g in (1, 2, 3) for v in (0.0, 1.5)]
    expected = [oracle(data, result, ["overall"], groups=[mask], x1=v, link=link) for mask in groups for v in (0.0, 1.5)]
    assert_table(at, np.concatenate([e for e, _ in expected]), np.concatenate([s for _, s in expected]),
                 column="Prediction")


def test_atmeans_sets_numeric_variables_to_their_means(data):
    result = kf.fit_probit("y ~ x1 + x2 + d", data, tol=1e-12)
    table = kf.ame(result, atmeans=True)
    # statsmodels' effects at the means of the regressors: the same for terms linear in each variable.
    sm = pytest.importorskip("statsmodels.api")
    X = sm.add_constant(data[["x1", "x2", "d"]])
    fitted = sm.Probit(data.y, X).fit(disp=0, method="newton", tol=1e-12)
    margeff = fitted.get_margeff(at="mean", dummy=True).summary_frame()
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), margeff["dy/dx"].to_numpy(), rtol=1e-6)
    np.testing.assert_allclose(table["Std. Err"].to_numpy(), margeff["Std. Err."].to_numpy(), rtol=1e-4)


def test_numeric_derivatives_through_nonlinear_terms(data):
    """np.log and a cube: differences of the rebuilt rows against the derivative by hand."""
    frame = data.assign(x2=data.x2 * 3)
    result = kf.fit_probit("y ~ np.log(x2) + I(x2**3) + x1", frame)
    b = result.params
    x2 = frame.x2.to_numpy()
    z = b["Intercept"] + b["np.log(x2)"] * np.log(x2) + b["I(x2 ** 3)"] * x2**3 + b["x1"] * frame.x1.to_numpy()
    expected = np.mean(np.exp(-z * z / 2) / np.sqrt(2 * np.pi) * (b["np.log(x2)"] / x2 + 3 * b["I(x2 ** 3)"] * x2**2))
    assert kf.ame(result, variables="x2")["dy/dx"].iloc[0] == pytest.approx(expected, rel=1e-8)


PRODUCTS = "y ~ x1 + x1:x2 + x1:x2:x3 + I(x1**2) + x1:C(g) + C(g) + x3"


def formula_rows(frame, formula):
    from kestrum_frames.counterfactual import FormulaicRows

    model_spec = kf.fit_probit(formula, frame).model.design.model_spec
    return model_spec, FormulaicRows(model_spec, {name: frame[name].dtype for name in frame.columns})


def derivative_columns(frame, model_spec, rows, name, by_hand):
    """(column, d column / d name) for the columns built from name, which
    must be those by_hand names."""
    variable = rows.variable(name)
    columns = [model_spec.column_names[j] for j in variable.columns]
    assert sorted(columns) == sorted(by_hand)
    derivative = rows.derivative(frame, variable, float(np.abs(frame[name]).mean()))
    return [(column, derivative[:, place]) for place, column in enumerate(columns)]


@pytest.mark.parametrize("name", ["x1", "x2", "x3"])
def test_derivative_columns_of_products_and_expressions(data, name):
    """d x / d v of every column built from v, against the derivatives by
    hand: products and I(x1**2) exactly, x1:C(g) by differences."""
    frame = data.assign(x3=np.random.default_rng(3).normal(size=len(data)))
    model_spec, rows = formula_rows(frame, PRODUCTS)
    x1, x2, x3 = (frame[v].to_numpy() for v in ("x1", "x2", "x3"))
    g = frame.g.to_numpy()
    by_hand = {
        "x1": {"x1": 1.0, "x1:x2": x2, "x1:x2:x3": x2 * x3, "I(x1 ** 2)": 2 * x1,
               "x1:C(g)[T.b]": (g == "b") * 1.0, "x1:C(g)[T.c]": (g == "c") * 1.0},
        "x2": {"x1:x2": x1, "x1:x2:x3": x1 * x3},
        "x3": {"x1:x2:x3": x1 * x2, "x3": 1.0},
    }[name]
    for column, derivative in derivative_columns(frame, model_spec, rows, name, by_hand):
        expected = np.broadcast_to(by_hand[column], len(frame))
        if "C(g)" in column:
            np.testing.assert_allclose(derivative, expected, rtol=1e-9, atol=1e-12)
        elif column == "I(x1 ** 2)":  # 2 x1, as the difference of a square gives it but for rounding
            np.testing.assert_allclose(derivative, expected, rtol=1e-15)
        else:  # the product rule: exact
            np.testing.assert_array_equal(derivative, expected)


POLYNOMIALS = "y ~ x1 + I(x1 * x2) + I((x1 - 1)**2 / 2):x3 + I(-x2**2 + 3*x1) + I(x1**3) + I(x2 / x1) + x3"


@pytest.mark.parametrize("name", ["x1", "x2", "x3"])
def test_derivative_columns_of_polynomial_expressions(data, name):
    """Expressions of degree 2 or less in v by the product and power rules,
    against the derivatives by hand to rounding; a cube and a quotient by v
    by central differences, within their truncation error."""
    frame = data.assign(x3=np.random.default_rng(4).normal(size=len(data)), x1=data.x1 + 3.0)
    model_spec, rows = formula_rows(frame, POLYNOMIALS)
    x1, x2, x3 = (frame[v].to_numpy() for v in ("x1", "x2", "x3"))
    by_hand = {
        "x1": {"x1": 1.0, "I(x1 * x2)": x2, "I((x1 - 1) ** 2 / 2):x3": (x1 - 1) * x3, "I(-x2 ** 2 + 3 * x1)": 3.0,
               "I(x1 ** 3)": 3 * x1**2, "I(x2 / x1)": -x2 / x1**2},
        "x2": {"I(x1 * x2)": x1, "I(-x2 ** 2 + 3 * x1)": -2 * x2, "I(x2 / x1)": 1 / x1},
        "x3": {"I((x1 - 1) ** 2 / 2):x3": (x1 - 1) ** 2 / 2, "x3": 1.0},
    }[name]
    for column, derivative in derivative_columns(frame, model_spec, rows, name, by_hand):
        expected = np.broadcast_to(by_hand[column], len(frame))
        differenced = column == "I(x1 ** 3)" or (column == "I(x2 / x1)" and name == "x1")
        np.testing.assert_allclose(derivative, expected, rtol=1e-9 if differenced else 1e-14,
                                   atol=1e-12 if differenced else 0)


@pytest.mark.parametrize("name, value", [("g", "c"), ("g", "a"), ("x1", 0.75)])
def test_columns_at_a_value_equal_the_whole_matrix_rebuilt(data, name, value):
    """Terms reading only the variable built from one row, the others from
    every row: the same columns as the formula's whole matrix of the rows
    with the variable set to the value."""
    frame = data.assign(x3=np.random.default_rng(3).normal(size=len(data)))
    model_spec, rows = formula_rows(frame, PRODUCTS)
    variable = rows.variable(name)
    changed = frame.assign(**{name: value})
    whole = np.asarray(model_spec.get_model_matrix(changed), dtype=np.float64)
    np.testing.assert_array_equal(rows.at(frame, variable, value), whole[:, variable.columns])


def test_effects_through_a_three_way_product(data):
    frame = data.assign(x3=np.random.default_rng(5).uniform(0.5, 1.5, len(data)))
    result = kf.fit_probit("y ~ x1 + x1:x2:x3 + C(g)", frame)
    b = result.params
    x1, x2, x3 = (frame[v].to_numpy() for v in ("x1", "x2", "x3"))
    z = (b["Intercept"] + b["x1"] * x1 + b["x1:x2:x3"] * x1 * x2 * x3 + b["C(g)[T.b]"] * (frame.g == "b")
         + b["C(g)[T.c]"] * (frame.g == "c")).to_numpy()
    phi = np.exp(-z * z / 2) / np.sqrt(2 * np.pi)
    expected = [np.mean(phi * (b["x1"] + b["x1:x2:x3"] * x2 * x3)), np.mean(phi * b["x1:x2:x3"] * x1 * x3),
                np.mean(phi * b["x1:x2:x3"] * x1 * x2)]
    table = kf.ame(result, variables=["x1", "x2", "x3"])
    np.testing.assert_allclose(table["dy/dx"].to_numpy(), expected, rtol=1e-12)


def test_plain_columns_and_columnwise_table_match_kestrum(data):
    """Terms that are columns: the effects of the variables are the core's per-column
    effects; columnwise=True keeps the per-column reading of any formula."""
    result = kf.fit_probit("y ~ x1 + x2 + d", data)
    X = np.column_stack([np.ones(len(data)), data[["x1", "x2", "d"]].to_numpy()])
    model = types.SimpleNamespace(exog=X, exog_names=["Intercept", "x1", "x2", "d"])
    named = types.SimpleNamespace(params=result.params.to_numpy(), cov_params=lambda: result.cov_params().to_numpy(),
                                  model=model)
    expected = kestrum.ame(named)
    np.testing.assert_allclose(kf.ame(result).iloc[:, :4].to_numpy(float), expected.iloc[:, :4].to_numpy(float),
                               rtol=1e-10)

    squared = kf.fit_probit("y ~ x1 + I(x1**2)", data)
    columnwise = kf.ame(squared, columnwise=True)
    assert columnwise.index.tolist() == ["x1", "I(x1 ** 2)"]
    assert kf.ame(squared).index.tolist() == ["x1"]
    with pytest.raises(ValueError, match="columnwise"):
        kf.ame(squared, columnwise=True, by="grp")


@pytest.mark.parametrize("column", ["category", "bool"])
def test_categorical_kinds(data, column):
    """A pandas categorical (non-alphabetical categories: the first is the base) and a bool column."""
    if column == "category":
        frame = data.assign(g=pd.Categorical(data.g, categories=["c", "a", "b"]))
        expected_labels = ["g[a]", "g[b]"]
    else:
        frame = data.assign(g=data.g == "b")
        expected_labels = ["g[True]"]
    result = kf.fit_probit("y ~ g + x1", frame)
    table = kf.ame(result, variables="g")
    assert table.index.tolist() == expected_labels
    # the contrast by hand: every row set to the level, then to the base
    beta = result.params
    z = beta["Intercept"] + beta["x1"] * frame.x1.to_numpy()
    names = [n for n in result.params.index if n.startswith("g")]
    for label, name in zip(expected_labels, names):
        assert table.loc[label, "dy/dx"] == pytest.approx(np.mean(special.ndtr(z + beta[name]) - special.ndtr(z)),
                                                         rel=1e-12)


def test_statsmodels_formula_results(data):
    smf = pytest.importorskip("statsmodels.formula.api")
    fitted = smf.probit(FORMULA, data).fit(disp=0, method="newton", tol=1e-12)
    ours = kf.fit_probit(FORMULA, data, tol=1e-12)
    for by in (None, "grp"):
        a, b = kf.ame(fitted, by=by), kf.ame(ours, by=by)
        assert sorted(a.index.tolist()) == sorted(b.index.tolist())  # in the order of each fit's columns
        b = b.loc[a.index]
        # The two fits stop within the rounding of l of each other (a few 1e-6 standard errors):
        # tail p-values move by a few 1e-6 relative.
        np.testing.assert_allclose(a.iloc[:, :3].to_numpy(float), b.iloc[:, :3].to_numpy(float), rtol=1e-6)
        np.testing.assert_allclose(a.iloc[:, 3].to_numpy(float), b.iloc[:, 3].to_numpy(float), rtol=2e-5)
    np.testing.assert_allclose(kf.avg_predictions(fitted).to_numpy(), kf.avg_predictions(ours).to_numpy(), rtol=1e-6)


@pytest.mark.parametrize("term", ["offset", "exposure"])
@pytest.mark.parametrize("by_formula", [True, False])
def test_offset_or_exposure_refused_as_kestrum_refuses_it(data, term, by_formula):
    sm = pytest.importorskip("statsmodels.api")
    smf = pytest.importorskip("statsmodels.formula.api")
    extra = {term: np.full(len(data), 0.5 if term == "offset" else 2.0)}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        on_arrays = sm.Probit(data.y.to_numpy(), sm.add_constant(data[["x1", "x2"]].to_numpy()), **extra).fit(disp=0)
        by_formula_fit = smf.probit("y ~ x1 + x2", data, **extra).fit(disp=0)
    if getattr(on_arrays.model, term, None) is None:
        pytest.skip(f"this statsmodels keeps no {term} on a Probit")
    with pytest.raises(TypeError) as core:
        kestrum.ame(on_arrays)
    fitted = by_formula_fit if by_formula else on_arrays
    for function in ("ame", "avg_predictions"):
        with pytest.raises(TypeError) as frames:
            getattr(kf, function)(fitted)
        assert str(frames.value) == str(core.value).replace("probit_model", "result").replace("ame", function)


def test_unreliable_fits_warn(data):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        stopped = kf.fit_probit(FORMULA, data, max_iter=1)
    assert not stopped.converged
    with pytest.warns(RuntimeWarning, match="did not converge"):
        kf.ame(stopped)
    with pytest.warns(RuntimeWarning, match="did not converge"):
        kf.avg_predictions(stopped)
    separated = data.assign(y=(data.x1 > 1).astype(float))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        fit = kf.fit_probit("y ~ x1 + x2", separated)
    with pytest.warns(RuntimeWarning, match="converge|NaN"):
        kf.ame(fit)


@pytest.mark.parametrize("call, error, message", [
    (lambda r: kf.ame(r, variables="nope"), KeyError, "variables: 'nope'"),
    (lambda r: kf.ame(r, scale="probability"), ValueError, "scale must be"),
    (lambda r: kf.ame(r, at=[1, 2]), TypeError, "at must be a dict"),
    (lambda r: kf.ame(r, at={"x1": []}), ValueError, "holds no value"),
    (lambda r: kf.ame(r, by="missing"), KeyError, "'missing'"),
])
def test_bad_arguments(data, call, error, message):
    result = kf.fit_probit(FORMULA, data)
    with pytest.raises(error, match=message):
        call(result)


@pytest.fixture(scope="module")
def client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as client:
            yield client


@pytest.mark.parametrize("formula", [FORMULA, "y ~ x1 + x2 + d"])
def test_dask_on_worker_processes_equals_pandas_in_the_same_partitions(data, client, formula):
    dd = pytest.importorskip("dask.dataframe")
    frame = data.assign(g=pd.Categorical(data.g))
    bounds = [(0, 500), (500, 1000), (1000, 1500)]  # as fit_probit cuts 1500 rows into 3 partitions
    pieces = dd.concat([dd.from_pandas(frame.iloc[a:b], npartitions=1) for a, b in bounds])
    on_dask = kf.fit_probit(formula, pieces)
    in_memory = kf.fit_probit(formula, frame, npartitions=3)
    assert np.array_equal(on_dask.params.to_numpy(), in_memory.params.to_numpy())
    for call in (lambda r: kf.ame(r), lambda r: kf.ame(r, by="grp", at={"x2": [1.0, 1.5]}),
                 lambda r: kf.avg_predictions(r, by="grp")):
        a, b = call(on_dask), call(in_memory)
        assert a.index.equals(b.index)
        assert np.array_equal(a.drop(columns="Significance", errors="ignore").to_numpy(float),
                              b.drop(columns="Significance", errors="ignore").to_numpy(float))
