"""Names and checks shared by the kestrum_frames tests."""

import numpy as np

REGRESSORS = ["dummy_a", "dummy_b", "income", "rate", "z"]
FORMULA = "y ~ " + " + ".join(REGRESSORS)


def assert_same_fit(result, reference, rtol=1e-10):
    """Coefficients to rtol, covariances to rtol of se_a se_b."""
    np.testing.assert_allclose(result.params.to_numpy(), reference.params, rtol=rtol, atol=0)
    cov, ref = result.cov_params().to_numpy(), reference.cov_params()
    se = np.sqrt(np.diag(ref))
    assert np.all(np.abs(cov - ref) <= rtol * np.outer(se, se)), np.abs(cov - ref) / np.outer(se, se)
