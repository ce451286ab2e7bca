"""Cluster-robust covariance of fit_probit (robust=True with cluster_vars)."""

import math
import warnings

import numpy as np
import pytest

import kestrum
from conftest import (
    HESSIAN_SINGULAR_LINE,
    TIGHT,
    assert_cov_close,
    assert_params_close,
    simulate,
    statsmodels_fit,
)

COV_TOL = 1e-4  # see test_fitting: covariance error from the TIGHT stop


def value_key(v):
    """Python's own correctly rounded formatting: four decimals, ties to even
    on the exact binary value, one text for zero whatever its sign, one text
    for every NaN."""
    if math.isnan(v):
        return "NaN"
    text = format(v, ".4f")
    return "0.0000" if text == "-0.0000" else text


def key_of(row):
    """Reference cluster key of one row of cluster_vars, written independently
    of the module: the value keys joined by '|'."""
    return "|".join(value_key(v) for v in row)


def reference_groups(C):
    keys = [key_of(row) for row in C]
    _, codes = np.unique(np.array(keys, dtype=object), return_inverse=True)
    return codes.astype(int)


def statsmodels_cluster(y, X, groups):
    return statsmodels_fit(y, X, cov_type="cluster", cov_kwds={"groups": groups, "use_correction": False})


def cluster_fit(y, X, C, **kw):
    return kestrum.fit_probit(y, X, robust=True, cluster_vars=C, **{**TIGHT, **kw})


@pytest.fixture
def design():
    y, X, groups = simulate(21, 400, cluster_count=25)
    return y, X, groups


# ---------------------------------------------------------------- against statsmodels


def test_spector_clusters_match_statsmodels(spector):
    y, X = spector
    g = (X[:, 3] * 3 + (X[:, 2] > 20)).astype(int)  # 4 clusters from PSI and TUCE
    ref = statsmodels_cluster(y, X, g)
    r = cluster_fit(y, X, g.astype(float).reshape(-1, 1))
    assert r.converged is True
    assert_params_close(r.params, ref.params, statsmodels_fit(y, X).cov_params(), 1e-4)
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)


@pytest.mark.parametrize("seed, clusters", [(0, 5), (1, 40), (2, 300)])
def test_simulated_clusters_match_statsmodels(seed, clusters):
    y, X, g = simulate(seed, 900, cluster_count=clusters)
    ref = statsmodels_cluster(y, X, g)
    r = cluster_fit(y, X, g.astype(float).reshape(-1, 1))
    assert r.converged is True
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)


