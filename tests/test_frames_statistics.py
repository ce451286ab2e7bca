"""The normal-theory statistics of every table (se, z, two-sided p, the
interval, the significance labels) and the constant-name rule, shared by
kestrum.ame and kestrum_frames through the native module: against numpy and
scipy written here, and the frames' results against statsmodels."""

import numpy as np
import pandas as pd
import pytest
from scipy import special

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
smf = pytest.importorskip("statsmodels.formula.api")
native = kf._native

# Variances with every kind the rule tells apart: positive, zero, negative, NaN, infinite.
VARIANCES = np.array([4.0, 1e-300, 0.0, -0.0, -2.5, np.nan, np.inf, -np.inf, 0.25, 9.0])
ESTIMATES = np.array([1.0, 3.0, 2.0, -1.0, 0.5, 1.0, 2.0, 1.0, -40.0, 0.0])


def expected_statistics(estimates, variances, alpha):
    """se = sqrt(v), 0 for a finite v <= 0, NaN otherwise; z = b / se (NaN when
    se is 0); p = 2 Phi(-|z|); b -/+ Phi^-1(1 - alpha/2) se."""
    finite = np.isfinite(variances)
    se = np.sqrt(np.where(finite & (variances <= 0), 0.0, np.where(variances == -np.inf, np.nan, variances)))
    with np.errstate(divide="ignore", invalid="ignore"):
        z = np.where(se > 0, estimates / se, np.nan)
    q = -special.ndtri(alpha / 2.0)  # = Phi^-1(1 - alpha/2), without the rounding of 1 - alpha/2
    return {"se": se, "z": z, "p": 2.0 * special.ndtr(-np.abs(z)), "low": estimates - q * se,
            "high": estimates + q * se}


@pytest.mark.parametrize("alpha", [0.05, 0.1, 0.01, 0.5, 1e-8])
def test_statistics_from_variances_follow_the_rule(alpha):
    got = native.delta_method(ESTIMATES, VARIANCES, alpha=alpha)
    want = expected_statistics(ESTIMATES, VARIANCES, alpha)
    np.testing.assert_array_equal(got["se"], want["se"])
    np.testing.assert_array_equal(got["z"], want["z"])
    np.testing.assert_allclose(got["p"], want["p"], rtol=1e-13, atol=0)  # erfc here, ndtr there
    for bound in ("low", "high"):
        np.testing.assert_allclose(got[bound], want[bound], rtol=2e-15, atol=0)
    assert np.isnan(got["p"][[2, 3, 4, 5, 7]]).all()  # no p from an unknown or zero error


def test_statistics_from_the_jacobian_are_those_of_diag_j_v_jt():
    rng = np.random.default_rng(5)
    k, rows = 6, 40
    A = rng.normal(size=(k, k))
    cov = A @ A.T
    jacobians = rng.normal(size=(rows, k))
    estimates = rng.normal(size=rows)
    got = native.delta_method(estimates, jacobians=jacobians, cov=cov)
    variances = np.einsum("ij,jk,ik->i", jacobians, cov, jacobians)
    np.testing.assert_allclose(got["se"], np.sqrt(variances), rtol=1e-13)
    np.testing.assert_allclose(got["p"], 2.0 * special.ndtr(-np.abs(estimates / np.sqrt(variances))), rtol=1e-12)
    # A covariance that is not positive semi-definite gives negative variances: se 0, z and p NaN.
    negative = native.delta_method(estimates, jacobians=jacobians, cov=-cov)
    np.testing.assert_array_equal(negative["se"], np.zeros(rows))
    assert np.isnan(negative["z"]).all() and np.isnan(negative["p"]).all()


@pytest.mark.parametrize("alpha", [0.05, 0.1, 0.01, 0.32, 0.999, 1e-6, 1e-20, 1e-300])
def test_interval_half_width_is_the_normal_quantile(alpha):
    low, high = native.normal_interval(np.array([0.0, 1.0]), np.array([1.0, 2.0]), alpha)
    q = -special.ndtri(alpha / 2.0)
    np.testing.assert_allclose(high, [q, 1.0 + 2.0 * q], rtol=2e-15)
    np.testing.assert_allclose(low, [-q, 1.0 - 2.0 * q], rtol=2e-15)


def test_interval_quantile_over_many_levels():
    alphas = np.concatenate([np.random.default_rng(2).uniform(0, 1, 2000), 10.0 ** -np.arange(1, 300, 7.0)])
    half = np.array([native.normal_interval(np.zeros(1), np.ones(1), a)[1][0] for a in alphas])
    np.testing.assert_allclose(half, -special.ndtri(alphas / 2.0), rtol=2e-15)


