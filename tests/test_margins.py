"""Average marginal effects: ``kestrum.ame``.

Oracles: statsmodels ``get_margeff(at='overall', dummy=True)`` and the closed
forms of the probit average marginal effects evaluated with numpy/scipy.
"""

import json
import os
import subprocess
import sys
import textwrap
import warnings

import numpy as np
import pandas as pd
import pytest
from numpy.testing import assert_allclose
from scipy.stats import norm

import statsmodels.api as sm

import kestrum

COLUMNS = ["dy/dx", "Std. Err", "z", "Pr(>|z|)", "Significance"]
NUMERIC = COLUMNS[:4]
PYARRAY = "' object cannot be converted to 'PyArray<T, D>'"


# ---------------------------------------------------------------------------
# helpers
# ---------------------------------------------------------------------------


class FakeModel:
    def __init__(self, exog, exog_names):
        self.exog = exog
        self.exog_names = exog_names


class FakeResults:
    """The four things ``ame`` reads, and nothing else."""

    def __init__(self, params, cov, exog, names):
        self.params = params
        self._cov = cov
        self.model = FakeModel(exog, names)

    def cov_params(self):
        return self._cov


class RecordingResults:
    """Logs every attribute read on itself and on its ``model``."""

    def __init__(self, params, cov, exog, names, log=None):
        object.__setattr__(self, "log", [] if log is None else log)
        object.__setattr__(self, "_params", params)
        object.__setattr__(self, "_cov", cov)
        object.__setattr__(self, "_exog", exog)
        object.__setattr__(self, "_names", names)

    def __getattribute__(self, name):
        log = object.__getattribute__(self, "log")
        if name == "log":
            return log
        if name == "params":
            log.append("params")
            return object.__getattribute__(self, "_params")
        if name == "cov_params":
            log.append("cov_params")
            cov = object.__getattribute__(self, "_cov")

            def cov_params():
                log.append("cov_params()")
                return cov

            return cov_params
        if name == "model":
            log.append("model")
            return _RecordingModel(
                log,
                object.__getattribute__(self, "_exog"),
                object.__getattribute__(self, "_names"),
            )
        log.append(name)
        return object.__getattribute__(self, name)


class _RecordingModel:
    def __init__(self, log, exog, names):
        object.__setattr__(self, "_state", (log, exog, names))

    def __getattribute__(self, name):
        log, exog, names = object.__getattribute__(self, "_state")
        log.append("model." + name)
        if name == "exog":
            return exog
        if name == "exog_names":
            return names
        raise AttributeError(name)


FULL_READ = ["params", "cov_params", "cov_params()", "model", "model.exog_names", "model", "model.exog"]


def significance(p):
    if p < 0.01:
        return "***"
    if p < 0.05:
        return "**"
    if p < 0.1:
        return "*"
    return ""


def closed_form(params, cov, X, indicators):
    """Probit AME, delta-method se, z and p for every column of X.

    indicators: the column positions that get the discrete change
    P(y | x_j = 1) - P(y | x_j = 0); the others get beta_j * mean phi(x'b).
    """
    params = np.asarray(params, dtype=float)
    X = np.asarray(X, dtype=float)
    n, k = X.shape
    xb = X @ params
    dens = norm.pdf(xb)
    eff = np.empty(k)
    jac = np.empty((k, k))
    for j in range(k):
        if j in indicators:
            x1 = X.copy()
            x1[:, j] = 1.0
            x0 = X.copy()
            x0[:, j] = 0.0
            eff[j] = np.mean(norm.cdf(x1 @ params) - norm.cdf(x0 @ params))
            jac[j] = np.mean(
                norm.pdf(x1 @ params)[:, None] * x1 - norm.pdf(x0 @ params)[:, None] * x0,
                axis=0,
            )
        else:
            eff[j] = params[j] * dens.mean()
            # d/db_m [b_j phi(x'b)] = delta_jm phi(x'b) - b_j (x'b) x_m phi(x'b)
            jac[j] = np.eye(k)[j] * dens.mean() - params[j] * np.mean(
                (dens * xb)[:, None] * X, axis=0
            )
    var = np.diag(jac @ np.asarray(cov) @ jac.T)
    se = np.sqrt(np.where(var > 0, var, 0.0))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.where(se > 0, eff / np.where(se > 0, se, 1.0), np.nan)
    p = 2.0 * norm.sf(np.abs(z))
    return eff, se, z, p


def assert_matches_closed_form(table, expected, keep, rtol=1e-9):
    eff, se, z, p = (np.asarray(a)[keep] for a in expected)
    assert_allclose(table["dy/dx"].to_numpy(float), eff, rtol=rtol, atol=1e-15)
    assert_allclose(table["Std. Err"].to_numpy(float), se, rtol=rtol, atol=1e-15)
    assert_allclose(table["z"].to_numpy(float), z, rtol=rtol, atol=1e-12)
    assert_allclose(table["Pr(>|z|)"].to_numpy(float), p, rtol=1e-6, atol=1e-12)


def assert_same_table(a, b, rtol=1e-12):
    assert list(a.columns) == COLUMNS and list(b.columns) == COLUMNS
    assert list(a.index) == list(b.index)
    for col in NUMERIC:
        # p close to 0 is one minus a number close to 1: compare absolutely too
        atol = 1e-15 if col == "Pr(>|z|)" else 1e-14
        assert_allclose(a[col].to_numpy(float), b[col].to_numpy(float), rtol=rtol, atol=atol)
    assert list(a["Significance"]) == list(b["Significance"])


def assert_labels_follow_p(table):
    p = table["Pr(>|z|)"].to_numpy(float)
    assert list(table["Significance"]) == [significance(v) for v in p]


def spd(k, seed, scale=1e-2):
    rng = np.random.default_rng(seed)
    a = rng.normal(size=(k, k))
    return scale * (a @ a.T / k + np.eye(k))