def test_two_clustering_columns_form_their_combinations(design):
    y, X, g = design
    C = np.column_stack([g % 5, g // 5]).astype(float)  # recovers all 25 groups
    ref = statsmodels_cluster(y, X, g)
    r = cluster_fit(y, X, C)
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)
    # a single column carrying the same partition gives the same matrix
    same = cluster_fit(y, X, g.astype(float).reshape(-1, 1))
    np.testing.assert_allclose(r.cov_params(), same.cov_params(), rtol=1e-12, atol=1e-18)


def test_cluster_covariance_at_the_starting_point_closed_form(spector):
    # max_iter=0: beta = 0, lambda_i = q_i sqrt(2/pi), Hessian -(2/pi) X'X.
    y, X = spector
    g = np.arange(len(y)) % 3
    q = 2 * y - 1
    B = np.linalg.inv((2 / math.pi) * X.T @ X)
    sums = np.array([(q[g == c, None] * X[g == c]).sum(axis=0) for c in range(3)]) * math.sqrt(2 / math.pi)
    M = sums.T @ sums
    expected = B @ M @ B
    r = kestrum.fit_probit(y, X, max_iter=0, robust=True, cluster_vars=g.astype(float).reshape(-1, 1))
    np.testing.assert_allclose(r.cov_params(), expected, rtol=1e-9, atol=1e-12 * np.abs(expected).max())


# ---------------------------------------------------------------- the key rule


def _cycle(values, n, seed=0):
    rng = np.random.default_rng(seed)
    return np.asarray(values, dtype=float)[rng.integers(0, len(values), n)]


KEY_CASES = {
    # 1.00001 and 1.00004 both print as 1.0000; 1.00005 as 1.0001
    "four-decimals": [[1.00001], [1.00004], [1.00005], [2.0], [3.0]],
    # 0.03125 is exact in binary and rounds half to even: 0.0312
    "ties-to-even": [[0.03125], [0.0312], [0.0313], [-0.03125], [-0.0312]],
    # zero is one cluster whatever its sign, with everything that rounds to it
    "signed-zero": [[0.0], [-0.0], [-0.00001], [0.00001], [1.0]],
    # every NaN is one cluster whatever its sign; infinities by sign
    "non-finite": [[np.nan], [-np.nan], [np.inf], [-np.inf], [0.0]],
    # all integer digits are written: neighbours of 1e20 stay apart
    "large": [[1e20], [np.nextafter(1e20, np.inf)], [-1e20], [1.7976931348623157e308], [-1.7976931348623157e308]],
    # rows key on every column in order
    "two-columns": [[1.0, 2.0], [1.0, 2.00001], [2.0, 1.0], [1.0, -0.0], [1.0, 0.0]],
    "three-columns": [[0.0, 0.0, 1.0], [0.0, 1.0, 0.0], [1.0, 0.0, 0.0], [np.nan, 0.0, 0.0], [0.0, 0.0, 1.00004]],
}


@pytest.mark.parametrize("case", list(KEY_CASES))
def test_cluster_keys_follow_four_decimal_text(design, case):
    y, X, _ = design
    rows = np.array(KEY_CASES[case], dtype=float)
    C = rows[np.random.default_rng(1).integers(0, len(rows), len(y))]
    groups = reference_groups(C)
    ref = statsmodels_cluster(y, X, groups)
    r = cluster_fit(y, X, C)
    assert_cov_close(r.cov_params(), ref.cov_params(), COV_TOL)


def confusable_values(rng):
    """Values on both sides of every rounding boundary of the key rule, with
    the four-decimal neighbours they may join: exact binary ties at the fifth
    decimal (k/32), near-ties, both zeros, the edge at 2**48 where doubles
    stop having more than four binary decimals, subnormals, non-finite."""
    ties, near = np.arange(-300, 300) / 32, (rng.integers(-10**6, 10**6, 150) + 0.5) * 1e-4
    edge = 2.0**48 + np.arange(-40, 40) / 32
    special = [0.0, -0.0, 1e-5, -1e-5, 5e-5, -5e-5, 5e-324, 1e20, -1e300, np.inf, -np.inf, np.nan, -np.nan]
    values = np.concatenate([ties, near, np.nextafter(near, np.inf), np.nextafter(near, -np.inf), edge, special])
    finite = values[np.isfinite(values) & (np.abs(values) < 2.0**48)]
    return np.concatenate([values, np.floor(finite * 1e4) / 1e4, np.ceil(finite * 1e4) / 1e4])


@pytest.mark.parametrize("columns", [1, 2])
def test_cluster_keys_match_the_text_rule_over_many_values(columns):
    # Same partition, same clusters in the same order of first appearance:
    # the covariance is identical to the last bit; one pair merged or split
    # apart would change it.
    rng = np.random.default_rng(7)
    pool = confusable_values(rng)
    n = 2 * len(pool)
    y, X, _ = simulate(5, n)
    C = np.column_stack([pool[rng.permutation(n) % len(pool)] for _ in range(columns)])
    codes = reference_groups(C).astype(float).reshape(-1, 1)
    a = cluster_fit(y, X, C)
    b = cluster_fit(y, X, codes)
    np.testing.assert_array_equal(a.cov_params(), b.cov_params())


@pytest.mark.parametrize(
    "values, equivalent",
    [
        ([1.00001, 1.00004, 2.0], [1.0, 1.0, 2.0]),
        ([np.nan, -np.nan, 2.0], [7.0, 7.0, 2.0]),
        ([-0.0, -0.00001, 2.0], [5.0, 5.0, 2.0]),
        ([3.0, 3.00004999, 2.0], [3.0, 3.0, 2.0]),
        ([0.0, -0.0, 2.0], [0.0, 0.0, 2.0]),
        ([0.00001, -0.00001, 2.0], [0.0, 0.0, 2.0]),
    ],
    ids=["1.00001~1.00004", "nan~-nan", "-0.0~-0.00001", "3.0~3.00004999", "0.0~-0.0", "1e-5~-1e-5"],
)
def test_values_with_equal_keys_share_a_cluster(design, values, equivalent):
    y, X, _ = design
    idx = np.random.default_rng(2).integers(0, 3, len(y))
    a = cluster_fit(y, X, np.asarray(values)[idx].reshape(-1, 1))
    b = cluster_fit(y, X, np.asarray(equivalent)[idx].reshape(-1, 1))
    np.testing.assert_allclose(a.cov_params(), b.cov_params(), rtol=1e-12, atol=0)


@pytest.mark.parametrize(
    "values, merged",
    [
        ([0.0, -0.0001, 2.0], [0.0, 0.0, 2.0]),
        ([1.0, 1.00005, 2.0], [1.0, 1.0, 2.0]),
        ([np.inf, -np.inf, 2.0], [np.inf, np.inf, 2.0]),
    ],
    ids=["0.0|-0.0001", "1.0|1.00005", "inf|-inf"],
)
def test_values_with_different_keys_are_different_clusters(design, values, merged):
    y, X, _ = design
    idx = np.random.default_rng(3).integers(0, 3, len(y))
    a = cluster_fit(y, X, np.asarray(values)[idx].reshape(-1, 1))
    b = cluster_fit(y, X, np.asarray(merged)[idx].reshape(-1, 1))
    ref = statsmodels_cluster(y, X, idx)
    assert_cov_close(a.cov_params(), ref.cov_params(), COV_TOL)
    # and merging two of the three clusters visibly changes the matrix
    assert np.max(np.abs(a.cov_params() - b.cov_params())) > 1e-3 * np.max(np.abs(a.cov_params()))


def test_relabelling_clusters_does_not_change_the_covariance(design):
    y, X, g = design
    a = cluster_fit(y, X, g.astype(float).reshape(-1, 1))
    b = cluster_fit(y, X, (1000.5 - 7.25 * g).reshape(-1, 1))
    np.testing.assert_allclose(a.cov_params(), b.cov_params(), rtol=1e-12, atol=1e-18)


@pytest.mark.parametrize(
    "layout",
    [
        np.asfortranarray,
        lambda C: np.ascontiguousarray(C[::-1])[::-1],
        lambda C: np.repeat(C, 2, axis=1)[:, ::2],
        lambda C: np.ascontiguousarray(C.T).T,
    ],
    ids=["fortran", "reversed", "column-step-2", "transposed"],
)
def test_cluster_vars_layouts(design, layout):
    y, X, g = design
    C = np.column_stack([g % 5, g // 5, (g % 2) * -0.0]).astype(float)
    a = cluster_fit(y, X, C)
    b = cluster_fit(y, X, layout(C.copy()))
    np.testing.assert_allclose(b.cov_params(), a.cov_params(), rtol=1e-12, atol=1e-18)


# ---------------------------------------------------------------- one cluster, n clusters


SINGLE_CLUSTER = "^cluster_vars forms a single cluster"


@pytest.mark.parametrize("max_iter", [0, 500], ids=["at-start", "at-estimate"])
@pytest.mark.parametrize("value", [4.0, -2.5, np.nan, 1e-5])
def test_one_cluster_gives_nan_covariance_and_a_warning(design, value, max_iter):
    # With one cluster the meat is g g' for the total score g: rank one (near
    # zero at the estimate), and the covariance estimates nothing.
    y, X, _ = design
    C = np.full((len(y), 1), value)
    C[::2] = -0.0 if value == 1e-5 else value  # rounds to the same key
    with pytest.warns(RuntimeWarning, match=SINGLE_CLUSTER):
        r = cluster_fit(y, X, C, max_iter=max_iter)
    assert np.isnan(r.cov_params()).all()
    np.testing.assert_array_equal(r.params, kestrum.fit_probit(y, X, **{**TIGHT, "max_iter": max_iter}).params)


@pytest.mark.parametrize("form", ["arange", "two-columns"])
def test_every_observation_its_own_cluster_equals_hc0(design, form):
    y, X, _ = design
    n = len(y)
    C = np.arange(n, dtype=float).reshape(-1, 1) if form == "arange" else np.column_stack([np.arange(n) % 20, np.arange(n) // 20]).astype(float)
    r = cluster_fit(y, X, C)
    hc0 = kestrum.fit_probit(y, X, robust=True, **TIGHT)
    np.testing.assert_allclose(r.cov_params(), hc0.cov_params(), rtol=1e-10, atol=1e-16)
    assert_cov_close(r.cov_params(), statsmodels_fit(y, X, cov_type="HC0").cov_params(), COV_TOL)


# ---------------------------------------------------------------- errors and ignoring


@pytest.mark.parametrize("rows", [0, 1, 31, 33, 64])
@pytest.mark.parametrize("cols", [0, 1, 2])
def test_cluster_row_mismatch(spector, rows, cols):
    y, X = spector
    with pytest.raises(ValueError) as info:
        kestrum.fit_probit(y, X, robust=True, cluster_vars=np.zeros((rows, cols)))
    assert str(info.value) == f"cluster mismatch: got {rows} rows, nobs=32"


def test_cluster_errors_come_before_the_estimate(spector, capfd):
    # the cluster argument is examined with the others, before the fit
    y, X = spector
    Z = np.column_stack([X, np.zeros(len(y))])
    with pytest.raises(ValueError, match="^cluster mismatch: got 5 rows, nobs=32$"):
        kestrum.fit_probit(y, Z, robust=True, cluster_vars=np.zeros((5, 1)))
    with pytest.raises(TypeError, match=r"^'list' object cannot be converted to 'PyArray<T, D>'$"):
        kestrum.fit_probit(y, Z, robust=True, cluster_vars=[[0.0]] * 32)
    with pytest.raises(ValueError, match="^cluster_vars has no columns"):
        kestrum.fit_probit(y, Z, robust=True, cluster_vars=np.zeros((32, 0)))
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize(
    "cluster_vars",
    [
        "junk",
        [[1.0]] * 32,
        np.zeros(32),
        np.zeros((32, 1), dtype=np.int64),
        np.zeros((5, 1)),
        np.arange(32.0).reshape(-1, 1),
        object(),
    ],
    ids=["str", "list", "1d", "int64", "wrong-rows", "valid", "object"],
)
def test_robust_false_ignores_cluster_vars_with_a_warning(spector, cluster_vars):
    y, X = spector
    plain = kestrum.fit_probit(y, X)
    with pytest.warns(UserWarning, match="^cluster_vars is ignored without robust=True"):
        r = kestrum.fit_probit(y, X, robust=False, cluster_vars=cluster_vars)
    np.testing.assert_array_equal(r.cov_params(), plain.cov_params())
    np.testing.assert_array_equal(r.params, plain.params)
    with pytest.warns(UserWarning, match="^cluster_vars is ignored without robust=True"):
        r = kestrum.fit_probit(y, X, cluster_vars=cluster_vars)
    np.testing.assert_array_equal(r.cov_params(), plain.cov_params())


def test_no_warning_without_cluster_vars(spector):
    y, X = spector
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        kestrum.fit_probit(y, X, cluster_vars=None)
        kestrum.fit_probit(y, X, robust=True, cluster_vars=np.arange(32.0).reshape(-1, 1))


def test_cluster_vars_left_unchanged_and_not_shared(design):
    y, X, g = design
    C = np.column_stack([g, g % 3]).astype(float)
    C[::7, 1] = -0.0
    C[::11, 0] = np.nan
    before = C.copy()
    r = cluster_fit(y, X, C)
    np.testing.assert_array_equal(C, before)
    assert np.array_equal(np.signbit(C), np.signbit(before))
    for arr in (r.params, r.cov_params(), r.model.exog, r.model.endog):
        assert not np.shares_memory(arr, C)
