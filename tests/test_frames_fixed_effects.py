"""Probit with absorbed fixed effects ("y ~ x | firm + year").

The oracle is the textbook construction: the same likelihood with every
level as an explicit dummy, fitted by statsmodels (Newton's method) and by
kestrum_frames with C(firm) + C(year); the average partial effects and their
delta-method errors are computed here in numpy from that dummy fit. The bias
correction is checked against a simulation with known beta.
"""

import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
sm = pytest.importorskip("statsmodels.api")
from kestrum_frames import _native  # noqa: E402

SM_NEWTON = dict(method="newton", tol=1e-14, maxiter=200, disp=0)


def panel(seed=0, firms=40, years=8, missing_share=0.2, alpha_scale=1.0):
    """An unbalanced panel: firm effects correlated with x1, year effects."""
    rng = np.random.default_rng(seed)
    firm = np.repeat(np.arange(firms), years)
    year = np.tile(np.arange(years), firms)
    alpha = alpha_scale * rng.normal(size=firms)[firm]
    gamma = 0.5 * rng.normal(size=years)[year]
    x1 = rng.normal(size=firm.size) + 0.5 * alpha
    x2 = rng.normal(size=firm.size)
    y = (0.7 * x1 - 0.5 * x2 + alpha + gamma + rng.normal(size=firm.size) > 0).astype(float)
    frame = pd.DataFrame({"y": y, "x1": x1, "x2": x2, "firm": [f"f{i}" for i in firm], "year": 2000 + year})
    return frame[rng.random(firm.size) > missing_share].reset_index(drop=True)


def used_rows(frame, result):
    return frame.iloc[np.sort(result.model.data.positions)].reset_index(drop=True)


def dummy_design(frame, effects):
    """x1, x2 and the dummies of every firm (and of every year but the first)."""
    blocks = [frame[["x1", "x2"]].to_numpy()]
    for j, name in enumerate(effects):
        blocks.append(pd.get_dummies(frame[name].astype(str), drop_first=j > 0).to_numpy(dtype=float))
    return np.column_stack(blocks)


def dummy_fit(frame, effects, vcov):
    """statsmodels' Probit on the dummies, its covariance in kestrum's
    convention (HC1: HC0 N/(N-1); CR1: CR0 G/(G-1), clustered by firm)."""
    Z = dummy_design(frame, effects)
    model = sm.Probit(frame["y"].to_numpy(), Z)
    if vcov == "nonrobust":
        fit = model.fit(**SM_NEWTON)
        return Z, fit.params, fit.cov_params()
    if vcov == "HC1":
        fit = model.fit(cov_type="HC0", **SM_NEWTON)
        n = len(frame)
        return Z, fit.params, fit.cov_params() * n / (n - 1)
    groups = pd.factorize(frame["firm"])[0]
    fit = model.fit(cov_type="cluster", cov_kwds={"groups": groups, "use_correction": False}, **SM_NEWTON)
    g = groups.max() + 1
    return Z, fit.params, fit.cov_params() * g / (g - 1)


def as_frame(frame, kind):
    if kind == "polars":
        polars = pytest.importorskip("polars")
        return polars.from_pandas(frame)
    return frame


def quiet_fit(formula, data, **options):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "fixed effects: .*perfectly classified", RuntimeWarning)
        return kf.fit_probit(formula, data, tol=1e-12, **options)


@pytest.mark.parametrize("effects", [["firm"], ["firm", "year"]], ids=["one-way", "two-way"])
@pytest.mark.parametrize("vcov", ["nonrobust", "HC1", "CR1"])
@pytest.mark.parametrize("kind", ["pandas", "polars"])
def test_fit_matches_explicit_dummies(effects, vcov, kind):
    frame = panel()
    result = quiet_fit(f"y ~ x1 + x2 | {' + '.join(effects)}", as_frame(frame, kind), vcov=vcov)
    assert result.converged
    rows = used_rows(frame, result)
    _, params, cov = dummy_fit(rows, effects, vcov)
    np.testing.assert_allclose(result.params.to_numpy(), params[:2], rtol=1e-8, atol=1e-10)
    np.testing.assert_allclose(result.cov_params().to_numpy(), cov[:2, :2], rtol=1e-8, atol=1e-12)
    assert result.nobs == len(rows)
    assert result.llf == pytest.approx(sm.Probit(rows["y"], dummy_design(rows, effects)).loglike(params), rel=1e-12)


