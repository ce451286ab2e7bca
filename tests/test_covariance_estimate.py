"""The core's covariance from the sums at the estimate (_native.covariance,
the one function both modules call), against numpy written here, and the
texts of the frames' warnings, which name the frames' terms."""

import itertools
import re
import warnings

import numpy as np
import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
from kestrum_frames import _native  # noqa: E402

K = 4


def sums(seed, n=500, k=K, dependent=False):
    """A probit-like Hessian -X'WX, the HC0 meat sum s_i s_i', the scores s_i
    and X, from random rows; with dependent, X's last column is the sum of
    the two before it."""
    rng = np.random.default_rng(seed)
    X = rng.normal(size=(n, k))
    if dependent:
        X[:, -1] = X[:, -2] + X[:, -3]
    w = rng.uniform(0.1, 1.0, n)
    scores = rng.normal(size=(n, 1)) * X
    return -(X.T * w) @ X, scores.T @ scores, scores


def sandwich(hessian, meat):
    bread = np.linalg.inv(-hessian)
    return bread @ meat @ bread


def grouping_meat(scores, codes):
    """sum_c g_c g_c' with g_c the scores of cluster c summed, and G."""
    labels, index = np.unique(codes, axis=0, return_inverse=True)
    g = np.zeros((len(labels), scores.shape[1]))
    np.add.at(g, index.ravel(), scores)
    return g.T @ g, len(labels)


@pytest.mark.parametrize("vcov, factor", [("nonrobust", None), ("HC0", 1.0), ("HC1", 500 / 499)])
def test_heteroskedastic_conventions_match_numpy(vcov, factor):
    hessian, meat, _ = sums(1)
    result = _native.covariance(hessian, None if factor is None else meat, None, vcov, 500)
    expected = np.linalg.inv(-hessian) if factor is None else sandwich(hessian, meat) * factor
    np.testing.assert_allclose(result["cov"], expected, rtol=1e-12, atol=0)
    assert result["warnings"] == [] and result["params"] is None


@pytest.mark.parametrize("vcov", ["CR0", "CR1"])
@pytest.mark.parametrize("ways", [1, 2, 3])
def test_inclusion_exclusion_matches_numpy(vcov, ways):
    """M = sum over non-empty subsets S of the clusterings of (-1)^(|S|+1)
    c_S M_S, M_S the meat of the rows grouped by all of S's columns, c_S =
    G_S/(G_S-1) for CR1; V = B M B, its negative eigenvalues set to 0 when
    there are any (several clusterings only), with the count in a warning."""
    hessian, _, scores = sums(2)
    rng = np.random.default_rng(3)
    codes = np.column_stack([rng.integers(0, size, len(scores)) for size in (12, 5, 7)[:ways]])
    terms, meat = [], 0.0
    for size in range(1, ways + 1):
        for subset in itertools.combinations(range(ways), size):
            term, G = grouping_meat(scores, codes[:, list(subset)])
            sign = 1 if size % 2 else -1
            terms.append((term, G, sign))
            meat = meat + sign * term * (G / (G - 1) if vcov == "CR1" else 1.0)
    expected = sandwich(hessian, meat)
    values, vectors = np.linalg.eigh(expected)
    negative = int((values < 0).sum()) if ways > 1 else 0
    if negative:
        expected = (vectors * np.maximum(values, 0)) @ vectors.T

    result = _native.covariance(hessian, None, terms, vcov)

    scale = np.sqrt(np.outer(np.diag(expected), np.diag(expected)))
    assert np.abs(result["cov"] - expected).max() <= 1e-12 * scale.max()
    notes = [text for text in result["warnings"] if "not positive semi-definite" in text]
    assert len(notes) == (1 if negative else 0)
    if negative:
        assert f"its {negative} negative eigenvalues are set to 0" in notes[0]
        assert f"smallest eigenvalue {values.min():.3g}" in notes[0]