def mixed_design(n, seed):
    """Ones, N(0,1), 0/1, a large-scale continuous column, 0/1, a tiny-scale one."""
    rng = np.random.default_rng(seed)
    X = np.column_stack(
        [
            np.ones(n),
            rng.normal(size=n),
            (rng.random(n) < 0.4).astype(float),
            rng.uniform(0.0, 500.0, n),
            (rng.random(n) < 0.7).astype(float),
            rng.normal(scale=1e-3, size=n),
        ]
    )
    params = np.array([0.2, 0.6, -0.5, 0.002, 0.4, 150.0])
    return X, params


MIXED_INDICATORS = {0, 2, 4}


@pytest.fixture
def mixed():
    X, params = mixed_design(61, seed=11)
    names = ["const", "a", "b", "c", "d", "e"]
    cov = spd(6, seed=12)
    return FakeResults(params, cov, X, names)


def table_of(obj, **kwargs):
    table = kestrum.ame(obj, **kwargs)
    assert isinstance(table, pd.DataFrame)
    assert list(table.columns) == COLUMNS
    return table


# ---------------------------------------------------------------------------
# registration
# ---------------------------------------------------------------------------


def test_ame_is_registered_first():
    assert kestrum.__all__ == ["ame", "fit_probit"]
    assert kestrum.ame.__text_signature__ == "(probit_model, chunk_size=...)"
    assert kestrum.ame.__doc__ == "Calculates Average Marginal Effects (AME) for a Probit model"


# ---------------------------------------------------------------------------
# agreement with statsmodels
# ---------------------------------------------------------------------------


def compare_with_statsmodels(res, table):
    names = list(res.model.exog_names)
    const = names.index("const")
    expected_index = names[:const] + names[const + 1 :]
    assert list(table.index) == expected_index

    m = res.get_margeff(at="overall", dummy=True)
    assert_allclose(table["dy/dx"].to_numpy(float), m.margeff, rtol=1e-6, atol=1e-12)
    assert_allclose(table["Std. Err"].to_numpy(float), m.margeff_se, rtol=1e-6, atol=1e-12)
    assert_allclose(table["z"].to_numpy(float), m.tvalues, rtol=1e-6, atol=1e-9)
    assert_allclose(table["Pr(>|z|)"].to_numpy(float), m.pvalues, rtol=1e-6, atol=1e-12)
    assert_labels_follow_p(table)


def spector_fit():
    data = sm.datasets.spector.load_pandas()
    X = sm.add_constant(data.exog[["GPA", "TUCE", "PSI"]].to_numpy(dtype=float))
    y = data.endog.to_numpy(dtype=float)
    return sm.Probit(y, X).fit(disp=0)


@pytest.mark.parametrize("chunk_size", [None, 1, 5, 32, 1000])
def test_spector_matches_statsmodels(chunk_size):
    res = spector_fit()
    assert res.model.exog_names == ["const", "x1", "x2", "x3"]
    compare_with_statsmodels(res, table_of(res, chunk_size=chunk_size))


def test_spector_psi_is_a_discrete_change():
    res = spector_fit()
    X = res.model.exog
    b = res.params
    x1, x0 = X.copy(), X.copy()
    x1[:, 3], x0[:, 3] = 1.0, 0.0
    expected = np.mean(norm.cdf(x1 @ b)) - np.mean(norm.cdf(x0 @ b))
    table = table_of(res)
    assert_allclose(table.loc["x3", "dy/dx"], expected, rtol=1e-12)
    # the derivative effect would be a different number
    assert not np.isclose(table.loc["x3", "dy/dx"], b[3] * norm.pdf(X @ b).mean(), rtol=1e-3)


def simulated_fit(seed, n, prepend, cov_type):
    rng = np.random.default_rng(seed)
    cols = [
        rng.normal(size=n),
        (rng.random(n) < 0.3).astype(float),
        rng.normal(50.0, 20.0, n),
        rng.uniform(0.0, 1000.0, n),
        (rng.random(n) < 0.6).astype(float),
        rng.poisson(1.5, n).astype(float),
        rng.normal(scale=0.01, size=n),
    ]
    X = sm.add_constant(np.column_stack(cols), prepend=prepend)
    beta = np.array([0.5, -0.6, -0.01, 0.0008, 0.7, -0.2, 20.0])
    const_pos = 0 if prepend else len(beta)
    beta = np.insert(beta, const_pos, 0.3)
    y = (X @ beta + rng.normal(size=n) > 0).astype(float)
    return sm.Probit(y, X).fit(disp=0, cov_type=cov_type)


@pytest.mark.parametrize(
    "seed, n, prepend, cov_type",
    [
        (1, 400, True, "nonrobust"),
        (2, 1500, True, "nonrobust"),
        (3, 300, False, "nonrobust"),
        (4, 800, True, "HC0"),
    ],
)
@pytest.mark.parametrize("chunk_size", [None, 7])
def test_simulated_designs_match_statsmodels(seed, n, prepend, cov_type, chunk_size):
    res = simulated_fit(seed, n, prepend, cov_type)
    compare_with_statsmodels(res, table_of(res, chunk_size=chunk_size))


def test_statsmodels_inputs_are_not_modified():
    res = spector_fit()
    params, cov, exog = res.params.copy(), res.cov_params().copy(), res.model.exog.copy()
    names = list(res.model.exog_names)
    kestrum.ame(res, chunk_size=3)
    np.testing.assert_array_equal(res.params, params)
    np.testing.assert_array_equal(res.cov_params(), cov)
    np.testing.assert_array_equal(res.model.exog, exog)
    assert res.model.exog_names == names


# ---------------------------------------------------------------------------
# which models ame accepts
# ---------------------------------------------------------------------------


def spector_data():
    data = sm.datasets.spector.load_pandas()
    X = sm.add_constant(data.exog[["GPA", "TUCE", "PSI"]].to_numpy(dtype=float))
    return data.endog.to_numpy(dtype=float), X


def probit_with_exposure(y, X):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # statsmodels: "unknown kwargs ['exposure']", yet it keeps it
        return sm.Probit(y, X, exposure=np.ones(len(y))).fit(disp=0)