def test_fit_matches_kestrum_with_categorical_terms():
    frame = panel(seed=3)
    result = quiet_fit("y ~ x1 + x2 | firm + year", frame, vcov="nonrobust")
    rows = used_rows(frame, result)
    dummies = kf.fit_probit("y ~ x1 + x2 + C(firm) + C(year)", rows, tol=1e-14, max_iter=500)
    np.testing.assert_allclose(result.params.to_numpy(), dummies.params[["x1", "x2"]].to_numpy(), rtol=1e-7)
    np.testing.assert_allclose(result.cov_params().to_numpy(),
                               dummies.cov_params().loc[["x1", "x2"], ["x1", "x2"]].to_numpy(), rtol=1e-7)


def dummy_ape(Z, params, cov, j):
    """mean phi(z'theta) theta_j and its delta-method error over all of theta."""
    eta = Z @ params
    phi = stats.norm.pdf(eta)
    estimate = phi.mean() * params[j]
    gradient = -(eta * phi * params[j]) @ Z / len(eta)
    gradient[j] += phi.mean()
    return estimate, np.sqrt(gradient @ cov @ gradient)


@pytest.mark.parametrize("effects", [["firm"], ["firm", "year"]], ids=["one-way", "two-way"])
@pytest.mark.parametrize("vcov", ["nonrobust", "HC1", "CR1"])
def test_ape_matches_explicit_dummies(effects, vcov):
    frame = panel(seed=1)
    result = quiet_fit(f"y ~ x1 + x2 | {' + '.join(effects)}", frame, vcov=vcov)
    table = kf.ame(result)
    assert list(table.index) == ["x1", "x2"] and table.index.name == "term"
    Z, params, cov = dummy_fit(used_rows(frame, result), effects, vcov)
    for j, name in enumerate(["x1", "x2"]):
        estimate, se = dummy_ape(Z, params, cov, j)
        assert table.loc[name, "dy/dx"] == pytest.approx(estimate, rel=1e-8)
        assert table.loc[name, "Std. Err"] == pytest.approx(se, rel=1e-7)
    assert list(kf.ame(result, variables="x2").index) == ["x2"]


def simulated_biases(effects, replications=150, firms=300, years=10, beta=1.0, seed=7):
    """Mean errors over the replications of beta^ and the APE, uncorrected
    and bias-corrected, against the known beta and the APE at the true
    parameters over the rows used."""
    rng = np.random.default_rng(seed)
    errors = []
    for _ in range(replications):
        firm = np.repeat(np.arange(firms), years)
        year = np.tile(np.arange(years), firms)
        alpha = 0.3 * rng.normal(size=firms)[firm]
        if "year" in effects:
            alpha = alpha + 0.3 * rng.normal(size=years)[year]
        x = rng.normal(size=firm.size) + alpha
        eta = beta * x + alpha
        y = (eta + rng.normal(size=firm.size) > 0).astype(float)
        result = quiet_fit(f"y ~ x | {' + '.join(effects)}", pd.DataFrame({"y": y, "x": x, "firm": firm, "year": year}),
                           vcov="nonrobust")
        true_ape = beta * stats.norm.pdf(eta[result.model.data.positions]).mean()
        errors.append([
            result.params["x"] - beta, result.bias_corrected_params()["x"] - beta,
            kf.ame(result)["dy/dx"]["x"] - true_ape, kf.ame(result, bias_correction=True)["dy/dx"]["x"] - true_ape,
        ])
    return np.mean(errors, axis=0)


# The APE's own bias at T = 10 is small (about 2 % of the effect); what the
# first-order correction leaves is of order 1/T^2 and the selection of the
# levels that are not perfectly classified. Over 300 replications the
# corrected APE kept 0.45 of the bias one-way and 0.1 to 0.2 of it two-way,
# and beta^ kept at most 0.06 of its bias.
@pytest.mark.parametrize("effects, ape_share", [(["firm"], 1 / 2), (["firm", "year"], 1 / 3)],
                         ids=["one-way", "two-way"])