@pytest.mark.parametrize("call, error, match", [
    (lambda: native.delta_method(ESTIMATES), TypeError, "either variances, or jacobians and cov"),
    (lambda: native.delta_method(ESTIMATES, VARIANCES, np.eye(10), np.eye(10)), TypeError, "either"),
    (lambda: native.delta_method(ESTIMATES, VARIANCES[:3]), ValueError, "variances has 3 entries"),
    (lambda: native.delta_method(ESTIMATES, jacobians=np.ones((10, 2)), cov=np.eye(3)), ValueError, "cov has 3"),
    (lambda: native.delta_method(ESTIMATES, VARIANCES, alpha=1.0), ValueError, "alpha must be between 0 and 1"),
    (lambda: native.normal_interval(ESTIMATES, VARIANCES, alpha=float("nan")), ValueError, "alpha"),
    (lambda: native.normal_interval(ESTIMATES, VARIANCES[:2]), ValueError, "std_errors has 2 entries"),
    (lambda: native.delta_method([1.0], [1.0]), TypeError, "estimates"),
])
def test_bad_arguments_are_named(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_labels_at_and_either_side_of_the_thresholds():
    p, labels = [], []
    for below, label, looser in ((0.01, "***", "**"), (0.05, "**", "*"), (0.1, "*", "")):
        p += [np.nextafter(below, 0.0), below, np.nextafter(below, 1.0)]
        labels += [label, looser, looser]
    p += [0.0, 1.0, np.nan, 5e-324]
    labels += ["***", "", "", "***"]
    assert native.significance_labels(np.array(p)) == labels
    assert native.SIGNIFICANCE_LEVELS == ((0.01, "***"), (0.05, "**"), (0.1, "*"))
    assert kf.tables.STARS_NOTE == "* p<0.1, ** p<0.05, *** p<0.01"


def test_constant_names_as_kestrum_ame_leaves_them_out():
    names = ["const", "Intercept", "INTERCEPT", "CoNsT", "constant", "const ", "x", "intercept_2", ""]
    assert native.constant_names(names) == [True, True, True, True, False, False, False, False, False]
    with pytest.raises(TypeError):
        native.constant_names("const")


@pytest.fixture(scope="module")
def sample():
    rng = np.random.default_rng(11)
    n = 1500
    frame = pd.DataFrame({"x1": rng.normal(size=n), "x2": rng.normal(size=n), "d": rng.integers(0, 2, n),
                          "firm": rng.integers(0, 25, n)})
    # x2 barely matters, so its p-value is far from 0 and a one-sided p would differ clearly.
    frame["y"] = (0.6 * frame.x1 + 0.02 * frame.x2 - 0.4 * frame.d + rng.normal(size=n) > 0).astype(int)
    return frame


def test_coefficient_statistics_match_statsmodels(sample):
    formula = "y ~ x1 + x2 + d"
    ours = kf.fit_probit(formula, sample, npartitions=3)
    theirs = smf.probit(formula, sample).fit(disp=0)
    # The two maximisers stop about 1e-6 apart in beta, 3e-5 relative in the smallest z.
    np.testing.assert_allclose(ours.bse, theirs.bse, rtol=1e-6)
    np.testing.assert_allclose(ours.zvalues, theirs.tvalues, rtol=1e-4)
    np.testing.assert_allclose(ours.pvalues, theirs.pvalues, rtol=1e-3)  # p in the tail moves with z
    assert ours.pvalues["x2"] > 0.2  # two-sided: a one-sided p would be half of statsmodels'
    for alpha in (0.05, 0.2):
        np.testing.assert_allclose(ours.conf_int(alpha).to_numpy(), theirs.conf_int(alpha).to_numpy(), atol=1e-5)


def test_fixed_effects_table_statistics_are_two_sided(sample):
    result = kf.fit_probit("y ~ x1 + x2 + d | firm", sample)
    table = kf.ame(result)
    estimate, se = table["dy/dx"].to_numpy(), table["Std. Err"].to_numpy()
    z = estimate / se
    np.testing.assert_allclose(table["z"], z, rtol=1e-14)
    np.testing.assert_allclose(table["Pr(>|z|)"], 2.0 * special.ndtr(-np.abs(z)), rtol=1e-12)
    q = special.ndtri(0.975)
    np.testing.assert_allclose(table["[0.025"], estimate - q * se, rtol=1e-14)
    np.testing.assert_allclose(table["0.975]"], estimate + q * se, rtol=1e-14)
    assert table["Pr(>|z|)"]["x2"] > 0.2