OTHER_MODELS = {
    "logit": (lambda y, X: sm.Logit(y, X).fit(disp=0), "but probit_model.model is a statsmodels Logit"),
    "ols": (lambda y, X: sm.OLS(y, X).fit(), "but probit_model.model is a statsmodels OLS"),
    "probit-offset": (lambda y, X: sm.Probit(y, X, offset=np.full(len(y), 0.3)).fit(disp=0), "with an offset"),
    "probit-exposure": (probit_with_exposure, "with an exposure"),
}


@pytest.mark.parametrize("model", list(OTHER_MODELS))
def test_models_that_are_not_plain_probits_are_refused(model):
    # they used to get probit formulas
    make, message = OTHER_MODELS[model]
    with pytest.raises(TypeError, match=message):
        kestrum.ame(make(*spector_data()))


class ProbitOfOurOwn(sm.Probit):
    """A subclass outside statsmodels: taken at its word, like any object."""


@pytest.mark.parametrize("model", [sm.Probit, ProbitOfOurOwn, lambda y, X: sm.Probit(y, X, offset=None)])
def test_probit_models_are_accepted(model):
    assert_same_table(table_of(model(*spector_data()).fit(disp=0)), table_of(spector_fit()))


# ---------------------------------------------------------------------------
# results of fit_probit
# ---------------------------------------------------------------------------


def probit_sample(n, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack(
        [np.ones(n), rng.normal(size=n), (rng.random(n) < 0.5).astype(float), rng.uniform(-2, 2, n)]
    )
    y = (X @ np.array([0.3, 0.8, -0.7, 0.4]) + rng.normal(size=n) > 0).astype(float)
    return y, X


@pytest.mark.parametrize("robust", [False, True])
def test_fit_probit_result(robust):
    y, X = probit_sample(500, seed=5)
    res = kestrum.fit_probit(y, X, robust=robust)
    b = np.asarray(res.params)
    table = table_of(res)

    assert list(table.index) == ["x0", "x1", "x2", "x3"]
    # the column of ones is not excluded: it is a 0/1 column named x0
    x0_effect = np.mean(norm.cdf(X @ b)) - np.mean(norm.cdf(X @ b - b[0]))
    assert_allclose(table.loc["x0", "dy/dx"], x0_effect, rtol=1e-10)

    expected = closed_form(b, res.cov_params(), X, indicators={0, 2})
    assert_matches_closed_form(table, expected, keep=slice(None))
    assert_labels_follow_p(table)


def test_fit_probit_result_reads_model_and_leaves_it_alone():
    y, X = probit_sample(120, seed=6)
    res = kestrum.fit_probit(y, X)
    before = (res.params.copy(), res.cov_params().copy(), res.model.exog.copy())
    first = table_of(res, chunk_size=13)
    second = table_of(res)
    assert_same_table(first, second)
    np.testing.assert_array_equal(res.params, before[0])
    np.testing.assert_array_equal(res.cov_params(), before[1])
    np.testing.assert_array_equal(res.model.exog, before[2])


# ---------------------------------------------------------------------------
# table layout and significance labels
# ---------------------------------------------------------------------------


def test_table_layout(mixed):
    table = table_of(mixed)
    assert list(table.columns) == COLUMNS
    assert list(table.index) == ["a", "b", "c", "d", "e"]
    for col in NUMERIC:
        assert table[col].dtype == np.float64
    assert all(isinstance(s, str) for s in table["Significance"])
    p = table["Pr(>|z|)"].to_numpy(float)
    assert np.all((p >= 0.0) & (p <= 1.0))
    assert np.all(table["Std. Err"].to_numpy(float) >= 0.0)
    assert_labels_follow_p(table)


def test_mixed_design_matches_closed_form(mixed):
    expected = closed_form(mixed.params, mixed.cov_params(), mixed.model.exog, MIXED_INDICATORS)
    assert_matches_closed_form(table_of(mixed), expected, keep=slice(1, None))


def one_indicator(b, c):
    """One observation, one 0/1 regressor: AME = Phi(b) - 1/2, se = phi(b) sqrt(c)."""
    return FakeResults(np.array([b]), np.array([[c]]), np.array([[1.0]]), ["d"])


def variance_for_z(b, z):
    return ((norm.cdf(b) - 0.5) / (z * norm.pdf(b))) ** 2


@pytest.mark.parametrize(
    "p_target, label",
    [
        (0.01 * (1 - 1e-6), "***"),
        (0.01 * (1 + 1e-6), "**"),
        (0.05 * (1 - 1e-6), "**"),
        (0.05 * (1 + 1e-6), "*"),
        (0.1 * (1 - 1e-6), "*"),
        (0.1 * (1 + 1e-6), ""),
        (0.5, ""),
        (1e-5, "***"),
    ],
)
@pytest.mark.parametrize("b", [0.5, -0.8])
def test_significance_around_thresholds(p_target, label, b):
    z_abs = norm.isf(p_target / 2)
    table = table_of(one_indicator(b, variance_for_z(b, z_abs)))
    row = table.loc["d"]
    assert_allclose(row["z"], np.sign(b) * z_abs, rtol=1e-9)
    assert_allclose(row["Pr(>|z|)"], p_target, rtol=1e-8)
    assert row["Significance"] == label


@pytest.mark.parametrize("z_abs", [5.0, 9.0, 12.0, 25.0, 37.5])
@pytest.mark.parametrize("b", [0.5, -0.8])
def test_p_values_far_in_the_tail(z_abs, b):
    # 2 (1 - Phi(|z|)) is exactly 0 from |z| ~ 8.3 on; 2 Phi(-|z|) keeps full
    # relative precision down to the smallest normal number (|z| ~ 37.5).
    table = table_of(one_indicator(b, variance_for_z(b, z_abs)))
    z = table.loc["d", "z"]
    assert_allclose(abs(z), z_abs, rtol=1e-9)
    assert table.loc["d", "Pr(>|z|)"] > 0.0
    assert_allclose(table.loc["d", "Pr(>|z|)"], 2.0 * norm.sf(abs(z)), rtol=1e-12 if z_abs < 37 else 1e-3)
    assert table.loc["d", "Significance"] == "***"


def test_zero_effect_gives_p_one():
    table = table_of(one_indicator(0.0, 0.3))
    row = table.loc["d"]
    assert row["dy/dx"] == 0.0
    assert_allclose(row["Std. Err"], norm.pdf(0.0) * np.sqrt(0.3), rtol=1e-14)
    assert row["z"] == 0.0
    assert row["Pr(>|z|)"] == 1.0
    assert row["Significance"] == ""


# ---------------------------------------------------------------------------
# which regressors are reported, and how they are classified
# ---------------------------------------------------------------------------


def named_design(names, n=40, seed=21):
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, len(names)))
    params = rng.normal(scale=0.5, size=len(names))
    return X, params, spd(len(names), seed + 1)


