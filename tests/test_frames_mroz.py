"""The labour-force participation probit of Wooldridge, Introductory
Econometrics, Example 17.1 (Mroz 1987 data, data/mroz.csv), by formula."""

import pathlib

import pandas as pd
import pytest

kf = pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")

MROZ = pathlib.Path(__file__).resolve().parents[1] / "data" / "mroz.csv"
FORMULA = "inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6"

# Table 17.1, probit column: coefficient and standard error as printed, with
# the number of decimals printed.
TEXTBOOK = {
    "Intercept": (0.270, 0.509, 3),
    "nwifeinc": (-0.012, 0.005, 3),
    "educ": (0.131, 0.025, 3),
    "exper": (0.123, 0.019, 3),
    "I(exper ** 2)": (-0.0019, 0.0006, 4),
    "age": (-0.053, 0.008, 3),
    "kidslt6": (-0.868, 0.119, 3),
    "kidsge6": (0.036, 0.043, 3),
}


def test_example_17_1():
    result = kf.fit_probit(FORMULA, pd.read_csv(MROZ))

    assert result.params.index.tolist() == list(TEXTBOOK)
    for name, (coef, se, decimals) in TEXTBOOK.items():
        assert round(result.params[name], decimals) == coef, name
        assert round(result.bse[name], decimals) == se, name
    assert (result.nobs, result.n_dropped, result.converged) == (753, 0, True)
    assert round(result.loglike, 2) == -401.30
    assert round(result.prsquared, 3) == 0.221
    text = str(result.summary())
    assert "I(exper ** 2)" in text and "nonrobust" in text and "753" in text
