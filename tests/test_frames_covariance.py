"""kestrum_frames' covariance conventions, multi-way clusters, row weights
and the expected information, against statsmodels and numpy written here."""

import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import special

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
sm = pytest.importorskip("statsmodels.api")

from conftest import FRAME_FORMULA, FRAME_REGRESSORS, SM_FIT, simulate  # noqa: E402
from kestrum_frames import clusters  # noqa: E402

TIGHT = dict(tol=1e-12, max_iter=200)


def assert_cov_close(cov, reference, rtol):
    """Entries within rtol of se_a se_b of the reference."""
    cov, reference = np.asarray(cov), np.asarray(reference)
    se = np.sqrt(np.diag(reference))
    gap = np.abs(cov - reference) / np.outer(se, se)
    assert gap.max() <= rtol, gap.max()


@pytest.fixture(scope="module")
def panel():
    """(frame, y, X): simulate's design with firm codes (40 groups) and
    year codes (20 groups, crossed with firm, a random effect each)."""
    y, X, firm = simulate(7, n=2400, cluster_count=40)
    rng = np.random.default_rng(8)
    year = rng.integers(0, 20, len(y))
    shock = rng.normal(0.0, 0.8, 20)[year]
    index = X @ np.array([-1.2, 0.6, -0.8, 1.5e-5, 150.0, 0.7]) + shock
    y = (index + rng.normal(0.0, 1.0, len(y)) > 0).astype(float)
    frame = pd.DataFrame(X[:, 1:], columns=FRAME_REGRESSORS).assign(y=y, firm=firm, year=year)
    return frame, y, X


def statsmodels_probit(y, X, **fit):
    return sm.Probit(y, X).fit(**SM_FIT, **fit)


def probit_pieces(y, X, beta, w):
    """Per-row score factors lambda_i and Hessian weights at beta, in numpy."""
    eta = X @ beta
    q = 2 * y - 1
    lam = q * np.exp(-0.5 * eta**2) / np.sqrt(2 * np.pi) / special.ndtr(q * eta)
    return lam, lam * (lam + eta)


# HC1 = HC0 N/(N-1), CR1 = CR0 G/(G-1); with frequency weights N is their sum.
@pytest.mark.parametrize("weighted", [False, True])
@pytest.mark.parametrize("plain, adjusted, cluster", [("HC0", "HC1", None), ("CR0", "CR1", "firm")])
def test_small_sample_factors(panel, plain, adjusted, cluster, weighted):
    frame = panel[0].assign(w=np.arange(len(panel[0])) % 3 + 1)
    options = {"weights": "w"} if weighted else {}
    base = kf.fit_probit(FRAME_FORMULA, frame, cluster=cluster, vcov=plain, **options)
    result = base.with_vcov(vcov=adjusted)
    n = frame["w"].sum() if weighted else len(frame)
    factor = n / (n - 1) if cluster is None else base.n_clusters / (base.n_clusters - 1)
    assert result.nobs == n and factor != 1.0
    assert_cov_close(result.cov_params(), base.cov_params() * factor, 1e-13)
    assert result.vcov == adjusted and ("N/(N-1)" if cluster is None else "G/(G-1)") in result.cov_type


def test_defaults_follow_stata(panel):
    frame = panel[0]
    assert kf.fit_probit(FRAME_FORMULA, frame).vcov == "nonrobust"
    assert kf.fit_probit(FRAME_FORMULA, frame, robust=True).vcov == "HC1"
    clustered = kf.fit_probit(FRAME_FORMULA, frame, cluster="firm")
    assert clustered.vcov == "CR1"
    assert "cluster-robust by firm (40 clusters), G/(G-1) as Stata" in clustered.cov_type
    assert clustered.cov_type in str(clustered.summary())
    probability = kf.fit_probit(FRAME_FORMULA, frame.assign(w=1.5), weights="w", weight_type="probability")
    assert probability.vcov == "HC1"


