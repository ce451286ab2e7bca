"""Estimates, log-likelihood and covariance of fit_probit, against
statsmodels, closed forms and invariances of the probit model."""

import math

import numpy as np
import pytest
from scipy.stats import norm

import kestrum
from statsmodels.discrete.discrete_model import Probit as sm_probit
from conftest import (
    HESSIAN_SINGULAR_LINE,
    TIGHT,
    assert_cov_close,
    assert_params_close,
    simulate,
    statsmodels_fit,
)

LN_HALF = math.log(0.5)

# With TIGHT options the theory bound is ~1.4e-5 standard errors for the
# coefficients (see conftest); 1e-4 leaves room without hiding a real miss.
PARAM_SE_TOL = 1e-4
# The covariance moves with the coefficients: an error of 1e-5 standard
# errors in beta changes V by a similar relative amount.
COV_TOL = 1e-4
# |loglike - max| after |change| < 1e-10; 1e-8 absorbs summation-order noise
# on a few thousand terms.
LLF_TOL = 1e-8


fit = kestrum.fit_probit


def assert_identical(a, b):
    np.testing.assert_array_equal(a.params, b.params)
    np.testing.assert_array_equal(a.cov_params(), b.cov_params())
    np.testing.assert_array_equal(a.model.exog, b.model.exog)
    np.testing.assert_array_equal(a.model.endog, b.model.endog)
    assert a.loglike == b.loglike
    assert a.iterations == b.iterations
    assert a.converged is b.converged


# ---------------------------------------------------------------- Spector data


def test_spector_matches_published_probit_coefficients(spector):
    # Published to four decimals, so the honest tolerance is half a unit in
    # the last digit. Default options.
    y, X = spector
    r = fit(y, X)
    assert r.converged is True
    np.testing.assert_allclose(r.params, [-7.4523, 1.6258, 0.0517, 1.4263], rtol=0, atol=5e-5)


@pytest.mark.parametrize("robust", [False, True], ids=["nonrobust", "HC0"])
def test_spector_matches_statsmodels(spector, robust):
    y, X = spector
    ref = statsmodels_fit(y, X, cov_type="HC0" if robust else "nonrobust")
    base = statsmodels_fit(y, X)
    r = fit(y, X, robust=robust, **TIGHT)
    assert r.converged is True
    assert r.iterations < TIGHT["max_iter"] - 1
    assert_params_close(r.params, base.params, base.cov_params(), PARAM_SE_TOL)
    assert r.loglike == pytest.approx(base.llf, abs=LLF_TOL)
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)


def test_spector_default_options_reach_the_maximum(spector):
    y, X = spector
    ref = statsmodels_fit(y, X)
    r = fit(y, X)
    assert r.converged is True and r.iterations < 34
    # default tol 1e-6 on the change of loglike: the remaining gap is of that
    # order, i.e. about 1e-3 standard errors in the coefficients
    assert_params_close(r.params, ref.params, ref.cov_params(), 1e-2)
    assert ref.llf - 1e-6 <= r.loglike <= ref.llf + 1e-9


# ---------------------------------------------------------------- simulated designs


@pytest.mark.parametrize("robust", [False, True], ids=["nonrobust", "HC0"])
@pytest.mark.parametrize("n", [150, 2000])
@pytest.mark.parametrize("seed", [0, 1, 2])
def test_simulated_badly_scaled_designs_match_statsmodels(seed, n, robust):
    y, X, _ = simulate(seed, n)
    base = statsmodels_fit(y, X)
    ref = statsmodels_fit(y, X, cov_type="HC0") if robust else base
    r = fit(y, X, robust=robust, **TIGHT)
    assert r.converged is True
    assert_params_close(r.params, base.params, base.cov_params(), PARAM_SE_TOL)
    assert r.loglike == pytest.approx(base.llf, abs=LLF_TOL)
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)


@pytest.mark.parametrize("seed", [3, 4, 5, 6])
def test_simulated_default_options_converge_near_the_maximum(seed):
    y, X, _ = simulate(seed, 600)
    ref = statsmodels_fit(y, X)
    r = fit(y, X)
    assert r.converged is True
    assert r.iterations < 34
    assert_params_close(r.params, ref.params, ref.cov_params(), 1e-2)
    assert ref.llf - 1e-6 <= r.loglike <= ref.llf + 1e-9