@pytest.mark.parametrize("excluded", ["const", "CONST", "Const", "cOnSt", "intercept", "Intercept", "INTERCEPT", "InTeRcEpT"])
@pytest.mark.parametrize("position", [0, 2, 3])
def test_constant_names_are_left_out(excluded, position):
    names = ["a", "b", "c"]
    names.insert(position, excluded)
    X, params, cov = named_design(names)
    X[:, position] = 1.0
    table = table_of(FakeResults(params, cov, X, names))
    keep = [i for i in range(4) if i != position]
    assert list(table.index) == [names[i] for i in keep]
    expected = closed_form(params, cov, X, indicators={position})
    assert_matches_closed_form(table, expected, keep=keep)


@pytest.mark.parametrize("name", ["const ", " const", "constant", "(intercept)", "intercept_", "_const", "Const."])
def test_look_alike_constant_names_are_reported(name):
    names = [name, "a", "b"]
    X, params, cov = named_design(names)
    X[:, 0] = 1.0
    table = table_of(FakeResults(params, cov, X, names))
    assert list(table.index) == names
    xb = X @ params
    ones_effect = np.mean(norm.cdf(xb)) - np.mean(norm.cdf(xb - params[0]))
    assert_allclose(table.loc[name, "dy/dx"], ones_effect, rtol=1e-10)
    assert_matches_closed_form(table, closed_form(params, cov, X, indicators={0}), keep=slice(None))


def column_with(values, n=30):
    values = np.asarray(values, dtype=float)
    return np.resize(values, n)


@pytest.mark.parametrize(
    "column, is_indicator",
    [
        pytest.param(column_with([0.0, 1.0, 1.0]), True, id="zeros-and-ones"),
        pytest.param(column_with([0.0]), True, id="only-zeros"),
        pytest.param(column_with([1.0]), True, id="only-ones"),
        pytest.param(column_with([0.0, -0.0, 1.0]), True, id="negative-zero"),
        pytest.param(np.r_[column_with([0.0, 1.0], 29), 2.0], False, id="one-two-at-the-end"),
        pytest.param(column_with([0.0, 1.0, 0.5]), False, id="one-half"),
        pytest.param(np.r_[np.nextafter(1.0, 2.0), column_with([0.0, 1.0], 29)], False, id="just-above-one"),
        pytest.param(np.r_[column_with([0.0, 1.0], 29), -1.0], False, id="minus-one"),
        pytest.param(column_with([2.0]), False, id="only-twos"),
        pytest.param(column_with([0.0, 1.0, 2.0, 3.0]), False, id="counts"),
    ],
)
def test_indicator_classification(column, is_indicator):
    names = ["u", "v", "w"]
    X, params, cov = named_design(names, n=30)
    X[:, 1] = column
    table = table_of(FakeResults(params, cov, X, names))
    expected = closed_form(params, cov, X, indicators={1} if is_indicator else set())
    assert_matches_closed_form(table, expected, keep=slice(None))


@pytest.mark.parametrize("chunk_size", [None, 100, 256])
@pytest.mark.parametrize("row", [0, 255, 256, 999])
@pytest.mark.parametrize("value", [2.0, 0.5])
def test_one_other_value_anywhere_makes_a_column_continuous(row, value, chunk_size):
    # The 0/1 test runs as the rows are visited: a late other value must undo
    # the indicator reading of every earlier block.
    names = ["u", "v", "w"]
    X, params, cov = named_design(names, n=1000)
    X[:, 1] = column_with([0.0, 1.0, 1.0], 1000)
    X[row, 1] = value
    table = table_of(FakeResults(params, cov, X, names), chunk_size=chunk_size)
    assert_matches_closed_form(table, closed_form(params, cov, X, indicators=set()), keep=slice(None))


@pytest.mark.parametrize("coefficient", [np.inf, -np.inf, np.nan])
def test_non_finite_coefficient_of_an_indicator(coefficient):
    names = ["u", "v", "w"]
    X, params, cov = named_design(names, n=30)
    X[:, 1] = column_with([0.0, 1.0, 1.0])
    params[1] = coefficient
    table = table_of(FakeResults(params, cov, X, names))
    with np.errstate(invalid="ignore"):
        expected = closed_form(params, cov, X, indicators={1})
    assert np.isnan(expected[0][1]) and np.isnan(table.loc["v", "dy/dx"])
    assert np.isnan(table.loc["v", "Std. Err"]) and np.isnan(table.loc["v", "z"])
    assert_allclose(table["dy/dx"].to_numpy(float), expected[0], rtol=1e-9, atol=1e-15, equal_nan=True)


def test_nan_in_a_zero_one_column():
    # A NaN reaches every linear index, so whatever the column's class
    # every effect is NaN and so is every delta-method variance.
    names = ["u", "v", "w"]
    X, params, cov = named_design(names, n=30)
    X[:, 1] = column_with([0.0, 1.0])
    X[7, 1] = np.nan
    table = table_of(FakeResults(params, cov, X, names))
    assert list(table.index) == names
    assert np.isnan(table["dy/dx"]).all()
    assert np.isnan(table["Std. Err"]).all()
    assert np.isnan(table["z"]).all()
    assert np.isnan(table["Pr(>|z|)"]).all()
    assert list(table["Significance"]) == ["", "", ""]