@pytest.mark.parametrize(
    "vcov, cluster, correction", [("HC0", None, None), ("CR0", "firm", False), ("CR1", "firm", True)]
)
def test_one_way_conventions_against_statsmodels(panel, vcov, cluster, correction):
    """statsmodels' corrected cluster covariance is G/(G-1) (N-1)/(N-K): CR1
    times (N-1)/(N-K)."""
    frame, y, X = panel
    result = kf.fit_probit(FRAME_FORMULA, frame, vcov=vcov, cluster=cluster, **TIGHT)
    if cluster is None:
        reference = statsmodels_probit(y, X, cov_type="HC0").cov_params()
        cov = result.cov_params()
    else:
        groups = frame[cluster].to_numpy()
        kwds = {"groups": groups, "use_correction": correction}
        reference = statsmodels_probit(y, X, cov_type="cluster", cov_kwds=kwds).cov_params()
        n, k = X.shape
        cov = result.cov_params() * ((n - 1) / (n - k) if correction else 1.0)
    assert_cov_close(cov, reference, 1e-6)


def two_way_groups(frame):
    return frame[["firm", "year"]].to_numpy()


@pytest.mark.parametrize("cells_per_piece", [1 << 17, 5])
def test_two_way_against_statsmodels(panel, monkeypatch, cells_per_piece):
    """CR0: statsmodels' two-way sum without corrections; CR1: each of its
    three one-way terms (firm, year, firm-year) with its own G/(G-1). The
    firm-year meat is the same whether its cells are totalled in one piece
    or in many."""
    monkeypatch.setattr(clusters, "CELLS_PER_PIECE", cells_per_piece)
    frame, y, X = panel
    two_way = kf.fit_probit(FRAME_FORMULA, frame, cluster=["firm", "year"], vcov="CR0", **TIGHT)
    kwds = {"groups": two_way_groups(frame), "use_correction": False}
    reference = statsmodels_probit(y, X, cov_type="cluster", cov_kwds=kwds).cov_params()
    assert_cov_close(two_way.cov_params(), reference, 1e-6)
    assert np.linalg.eigvalsh(reference).min() > 0  # so no eigenvalue was clipped

    terms = []
    for groups in [frame["firm"], frame["year"], frame["firm"] * 100 + frame["year"]]:
        codes = groups.to_numpy()
        G = len(np.unique(codes))
        cov = statsmodels_probit(y, X, cov_type="cluster", cov_kwds={"groups": codes, "use_correction": False})
        terms.append(cov.cov_params() * G / (G - 1))
    adjusted = two_way.with_vcov(vcov="CR1")
    assert_cov_close(adjusted.cov_params(), terms[0] + terms[1] - terms[2], 1e-6)
    assert adjusted.n_clusters == (40, 20) and "2-way" in adjusted.cov_type


@pytest.mark.parametrize("weighted", [False, True])
def test_two_way_with_one_row_per_firm_and_year(panel, weighted):
    """A balanced panel, one row per firm and year in random order: the
    firm-year term is then the rows' own product sum, formed without cells.
    CR0 against statsmodels' uncorrected two-way sum (unweighted) and
    against numpy's sandwiches of the weighted scores' sums."""
    frame, y, X = panel
    firm, year = np.divmod(np.random.default_rng(9).permutation(len(y)), 60)  # 40 firms x 60 years
    frame = frame.assign(firm=firm, year=year, w=np.random.default_rng(5).uniform(0.2, 3.0, len(y)))
    options = {"weights": "w", "weight_type": "probability"} if weighted else {}
    result = kf.fit_probit(FRAME_FORMULA, frame, cluster=["firm", "year"], vcov="CR0", **options, **TIGHT)
    assert result.model.data.cells[(0, 1)] is None  # no cells were summed
    if not weighted:
        kwds = {"groups": two_way_groups(frame), "use_correction": False}
        reference = statsmodels_probit(y, X, cov_type="cluster", cov_kwds=kwds).cov_params()
        assert_cov_close(result.cov_params(), reference, 1e-6)
    w = frame["w"].to_numpy() if weighted else np.ones(len(y))
    lam, hessian_weight = probit_pieces(y, X, result.params.to_numpy(), w)
    scores = X * (w * lam)[:, None]
    bread = np.linalg.inv((X * (w * hessian_weight)[:, None]).T @ X)

    def meat(codes, count):
        sums = np.zeros((count, X.shape[1]))
        np.add.at(sums, codes, scores)
        return sums.T @ sums

    meats = [meat(firm, 40), meat(year, 60), scores.T @ scores]
    assert_cov_close(result.cov_params(), bread @ (meats[0] + meats[1] - meats[2]) @ bread, 1e-8)
    adjusted = result.with_vcov(vcov="CR1")
    factors = [40 / 39, 60 / 59, len(y) / (len(y) - 1)]
    expected = bread @ sum(sign * f * m for sign, f, m in zip([1, 1, -1], factors, meats)) @ bread
    assert_cov_close(adjusted.cov_params(), expected, 1e-8)