def test_bias_correction_against_simulation(effects, ape_share):
    beta_bias, beta_corrected, ape_bias, ape_corrected = simulated_biases(effects)
    assert beta_bias > 0.1  # the incidental-parameter bias of order 1/T, away from 0
    assert abs(beta_corrected) <= abs(beta_bias) / 3
    assert ape_bias > 0
    assert abs(ape_corrected) <= ape_share * ape_bias


def test_perfectly_classified_levels_are_dropped_and_counted():
    frame = panel(seed=2, firms=12, years=6, missing_share=0.0)
    others = ~frame["firm"].isin(["f0", "f1", "f2"])
    number = frame["firm"].str[1:].astype(int)
    for year, value in [(2000, number % 2), (2001, 1 - number % 2)]:  # every other firm varies
        frame.loc[others & (frame["year"] == year), "y"] = value[others & (frame["year"] == year)]
    frame.loc[frame["firm"] == "f0", "y"] = 0.0
    frame.loc[frame["firm"] == "f1", "y"] = 1.0
    frame.loc[frame["firm"] == "f2", "y"] = (frame["year"] == 2005).astype(float)
    # 2005 holds only f0, f1 and f2: once f0 and f1 go, 2005 is constant, and without it f2 is.
    frame = frame[~((frame["year"] == 2005) & others)].reset_index(drop=True)
    with pytest.warns(RuntimeWarning, match="perfectly classified"):
        result = kf.fit_probit("y ~ x1 + x2 | firm + year", frame, vcov="nonrobust", tol=1e-12)
    assert result.separated_levels == {"firm": 3, "year": 1}
    assert result.n_separated == len(frame) - result.nobs == 3 * 6
    assert "Perfectly classified rows:" in str(result.summary()) and "firm 3, year 1" in str(result.summary())
    rest = frame[~frame["firm"].isin(["f0", "f1", "f2"])]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        again = kf.fit_probit("y ~ x1 + x2 | firm + year", rest, vcov="nonrobust", tol=1e-12)
    np.testing.assert_allclose(result.params, again.params, rtol=1e-12)
    assert kf.ame(result).loc["x1", "dy/dx"] == pytest.approx(kf.ame(again).loc["x1", "dy/dx"], rel=1e-12)


def test_collinear_regressor_is_dropped():
    frame = panel(seed=4)
    frame["size"] = frame["firm"].str[1:].astype(float)  # constant within firm
    with pytest.warns(RuntimeWarning, match="size are collinear"):
        result = quiet_fit("y ~ x1 + size + x2 | firm", frame, vcov="nonrobust")
    assert np.isnan(result.params["size"]) and np.isnan(result.bse["size"])
    without = quiet_fit("y ~ x1 + x2 | firm", frame, vcov="nonrobust")
    np.testing.assert_allclose(result.params[["x1", "x2"]], without.params, rtol=1e-8)


def test_fixed_effects_reproduce_the_index_and_predictions():
    frame = panel(seed=5)
    result = quiet_fit("y ~ x1 + x2 | firm + year", frame)
    with pytest.warns(UserWarning, match="a level the fit did not estimate"):
        predicted = result.predict(frame)
    used = result.model.data.positions
    np.testing.assert_allclose(predicted.to_numpy()[used], result.predict(), rtol=1e-9, atol=1e-12)
    assert predicted.drop(index=used).isna().all()  # rows of the dropped levels


def test_default_covariance_clusters_by_the_first_fixed_effect():
    frame = panel(seed=6)
    default = quiet_fit("y ~ x1 + x2 | firm + year", frame)
    explicit = quiet_fit("y ~ x1 + x2 | firm + year", frame, vcov="CR1", cluster="firm")
    assert default.vcov == "CR1" and "by firm" in default.cov_type
    assert default.model.formula == "y ~ x1 + x2 | firm + year" and default.model.exog_names == ["x1", "x2"]
    np.testing.assert_array_equal(default.cov_params(), explicit.cov_params())
    assert default.n_clusters == frame.loc[default.model.data.positions, "firm"].nunique()