def test_every_regressor_excluded_gives_empty_table():
    names = ["const", "Intercept"]
    X, params, cov = named_design(names)
    table = table_of(FakeResults(params, cov, X, names))
    assert list(table.columns) == COLUMNS
    assert len(table) == 0
    assert list(table.index) == []


def test_duplicate_and_unicode_names_pass_through():
    names = ["a", "größe", "a", "β₁", "日本"]
    X, params, cov = named_design(names)
    table = table_of(FakeResults(params, cov, X, names))
    assert list(table.index) == names
    assert_matches_closed_form(table, closed_form(params, cov, X, set()), keep=slice(None))


def test_names_as_tuple():
    names = ["a", "b", "c"]
    X, params, cov = named_design(names)
    by_list = table_of(FakeResults(params, cov, X, names))
    by_tuple = table_of(FakeResults(params, cov, X, tuple(names)))
    assert_same_table(by_list, by_tuple, rtol=0)


def test_names_whose_len_fails_are_still_read():
    class Names:
        def __init__(self, items):
            self.items = items

        def __getitem__(self, i):
            return self.items[i]

        def __len__(self):
            raise RuntimeError("no length")

        def __iter__(self):
            return iter(self.items)

    names = ["a", "b", "c"]
    X, params, cov = named_design(names)
    table = table_of(FakeResults(params, cov, X, Names(names)))
    assert list(table.index) == names


def test_extra_excluded_name_beyond_k_has_no_effect():
    names = ["a", "b", "c"]
    X, params, cov = named_design(names)
    plain = table_of(FakeResults(params, cov, X, names))
    longer = table_of(FakeResults(params, cov, X, names + ["CONST"]))
    assert_same_table(plain, longer, rtol=0)


# ---------------------------------------------------------------------------
# blocks
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("chunk_size", [1, 2, 5, 60, 61, 62, 10**6, 2**64 - 1])
def test_chunk_size_does_not_change_the_table(mixed, chunk_size):
    reference = table_of(mixed)
    assert_same_table(table_of(mixed, chunk_size=chunk_size), reference)


def test_chunk_size_none_is_the_default(mixed):
    omitted = table_of(mixed)
    pd.testing.assert_frame_equal(table_of(mixed, chunk_size=None), omitted)
    pd.testing.assert_frame_equal(kestrum.ame(mixed, None), omitted)


def test_chunk_size_by_position_and_keyword(mixed):
    pd.testing.assert_frame_equal(kestrum.ame(mixed, 4), kestrum.ame(probit_model=mixed, chunk_size=4))
    pd.testing.assert_frame_equal(kestrum.ame(mixed, np.int64(4)), kestrum.ame(mixed, 4))


def test_chunk_size_zero_is_rejected_after_reading(mixed):
    log = []
    obj = RecordingResults(mixed.params, mixed.cov_params(), mixed.model.exog, mixed.model.exog_names, log)
    with pytest.raises(ValueError) as excinfo:
        kestrum.ame(obj, chunk_size=0)
    assert str(excinfo.value) == "chunk_size must be at least 1"
    assert log == FULL_READ


def test_chunk_size_zero_reports_bad_input_first(mixed):
    bad = FakeResults(mixed.params, mixed.cov_params(), mixed.model.exog.astype(np.int64), ["a"] * 6)
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(bad, chunk_size=0)
    assert str(excinfo.value) == "'ndarray" + PYARRAY


def test_chunk_size_zero_without_rows_is_accepted():
    X = np.empty((0, 3))
    obj = FakeResults(np.array([0.1, 0.2, 0.3]), spd(3, 1), X, ["a", "b", "c"])
    assert_same_table(table_of(obj, chunk_size=0), table_of(obj))


@pytest.mark.parametrize("chunk_size", [-1, -(2**70), 2**64])
def test_chunk_size_out_of_range(chunk_size, mixed):
    log = []
    obj = RecordingResults(mixed.params, mixed.cov_params(), mixed.model.exog, mixed.model.exog_names, log)
    with pytest.raises(OverflowError) as excinfo:
        kestrum.ame(obj, chunk_size=chunk_size)
    assert not str(excinfo.value).startswith("argument")
    assert log == []


@pytest.mark.parametrize("chunk_size", [2.5, 3.0, "3", [3]])
def test_chunk_size_not_an_integer(chunk_size, mixed):
    log = []
    obj = RecordingResults(mixed.params, mixed.cov_params(), mixed.model.exog, mixed.model.exog_names, log)
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(obj, chunk_size)
    assert str(excinfo.value).startswith("argument 'chunk_size': ")
    assert log == []


# ---------------------------------------------------------------------------
# degenerate numbers
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("chunk_size", [None, 1, 5])
def test_no_rows(chunk_size):
    names = ["const", "a", "b", "c"]
    obj = FakeResults(np.array([0.1, 0.2, 0.3, 0.4]), spd(4, 3), np.empty((0, 4)), names)
    table = table_of(obj, chunk_size=chunk_size)
    assert list(table.index) == ["a", "b", "c"]
    assert np.isnan(table["dy/dx"]).all()
    assert np.isnan(table["Std. Err"]).all()  # 0/0: no variance to speak of
    assert np.isnan(table["z"]).all()
    assert np.isnan(table["Pr(>|z|)"]).all()
    assert list(table["Significance"]) == ["", "", ""]