def test_combination_is_one_way_on_the_intersection(panel):
    frame = panel[0]
    combined = kf.fit_probit(FRAME_FORMULA, frame, cluster=("firm", "year"))
    built = kf.fit_probit(FRAME_FORMULA, frame.assign(cell=frame["firm"] * 100 + frame["year"]), cluster="cell")
    assert combined.n_clusters == built.n_clusters == len(frame.groupby(["firm", "year"]))
    np.testing.assert_allclose(combined.cov_params(), built.cov_params(), rtol=1e-12)


def test_non_positive_semi_definite_two_way_is_clipped_with_a_warning(frame_design):
    """g (60 groups) and h (3 groups, no effect of its own): the
    inclusion-exclusion sum has a negative eigenvalue, which is set to 0."""
    frame = frame_design[0]
    with pytest.warns(RuntimeWarning, match="not positive semi-definite.*set to 0"):
        result = kf.fit_probit(FRAME_FORMULA, frame, cluster=["g", "h"], vcov="CR0", **TIGHT)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        kwds = {"groups": frame[["g", "h"]].to_numpy(), "use_correction": False}
        raw = statsmodels_probit(frame["y"].to_numpy(), frame_design[2], cov_type="cluster", cov_kwds=kwds)
    values, vectors = np.linalg.eigh(raw.cov_params())
    assert values.min() < 0
    clipped = (vectors * np.maximum(values, 0)) @ vectors.T
    assert_cov_close(result.cov_params(), clipped, 1e-6)
    assert np.linalg.eigvalsh(result.cov_params().to_numpy()).min() >= -1e-12 * values.max()


def test_expected_information_against_glm(panel):
    """statsmodels' GLM fitted by IRLS takes its covariance from the IRLS
    weights, the expected information; it differs from the observed one."""
    frame, y, X = panel
    result = kf.fit_probit(FRAME_FORMULA, frame, information="expected", **TIGHT)
    glm = sm.GLM(y, X, family=sm.families.Binomial(link=sm.families.links.Probit())).fit(tol=1e-12)
    np.testing.assert_allclose(result.params, glm.params, rtol=1e-7)
    assert_cov_close(result.cov_params(), glm.cov_params(), 1e-6)

    beta = result.params.to_numpy()
    eta = X @ beta
    v = special.ndtr(eta) * special.ndtr(-eta)
    v = np.exp(-(eta**2)) / (2 * np.pi) / v
    expected = np.linalg.inv(X.T @ (X * v[:, None]))
    assert_cov_close(result.cov_params(), expected, 1e-10)
    observed = result.with_vcov(information="observed").cov_params()
    gap = np.abs(np.sqrt(np.diag(observed)) / np.sqrt(np.diag(expected)) - 1).max()
    assert gap > 1e-3  # so the comparison above tells the two apart

    # The sandwich with the expected bread: B M B with the HC0 meat.
    lam, _ = probit_pieces(y, X, beta, None)
    scores = X * lam[:, None]
    sandwich = expected @ (scores.T @ scores) @ expected
    assert_cov_close(result.with_vcov(vcov="HC0").cov_params(), sandwich, 1e-10)