def test_rows_in_any_order_give_the_same_fit():
    # The fit sorts the rows by the first fixed effect; rows already sorted skip the sort.
    frame = panel(seed=10)
    shuffled = frame.sample(frac=1.0, random_state=3)
    sorted_fit = quiet_fit("y ~ x1 + x2 | firm + year", frame)
    shuffled_fit = quiet_fit("y ~ x1 + x2 | firm + year", shuffled)
    assert shuffled_fit.nobs == sorted_fit.nobs
    np.testing.assert_allclose(shuffled_fit.params, sorted_fit.params, rtol=1e-9)
    np.testing.assert_allclose(shuffled_fit.cov_params(), sorted_fit.cov_params(), rtol=1e-7)
    rows = shuffled.index[shuffled_fit.model.data.positions]
    np.testing.assert_array_equal(np.sort(rows), np.sort(frame.index[sorted_fit.model.data.positions]))


@pytest.mark.parametrize("effect", ["firm", "year"])
def test_clusters_of_a_fixed_effect_are_those_of_the_same_column_outside_the_formula(effect):
    # Clustered by a fixed effect, the fit takes that effect's levels as the clusters; a copy of the column
    # that is not a fixed effect is grouped on its own, and must give the same clusters and bits.
    frame = panel(seed=9).assign(copy=lambda f: f[effect].astype(str) + "c")
    by_effect = quiet_fit("y ~ x1 + x2 | firm + year", frame, cluster=effect)
    by_copy = quiet_fit("y ~ x1 + x2 | firm + year", frame, cluster="copy")
    assert by_effect.n_clusters == by_copy.n_clusters == frame.loc[by_effect.model.data.positions, effect].nunique()
    np.testing.assert_array_equal(by_effect.cov_params(), by_copy.cov_params())
    np.testing.assert_array_equal(kf.ame(by_effect)["Std. Err"], kf.ame(by_copy)["Std. Err"])


def demeaning_problem(counts, seed=8, n=600):
    """Levels of len(counts) fixed effects (the first sorted), weights with
    one level of the first whose weights are all 0, and three columns."""
    from kestrum_frames.demeaning import Levels

    rng = np.random.default_rng(seed)
    codes = [np.sort(rng.integers(0, counts[0], n)), *(rng.integers(0, count, n) for count in counts[1:])]
    codes = [np.unique(c, return_inverse=True)[1] for c in codes]
    counts = [int(c.max()) + 1 for c in codes]
    weights = rng.uniform(0.1, 2.0, n)
    weights[codes[0] == 3] = 0.0
    values = rng.normal(size=(n, 3))
    return Levels([f"fe{f}" for f in range(len(counts))], codes, counts), values, weights


def exact_residuals(levels, values, weights):
    """m - D (D'WD)^- D'W m by least squares on the explicit dummies."""
    D = np.column_stack([np.eye(count)[codes] for codes, count in zip(levels.codes, levels.counts)])
    root = np.sqrt(weights)[:, None]
    coefficients = np.linalg.lstsq(root * D, root * values, rcond=None)[0]
    return values - D @ coefficients


@pytest.mark.parametrize("counts", [[50], [50, 7], [40, 9, 13]], ids=["one", "two", "three"])
@pytest.mark.parametrize("tol", [1e-4, 1e-12])
def test_demeaning_reaches_its_tolerance(counts, tol):
    from kestrum_frames.demeaning import demean

    levels, values, weights = demeaning_problem(counts)
    demeaned = demean(levels, values[:, 1:], weights, tol, leading=values[:, 0])
    exact = exact_residuals(levels, values, weights)
    used = weights > 0  # rows of weight 0 are not in the projection's norm
    error = np.abs(demeaned.residuals - exact)[used].max() / np.abs(values).max()
    assert error < 50 * tol
    assert demeaned.sweeps == 1 if len(counts) == 1 else demeaned.sweeps > 1
    gram = (demeaned.residuals * weights[:, None]).T @ demeaned.residuals
    np.testing.assert_allclose(demeaned.gram, gram, rtol=1e-12, atol=1e-12 * np.abs(gram).max())
    # The coefficients reproduce the residuals: values - sum_f D_f a_f.
    fitted = sum(c[codes] for c, codes in zip(demeaned.coefficients, levels.codes))
    np.testing.assert_allclose(values - fitted, demeaned.residuals, rtol=0, atol=1e-12)


