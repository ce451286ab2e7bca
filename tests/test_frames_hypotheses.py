"""Wald and likelihood-ratio tests and information criteria of kestrum_frames
fits, against statsmodels at the same estimates and closed forms."""

import pathlib
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

from same_fit import COV_OPTIONS, MROZ_FORMULA, statsmodels_at

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
dd = pytest.importorskip("dask.dataframe")

DATA = pathlib.Path(__file__).resolve().parents[1] / "data"
RESTRICTED = "inlf ~ nwifeinc + exper + I(exper**2) + kidslt6 + kidsge6"


@pytest.fixture(scope="module")
def mroz():
    return pd.read_csv(DATA / "mroz.csv")


@pytest.fixture(scope="module")
def spector():
    return pd.read_csv(DATA / "spector.csv")


@pytest.mark.parametrize("cov", list(COV_OPTIONS))
@pytest.mark.parametrize(
    "hypotheses",
    ["age = 0, educ = 0", "educ = 0", "2*kidslt6 = kidsge6", "exper + I(exper ** 2) = 0.1, age = -0.05, educ = age"],
)
def test_wald_test_agrees_with_statsmodels(mroz, cov, hypotheses):
    ours, theirs = COV_OPTIONS[cov]
    result = kf.fit_probit(MROZ_FORMULA, mroz, **ours)
    reference = statsmodels_at(result, MROZ_FORMULA, mroz, **theirs)
    expected = reference.wald_test(hypotheses, scalar=True, use_f=False)

    test = result.wald_test(hypotheses)
    np.testing.assert_allclose(test.statistic, expected.statistic, rtol=1e-8)
    np.testing.assert_allclose(test.pvalue, expected.pvalue, rtol=1e-8)
    assert test.df == expected.df_denom == hypotheses.count(",") + 1


def test_wald_test_matrix_form_and_one_hypothesis_as_z_squared(mroz):
    result = kf.fit_probit(MROZ_FORMULA, mroz)
    names = list(result.params.index)
    R = np.zeros((2, len(names)))
    R[0, names.index("age")] = 1.0
    R[1, names.index("kidslt6")], R[1, names.index("kidsge6")] = 1.0, -2.0
    by_matrix = result.wald_test(R, [-0.05, 0.0])
    by_name = result.wald_test("age = -0.05, kidslt6 - 2*kidsge6 = 0")
    assert (by_matrix.statistic, by_matrix.pvalue, by_matrix.df) == pytest.approx(
        (by_name.statistic, by_name.pvalue, 2), rel=1e-12
    )
    # One zero restriction on a coefficient: the square of its z statistic.
    single = result.wald_test(R[0])
    assert single.statistic == pytest.approx(result.zvalues["age"] ** 2, rel=1e-12)
    assert single.pvalue == pytest.approx(result.pvalues["age"], rel=1e-10)


@pytest.mark.parametrize(
    "hypotheses, values, message",
    [
        ("agee = 0", None, "cannot be read"),
        ("educ = 0, 2*educ = 0", None, "linearly dependent"),
        (np.ones((1, 3)), None, "one column per term"),
        (np.eye(8)[:2], [1.0], "one entry per hypothesis"),
        ("educ = 0", [0.0], "values is for a matrix"),
        (np.full(8, np.nan), None, "finite"),
    ],
)
def test_wald_test_rejects_bad_hypotheses(mroz, hypotheses, values, message):
    result = kf.fit_probit(MROZ_FORMULA, mroz)
    with pytest.raises(ValueError, match=message):
        result.wald_test(hypotheses, values)


def test_wald_test_with_a_dropped_column_and_a_covariance_that_is_not_finite(mroz):
    # kidsge6 copied: the copy is dropped, the other terms are those of the model without it.
    frame = mroz.assign(copy=mroz["kidsge6"], one=1.0)
    with pytest.warns(RuntimeWarning, match="dropped copy"):
        result = kf.fit_probit("inlf ~ educ + age + kidsge6 + copy", frame)
    reference = kf.fit_probit("inlf ~ educ + age + kidsge6", mroz)
    for hypothesis in ("educ = 0", "age = 0, kidsge6 = 0"):
        assert result.wald_test(hypothesis).statistic == pytest.approx(reference.wald_test(hypothesis).statistic,
                                                                       rel=1e-8)
    with pytest.raises(ValueError, match="involve copy, dropped"):
        result.wald_test("copy = 0")
    # A single cluster: the cluster-robust covariance is all NaN.
    with pytest.warns(RuntimeWarning, match="single cluster"):
        single = kf.fit_probit("inlf ~ educ + age", frame, cluster="one")
    with pytest.raises(ValueError, match="not finite"):
        single.wald_test("educ = 0")