FREQUENCY_OPTIONS = {
    "nonrobust": {},
    "HC0": {"vcov": "HC0"},
    "HC1": {"robust": True},
    "CR0": {"cluster": "firm", "vcov": "CR0"},
    "CR1": {"cluster": "firm"},
    "two-way CR1": {"cluster": ["firm", "year"]},
    "expected": {"information": "expected"},
    "expected HC1": {"information": "expected", "robust": True},
}


@pytest.mark.parametrize("options", FREQUENCY_OPTIONS.values(), ids=FREQUENCY_OPTIONS.keys())
def test_frequency_weights_equal_repeated_rows(panel, options):
    frame = panel[0]
    weights = np.random.default_rng(3).integers(0, 4, len(frame))  # zeros too: dropped, in neither n nor G
    weights[frame["firm"] == 5] = 0  # a firm whose rows all weigh 0
    weighted = kf.fit_probit(FRAME_FORMULA, frame.assign(w=weights), weights="w", **options)
    repeated = kf.fit_probit(FRAME_FORMULA, frame.loc[frame.index.repeat(weights)], **options)

    np.testing.assert_allclose(weighted.params, repeated.params, rtol=1e-10)
    assert_cov_close(weighted.cov_params(), repeated.cov_params(), 1e-10)
    assert weighted.loglike == pytest.approx(repeated.loglike, rel=1e-12)
    assert weighted.llnull == pytest.approx(repeated.llnull, rel=1e-12)
    assert (weighted.nobs, weighted.n_clusters) == (repeated.nobs, repeated.n_clusters)
    assert weighted.n_dropped == (weights == 0).sum()


def test_probability_weights_against_numpy(panel):
    """At the estimate: the weighted score is zero, and the covariances are
    the sandwiches of the weighted Hessian and the weighted scores."""
    frame, y, X = panel
    w = np.random.default_rng(4).uniform(0.2, 3.0, len(y))
    result = kf.fit_probit(FRAME_FORMULA, frame.assign(w=w), weights="w", weight_type="probability", **TIGHT)
    beta = result.params.to_numpy()
    lam, hessian_weight = probit_pieces(y, X, beta, w)
    scores = X * (w * lam)[:, None]  # w_i s_i
    hessian = -(X * (w * hessian_weight)[:, None]).T @ X
    bread = np.linalg.inv(-hessian)
    step = bread @ scores.sum(axis=0)  # a Newton step from the estimate
    assert np.all(np.abs(step) < 1e-6 * np.sqrt(np.diag(bread)))

    n = len(y)
    hc0 = bread @ (scores.T @ scores) @ bread
    assert result.vcov == "HC1"
    assert_cov_close(result.cov_params(), hc0 * n / (n - 1), 1e-10)
    firm = frame["firm"].to_numpy()
    sums = np.zeros((40, X.shape[1]))
    np.add.at(sums, firm, scores)
    cr1 = bread @ (sums.T @ sums) @ bread * 40 / 39
    clustered = kf.fit_probit(FRAME_FORMULA, frame.assign(w=w), weights="w", weight_type="probability",
                              cluster="firm", **TIGHT)
    assert clustered.vcov == "CR1"
    assert_cov_close(clustered.cov_params(), cr1, 1e-10)
    assert result.nobs == n
    assert result.loglike == pytest.approx(float(w @ np.log(special.ndtr((2 * y - 1) * (X @ beta)))))


def test_probability_weights_params_against_glm(panel):
    frame, y, X = panel
    w = np.random.default_rng(5).uniform(0.2, 3.0, len(y))
    result = kf.fit_probit(FRAME_FORMULA, frame.assign(w=w), weights="w", weight_type="probability", **TIGHT)
    glm = sm.GLM(y, X, family=sm.families.Binomial(link=sm.families.links.Probit()), var_weights=w).fit(tol=1e-12)
    assert np.all(np.abs(result.params - glm.params) < 1e-6 * result.bse)  # in standard errors


