"""One pass of the probit's sums over one partition, by what it computes.

    python bench/passes.py                  # 262,144 rows x 20, best of 15
    python bench/passes.py --rows 16384     # a partition that stays in cache

Times kestrum_frames._native.probit_sums (one thread) over a partition held
as separate contiguous columns (as a pandas or polars frame's partitions
are) and as one row-major block, for the three kinds of pass a fit makes:
the log-likelihood and gradient (the line search), with the Hessian (the
last pass) and with the HC0 meat (BFGS's first pass, robust fits' last).
Run it against two builds (PYTHONPATH=...) to compare kernels.
"""

import argparse
import time

import numpy as np

from kestrum_frames import _native

PASSES = {
    "l, g": _native.LOGLIKE | _native.GRADIENT,
    "l, g, H": _native.LOGLIKE | _native.GRADIENT | _native.HESSIAN,
    "l, g, meat": _native.LOGLIKE | _native.GRADIENT | _native.ROBUST_MEAT,
}


def best_ms(y, X, beta, quantities, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        _native.probit_sums(y, X, beta, quantities)
        times.append(time.perf_counter() - start)
    return 1e3 * min(times)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1 << 18)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=15)
    args = parser.parse_args()
    rng = np.random.default_rng(0)
    X = rng.standard_normal((args.rows, args.k))
    X[:, 0] = 1.0
    beta = 0.1 * rng.standard_normal(args.k)
    y = (X @ beta + rng.standard_normal(args.rows) > 0).astype(np.float64)
    layouts = {"columns": [np.ascontiguousarray(X[:, j]) for j in range(args.k)], "block": np.ascontiguousarray(X)}
    print(f"{args.rows} rows x {args.k}, best of {args.repeat}, ms")
    print("layout   " + "".join(f"{name:>12}" for name in PASSES))
    for layout, data in layouts.items():
        print(f"{layout:<9}" + "".join(f"{best_ms(y, data, beta, q, args.repeat):12.2f}" for q in PASSES.values()))


if __name__ == "__main__":
    main()
