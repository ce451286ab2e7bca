"""Labour-force participation of married women: the Mroz (1987) data.

Probit of inlf (1 if the woman worked in 1975) on nwifeinc (other family
income, $1000s), educ, exper and its square, age, kidslt6 and kidsge6 for
the 753 women of the sample, as in Wooldridge, Introductory Econometrics,
Example 17.1, written as a formula with kestrum_frames. Prints the
coefficients with three kinds of standard error side by side (nonrobust,
heteroskedasticity-robust HC1 and clustered by age with G/(G-1), as Stata's
vce(robust) and vce(cluster age)) and the average partial
effects of the variables (that of exper through exper and its square). Needs the frames extra (pip install ".[frames]"); the data are
data/mroz.csv.

Why cluster by age: the data have no household, county or interviewer code.
Age (30 to 60, 31 distinct values) groups the women into birth cohorts that
may share unobserved shocks (schooling and labour-market conditions when they
were young). The other candidates have too few groups for cluster-robust
inference: unem, the county unemployment rate, takes 7 values and city 2.
Read the clustered column as an illustration of the option, not as the right
model for these data.
"""

from pathlib import Path

import pandas as pd

import kestrum_frames as kf

DATA = Path(__file__).resolve().parent.parent / "data" / "mroz.csv"
FORMULA = "inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6"

# Probit column of Wooldridge's Table 17.1: coefficient and standard error, as
# printed there; also log-likelihood -401.30 and pseudo R-squared .221.
TEXTBOOK = {
    "Intercept": ".270 (.509)",
    "nwifeinc": "-.012 (.005)",
    "educ": ".131 (.025)",
    "exper": ".123 (.019)",
    "I(exper ** 2)": "-.0019 (.0006)",
    "age": "-.053 (.008)",
    "kidslt6": "-.868 (.119)",
    "kidsge6": ".036 (.043)",
}


def main():
    data = pd.read_csv(DATA)
    fits = {
        "nonrobust": kf.fit_probit(FORMULA, data),
        "HC1": kf.fit_probit(FORMULA, data, robust=True),
        "CR1(age)": kf.fit_probit(FORMULA, data, cluster="age"),
    }
    base = fits["nonrobust"]
    print(base.summary())

    print()
    print("Standard errors by covariance (HC1 and CR1 as Stata's robust and clustered); textbook: coef (std err)")
    errors = pd.DataFrame({label: fit.bse for label, fit in fits.items()})
    errors.insert(0, "coef", base.params)
    errors["textbook"] = pd.Series(TEXTBOOK)
    print(errors.to_string(float_format=lambda v: f"{v:.4f}"))

    print()
    print("Average partial effects of the variables (nonrobust delta-method standard errors);")
    print("exper's runs through exper and its square: 0.0256 (0.0022)")
    print(kf.ame(base).to_string(float_format=lambda v: f"{v:.4f}"))

    print()
    print("The effect of experience at 5, 10 and 20 years, and the average probability by city:")
    print(kf.ame(base, variables="exper", at={"exper": [5, 10, 20]}).to_string(float_format=lambda v: f"{v:.4f}"))
    print(kf.avg_predictions(base, by="city").to_string(float_format=lambda v: f"{v:.4f}"))

    print()
    print("Standard errors of the average partial effects by covariance:")
    columns = {label: kf.ame(fit)["Std. Err"] for label, fit in fits.items()}
    print(pd.DataFrame(columns).to_string(float_format=lambda v: f"{v:.4f}"))


if __name__ == "__main__":
    main()