@pytest.mark.parametrize(
    "cov, se",
    [
        pytest.param(np.zeros((4, 4)), 0.0, id="zeros"),
        pytest.param(-np.eye(4), 0.0, id="negative"),
        pytest.param(np.full((4, 4), np.nan), np.nan, id="nan"),
        pytest.param(np.full((4, 4), -np.inf), np.nan, id="minus-inf"),
    ],
)
def test_non_positive_variance(cov, se):
    # 0.0 only for a finite variance <= 0; a NaN variance is not known to be 0
    X, params = mixed_design(50, seed=8)
    X, params = X[:, :4], params[:4]
    names = ["w", "x", "y", "z"]
    table = table_of(FakeResults(params, cov, X, names))
    eff, *_ = closed_form(params, np.eye(4), X, indicators={0, 2})
    assert_allclose(table["dy/dx"].to_numpy(float), eff, rtol=1e-10)
    assert_allclose(table["Std. Err"].to_numpy(float), np.full(4, se), equal_nan=True)
    assert np.isnan(table["z"]).all()
    assert np.isnan(table["Pr(>|z|)"]).all()
    assert list(table["Significance"]) == [""] * 4


def test_single_non_positive_variance_leaves_others():
    # With b_x = 0 and sum(x) = 0 the Jacobian row of the ones column is
    # (phi(b_0), 0), and b_0 has zero variance: that delta-method variance
    # is exactly 0, while the other regressor keeps a positive one.
    X = np.column_stack([np.ones(5), np.array([1.0, -1.0, 1.0, -1.0, 0.0])])
    params = np.array([0.3, 0.0])
    cov = np.diag([0.0, 0.04])
    table = table_of(FakeResults(params, cov, X, ["one", "x"]))
    expected = closed_form(params, cov, X, indicators={0})
    assert expected[1][0] == 0.0 and expected[1][1] > 0
    assert table.loc["one", "Std. Err"] == 0.0
    assert np.isnan(table.loc["one", "z"]) and np.isnan(table.loc["one", "Pr(>|z|)"])
    assert table.loc["one", "Significance"] == ""
    assert_allclose(table.loc["x", "Std. Err"], expected[1][1], rtol=1e-12)


# ---------------------------------------------------------------------------
# input layouts
# ---------------------------------------------------------------------------


def layouts(X, params, cov):
    n, k = X.shape
    wide = np.zeros((n, 2 * k))
    wide[:, ::2] = X
    pwide = np.zeros(3 * k)
    pwide[::3] = params
    cwide = np.zeros((2 * k, 2 * k))
    cwide[::2, ::2] = cov
    tall = np.zeros((2 * n, k))
    tall[::2] = X
    tall_t = np.zeros((2 * k, n))
    tall_t[::2] = X.T

    class Sub(np.ndarray):
        pass

    return {
        "fortran-exog": (np.asfortranarray(X), params, cov),
        "transposed-exog": (tall_t[::2].T, params, cov),
        "row-step-exog": (tall[::2], params, cov),
        "column-step-exog": (wide[:, ::2], params, cov),
        "strided-params": (X, pwide[::3], cov),
        "strided-cov": (X, params, cwide[::2, ::2]),
        "fortran-cov": (X, params, np.asfortranarray(cov)),
        "subclass": (X.view(Sub), params.view(Sub), cov.view(Sub)),
    }


@pytest.mark.parametrize(
    "layout",
    ["fortran-exog", "transposed-exog", "row-step-exog", "column-step-exog", "strided-params", "strided-cov", "fortran-cov", "subclass"],
)
def test_non_contiguous_inputs(mixed, layout):
    X, params, cov = mixed.model.exog, mixed.params, mixed.cov_params()
    names = mixed.model.exog_names
    Xv, pv, cv = layouts(X, params, cov)[layout]
    copies = [np.array(a, copy=True) for a in (Xv, pv, cv)]
    reference = table_of(FakeResults(params.copy(), cov.copy(), X.copy(), names), chunk_size=9)
    table = table_of(FakeResults(pv, cv, Xv, names), chunk_size=9)
    assert_same_table(table, reference)
    for arr, copy in zip((Xv, pv, cv), copies):
        np.testing.assert_array_equal(arr, copy)


def test_reversed_inputs_match_their_copies(mixed):
    X, params, cov = mixed.model.exog, mixed.params, mixed.cov_params()
    names = list(mixed.model.exog_names)[::-1]
    Xr, pr, cr = X[::-1, ::-1], params[::-1], cov[::-1, ::-1]
    reference = table_of(FakeResults(pr.copy(), cr.copy(), Xr.copy(), names))
    assert_same_table(table_of(FakeResults(pr, cr, Xr, names)), reference)


# ---------------------------------------------------------------------------
# reading the model
# ---------------------------------------------------------------------------


@pytest.fixture
def parts():
    X, params = mixed_design(20, seed=31)
    return params, spd(6, 32), X, ["const", "a", "b", "c", "d", "e"]


@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda p: list(p), "list"),
        (lambda p: p.astype(np.int64), "ndarray"),
        (lambda p: p.astype(np.float32), "ndarray"),
        (lambda p: p[:, None], "ndarray"),
        (lambda p: pd.Series(p), "Series"),
        (lambda p: p[0], "float64"),
        (lambda p: None, "NoneType"),
    ],
    ids=["list", "int64", "float32", "column", "series", "scalar", "none"],
)
def test_params_must_be_float64_vector(parts, bad, type_name):
    params, cov, X, names = parts
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(FakeResults(bad(params), cov, X, names))
    assert str(excinfo.value) == "'" + type_name + PYARRAY


@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda c: c.tolist(), "list"),
        (lambda c: np.diag(c).copy(), "ndarray"),
        (lambda c: c.astype(np.int64), "ndarray"),
        (lambda c: pd.DataFrame(c), "DataFrame"),
        (lambda c: None, "NoneType"),
    ],
    ids=["list", "vector", "int64", "dataframe", "none"],
)
def test_cov_params_result_must_be_float64_matrix(parts, bad, type_name):
    params, cov, X, names = parts
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(FakeResults(params, bad(cov), X, names))
    assert str(excinfo.value) == "'" + type_name + PYARRAY


@pytest.mark.parametrize(
    "bad, type_name",
    [
        (lambda x: x.tolist(), "list"),
        (lambda x: x[:, 0].copy(), "ndarray"),
        (lambda x: x.astype(np.int64), "ndarray"),
        (lambda x: x[None], "ndarray"),
        (lambda x: pd.DataFrame(x), "DataFrame"),
    ],
    ids=["list", "vector", "int64", "3d", "dataframe"],
)
def test_exog_must_be_float64_matrix(parts, bad, type_name):
    params, cov, X, names = parts
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(FakeResults(params, cov, bad(X), names))
    assert str(excinfo.value) == "'" + type_name + PYARRAY