@pytest.mark.parametrize("p_hat, n", [(0.5, 200), (0.3, 200), (0.9, 150), (0.02, 500)])
@pytest.mark.parametrize("robust", [False, True])
def test_constant_only_model_closed_form(p_hat, n, robust):
    # MLE: Phi(b) = mean(y); observed information at the MLE equals
    # n*phi(b)^2 / (p(1-p)), and so does the HC0 meat, hence both variances
    # are p(1-p) / (n phi(b)^2).
    ones = round(p_hat * n)
    y = np.zeros(n)
    y[np.random.default_rng(n).choice(n, ones, replace=False)] = 1.0
    p = ones / n
    b = norm.ppf(p)
    var = p * (1 - p) / (n * norm.pdf(b) ** 2)
    llf = ones * math.log(p) + (n - ones) * math.log(1 - p)
    r = fit(y, np.ones((n, 1)), robust=robust, **TIGHT)
    assert r.converged is True
    assert abs(r.params[0] - b) <= PARAM_SE_TOL * math.sqrt(var)
    assert r.loglike == pytest.approx(llf, abs=LLF_TOL)
    assert r.cov_params()[0, 0] == pytest.approx(var, rel=COV_TOL)


# ---------------------------------------------------------------- same point, independent formulas


def _design(n, k, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.normal(size=(n, k - 1))]) if k > 1 else np.ones((n, 1))
    beta = rng.normal(0.0, 0.6, k)
    y = (X @ beta + rng.normal(size=n) > 0).astype(float)
    return y, X


# Sizes chosen around and away from powers of two, and column counts from 1
# to 37, so that every blocking of rows or columns (4, 8 and 16 wide) has a
# partial tail.
SHAPES = [(97, 1), (64, 2), (65, 3), (257, 4), (1000, 5), (503, 7), (1001, 9), (700, 17), (900, 28), (1200, 37)]


@pytest.mark.parametrize("n, k", SHAPES)
def test_results_equal_statsmodels_formulas_at_the_returned_point(n, k):
    # Evaluate statsmodels' own loglike, Hessian and per-observation scores at
    # kestrum's coefficients: the comparison is then free of any optimizer
    # tolerance and only rounding remains.
    y, X = _design(n, k, seed=n + k)
    g = np.arange(n) % 11
    model = sm_probit(y, X)
    r0 = fit(y, X, **TIGHT)
    b = r0.params
    assert r0.converged is True
    assert r0.loglike == pytest.approx(model.loglike(b), rel=1e-12)
    Hinv = np.linalg.inv(model.hessian(b))
    assert_cov_close(r0.cov_params(), -Hinv, 1e-9)

    S = model.score_obs(b)
    hc0 = Hinv @ (S.T @ S) @ Hinv
    assert_cov_close(fit(y, X, robust=True, **TIGHT).cov_params(), hc0, 1e-9)

    sums = np.array([S[g == c].sum(axis=0) for c in range(11)])
    clustered = Hinv @ (sums.T @ sums) @ Hinv
    r = fit(y, X, robust=True, cluster_vars=g.astype(float).reshape(-1, 1), **TIGHT)
    assert_cov_close(r.cov_params(), clustered, 1e-9)

    # and the point itself is the maximum
    ref = statsmodels_fit(y, X)
    assert_params_close(b, ref.params, ref.cov_params(), PARAM_SE_TOL)


def far_tail_design():
    # Two outcomes that are nearly impossible at the estimate (signed index
    # around -7.5 and -7.0, probabilities ~1e-13) make Phi and phi/Phi work
    # deep in the tail, still inside the clipping bounds.
    rng = np.random.default_rng(1)
    n = 4000
    x = rng.normal(0.0, 2.0, n)
    y = (0.3 + 3.0 * x + rng.normal(size=n) > 0).astype(float)
    x[:2] = [3.0, -3.0]
    y[:2] = [0.0, 1.0]
    return y, np.column_stack([np.ones(n), x])


