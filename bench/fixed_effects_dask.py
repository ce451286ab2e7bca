"""Probit with absorbed firm and year effects on a Dask DataFrame beside the
same fit on the pandas frame, in one process, in turn.

    python bench/fixed_effects_dask.py [--rows 1000000] [--firms 10000] [--years 20] [--k 5]
                                       [--partitions 8] [--rounds 2]

The data are those of bench/fixed_effects.py. Each round fits
kf.fit_probit("y ~ x1 + ... | firm + year", frame) (CR1 by firm) and then
kf.ame(result) on the pandas frame and on dd.from_pandas(frame, npartitions)
(the local threaded scheduler), and prints the times of both, their ratios
and the largest relative difference of the estimates of beta. The first round includes each path's first-call costs.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from fixed_effects import make_frame  # noqa: E402


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--firms", type=int, default=10_000)
    parser.add_argument("--years", type=int, default=20)
    parser.add_argument("--k", type=int, default=5)
    parser.add_argument("--partitions", type=int, default=8)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    import dask.dataframe as dd
    import numpy as np

    import kestrum_frames as kf

    frame = make_frame(args.rows, args.firms, args.years, args.k)
    lazy = dd.from_pandas(frame, npartitions=args.partitions)
    formula = "y ~ " + " + ".join(f"x{j}" for j in range(1, args.k + 1)) + " | firm + year"
    for round_ in range(args.rounds):
        times, fits = {}, {}
        for name, data in [("pandas", frame), ("dask", lazy)]:
            start = time.perf_counter()
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", RuntimeWarning)  # perfectly classified firms
                fits[name] = kf.fit_probit(formula, data)
            fitted = time.perf_counter()
            kf.ame(fits[name])
            times[name] = (fitted - start, time.perf_counter() - fitted)
        difference = float(np.max(np.abs(fits["dask"].params / fits["pandas"].params - 1)))
        (pandas_fit, pandas_ame), (dask_fit, dask_ame) = times["pandas"], times["dask"]
        print(f"round {round_}: fit pandas {pandas_fit:.2f} s, dask {dask_fit:.2f} s ({args.partitions} partitions), "
              f"ratio {dask_fit / pandas_fit:.2f}; ame pandas {pandas_ame:.2f} s, dask {dask_ame:.2f} s, "
              f"ratio {dask_ame / pandas_ame:.2f}; largest relative difference of beta {difference:.1e}", flush=True)

if __name__ == "__main__":
    main()