class CountingResults:
    def __init__(self, params, cov, exog, names):
        self.params = params
        self._cov = cov
        self._inner = FakeModel(exog, names)
        self.model_reads = 0

    def cov_params(self):
        return self._cov

    @property
    def model(self):
        self.model_reads += 1
        return self._inner


def test_model_is_read_twice(parts):
    obj = CountingResults(*parts)
    table_of(obj)
    assert obj.model_reads == 2


def test_read_order(parts):
    obj = RecordingResults(*parts)
    table_of(obj)
    assert obj.log == FULL_READ


@pytest.mark.parametrize(
    "break_at, exc_type, log",
    [
        ("params", TypeError, ["params"]),
        ("cov", TypeError, ["params", "cov_params", "cov_params()"]),
        ("names", TypeError, ["params", "cov_params", "cov_params()", "model", "model.exog_names"]),
        ("exog", TypeError, FULL_READ),
    ],
)
def test_first_failing_read_is_reported(parts, break_at, exc_type, log):
    params, cov, X, names = parts
    # everything from break_at onwards is broken; only the first may be reported
    order = ["params", "cov", "names", "exog"]
    broken = order[order.index(break_at):]
    obj = RecordingResults(
        [0.0] if "params" in broken else params,
        [[0.0]] if "cov" in broken else cov,
        [[0.0]] if "exog" in broken else X,
        42 if "names" in broken else names,
    )
    with pytest.raises(exc_type) as excinfo:
        kestrum.ame(obj)
    expected = {
        "params": "'list" + PYARRAY,
        "cov": "'list" + PYARRAY,
        "names": "'int' object cannot be converted to 'Sequence'",
        "exog": "'list" + PYARRAY,
    }[break_at]
    assert str(excinfo.value) == expected
    assert obj.log == log


def test_missing_attributes(parts):
    params, cov, X, names = parts

    class NoCov:
        pass

    obj = NoCov()
    obj.params = params
    with pytest.raises(AttributeError):
        kestrum.ame(obj)

    class NoModel:
        def cov_params(self):
            return cov

    obj = NoModel()
    obj.params = params
    with pytest.raises(AttributeError):
        kestrum.ame(obj)

    obj = FakeResults(*parts)
    del obj.model.exog_names
    with pytest.raises(AttributeError):
        kestrum.ame(obj)

    obj = FakeResults(*parts)
    del obj.model.exog
    with pytest.raises(AttributeError):
        kestrum.ame(obj)

    with pytest.raises(AttributeError):
        kestrum.ame(None)


def test_cov_params_must_be_callable(parts):
    params, cov, X, names = parts
    obj = FakeResults(*parts)
    obj.cov_params = cov
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(obj)
    assert "not callable" in str(excinfo.value)


class Boom(Exception):
    pass


def test_exceptions_from_the_model_pass_through(parts):
    err = Boom("cov_params failed")

    class Failing(FakeResults):
        def cov_params(self):
            raise err

    with pytest.raises(Boom) as excinfo:
        kestrum.ame(Failing(*parts))
    assert excinfo.value is err

    prop_err = Boom("params property failed")

    class FailingParams(FakeResults):
        @property
        def params(self):
            raise prop_err

        @params.setter
        def params(self, value):
            pass

    with pytest.raises(Boom) as excinfo:
        kestrum.ame(FailingParams(*parts))
    assert excinfo.value is prop_err