@pytest.mark.parametrize("tol", [1e-1, 1e-3, 1e-6, 1e-9, 1e-12, 0.0])
@pytest.mark.parametrize("max_iter", [3, 6, 500])
@pytest.mark.parametrize("robust", [False, True], ids=["nonrobust", "HC0"])
@pytest.mark.parametrize("design", ["simulated", "far-tail"])
def test_covariance_is_taken_at_the_returned_point(design, robust, max_iter, tol):
    # Whether the last step of the fit is foreseen (and its pass also gives the
    # Hessian and the meat) or not, and whether that step is then shortened,
    # the covariance is the one at the params returned.
    y, X = simulate(5, n=3000)[:2] if design == "simulated" else far_tail_design()
    r = fit(y, X, robust=robust, max_iter=max_iter, tol=tol)
    model = sm_probit(y, X)
    bread = np.linalg.inv(model.hessian(r.params))
    if robust:
        scores = model.score_obs(r.params)
        expected = bread @ (scores.T @ scores) @ bread
    else:
        expected = -bread
    assert_cov_close(r.cov_params(), expected, 1e-9)


def test_far_tail_observations_at_the_returned_point():
    y, X = far_tail_design()
    model = sm_probit(y, X)
    r = fit(y, X, **TIGHT)
    z = (2 * y - 1) * (X @ r.params)
    assert -7.9 < z.min() < -7.0  # the design does reach the tail
    assert r.loglike == pytest.approx(model.loglike(r.params), rel=1e-12)
    assert_cov_close(r.cov_params(), -np.linalg.inv(model.hessian(r.params)), 1e-9)
    ref = statsmodels_fit(y, X)
    assert_params_close(r.params, ref.params, ref.cov_params(), PARAM_SE_TOL)


@pytest.mark.parametrize(
    "recode, shape, found",
    [
        (lambda y: 2 * y - 1, (32,), "-1.0 at row 0"),  # coded -1/1
        (lambda y: 2 * y, (32,), "2.0 at row 4"),  # coded 0/2 (row 4 is the first 1)
        (lambda y: np.where(np.arange(32) == 9, 0.5, y), (32,), "0.5 at row 9"),
        (lambda y: np.where(np.arange(32) == 17, np.nan, y), (32, 1), "nan at row 17"),
        (lambda y: np.where(np.arange(32) >= 30, -np.inf, y), (32, 1), "-inf at row 30"),
        (lambda y: y + 1e-12, (32,), "1e-12 at row 0"),
    ],
    ids=["minus-one", "two", "half", "nan-column", "inf-column", "near-zero"],
)
def test_outcomes_other_than_0_and_1_are_refused(spector, recode, shape, found):
    # fitted as 2y - 1, such outcomes used to give estimates of nothing
    y, X = spector
    with pytest.raises(ValueError) as info:
        fit(recode(y).reshape(shape), X)
    assert str(info.value) == "endog must hold only 0 and 1: found " + found


# ---------------------------------------------------------------- invariances


def test_swapping_labels_negates_coefficients(spector):
    y, X = spector
    ref = statsmodels_fit(y, X)
    a = fit(y, X, **TIGHT)
    b = fit(1.0 - y, X, **TIGHT)
    assert_params_close(-b.params, a.params, ref.cov_params(), 2 * PARAM_SE_TOL)
    assert b.loglike == pytest.approx(a.loglike, abs=LLF_TOL)
    assert_cov_close(b.cov_params(), a.cov_params(), 2 * COV_TOL)


@pytest.mark.parametrize("scale", [1e-6, 1e4, -3.0])
def test_rescaling_a_regressor_rescales_its_coefficient(scale):
    y, X, _ = simulate(7, 500)
    ref = statsmodels_fit(y, X)
    a = fit(y, X, **TIGHT)
    Xs = X.copy()
    Xs[:, 5] *= scale
    b = fit(y, Xs, **TIGHT)
    back = b.params.copy()
    back[5] *= scale
    assert_params_close(back, a.params, ref.cov_params(), 2 * PARAM_SE_TOL)
    assert b.loglike == pytest.approx(a.loglike, abs=LLF_TOL)


def test_row_order_does_not_change_the_estimate(spector):
    y, X = spector
    perm = np.random.default_rng(1).permutation(len(y))
    ref = statsmodels_fit(y, X)
    a = fit(y, X, robust=True, **TIGHT)
    b = fit(y[perm], X[perm], robust=True, **TIGHT)
    assert_params_close(b.params, a.params, ref.cov_params(), 2 * PARAM_SE_TOL)
    assert_cov_close(b.cov_params(), a.cov_params(), 2 * COV_TOL)