@pytest.mark.parametrize("threads", [2, 3, 8])
def test_demeaning_has_the_same_bits_on_any_number_of_threads(threads):
    from kestrum_frames.demeaning import demean, residuals_of

    levels, values, weights = demeaning_problem([40, 9, 13], seed=3, n=5000)
    one = demean(levels, values, weights, 1e-10, threads=1)
    many = demean(levels, values, weights, 1e-10, threads=threads)
    np.testing.assert_array_equal(one.residuals, many.residuals)
    np.testing.assert_array_equal(one.gram, many.gram)
    for a, b in zip(one.coefficients, many.coefficients):
        np.testing.assert_array_equal(a, b)
    assert one.sweeps == many.sweeps
    # Without the Gram matrix, the pass over the rows leaves the residuals' bits as they are.
    alone = demean(levels, values, weights, 1e-10, threads=threads, gram=False)
    assert alone.gram is None
    np.testing.assert_array_equal(one.residuals, alone.residuals)
    again = residuals_of(levels, values, weights, many.coefficients)
    assert again.gram is None and again.sweeps == 0
    np.testing.assert_array_equal(one.residuals, again.residuals)


def test_demeaning_from_a_warm_start_reaches_the_same_residuals():
    from kestrum_frames.demeaning import demean

    levels, values, weights = demeaning_problem([50, 7], seed=5)
    cold = demean(levels, values, weights, 1e-12)
    nearby = demean(levels, values, weights * 1.01, 1e-12)  # the last Newton step's coefficients
    warm = demean(levels, values, weights, 1e-12, coefficients=nearby.coefficients)
    used = weights > 0
    np.testing.assert_allclose(warm.residuals[used], exact_residuals(levels, values, weights)[used], atol=1e-10)
    assert warm.sweeps <= cold.sweeps


def test_bad_input_names_the_column():
    frame = panel()
    with pytest.raises(KeyError, match="fixed effect 'plant'"):
        kf.fit_probit("y ~ x1 | plant", frame)
    broken = frame.assign(firm=frame["firm"].where(frame.index != 3))
    with pytest.raises(ValueError, match=r"fixed effect 'firm' is missing in 1 rows of data, first in row 3"):
        kf.fit_probit("y ~ x1 | firm", broken)
    with pytest.raises(ValueError, match="column names joined by"):
        kf.fit_probit("y ~ x1 | firm^year", frame)
    with pytest.raises(ValueError, match="no regressors besides the intercept"):
        kf.fit_probit("y ~ 1 | firm", frame)
    for option in [{"weights": "x1"}, {"method": "bfgs"}, {"npartitions": 2}]:
        with pytest.raises(ValueError, match="a fit with fixed effects takes no weights"):
            kf.fit_probit("y ~ x2 | firm", frame, **option)
    fitted = quiet_fit("y ~ x1 + x2 | firm", frame)
    with pytest.raises(ValueError, match="'x3' is not a regressor"):
        kf.ame(fitted, variables=["x1", "x3"])
    with pytest.raises(ValueError, match="no by, at"):
        kf.ame(fitted, by="year")
    with pytest.raises(ValueError, match="bias_correction is for fits with fixed effects"):
        kf.ame(kf.fit_probit("y ~ x1", frame), bias_correction=True)