def test_lr_test_agrees_with_statsmodels(mroz):
    restricted = kf.fit_probit(RESTRICTED, mroz)
    unrestricted = kf.fit_probit(MROZ_FORMULA, mroz)
    # statsmodels' likelihoods and model degrees of freedom at the same estimates.
    small = statsmodels_at(restricted, RESTRICTED, mroz)
    large = statsmodels_at(unrestricted, MROZ_FORMULA, mroz)
    statistic, df = 2.0 * (large.llf - small.llf), large.df_model - small.df_model

    test = kf.lr_test(restricted, unrestricted)
    np.testing.assert_allclose([test.statistic, test.pvalue], [statistic, stats.chi2.sf(statistic, df)], rtol=1e-8)
    assert test.df == df == 2


def test_lr_test_accepts_the_same_rows_partitioned_otherwise_or_on_dask(mroz):
    reference = kf.lr_test(kf.fit_probit(RESTRICTED, mroz), kf.fit_probit(MROZ_FORMULA, mroz))
    restricted = kf.fit_probit(RESTRICTED, dd.from_pandas(mroz, npartitions=3))
    test = kf.lr_test(restricted, kf.fit_probit(MROZ_FORMULA, mroz, npartitions=5))
    assert test.statistic == pytest.approx(reference.statistic, rel=1e-8)


def test_lr_test_refuses_fits_on_different_rows(mroz):
    unrestricted = kf.fit_probit(MROZ_FORMULA, mroz)
    with_missing = mroz.assign(age=mroz["age"].where(mroz.index % 10 != 0))
    with pytest.raises(ValueError, match="different rows: 753 and 677 observations"):
        kf.lr_test(kf.fit_probit(RESTRICTED, mroz), kf.fit_probit(MROZ_FORMULA, with_missing))
    # As many rows, but not the same ones.
    with pytest.raises(ValueError, match="both have 752 observations, but"):
        kf.lr_test(kf.fit_probit(RESTRICTED, mroz.iloc[1:]), kf.fit_probit(MROZ_FORMULA, mroz.iloc[:-1]))
    # The same rows in another order.
    with pytest.raises(ValueError, match="both have 753 observations, but"):
        kf.lr_test(kf.fit_probit(RESTRICTED, mroz.iloc[::-1]), unrestricted)


@pytest.mark.parametrize(
    "restricted, message",
    [
        ("inlf ~ nwifeinc + city", "not nested: the restricted model's terms \\['city'\\]"),
        (MROZ_FORMULA, "fewer terms"),
        ("kidslt6 ~ nwifeinc + educ", "different outcomes"),
    ],
)
def test_lr_test_refuses_models_that_are_not_nested(mroz, restricted, message):
    with pytest.raises(ValueError, match=message):
        kf.lr_test(kf.fit_probit(restricted, mroz.assign(kidslt6=mroz["kidslt6"].clip(0, 1))),
                   kf.fit_probit(MROZ_FORMULA, mroz.assign(kidslt6=mroz["kidslt6"].clip(0, 1))))


def test_lr_test_warns_under_a_robust_covariance(mroz):
    with pytest.warns(UserWarning, match="robust covariance"):
        kf.lr_test(kf.fit_probit(RESTRICTED, mroz), kf.fit_probit(MROZ_FORMULA, mroz, robust=True))


@pytest.mark.parametrize(
    "data, formula",
    [("mroz", MROZ_FORMULA), ("mroz", RESTRICTED), ("spector", "GRADE ~ GPA + TUCE + PSI"), ("spector", "GRADE ~ TUCE")],
)
def test_information_criteria_agree_with_statsmodels(request, data, formula):
    frame = request.getfixturevalue(data)
    result = kf.fit_probit(formula, frame)
    reference = statsmodels_at(result, formula, frame)
    for name in ("aic", "bic", "llr"):
        np.testing.assert_allclose(getattr(result, name), getattr(reference, name), rtol=1e-8, err_msg=name)
    # statsmodels fits the intercept-only model numerically (l0 is closed form
    # here), and a tiny p-value magnifies that gap: compare its logarithm.
    np.testing.assert_allclose(np.log(result.llr_pvalue), np.log(reference.llr_pvalue), rtol=1e-8)
    # The textbook forms, with k coefficients and n rows.
    k, n = len(result.params), result.nobs
    assert result.bic - result.aic == pytest.approx((np.log(n) - 2.0) * k, rel=1e-12)
    assert result.llr_pvalue == pytest.approx(stats.chi2.sf(2 * (result.llf - result.llnull), k - 1), rel=1e-12)