@pytest.mark.parametrize(
    "names, message",
    [
        ("abcdef", "Can't extract `str` to `Vec`"),
        (42, "'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, "'dict' object cannot be converted to 'Sequence'"),
        ((n for n in "abcdef"), "'generator' object cannot be converted to 'Sequence'"),
        (["const", "a", 3, "c", "d", "e"], "'int' object cannot be converted to 'PyString'"),
        (["const", "a", b"b", "c", "d", "e"], "'bytes' object cannot be converted to 'PyString'"),
    ],
    ids=["str", "int", "dict", "generator", "int-item", "bytes-item"],
)
def test_bad_names(parts, names, message):
    params, cov, X, _ = parts
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(FakeResults(params, cov, X, names))
    assert str(excinfo.value) == message


def test_names_iteration_error_passes_through(parts):
    params, cov, X, names = parts
    err = Boom("iteration failed")

    class Names:
        def __getitem__(self, i):
            return names[i]

        def __len__(self):
            return len(names)

        def __iter__(self):
            yield names[0]
            raise err

    with pytest.raises(Boom) as excinfo:
        kestrum.ame(FakeResults(params, cov, X, Names()))
    assert excinfo.value is err


# ---------------------------------------------------------------------------
# argument binding
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "ame() missing 1 required positional argument: 'probit_model'"),
        ((), {"chunk_size": 3}, "ame() missing 1 required positional argument: 'probit_model'"),
        ((1, 2, 3), {}, "ame() takes from 1 to 2 positional arguments but 3 were given"),
        ((1, 2, 3), {"foo": 1}, "ame() takes from 1 to 2 positional arguments but 3 were given"),
        ((1,), {"foo": 1}, "ame() got an unexpected keyword argument 'foo'"),
        ((1,), {"chunksize": 1}, "ame() got an unexpected keyword argument 'chunksize'"),
        ((1,), {"probit_model": 1}, "ame() got multiple values for argument 'probit_model'"),
        ((1, 2), {"chunk_size": 2}, "ame() got multiple values for argument 'chunk_size'"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as excinfo:
        kestrum.ame(*args, **kwargs)
    assert str(excinfo.value) == message


def test_probit_model_by_keyword(mixed):
    pd.testing.assert_frame_equal(kestrum.ame(probit_model=mixed), kestrum.ame(mixed))


# ---------------------------------------------------------------------------
# inconsistent shapes
# ---------------------------------------------------------------------------


SIZE_FAULTS = {
    "names-short": (lambda p, c, X, n: (p, c, X, n[:3]), "model.exog_names has 3 names"),
    "names-long": (lambda p, c, X, n: (p, c, X, n + ["extra"]), "model.exog_names has 7 names"),
    "names-long-constant-first": (lambda p, c, X, n: (p, c, X, n + ["const", "x"]), "model.exog_names has 8 names"),
    "cov-too-small": (lambda p, c, X, n: (p, c[:5, :5].copy(), X, n), "cov_params() is 5 x 5"),
    "cov-too-large": (lambda p, c, X, n: (p, spd(7, 1), X, n), "cov_params() is 7 x 7"),
    "cov-not-square": (lambda p, c, X, n: (p, c[:, :5].copy(), X, n), "cov_params() is 6 x 5"),
    "params-too-short": (lambda p, c, X, n: (p[:5].copy(), c, X, n), "params has 5 entries"),
    "params-too-long": (lambda p, c, X, n: (np.r_[p, 0.1], c, X, n), "params has 7 entries"),
    "params-short-no-rows": (lambda p, c, X, n: (p[:5].copy(), c, X[:0], n), "params has 5 entries"),
}


@pytest.mark.parametrize("fault", list(SIZE_FAULTS))
def test_inconsistent_sizes_are_refused(parts, fault):
    # they used to end in PanicException, or in an index out of bounds
    make, message = SIZE_FAULTS[fault]
    with pytest.raises(ValueError) as excinfo:
        kestrum.ame(FakeResults(*make(*parts)))
    assert str(excinfo.value) == message + " but model.exog has 6 columns"


def test_sizes_are_checked_before_anything_is_sized_by_k():
    # zero bytes of X but 2**31 columns: refused at once, nothing allocated
    obj = FakeResults(np.zeros(3), np.eye(3), np.empty((0, 2**31)), ["a", "b", "c"])
    with pytest.raises(ValueError, match=r"^params has 3 entries but model.exog has 2147483648 columns$"):
        kestrum.ame(obj)


# ---------------------------------------------------------------------------
# pandas not installed
# ---------------------------------------------------------------------------

NO_PANDAS_SCRIPT = textwrap.dedent(
    """
    import json, sys
    import numpy as np
    import kestrum

    assert "pandas" not in sys.modules
    how, case = sys.argv[1], sys.argv[2]
    log = []

    class NoPandas:
        def find_spec(self, name, path=None, target=None):
            if name == "pandas" or name.startswith("pandas."):
                log.append("import pandas")
                raise ModuleNotFoundError("No module named 'pandas'", name="pandas")
            return None

    if how == "finder":
        sys.meta_path.insert(0, NoPandas())
    else:
        sys.modules["pandas"] = None

    class Model:
        def __init__(self, exog, names):
            self._exog, self._names = exog, names

        @property
        def exog(self):
            log.append("model.exog")
            return self._exog

        @property
        def exog_names(self):
            log.append("model.exog_names")
            return self._names

    class Results:
        def __init__(self, params, cov, exog, names):
            self._params, self._cov, self._model = params, cov, Model(exog, names)

        @property
        def params(self):
            log.append("params")
            return self._params

        def cov_params(self):
            log.append("cov_params()")
            return self._cov

        @property
        def model(self):
            log.append("model")
            return self._model

    rng = np.random.default_rng(0)
    X = np.column_stack([np.ones(25), rng.normal(size=25), (rng.random(25) < 0.5).astype(float)])
    params, cov, names = np.array([0.1, 0.5, -0.3]), np.eye(3) * 0.01, ["const", "a", "b"]
    kwargs = {}
    if case == "bad-params":
        params = params.astype(np.int64)
    elif case == "short-names":
        names = ["const", "a"]
    elif case == "bad-cov-shape":
        cov = np.eye(2)
    elif case == "chunk-zero":
        kwargs["chunk_size"] = 0
    elif case == "chunk-one":
        kwargs["chunk_size"] = 1

    try:
        kestrum.ame(Results(params, cov, X, names), **kwargs)
        outcome = {"type": None}
    except BaseException as exc:
        outcome = {
            "type": type(exc).__name__,
            "is_import_error": isinstance(exc, ImportError),
            "message": str(exc),
        }
    outcome["log"] = log
    print(json.dumps(outcome))
    """
)

READS = ["params", "cov_params()", "model", "model.exog_names", "model", "model.exog"]


def run_without_pandas(how, case):
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(kestrum.__file__))
    env["PYTHONPATH"] = os.pathsep.join([module_dir] + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p])
    proc = subprocess.run(
        [sys.executable, "-c", NO_PANDAS_SCRIPT, how, case],
        capture_output=True,
        text=True,
        env=env,
        timeout=120,
    )
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.strip().splitlines()[-1])


@pytest.mark.parametrize("how", ["finder", "sys-modules"])
@pytest.mark.parametrize("case", ["ok", "chunk-one"])
def test_without_pandas_import_fails_after_the_computation(how, case):
    out = run_without_pandas(how, case)
    assert out["is_import_error"], out
    assert out["type"] in ("ImportError", "ModuleNotFoundError")
    if how == "finder":
        assert out["log"] == READS + ["import pandas"]
    else:
        assert out["log"] == READS


@pytest.mark.parametrize(
    "case, exc_type, message",
    [
        ("bad-params", "TypeError", "'ndarray" + PYARRAY),
        ("chunk-zero", "ValueError", "chunk_size must be at least 1"),
        ("short-names", "ValueError", "model.exog_names has 2 names but model.exog has 3 columns"),
        ("bad-cov-shape", "ValueError", "cov_params() is 2 x 2 but model.exog has 3 columns"),
    ],
)
def test_without_pandas_input_errors_come_first(case, exc_type, message):
    out = run_without_pandas("finder", case)
    assert out["type"] == exc_type, out
    assert out["message"] == message
    assert "import pandas" not in out["log"]