def test_a_sum_that_is_not_positive_semi_definite_is_repaired():
    """Two clusterings whose intersection's meat outweighs theirs: the case
    the repair exists for, checked against numpy's eigh."""
    hessian, _, scores = sums(4, n=60)
    a, b = np.arange(60) % 3, (np.arange(60) // 3) % 4
    terms = [(*grouping_meat(scores, a), 1), (*grouping_meat(scores, b), 1),
             (*grouping_meat(scores, np.column_stack([a, b])), -1)]
    raw = sandwich(hessian, terms[0][0] + terms[1][0] - terms[2][0])
    values, vectors = np.linalg.eigh(raw)
    assert values.min() < 0

    result = _native.covariance(hessian, None, terms, "CR0")

    np.testing.assert_allclose(result["cov"], (vectors * np.maximum(values, 0)) @ vectors.T, rtol=0,
                               atol=1e-12 * values.max())
    assert np.linalg.eigvalsh(result["cov"]).min() >= -1e-12 * values.max()


@pytest.mark.parametrize("vcov", ["nonrobust", "HC1"])
def test_dependent_columns_are_dropped_as_numpy_solves_the_smaller_model(vcov):
    """x3 = x1 + x2: x3 is dropped; the others get beta_S + H_SS^-1 H_SD
    beta_D and the covariance of the model without x3."""
    hessian, meat, _ = sums(5, dependent=True)
    beta = np.array([0.3, -0.2, 0.5, 0.25])
    result = _native.covariance(hessian, meat if vcov == "HC1" else None, None, vcov, 500, beta,
                                ["a", "b", "c", "b_plus_c"])
    kept = [0, 1, 2]
    h_kept = hessian[np.ix_(kept, kept)]
    params = beta[kept] + np.linalg.solve(h_kept, hessian[kept, 3] * beta[3])
    cov = np.linalg.inv(-h_kept) if vcov == "nonrobust" else sandwich(h_kept, meat[np.ix_(kept, kept)]) * 500 / 499

    assert result["dropped"] == [3] and result["columns_involved"] == [1, 2, 3]
    np.testing.assert_allclose(result["params"][kept], params, rtol=1e-10)
    np.testing.assert_allclose(result["cov"][np.ix_(kept, kept)], cov, rtol=1e-10)
    assert np.isnan(result["params"][3]) and np.isnan(result["cov"][3]).all() and np.isnan(result["cov"][:, 3]).all()
    assert result["warnings"] == [
        "Hessian singular: dropped b_plus_c, linearly dependent on the other columns (columns involved: b, c, "
        "b_plus_c). A dropped column's coefficient and standard error are NaN; the other coefficients are those of "
        "the model without it."
    ]


def test_without_beta_a_singular_hessian_gives_nan_as_kestrum():
    hessian, meat, _ = sums(5, dependent=True)
    result = _native.covariance(hessian, meat)
    assert np.isnan(result["cov"]).all() and result["dropped"] == []
    assert result["warnings"] == [
        "Hessian singular => NaN for Cov: columns involved: x1, x2, x3. The coefficients of linearly dependent (or "
        "all-zero) columns are not identified; drop or combine columns."
    ]


def fit_warnings(formula, frame, **options):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        kf.fit_probit(formula, frame, **options)
    return [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]


@pytest.fixture(scope="module")
def frame():
    rng = np.random.default_rng(11)
    n = 400
    data = pd.DataFrame({"income": rng.normal(size=n), "rate": rng.normal(size=n), "firm": np.arange(n) % 8})
    data["y"] = (0.4 * data["income"] - 0.3 * data["rate"] + rng.normal(size=n) > 0).astype(float)
    return data


# Each kind of the frames' warnings, composed by the core's helper with the
# frames' names: the terms of the formula and the argument cluster=.
@pytest.mark.parametrize("kind", ["separation", "out_of_range", "dropped", "single_cluster", "not_psd"])
def test_frames_warning_texts_name_the_frames_terms(frame, kind):
    if kind == "separation":
        data = frame.assign(y=(frame["income"] > 0.2).astype(float))
        texts = fit_warnings("y ~ income", data)
        assert texts == [  # every row: the index's sign gives the outcome
            f"Perfect separation: {len(data)} observations are perfectly predicted; the maximum likelihood estimate "
            "does not exist and the coefficients diverge. Remove the regressors (or observations) that predict the "
            "outcome perfectly."
        ]
    elif kind == "out_of_range":
        texts = fit_warnings("y ~ income + huge", frame.assign(huge=1e200 * frame["rate"]))
        assert texts == [
            "Regressors out of range: the sums of squares of columns huge overflow or underflow a double, so the fit "
            "stops where it found them, not converged, and cov_params() is all NaN. Rescale these columns (units "
            "from 1e-10 to 1e10 are supported)."
        ]
    elif kind == "dropped":
        texts = fit_warnings("y ~ income + rate + both", frame.assign(both=frame["income"] - frame["rate"]))
        assert texts == [
            "Hessian singular: dropped both, linearly dependent on the other columns (columns involved: income, rate, "
            "both). A dropped column's coefficient and standard error are NaN; the other coefficients are those of "
            "the model without it."
        ]
    elif kind == "single_cluster":
        texts = fit_warnings("y ~ income + rate", frame.assign(firm=1), cluster="firm")
        assert texts == [
            "cluster forms a single cluster, and the cluster-robust covariance from G clusters has rank G - 1: "
            "cov_params() is all NaN. Cluster on a column with at least two distinct values, or leave cluster out "
            "for the HC0 covariance"
        ]
    else:
        data = frame.iloc[:60].assign(a=np.arange(60) % 3, b=(np.arange(60) // 3) % 4)
        texts = fit_warnings("y ~ income + rate", data, cluster=["a", "b"], vcov="CR0")
        assert len(texts) == 1
        assert re.fullmatch(
            r"the multi-way cluster-robust covariance is not positive semi-definite \(smallest eigenvalue "
            r"-[0-9.e+-]+, largest [0-9.e+-]+\): its [1-3] negative eigenvalues are set to 0", texts[0]), texts[0]
