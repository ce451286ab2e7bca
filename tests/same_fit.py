"""statsmodels' probit results at kestrum_frames' estimates: the same
coefficients (a Newton fit of no steps from them), so that every statistic
built on them can be compared to rounding error."""

import warnings

import numpy as np
import statsmodels.formula.api as smf

MROZ_FORMULA = "inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6"
COV_OPTIONS = {
    "nonrobust": ({}, {}),
    "HC0": ({"vcov": "HC0"}, {"cov_type": "HC0"}),
}


def statsmodels_at(result, formula, data, **fit_kwargs):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # no steps: statsmodels reports no convergence
        reference = smf.probit(formula, data).fit(
            start_params=result.params.to_numpy(), method="newton", maxiter=0, disp=0, **fit_kwargs
        )
    assert list(reference.params.index) == list(result.params.index)
    np.testing.assert_allclose(result.cov_params().to_numpy(), reference.cov_params().to_numpy(), rtol=1e-9)
    return reference