WITH_VCOV_TARGETS = {
    "HC0": {"vcov": "HC0"},
    "HC1": {"vcov": "HC1"},
    "CR1 by firm": {"cluster": "firm"},
    "CR0 two-way": {"cluster": ["firm", "year"], "vcov": "CR0"},
    "expected": {"information": "expected", "vcov": "nonrobust"},
    "expected CR1": {"information": "expected", "cluster": "year"},
}


@pytest.mark.parametrize("target", WITH_VCOV_TARGETS.values(), ids=WITH_VCOV_TARGETS.keys())
def test_with_vcov_equals_a_fit_with_that_covariance(panel, target):
    frame = panel[0]
    fitted = kf.fit_probit(FRAME_FORMULA, frame, cluster=["firm", "year"])
    other = fitted.with_vcov(**target)
    refit = kf.fit_probit(FRAME_FORMULA, frame, **target)
    assert np.array_equal(other.params, fitted.params) and other.loglike == fitted.loglike
    assert_cov_close(other.cov_params(), refit.cov_params(), 1e-12)
    assert (other.vcov, other.cov_type) == (refit.vcov, refit.cov_type)
    assert other.passes - fitted.passes <= 1 + ("cluster" in target and "information" in target)
    assert fitted.vcov == "CR1" and fitted.n_clusters == (40, 20)  # the fit keeps its own


@pytest.mark.parametrize(
    "options, error, message",
    [
        ({"weights": "neg"}, ValueError, r"weights column 'neg' holds -1.0 in row 4: not a finite non-negative"),
        ({"weights": "half"}, ValueError, r"'half' holds 0.5 in row 0: not a whole number"),
        ({"weights": "inf", "weight_type": "probability"}, ValueError, r"holds inf in row 2"),
        ({"weights": "text"}, ValueError, "weights column 'text' must be numeric"),
        ({"weights": "nothere"}, KeyError, "'nothere' is not in data"),
        ({"weights": "half", "weight_type": "survey"}, ValueError, "weight_type must be 'frequency' or 'probability'"),
        ({"vcov": "HC3"}, ValueError, "vcov must be one of"),
        ({"vcov": "CR1"}, ValueError, "name the cluster columns"),
        ({"vcov": "HC1", "cluster": "firm"}, ValueError, "vcov must be 'CR0' or 'CR1'"),
        ({"robust": True, "vcov": "nonrobust"}, ValueError, "contradicts"),
        ({"weights": "half", "weight_type": "probability", "vcov": "nonrobust"}, ValueError, "sandwich"),
        ({"information": "fisher"}, ValueError, "information must be"),
        ({"cluster": ["firm", "firm"]}, ValueError, "same clustering twice"),
        ({"cluster": [["firm"]]}, TypeError, "cluster must be"),
    ],
)
def test_bad_options_raise_a_clear_error(panel, options, error, message):
    frame = panel[0].iloc[:50].assign(neg=1.0, half=1.0, inf=1.0, text="a")
    frame.loc[4, "neg"] = -1.0
    frame.loc[0, "half"] = 0.5
    frame.loc[2, "inf"] = np.inf
    with pytest.raises(error, match=message):
        kf.fit_probit(FRAME_FORMULA, frame, **options)


NEW_CLUSTERS = {
    "unclustered fit, by firm": ({}, {"cluster": "firm"}),
    "by firm, then year": ({"cluster": "firm"}, {"cluster": "year"}),
    "by firm, then two-way": ({"cluster": "firm", "weights": "w", "weight_type": "probability"},
                             {"cluster": ["firm", "region"]}),
    "by firm, then the combination": ({"cluster": "firm", "weights": "fw"}, {"cluster": ("year", "region")}),
}


