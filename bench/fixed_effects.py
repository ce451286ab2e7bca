"""Probit with absorbed firm and year effects: kestrum_frames beside pyfixest.

Run from the repository root with kestrum_frames and pyfixest importable
(pip install '.[bench]'):

    python bench/fixed_effects.py [--rows 10000000] [--firms 100000] [--years 20] [--k 10] [--rounds 1]
                                  [--only kestrum_frames]

The data: --rows rows, rows / firms of each of --firms firms, each row in
one of --years years at random (several rows per firm and year, as workers
or products of a firm), 5 % of the rows left out at random, k normal
regressors correlated with the firm effects, y = 1(x'beta + alpha_firm +
gamma_year + e > 0). Each fit runs in a fresh process (so the memory is its
own: the peak resident set, the data included; and the time includes the
first call's imports), the two in turn for each round, on the same data:

  kestrum_frames  kf.fit_probit("y ~ x1 + ... | firm + year", frame) and kf.ame(result):
                  beta with CR1 by firm, and the APEs with their standard errors
  pyfixest        pf.feglm("y ~ x1 + ... | firm + year", frame, family="probit", vcov={"CRV1": "firm"})

and prints the times (the data's simulation left out; the first fit's
includes the imports and pyfixest's compilation, --again adds a second fit
in the same process), the peak memory, the ratios, and the largest
difference between the two estimates of beta. --only runs one of the two
(a quick measurement at a smaller scale without the peer), and prints no ratios.
"""

from __future__ import annotations

import argparse
import json
import resource
import subprocess
import sys
import time

import numpy as np
import pandas as pd


def make_frame(rows: int, firms: int, years: int, k: int, seed: int = 20240611) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    firms = min(firms, max(rows // 2, 1))
    firm = np.repeat(np.arange(firms), rows // firms)
    year = rng.integers(0, years, firm.size)  # several rows per firm and year (workers, products)
    keep = rng.random(firm.size) < 0.95
    firm, year = firm[keep], year[keep]
    alpha = rng.normal(0.0, 0.5, firms)
    gamma = rng.normal(0.0, 0.3, years)
    X = rng.normal(size=(firm.size, k)) + 0.3 * alpha[firm][:, None]
    index = X @ rng.normal(0.0, 0.2, k) + alpha[firm] + gamma[year]
    frame = pd.DataFrame(X, columns=[f"x{j}" for j in range(1, k + 1)])
    frame["y"] = (index + rng.normal(size=firm.size) > 0).astype(float)
    frame["firm"] = firm
    frame["year"] = year
    return frame


def fit(tool: str, frame: pd.DataFrame, formula: str) -> dict:
    if tool == "kestrum_frames":
        import warnings

        import kestrum_frames as kf

        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # perfectly classified firms
            result = kf.fit_probit(formula, frame)
        effects = kf.ame(result)
        return {"beta": result.params.tolist(), "ape_x1": float(effects["dy/dx"].iloc[0]),
                "ape_se_x1": float(effects["Std. Err"].iloc[0]), "nobs": result.nobs}
    import pyfixest as pf

    result = pf.feglm(formula, data=frame, family="probit", vcov={"CRV1": "firm"})
    return {"beta": result.coef().tolist()}


def run(tool: str, args) -> dict:
    """The first fit in this fresh process (its imports included) and, with
    --again, a second one on the same frame."""
    frame = make_frame(args.rows, args.firms, args.years, args.k)
    formula = "y ~ " + " + ".join(f"x{j}" for j in range(1, args.k + 1)) + " | firm + year"
    start = time.perf_counter()
    outcome = fit(tool, frame, formula)
    outcome["seconds"] = time.perf_counter() - start
    if args.again:
        start = time.perf_counter()
        fit(tool, frame, formula)
        outcome["again"] = time.perf_counter() - start
    outcome["peak_mib"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # MiB on Linux
    return outcome


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", type=float, default=1e7)
    parser.add_argument("--firms", type=int, default=100_000)
    parser.add_argument("--years", type=int, default=20)
    parser.add_argument("--k", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--again", action="store_true", help="also time a second fit in the same process")
    parser.add_argument("--only", choices=["kestrum_frames", "pyfixest"], help="run this tool alone")
    parser.add_argument("--tool", choices=["kestrum_frames", "pyfixest"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.rows = int(args.rows)
    if args.tool:
        print(json.dumps(run(args.tool, args)))
        return
    passed = [a for a in sys.argv[1:]]
    times = {tool: [] for tool in ("kestrum_frames", "pyfixest") if args.only in (None, tool)}
    results = {}
    for _ in range(args.rounds):
        for tool in times:
            output = subprocess.run([sys.executable, __file__, *passed, "--tool", tool], check=True,
                                    capture_output=True, text=True).stdout
            results[tool] = json.loads(output.strip().splitlines()[-1])
            times[tool].append(results[tool]["seconds"])
            again = f"   again {results[tool]['again']:8.1f} s" if args.again else ""
            print(f"{tool:15s} first {results[tool]['seconds']:8.1f} s{again}   peak {results[tool]['peak_mib']:8.0f} MiB",
                  flush=True)
    if args.only:
        return
    ours, theirs = (min(times[t]) for t in times)
    difference = np.abs(np.subtract(results["kestrum_frames"]["beta"], results["pyfixest"]["beta"])).max()
    again = ""
    if args.again:
        again = f", again {results['pyfixest']['again'] / results['kestrum_frames']['again']:.2f}"
    print(f"rows {results['kestrum_frames']['nobs']} used, k {args.k}: pyfixest / kestrum_frames time ratio "
          f"{theirs / ours:.2f} first (best of {args.rounds}){again}; memory ratio "
          f"{results['pyfixest']['peak_mib'] / results['kestrum_frames']['peak_mib']:.2f}")
    print(f"largest |beta difference| {difference:.2e}; APE of x1 {results['kestrum_frames']['ape_x1']:.6f} "
          f"(s.e. {results['kestrum_frames']['ape_se_x1']:.6f}), in kestrum_frames' time")


if __name__ == "__main__":
    main()
