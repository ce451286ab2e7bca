"""converged=True means a maximum: fits on messy designs against an accurate
reference MLE (log-space likelihood, damped Newton; reference_mle.py)."""

import warnings

import numpy as np
import pytest

import kestrum
from conftest import HESSIAN_SINGULAR_LINE
from reference_mle import distance_in_se, fit as reference_fit, loglike as reference_loglike

# A converged fit is within this many standard errors of the MLE.
SE_TOL = 1e-3


def fit_quietly(y, X, **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        return kestrum.fit_probit(y, X, **kw)


def probit_sample(rng, X, beta):
    return ((X @ beta + rng.normal(size=len(X))) > 0).astype(float)


def ordinary_units(rng, n=400):
    age = rng.uniform(18, 75, n)
    X = np.column_stack([np.ones(n), age])
    return X, probit_sample(rng, X, np.array([-3.0, 0.06]))


def assert_at_maximum(r, y, X, reference, loglike_tol=1e-6):
    """The fit is a maximiser: its l (recomputed in log space) is the maximum
    to within the default tol (the gap is about half the Newton decrement)."""
    assert r.converged is True
    assert reference_loglike(y, X, r.params) == pytest.approx(reference.loglike, abs=loglike_tol)
    assert r.loglike == pytest.approx(reference_loglike(y, X, r.params), rel=1e-12, abs=1e-12)


@pytest.mark.parametrize("extra", ["zero", "duplicate"])
def test_zero_or_duplicated_column_next_to_ordinary_units(extra):
    rng = np.random.default_rng(1)
    X, y = ordinary_units(rng)
    added = np.zeros(len(y)) if extra == "zero" else X[:, 1]
    Z = np.column_stack([X, added])
    with pytest.warns(RuntimeWarning, match="^" + HESSIAN_SINGULAR_LINE + ": columns involved: x") as caught:
        r = kestrum.fit_probit(y, Z)
    involved = {"zero": "x2.", "duplicate": "x1, x2."}[extra]
    assert involved in str(caught[0].message)
    reference = reference_fit(y, X)
    assert_at_maximum(r, y, Z, reference)
    # the identified part of the fit: the linear index
    np.testing.assert_allclose(Z @ r.params, X @ reference.params, rtol=1e-3, atol=1e-3)


@pytest.mark.parametrize("scale", [1e-8, 1e-10, 1e10])
def test_regressors_in_extreme_units(scale):
    rng = np.random.default_rng(2)
    n = 2000
    x = rng.normal(size=(n, 2))
    X = np.column_stack([np.ones(n), x * scale])
    y = probit_sample(rng, X, np.array([0.2, 0.8 / scale, -0.5 / scale]))
    r = kestrum.fit_probit(y, X)
    reference = reference_fit(y, X)
    assert r.converged is True
    assert distance_in_se(r.params, reference) < SE_TOL
    se = np.sqrt(np.diag(r.cov_params()))
    np.testing.assert_allclose(se, reference.standard_errors(), rtol=1e-3)


@pytest.mark.parametrize("design", ["one_tail_outlier", "flipped_extremes"])
def test_misclassified_observations_far_in_the_tail(design):
    rng = np.random.default_rng(3)
    if design == "one_tail_outlier":
        x = rng.normal(size=1000)
        X = np.column_stack([np.ones(1001), np.append(x, -10.0)])
        y = np.append(probit_sample(rng, X[:-1], np.array([0.0, 1.0])), 1.0)
    else:
        x = rng.normal(size=1000)
        X = np.column_stack([np.ones(1000), x])
        y = probit_sample(rng, X, np.array([0.0, 6.0]))
        extremes = np.argsort(np.abs(x))[-3:]
        y[extremes] = 1.0 - y[extremes]
    r = kestrum.fit_probit(y, X)
    reference = reference_fit(y, X)
    assert distance_in_se(r.params, reference) < SE_TOL
    assert_at_maximum(r, y, X, reference)


@pytest.mark.parametrize("design", ["dummy_trap", "sum_of_columns"])
def test_exact_collinearity_is_detected(design):
    rng = np.random.default_rng(4)
    n = 500
    if design == "dummy_trap":
        d = (rng.random(n) < 0.4).astype(float)
        x = rng.normal(size=n)
        X = np.column_stack([np.ones(n), d, 1.0 - d, x])
        names = "x0, x1, x2."
    else:
        x1, x2 = rng.normal(size=n) * 3.1, rng.normal(size=n) * 0.7
        X = np.column_stack([np.ones(n), x1, x2, x1 + x2])
        names = "x1, x2, x3."
    y = probit_sample(rng, X, np.array([0.3, 0.5, -0.4, 0.2]))
    with pytest.warns(RuntimeWarning, match="^" + HESSIAN_SINGULAR_LINE) as caught:
        r = kestrum.fit_probit(y, X)
    assert names in str(caught[0].message)
    assert np.all(np.isnan(r.cov_params()))
    assert_at_maximum(r, y, X, reference_fit(y, X))


@pytest.mark.parametrize("design", ["complete", "quasi_complete", "constant_outcome", "more_columns_than_rows"])
def test_no_maximum_is_never_reported_as_converged(design):
    rng = np.random.default_rng(5)
    n = 200
    x = rng.normal(size=n)
    X = np.column_stack([np.ones(n), x])
    if design == "complete":
        y = (x > 0).astype(float)
    elif design == "quasi_complete":
        d = (rng.random(n) < 0.1).astype(float)
        X = np.column_stack([X, d])
        y = probit_sample(rng, X[:, :2], np.array([0.0, 1.0]))
        y[d == 1] = 1.0
    elif design == "constant_outcome":
        y = np.ones(n)
    else:
        X = rng.normal(size=(10, 14))
        y = (rng.random(10) < 0.5).astype(float)
    for tol in (1e-6, 1e-10):
        with pytest.warns(RuntimeWarning, match=r"^Perfect separation: \d+ observations are perfectly predicted"):
            r = kestrum.fit_probit(y, X, tol=tol)
        assert r.converged is False


def test_rare_events_converge_at_the_maximum():
    # about 1 in 10^4 ones: the change in l alone used to stop on stalled steps
    rng = np.random.default_rng(6)
    n = 100_000
    for _ in range(8):
        X = np.column_stack([np.ones(n), rng.normal(size=(n, 3))])
        y = probit_sample(rng, X, np.array([-3.9, 0.3, -0.2, 0.1]))
        r = kestrum.fit_probit(y, X)
        assert r.converged is True
        assert distance_in_se(r.params, reference_fit(y, X)) < SE_TOL


def test_tiny_tol_at_large_n_converges():
    # tol below the rounding of l (about 1e-10 here) is met at that rounding
    rng = np.random.default_rng(7)
    n = 1_000_000
    X = np.column_stack([np.ones(n), rng.normal(size=(n, 2))])
    y = probit_sample(rng, X, np.array([0.1, 0.5, -0.3]))
    r = kestrum.fit_probit(y, X, tol=1e-12)
    assert r.converged is True
    assert distance_in_se(r.params, reference_fit(y, X)) < SE_TOL


def test_heavy_tailed_regressors_converge_within_the_default_limit():
    rng = np.random.default_rng(8)
    outcomes = []
    for _ in range(32):
        X = np.column_stack([np.ones(1000), rng.standard_t(1, size=(1000, 5))])
        y = probit_sample(rng, X, rng.normal(0.0, 0.5, 6))
        r = fit_quietly(y, X)
        if r.converged:
            assert distance_in_se(r.params, reference_fit(y, X)) < SE_TOL
        outcomes.append(r.converged)
    assert np.mean(outcomes) >= 0.95


def random_design(rng):
    """n from 50 to 1e5 (log-uniform), k from 1 to 60, columns in units from
    1e-6 to 1e6, a share of 0/1 columns, and a constant most of the time."""
    n = int(np.exp(rng.uniform(np.log(50), np.log(1e5))))
    k = int(rng.integers(1, min(60, n // 8) + 1))
    columns = []
    for j in range(k):
        if j == 0 and rng.random() < 0.8:
            columns.append(np.ones(n))
        elif rng.random() < 0.3:
            columns.append((rng.random(n) < rng.uniform(0.05, 0.95)).astype(float))
        else:
            columns.append(rng.normal(rng.normal(), 1.0, n) * 10.0 ** rng.uniform(-6, 6))
    X = np.column_stack(columns)
    scale = np.where(X.std(axis=0) > 0, X.std(axis=0), np.abs(X).max(axis=0))
    beta = rng.normal(0.0, 0.6 / np.sqrt(k), k) / scale
    return probit_sample(rng, X, beta), X


def test_sweep_of_well_posed_designs():
    rng = np.random.default_rng(9)
    distances = []
    for _ in range(200):
        y, X = random_design(rng)
        if y.min() == y.max():
            continue
        r = fit_quietly(y, X)
        d = distance_in_se(r.params, reference_fit(y, X))
        assert not (r.converged and d > SE_TOL), f"converged {d:.3g} SE from the MLE (n, k = {X.shape})"
        distances.append(d if r.converged else np.inf)
    assert len(distances) >= 190
    assert np.mean(np.array(distances) <= SE_TOL) >= 0.99
