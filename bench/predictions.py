"""Prediction standard errors per row: kestrum_frames' get_prediction against
statsmodels' Probit get_prediction on the same fit, interleaved.

    python bench/predictions.py [ROWS ...]     # default: 100000 1000000

For each size: a seeded design with k = 10 regressors, fitted once by each
tool; then, alternately, each computes the probabilities, their standard
errors and 95% intervals for every row of the fit, five times. Prints the
median seconds of each and the ratio statsmodels / kestrum_frames.
"""

import statistics
import sys
import time
import warnings

import numpy as np
import pandas as pd
import statsmodels.api as sm

import kestrum_frames as kf

K = 10
REPEATS = 5


def design(n: int) -> pd.DataFrame:
    rng = np.random.default_rng(1)
    X = rng.normal(size=(n, K - 1))
    y = (X @ np.linspace(-0.5, 0.5, K - 1) + rng.normal(size=n) > 0).astype(float)
    return pd.DataFrame(X, columns=[f"x{j}" for j in range(K - 1)]).assign(y=y)


def main(sizes):
    print("| rows | kestrum_frames (s) | statsmodels (s) | ratio |")
    print("|---:|---:|---:|---:|")
    for n in sizes:
        frame = design(n)
        formula = "y ~ " + " + ".join(frame.columns[:-1])
        ours = kf.fit_probit(formula, frame)
        exog = sm.add_constant(frame.iloc[:, :-1].to_numpy())
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = sm.Probit(frame["y"].to_numpy(), exog).fit(
                start_params=ours.params.to_numpy(), method="newton", maxiter=0, disp=0
            )
        times = {"ours": [], "theirs": []}
        for _ in range(REPEATS):
            start = time.perf_counter()
            a = ours.get_prediction().summary_frame()
            times["ours"].append(time.perf_counter() - start)
            start = time.perf_counter()
            b = theirs.get_prediction().summary_frame()
            times["theirs"].append(time.perf_counter() - start)
        assert np.allclose(a.to_numpy(), b.to_numpy(), rtol=1e-8)
        mine, peer = statistics.median(times["ours"]), statistics.median(times["theirs"])
        print(f"| {n} | {mine:.4f} | {peer:.4f} | {peer / mine:.1f} |")


if __name__ == "__main__":
    main([int(arg) for arg in sys.argv[1:]] or [100_000, 1_000_000])