@pytest.mark.filterwarnings("ignore:the multi-way cluster-robust covariance is not positive")
@pytest.mark.parametrize("library", ["pandas", "polars"])
@pytest.mark.parametrize("fit, target", NEW_CLUSTERS.values(), ids=NEW_CLUSTERS.keys())
def test_with_vcov_clusters_on_other_columns_as_a_refit(panel, library, fit, target):
    """Columns the fit did not read, read at its rows: a row the fit drops
    (y missing) may lack the new cluster value, and a text column clusters by value."""
    rng = np.random.default_rng(3)
    frame = panel[0].assign(region=rng.choice(["north", "south", "east"], len(panel[0])).astype(object),
                            w=rng.uniform(0.5, 2.0, len(panel[0])), fw=rng.integers(1, 4, len(panel[0])))
    frame.loc[[5, 17], "y"] = np.nan
    frame.loc[[5], "year"] = np.nan
    frame.loc[[17], "region"] = None
    data = frame if library == "pandas" else pytest.importorskip("polars").from_pandas(frame)
    fitted = kf.fit_probit(FRAME_FORMULA, data, **fit)
    other = fitted.with_vcov(**target)
    refit = kf.fit_probit(FRAME_FORMULA, data, **{**fit, **target})
    assert np.array_equal(other.params, fitted.params) and other.nobs == refit.nobs
    assert other.model.data.nobs == len(frame) - 2
    assert_cov_close(other.cov_params(), refit.cov_params(), 1e-12)
    assert (other.vcov, other.cov_type, other.n_clusters) == (refit.vcov, refit.cov_type, refit.n_clusters)
    assert other.passes - fitted.passes == 1
    assert fitted.cov_type == kf.fit_probit(FRAME_FORMULA, data, **fit).cov_type  # the fit keeps its own


def test_with_vcov_refuses_a_cluster_column_missing_in_a_used_row(panel):
    frame = panel[0].assign(region="north")
    frame.loc[9, "region"] = None
    fitted = kf.fit_probit(FRAME_FORMULA, frame, cluster="firm")
    with pytest.raises(ValueError, match="cluster column 'region' has no value in row 9, a row the fit used"):
        fitted.with_vcov(cluster="region")
    with pytest.raises(KeyError, match="'nothere'"):
        fitted.with_vcov(cluster="nothere")
    assert fitted.with_vcov(cluster="year").n_clusters == 20  # the failures left the fit usable


def test_missing_weights_are_dropped_with_the_missing_rows(panel):
    frame = panel[0].assign(w=2.0)
    frame.loc[[3, 9], "w"] = np.nan
    result = kf.fit_probit(FRAME_FORMULA, frame, weights="w")
    expected = kf.fit_probit(FRAME_FORMULA, frame.drop(index=[3, 9]).assign(w=2.0), weights="w")
    assert (result.n_dropped, result.nobs) == (2, 2 * (len(frame) - 2))
    np.testing.assert_array_equal(result.params, expected.params)


@pytest.mark.parametrize("weight_type", ["frequency", "probability"])
def test_margins_use_the_fit_covariance_and_weights(panel, weight_type):
    frame = panel[0]
    clustered = kf.fit_probit(FRAME_FORMULA, frame, cluster="firm")
    table = kf.ame(clustered)
    plain = kf.ame(clustered.with_vcov(vcov="CR0"))
    np.testing.assert_allclose(table["Std. Err"] / plain["Std. Err"], np.sqrt(40 / 39), rtol=1e-10)
    # A weight of 2 on every row: the same averages; frequency weights halve
    # the nonrobust covariance (twice the rows), probability weights leave HC1.
    weighted = kf.ame(kf.fit_probit(FRAME_FORMULA, frame.assign(w=2), weights="w", weight_type=weight_type))
    frequency = weight_type == "frequency"
    unweighted = kf.ame(kf.fit_probit(FRAME_FORMULA, frame, robust=not frequency))
    np.testing.assert_allclose(weighted["dy/dx"], unweighted["dy/dx"], rtol=1e-9)
    np.testing.assert_allclose(weighted["Std. Err"], unweighted["Std. Err"] / (np.sqrt(2) if frequency else 1),
                               rtol=1e-9)