# ---------------------------------------------------------------- iteration control


@pytest.mark.parametrize("robust", [False, True])
def test_max_iter_zero_returns_the_starting_point(spector, robust):
    # At beta = 0 every lambda_i^2 = 2/pi and eta_i = 0, so the Hessian is
    # -(2/pi) X'X and the HC0 meat is (2/pi) X'X: both covariances equal
    # (pi/2) (X'X)^-1.
    y, X = spector
    r = fit(y, X, max_iter=0, robust=robust)
    np.testing.assert_array_equal(r.params, np.zeros(4))
    assert r.loglike == pytest.approx(len(y) * LN_HALF, rel=1e-14)
    assert r.iterations == 0
    assert r.converged is False
    expected = (math.pi / 2) * np.linalg.inv(X.T @ X)
    assert_cov_close(r.cov_params(), expected, 1e-9)


@pytest.mark.parametrize("max_iter", [1, 2, 7])
@pytest.mark.parametrize("tol", [0.0, -1.0, float("nan")])
def test_tolerance_that_cannot_be_met_runs_to_the_limit(spector, max_iter, tol):
    y, X = spector
    r = fit(y, X, max_iter=max_iter, tol=tol)
    assert r.iterations == max_iter - 1
    assert r.converged is False


def test_largest_max_iter_is_accepted(spector):
    y, X = spector
    r = fit(y, X, max_iter=2**64 - 1)
    assert r.converged is True
    assert r.iterations < 100


def test_default_max_iter_is_35():
    # separated data: l increases at every step by a fixed fraction of |l|,
    # so with a negligible tol only the limit stops the fit
    x = np.linspace(-1.0, 1.0, 40)
    X = np.column_stack([np.ones_like(x), x])
    with pytest.warns(RuntimeWarning, match="Perfect separation"):
        r = fit((x > 0).astype(float), X, tol=1e-300)
    assert r.iterations == 34 and r.converged is False


def test_zero_tol_never_converges_and_stops_at_the_maximum(spector):
    # with tol=0 the fit runs until the limit or until no step increases l
    y, X = spector
    ref = statsmodels_fit(y, X)
    r = fit(y, X, max_iter=60, tol=0.0)
    assert r.converged is False and r.iterations < 59
    assert_params_close(r.params, ref.params, ref.cov_params(), PARAM_SE_TOL)


def test_infinite_tolerance_converges_in_the_first_iteration(spector):
    y, X = spector
    r = fit(y, X, tol=float("inf"))
    assert r.iterations == 0 and r.converged is True
    # the first step has been taken: the fit moved uphill from beta = 0
    assert np.any(r.params != 0)
    assert r.loglike > len(y) * LN_HALF


def test_iteration_count_grows_with_tighter_tolerance(spector):
    y, X = spector
    loose = fit(y, X, tol=1e-2)
    tight = fit(y, X, **TIGHT)
    assert loose.converged and tight.converged
    assert loose.iterations < tight.iterations
    assert loose.loglike <= tight.loglike + 1e-12


# ---------------------------------------------------------------- degenerate shapes


@pytest.mark.parametrize("k", [1, 3])
@pytest.mark.parametrize("robust, clustered", [(False, False), (True, False), (True, True)])
def test_empty_sample(k, robust, clustered):
    kw = {"robust": robust}
    if clustered:
        kw["cluster_vars"] = np.zeros((0, 1))
    with pytest.warns(RuntimeWarning, match="^" + HESSIAN_SINGULAR_LINE) as caught:
        r = fit(np.zeros(0), np.zeros((0, k)), **kw)
    assert len(caught) == 1
    np.testing.assert_array_equal(r.params, np.zeros(k))
    assert r.loglike == 0.0
    assert r.iterations == 0
    assert r.converged is True
    cov = r.cov_params()
    assert cov.shape == (k, k) and np.all(np.isnan(cov))
    assert r.model.exog.shape == (0, k) and r.model.endog.shape == (0,)


@pytest.mark.parametrize("n", [0, 1, 17])
@pytest.mark.parametrize("robust", [False, True])
def test_no_regressors(capfd, n, robust):
    y = (np.arange(n) % 2).astype(float)
    r = fit(y, np.zeros((n, 0)), robust=robust)
    assert r.params.shape == (0,)
    assert r.cov_params().shape == (0, 0)
    assert r.loglike == pytest.approx(n * LN_HALF, rel=1e-14, abs=0.0)
    assert r.iterations == 0
    assert r.converged is True
    assert r.model.exog_names == []
    assert capfd.readouterr().err == ""


