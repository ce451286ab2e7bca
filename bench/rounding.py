"""Passes and wall time of a fit that reaches its maximum in a few iterations.

The design: n = 2e6 rows, a constant and ten standard normal regressors, two
of them with an effect (0.5 and -0.3), the others and the constant zero, and
a cluster code g drawn uniformly from 5,000 groups; y from the probit model.
Three cases, all clustered by g:

  arrays   kestrum.fit_probit(y, X, robust=True, cluster_vars=g)
  pandas   kestrum_frames.fit_probit("y ~ x1 + ... + x10", frame, cluster="g")
  parquet  the same from dd.read_parquet(dir) over 20 files, persist=False
           (the files are read on every pass)

Run from the repository root with kestrum and kestrum_frames importable:

    python bench/rounding.py                          # the build on PYTHONPATH
    python bench/rounding.py --build before=/path/to/old/build --build after=build/dev

With several --build options every case runs in a fresh child process with
PYTHONPATH set to that build, the builds interleaved round by round, and the
table compares them: passes (res.passes; not reported by kestrum.fit_probit),
iterations (the zero-based index), the best wall time over the rounds and
the largest difference of the estimates from the first build's, in that
build's standard errors. The Parquet files are written once to --data-dir
(one directory per seed) and reused.
"""

import argparse
import json
import os
import subprocess
import tempfile
import sys
import time

import numpy as np

N_ROWS = 2_000_000
N_REGRESSORS = 10
N_GROUPS = 5_000
N_FILES = 20
EFFECTS = {1: 0.5, 2: -0.3}
CASES = ("arrays", "pandas", "parquet")


def make_data(seed, n=N_ROWS):
    rng = np.random.default_rng(seed)
    X = np.column_stack([np.ones(n), rng.standard_normal((n, N_REGRESSORS))])
    beta = np.zeros(N_REGRESSORS + 1)
    for j, effect in EFFECTS.items():
        beta[j] = effect
    y = ((X @ beta + rng.standard_normal(n)) > 0).astype(float)
    g = rng.integers(0, N_GROUPS, n).astype(float)
    return y, X, g


def frame(y, X, g):
    import pandas as pd

    columns = {"y": y, **{f"x{j}": X[:, j] for j in range(1, X.shape[1])}, "g": g}
    return pd.DataFrame(columns)


FORMULA = "y ~ " + " + ".join(f"x{j}" for j in range(1, N_REGRESSORS + 1))


def write_files(directory, seed):
    marker = os.path.join(directory, "_complete")
    if os.path.exists(marker):
        return
    os.makedirs(directory, exist_ok=True)
    df = frame(*make_data(seed))
    rows = len(df) // N_FILES
    for f in range(N_FILES):
        df.iloc[f * rows : (f + 1) * rows].to_parquet(os.path.join(directory, f"part-{f:02d}.parquet"), index=False)
    open(marker, "w").close()


def run_case(case, seed, directory):
    """One fit in this process: a dict of its outcome and wall time."""
    y, X, g = make_data(seed)
    if case == "arrays":
        import kestrum

        start = time.perf_counter()
        r = kestrum.fit_probit(y, X, robust=True, cluster_vars=g[:, None])
        wall = time.perf_counter() - start
        params, cov, passes = r.params, r.cov_params(), None
    else:
        import kestrum_frames as kf

        if case == "pandas":
            data = frame(y, X, g)
            start = time.perf_counter()
            r = kf.fit_probit(FORMULA, data, cluster="g")
        else:
            import dask
            import dask.dataframe as dd

            dask.config.set(scheduler="threads")
            data = dd.read_parquet(directory)
            start = time.perf_counter()
            r = kf.fit_probit(FORMULA, data, cluster="g", persist=False)
        wall = time.perf_counter() - start
        params, cov, passes = r.params.to_numpy(), r.cov_params().to_numpy(), r.passes
    return {
        "case": case,
        "wall": wall,
        "passes": passes,
        "iterations": int(r.iterations),
        "converged": bool(r.converged),
        "loglike": float(r.loglike),
        "params": [float(v) for v in params],
        "bse": [float(v) for v in np.sqrt(np.diag(cov))],
    }


def run_child(build, case, seed, directory):
    env = dict(os.environ, PYTHONPATH=os.path.abspath(build))
    command = [sys.executable, os.path.abspath(__file__), "--case", case, "--seed", str(seed), "--data-dir", directory]
    child = subprocess.run(command, env=env, capture_output=True, text=True)
    if child.returncode != 0:
        raise RuntimeError(f"{case} with {build} failed:\n{child.stderr}")
    return json.loads(child.stdout.strip().splitlines()[-1])


def table(results, builds):
    lines = [
        "| case | build | passes | iterations | converged | best wall s | max diff from first build (SE) |",
        "|---|---|---|---|---|---|---|",
    ]
    for case in CASES:
        first = results[(builds[0][0], case)][0]
        for name, _ in builds:
            runs = results[(name, case)]
            r = runs[0]
            diff = np.max(np.abs(np.subtract(r["params"], first["params"])) / np.asarray(r["bse"]))
            passes = "-" if r["passes"] is None else r["passes"]
            best = min(run["wall"] for run in runs)
            lines.append(
                f"| {case} | {name} | {passes} | {r['iterations']} | {r['converged']} | {best:.3f} | {diff:.2g} |"
            )
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", default=[], help="name=path of a build directory to compare")
    parser.add_argument("--seed", type=int, default=26)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--data-dir", default=os.path.join(tempfile.gettempdir(), "kestrum_rounding"))
    parser.add_argument("--case", choices=CASES, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        print(json.dumps(run_case(args.case, args.seed, args.data_dir)))
        return
    args.data_dir = os.path.join(args.data_dir, f"seed_{args.seed}")
    write_files(args.data_dir, args.seed)
    builds = [tuple(b.split("=", 1)) for b in args.build] or [("this", os.environ.get("PYTHONPATH", "."))]
    results = {}
    for _ in range(args.rounds):
        for case in CASES:
            for name, path in builds:
                results.setdefault((name, case), []).append(run_child(path, case, args.seed, args.data_dir))
    print(f"n = {N_ROWS:.0e}, {N_REGRESSORS} regressors and a constant, {N_GROUPS} clusters, seed {args.seed}, "
          f"{args.rounds} rounds\n")
    print(table(results, builds))


if __name__ == "__main__":
    main()