@pytest.mark.parametrize("shuffled", [False, True], ids=["in order", "shuffled"])
@pytest.mark.parametrize("where", ["a kept row", "a perfectly classified row"])
def test_infinite_regressor_is_refused_wherever_it_is(where, shuffled):
    """X is gathered in the fit's row order, without the perfectly classified rows: an infinite regressor in any
    row the formula uses still names itself and its row."""
    frame = panel(seed=3, missing_share=0.0)
    frame.loc[frame["firm"] == "f5", "y"] = 1.0
    if shuffled:
        frame = frame.sample(frac=1.0, random_state=4).reset_index(drop=True)
    row = int(np.flatnonzero(frame["firm"] == ("f5" if where != "a kept row" else "f9"))[1])
    frame.loc[row, "x2"] = np.inf
    with pytest.raises(ValueError, match=rf"regressor 'x2' must be finite: found inf in row {row}"):
        quiet_fit("y ~ x1 + x2 | firm + year", frame)


def test_probit_derivatives_at_the_index_against_high_precision():
    """l, lambda and w of the Newton steps against mpmath, in the body and far in both tails."""
    mpmath = pytest.importorskip("mpmath")
    from kestrum_frames.fixed_effects import probit_derivatives

    mpmath.mp.dps = 50
    eta = np.array([-40.0, -8.5, -5.5, -1.2, 0.0, 0.3, 4.9, 5.5, 9.0, 37.0])
    eta = np.r_[eta, eta]
    y = np.r_[np.zeros(10), np.ones(10)]
    loglike, lam, w = probit_derivatives(eta, y)
    exact_l, exact_lam, exact_w = mpmath.mpf(0), [], []
    for e, outcome in zip(eta, y):
        q = 1 if outcome else -1
        z = mpmath.mpf(q * e)
        cdf = mpmath.ncdf(z)
        exact_l += mpmath.log(cdf)
        hazard = mpmath.npdf(z) / cdf
        exact_lam.append(float(q * hazard))
        exact_w.append(float(q * hazard * (q * hazard + mpmath.mpf(e))))
    assert loglike == pytest.approx(float(exact_l), rel=1e-14)
    np.testing.assert_allclose(lam, exact_lam, rtol=1e-13)
    np.testing.assert_allclose(w, exact_w, rtol=1e-12)


def test_probit_derivatives_have_the_same_bits_on_any_number_of_threads():
    from kestrum_frames import _native

    rng = np.random.default_rng(2)
    eta = rng.normal(0.0, 3.0, 200_003)
    y = (rng.random(eta.size) < 0.4).astype(float)
    one = _native.probit_at_index(eta, y, 1)
    for threads in (2, 5):
        many = _native.probit_at_index(eta, y, threads)
        assert many[0] == one[0]
        np.testing.assert_array_equal(many[1], one[1])
        np.testing.assert_array_equal(many[2], one[2])



def test_probit_derivatives_into_given_buffers():
    from kestrum_frames import _native

    rng = np.random.default_rng(4)
    eta = rng.normal(0.0, 3.0, 10_001)
    y = (rng.random(eta.size) < 0.4).astype(float)
    fresh = _native.probit_at_index(eta, y, 2)
    lam, w = np.full(eta.size, np.nan), np.full(eta.size, np.nan)
    given = _native.probit_at_index(eta, y, 2, (lam, w))
    assert given[0] == fresh[0] and given[1] is lam and given[2] is w
    np.testing.assert_array_equal(lam, fresh[1])
    np.testing.assert_array_equal(w, fresh[2])
    readonly = np.empty(eta.size)
    readonly.flags.writeable = False
    wide = np.empty(2 * eta.size)
    for out, message in [((eta, w), r"out\[0\] overlaps an input"), ((lam, lam), r"out\[1\] overlaps an input"),
                         ((lam, readonly), r"out\[1\] must be a writeable contiguous"),
                         ((wide[::2], w), r"out\[0\] must be a writeable contiguous"),
                         ((lam, w[:-1]), r"out\[1\] has 10000 elements, expected 10001")]:
        with pytest.raises(ValueError, match=message):
            _native.probit_at_index(eta, y, 2, out)
    with pytest.raises(TypeError, match="out must be a pair"):
        _native.probit_at_index(eta, y, 2, [lam, w])