# ---------------------------------------------------------------- argument forms


@pytest.mark.parametrize("robust", [False, True])
def test_endog_vector_and_column_give_identical_results(spector, robust):
    y, X = spector
    a = fit(y, X, robust=robust)
    b = fit(y.reshape(-1, 1), X, robust=robust)
    c = fit(np.column_stack([y, 1 - y])[:, :1], X, robust=robust)
    assert b.model.endog.ndim == 1
    assert_identical(a, b)
    assert_identical(a, c)


def test_none_options_equal_omitted_and_explicit_defaults(spector):
    y, X = spector
    omitted = fit(y, X)
    with pytest.warns(UserWarning, match="^cluster_vars is ignored without robust=True"):
        ignored = fit(y, X, robust=False, cluster_vars=np.zeros((3, 3)))
    for r in (
        fit(y, X, None, None, None, None),
        fit(y, X, max_iter=None, tol=None, robust=None, cluster_vars=None),
        fit(y, X, 35, 1e-6, False),
        ignored,
    ):
        assert_identical(r, omitted)


def test_robust_with_cluster_vars_none_is_plain_robust(spector):
    y, X = spector
    assert_identical(fit(y, X, robust=True, cluster_vars=None), fit(y, X, robust=True))


def test_positional_and_keyword_calls_agree(spector):
    y, X = spector
    g = (np.arange(len(y)) % 5).astype(float).reshape(-1, 1)
    a = fit(y, X, 50, 1e-9, True, g)
    b = kestrum.fit_probit(cluster_vars=g, robust=True, tol=1e-9, max_iter=50, exog_py=X, endog_py=y)
    c = kestrum.fit_probit(y, X, 50, tol=1e-9, cluster_vars=g, robust=True)
    assert_identical(a, b)
    assert_identical(a, c)


def test_repeated_calls_are_deterministic(spector):
    y, X = spector
    assert_identical(fit(y, X, robust=True), fit(y, X, robust=True))


# ---------------------------------------------------------------- numerical trouble


@pytest.mark.parametrize("robust, clustered", [(False, False), (True, False), (True, True)])
def test_zero_column_gives_nan_covariance_and_one_warning(spector, capfd, robust, clustered):
    y, X = spector
    Z = np.column_stack([X[:, :2], np.zeros(len(y)), X[:, 2:]])
    kw = dict(robust=robust, **TIGHT)
    if clustered:
        kw["cluster_vars"] = (np.arange(len(y)) % 4).astype(float).reshape(-1, 1)
    with pytest.warns(RuntimeWarning, match="^" + HESSIAN_SINGULAR_LINE + ": columns involved: x2\\.") as caught:
        r = fit(y, Z, **kw)
    assert len(caught) == 1 and capfd.readouterr().err == ""
    cov = r.cov_params()
    assert cov.shape == (5, 5) and np.all(np.isnan(cov))
    # the other coefficients are the MLE of the model without that column
    ref = statsmodels_fit(y, X)
    assert r.converged is True
    assert r.params[2] == 0.0
    assert_params_close(np.delete(r.params, 2), ref.params, ref.cov_params(), PARAM_SE_TOL)
    assert r.loglike == pytest.approx(ref.llf, abs=LLF_TOL)


def test_regular_fit_writes_nothing_to_stderr(spector, capfd):
    fit(*spector, robust=True)
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("value, text", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")])
@pytest.mark.parametrize(
    "layout", [np.ascontiguousarray, np.asfortranarray, lambda X: np.ascontiguousarray(X[::-1])[::-1]],
    ids=["C", "F", "reversed"],
)
def test_non_finite_regressors_are_refused(spector, value, text, layout):
    # They used to give NaN coefficients with a finite log-likelihood. The
    # first one in row order is named, whatever the memory order.
    y, X = spector
    X = X.copy()
    X[5, 2] = value
    X[7, 1] = value
    X[5, 3] = np.nan
    with pytest.raises(ValueError) as info:
        fit(y, layout(X), max_iter=20)
    assert str(info.value) == f"exog must be finite: found {text} at row 5, column 2"
