"""BFGS against Newton from a sample, for rows held in memory.

    python bench/iterations.py                    # n = 1e6, k = 5, 20, 50, 7 rounds
    python bench/iterations.py --n 2e5 --k 20 --repeat 3

kestrum_frames.fit_probit(formula, pandas frame, method=...) on compare.py's
make_data(n, k), nonrobust and HC1, each method once per round in turn
(after a warm-up round), the best and the median over the rounds. The ratio
is Newton's time over BFGS's: below 1, Newton is faster. strategy.py's
choice for data in memory ("auto") follows these numbers.
"""

import argparse
import os
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import make_data  # noqa: E402

import kestrum_frames as kf  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--k", type=int, nargs="+", default=[5, 20, 50])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()
    n = int(args.n)
    print(f"n = {n:.0e}, {os.cpu_count()} cores; times in ms, best (median) of {args.repeat} rounds\n")
    print("| k | covariance | BFGS | Newton | Newton / BFGS (best) | (median) | passes BFGS, Newton |")
    print("|---|---|---|---|---|---|---|")
    for k in args.k:
        y, X, _, _ = make_data(n, k)
        names = [f"x{j}" for j in range(1, k)]
        frame = pd.DataFrame({name: X[:, j + 1] for j, name in enumerate(names)}).assign(y=y)
        formula = "y ~ " + " + ".join(names)
        for robust in (False, True):
            def fit(method):
                return kf.fit_probit(formula, frame, robust=robust, method=method)

            passes = {m: fit(m).passes for m in ("bfgs", "newton")}  # the warm-up round
            times = {"bfgs": [], "newton": []}
            for _ in range(args.repeat):
                for method in times:
                    start = time.perf_counter()
                    fit(method)
                    times[method].append(time.perf_counter() - start)
            best = {m: min(t) for m, t in times.items()}
            median = {m: float(np.median(t)) for m, t in times.items()}
            print(f"| {k} | {'HC1' if robust else 'nonrobust'} | {best['bfgs'] * 1e3:.0f} ({median['bfgs'] * 1e3:.0f}) | "
                  f"{best['newton'] * 1e3:.0f} ({median['newton'] * 1e3:.0f}) | {best['newton'] / best['bfgs']:.2f} | "
                  f"{median['newton'] / median['bfgs']:.2f} | {passes['bfgs']}, {passes['newton']} |")
    print(f"\nload average (1 min) after the run {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