def newton_trial_problem(seed=5, firms=300, years=7, k=4):
    """Rows sorted by firm, as a fit's are; the inputs of one Newton step's pass."""
    from kestrum_frames.demeaning import Levels

    rng = np.random.default_rng(seed)
    firm = np.sort(rng.integers(0, firms, firms * 11))
    year = rng.integers(0, years, firm.size)
    levels = Levels(["firm", "year"], [firm, year], [firms, years])
    n = firm.size
    columns = {name: rng.normal(size=n) for name in ("working", "projected", "eta")}
    columns["weights"] = rng.uniform(0.1, 1.0, n)
    columns["y"] = (rng.random(n) < 0.5).astype(float)
    X = rng.normal(size=(n, k))
    target = rng.normal(size=k)
    products = [rng.normal(size=firms), rng.normal(size=years)]
    return levels, columns, X, target, products


def newton_trial(levels, columns, X, target, products, threads, trial=True):
    n = X.shape[0]
    out = tuple(np.full(n, np.nan) for _ in range(4)) if trial else (np.full(n, np.nan), None, None, None)
    sums = _native.newton_trial(columns["working"], columns["projected"], columns["eta"], columns["weights"],
                                columns["y"], X, target, levels.run_lengths, levels.other_levels, products, threads,
                                out)
    return sums, out


@pytest.mark.parametrize("trial", [True, False], ids=["with the trial", "step alone"])
def test_newton_trial_pass_against_numpy(trial):
    """step = (z - z~) + X b' - sum_f c_f[level] - eta, sum w step^2, and at eta + step the probit's l, lambda
    and w as probit_at_index gives them; the same bits on any number of threads."""
    levels, columns, X, target, products = newton_trial_problem()
    (decrement, loglike), out = newton_trial(levels, columns, X, target, products, 1, trial)
    firm, year = levels.codes
    step = (columns["working"] - columns["projected"]) + X @ target - products[0][firm] - products[1][year] - columns["eta"]
    np.testing.assert_allclose(out[0], step, rtol=1e-13, atol=1e-13)
    assert decrement == pytest.approx(float(np.sum(columns["weights"] * step**2)), rel=1e-12)
    if trial:
        np.testing.assert_array_equal(out[1], columns["eta"] + out[0])
        expected = _native.probit_at_index(out[1], columns["y"], 1)
        assert loglike == pytest.approx(expected[0], rel=1e-13)
        np.testing.assert_array_equal(out[2], expected[1])
        np.testing.assert_array_equal(out[3], expected[2])
    else:
        assert loglike == 0.0
    for threads in (2, 3, 8):
        (many_decrement, many_loglike), many = newton_trial(levels, columns, X, target, products, threads, trial)
        assert (many_decrement, many_loglike) == (decrement, loglike)
        for ours, theirs in zip(many, out):
            if ours is not None:
                np.testing.assert_array_equal(ours, theirs)


def test_newton_trial_misuse_raises():
    levels, columns, X, target, products = newton_trial_problem()
    n = X.shape[0]
    fresh = [np.empty(n) for _ in range(4)]
    arguments = [columns[name] for name in ("working", "projected", "eta", "weights", "y")]

    def call(X=X, target=target, products=products, out=tuple(fresh)):
        return _native.newton_trial(*arguments, X, target, levels.run_lengths, levels.other_levels, products, 2, out)

    for options, error, message in [
        (dict(out=(columns["eta"], *fresh[1:])), ValueError, r"out\[0\] overlaps an input"),
        (dict(out=(fresh[0], fresh[0], *fresh[2:])), ValueError, r"out\[1\] overlaps an input"),
        (dict(out=(fresh[0], None, fresh[2], None)), TypeError, "three arrays, or three times None"),
        (dict(out=list(fresh)), TypeError, "out must be a tuple"),
        (dict(X=np.asfortranarray(X)), ValueError, "X must be C-contiguous"),
        (dict(target=target[:-1]), ValueError, "target"),
        (dict(products=products[:1]), ValueError, "one array per fixed effect"),
        (dict(products=[products[0][:-1], products[1]]), ValueError, r"level_products\[0\]"),
    ]:
        with pytest.raises(error, match=message):
            call(**options)
    inside = np.ascontiguousarray(np.column_stack([X, np.zeros(n)]))
    with pytest.raises(ValueError, match=r"out\[0\] overlaps X"):
        _native.newton_trial(*arguments, inside, np.r_[target, 0.0], levels.run_lengths, levels.other_levels,
                             products, 2, (inside.reshape(-1)[:n], *fresh[1:]))


