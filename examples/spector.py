"""Probit model of grade improvement on the Spector and Mazzeo (1980) data.

Fits GRADE on a constant, GPA, TUCE and PSI with kestrum.fit_probit and,
when kestrum provides it, prints the table of average marginal effects.
Run from anywhere: the data file is found relative to this script.
"""

import csv
import types
from pathlib import Path

import numpy as np

import kestrum

DATA = Path(__file__).resolve().parent.parent / "data" / "spector.csv"
NAMES = ["const", "GPA", "TUCE", "PSI"]

# Reference values for comparison, as reported by statsmodels 0.15
# (Probit(y, X).fit() and get_margeff(at='overall', dummy=True)) and
# matching the coefficients published for these data.
REFERENCE_PARAMS = {"const": -7.4523, "GPA": 1.6258, "TUCE": 0.0517, "PSI": 1.4263}
REFERENCE_AME = {"GPA": 0.3608, "TUCE": 0.0115, "PSI": 0.3738}


def load(path):
    with open(path, newline="") as handle:
        rows = list(csv.DictReader(handle))
    y = np.array([float(row["GRADE"]) for row in rows])
    X = np.column_stack(
        [np.ones(len(rows))] + [np.array([float(row[name]) for row in rows]) for name in NAMES[1:]]
    )
    return y, X


def main():
    y, X = load(DATA)
    result = kestrum.fit_probit(y, X)
    params = np.asarray(result.params)
    se = np.sqrt(np.diag(result.cov_params()))

    print(f"Probit of GRADE on {', '.join(NAMES)} ({len(y)} observations)")
    print()
    print(f"{'':8}{'coef':>10}{'std err':>10}{'reference':>11}")
    for name, b, s in zip(NAMES, params, se):
        print(f"{name:8}{b:10.4f}{s:10.4f}{REFERENCE_PARAMS[name]:11.4f}")
    print()
    print(f"log-likelihood: {result.loglike:.4f}")
    print(f"iterations:     {result.iterations} (index of the last iteration)")
    print(f"converged:      {result.converged}")

    if not hasattr(kestrum, "ame"):
        print()
        print("kestrum.ame is not available in this build; no marginal effects printed.")
        return

    # The fitted model names its columns x0, x1, ...; ame leaves out only a
    # column named const/intercept, so give it the real names.
    named = types.SimpleNamespace(
        params=params,
        cov_params=result.cov_params,
        model=types.SimpleNamespace(exog_names=NAMES, exog=X),
    )
    table = kestrum.ame(named)
    print()
    print("Average marginal effects (PSI as a discrete change from 0 to 1):")
    print(table.to_string())
    print()
    print("Reference dy/dx: " + ", ".join(f"{k} {v:.4f}" for k, v in REFERENCE_AME.items()))


if __name__ == "__main__":
    main()