def level_sums_and_pairs(levels, values, weights):
    """[b_f W_f] per fixed effect and C_fh per pair, in numpy and scipy from the rows."""
    from scipy import sparse

    indicators = [sparse.csr_matrix((weights, (codes, np.arange(codes.size))), shape=(count, codes.size))
                  for codes, count in zip(levels.codes, levels.counts)]
    sums = [np.column_stack([D @ values, D @ np.ones(values.shape[0])]) for D in indicators]
    plain = [sparse.csr_matrix((np.ones(codes.size), (codes, np.arange(codes.size))), shape=(count, codes.size))
             for codes, count in zip(levels.codes, levels.counts)]
    cross = [[None if f == h else (indicators[f] @ plain[h].T).tocsr() for h in range(len(plain))]
             for f in range(len(plain))]
    return sums, cross


@pytest.mark.parametrize("counts", [[50], [50, 7], [40, 9, 13]], ids=["one", "two", "three"])
def test_sweeps_from_sums_alone_reach_the_projection(counts):
    """The sweeps from level sums and pairs' weights formed elsewhere (a Dask fit's client) reach the
    residuals of the explicit dummies, and the demeaning's own coefficients."""
    from kestrum_frames.fixed_effects_dask import sweep

    levels, values, weights = demeaning_problem(counts)
    sums, cross = level_sums_and_pairs(levels, values, weights)
    scale = np.abs(values).max(axis=0)
    coefficients, sweeps, change = sweep(sums, cross, scale, None, 1e-13, 10_000)
    assert sweeps == 1 if len(counts) == 1 else (sweeps > 1 and change < 1e-13)  # one fixed effect: one sweep
    fitted = sum(c[codes] for c, codes in zip(coefficients, levels.codes))
    used = weights > 0
    exact = exact_residuals(levels, values, weights)
    assert np.abs((values - fitted) - exact)[used].max() < 1e-10 * np.abs(values).max()
    rows = np.argsort(levels.codes[0], kind="stable")  # the demeaning reads rows sorted by the first
    from kestrum_frames.demeaning import Levels, demean

    sorted_levels = Levels(levels.names, [c[rows] for c in levels.codes], levels.counts)
    own = demean(sorted_levels, values[rows], weights[rows], 1e-13)
    fitted_own = sum(c[codes] for c, codes in zip(own.coefficients, sorted_levels.codes))
    np.testing.assert_allclose(fitted_own, fitted[rows], rtol=1e-9, atol=1e-10 * np.abs(values).max())


def test_sweep_misuse_raises():
    levels, values, weights = demeaning_problem([20, 5])
    sums, cross = level_sums_and_pairs(levels, values, weights)
    pair = cross[0][1]
    arrays = (pair.indptr.astype(np.int64), pair.indices.astype(np.int64), pair.data)
    scale = np.ones(values.shape[1])

    def call(sums=sums, pair=arrays, reverse=None, scale=scale):
        back = cross[1][0]
        reverse = reverse or (back.indptr.astype(np.int64), back.indices.astype(np.int64), back.data)
        return _native.sweep_levels(sums, [[None, pair], [reverse, None]], scale, None, 1e-8, 100, 1)

    for options, error, message in [
        (dict(pair=(arrays[0][:-1], *arrays[1:])), ValueError, r"cross\[0\]\[1\]'s indptr must hold 21 offsets"),
        (dict(pair=(arrays[0][::-1].copy(), *arrays[1:])), ValueError, "must rise from 0"),
        (dict(pair=(arrays[0], arrays[1] + 5, arrays[2])), ValueError, "indices must be levels below 5"),
        (dict(pair=arrays[:2]), TypeError, "must be a triple"),
        (dict(sums=[sums[0], sums[1][:, 1:]]), ValueError, r"sums\[1\] has"),
        (dict(scale=scale[:-1]), ValueError, "scale"),
    ]:
        with pytest.raises(error, match=message):
            call(**options)
