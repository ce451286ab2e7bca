"""kestrum_frames beside kestrum and statsmodels on one million rows.

Run from the repository root with kestrum and kestrum_frames importable
(installed with the frames extra, or the build directory on PYTHONPATH):

    python bench/scale.py                       # n = 1e6, k = 20, best of 5
    python bench/scale.py --n 200000 --repeat 3
    python bench/scale.py --out scale.md        # also write the table to a file

The data are bench/compare.py's make_data(n, k): a float64 C-contiguous X
with a constant, k - 4 continuous regressors and three 0/1 regressors. The
frames hold y and the k - 1 regressors as columns x1 ... x{k-1}, and the
formula is "y ~ x1 + ... + x{k-1}".

Rows:
  kestrum.fit_probit        fit_probit(y, X) on the prebuilt array (one core)
  frames, pandas            kestrum_frames.fit_probit(formula, pandas frame):
                            formula, missing-value check, partitions and fit
  frames, polars            the same from a polars frame
  frames engine             the fit alone on prebuilt partitions
  statsmodels formula API   statsmodels.formula.api.probit(formula, frame).fit()
  kestrum.ame / frames ame  the marginal effects of the fit

Times are the best of --repeat runs after a warm-up run, in this process
(statsmodels: one run). The ratio is kestrum.fit_probit's time (kestrum.ame's
for the ame rows) over the row's: above 1 is faster. kestrum_frames uses
Dask's threaded scheduler on every core; statsmodels its default BLAS threads.
"""

import argparse
import os
import platform
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import make_data  # noqa: E402

import kestrum  # noqa: E402
import kestrum_frames as kf  # noqa: E402
from kestrum_frames.design import Design  # noqa: E402
from kestrum_frames.estimation import estimate  # noqa: E402
from kestrum_frames.frames import Columns  # noqa: E402
from kestrum_frames.model_data import build_model_data  # noqa: E402


def best_time(call, repeat):
    call()  # warm-up: imports, page faults of first allocations
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def named(result, X, names):
    """kestrum's result with real names, as kestrum.ame reads it."""
    model = type("Model", (), {"exog": X, "exog_names": names})()
    return type("Named", (), {"params": result.params, "cov_params": result.cov_params, "model": model})()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-statsmodels", action="store_true")
    parser.add_argument("--out")
    args = parser.parse_args()
    n, k = int(args.n), args.k

    y, X, _, _ = make_data(n, k)
    names = [f"x{j}" for j in range(1, k)]
    frame = pd.DataFrame({name: X[:, j + 1] for j, name in enumerate(names)})
    frame["y"] = y
    formula = "y ~ " + " + ".join(names)
    import polars

    polars_frame = polars.from_pandas(frame)
    columns = Columns(frame)
    design = Design.from_formula(formula, columns)
    partitions = build_model_data(design, columns, [], None)

    core = kestrum.fit_probit(y, X)
    frames = kf.fit_probit(formula, frame)
    gap = np.max(np.abs(frames.params.to_numpy() - core.params) / np.abs(core.params))
    rows = [
        ("kestrum.fit_probit (prebuilt array)", best_time(lambda: kestrum.fit_probit(y, X), args.repeat)),
        ("frames, pandas (formula and all)", best_time(lambda: kf.fit_probit(formula, frame), args.repeat)),
        ("frames, polars (formula and all)", best_time(lambda: kf.fit_probit(formula, polars_frame), args.repeat)),
        ("frames engine (prebuilt partitions)", best_time(lambda: estimate(partitions, 35, 1e-6, False), args.repeat)),
    ]
    if not args.no_statsmodels:
        import statsmodels.formula.api as smf

        start = time.perf_counter()
        smf.probit(formula, frame).fit(disp=0)
        rows.append(("statsmodels formula API", time.perf_counter() - start))
    core_named = named(core, X, ["const", *names])
    ame_rows = [
        ("kestrum.ame", best_time(lambda: kestrum.ame(core_named), args.repeat)),
        ("frames ame", best_time(lambda: kf.ame(frames), args.repeat)),
    ]

    lines = [
        f"n = {n:.0e}, k = {k}, {len(partitions.partitions)} partitions, {os.cpu_count()} cores",
        "",
        "| case | time | kestrum / case |",
        "|---|---|---|",
    ]
    for table, reference in ((rows, rows[0][1]), (ame_rows, ame_rows[0][1])):
        lines += [f"| {label} | {seconds * 1e3:.0f} ms | {reference / seconds:.2f}× |" for label, seconds in table]
    lines += [
        "",
        f"Largest relative difference of the coefficients, frames vs kestrum: {gap:.1e}; "
        f"iterations {frames.iterations} and {core.iterations}.",
        f"Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}, "
        f"polars {polars.__version__}; load average (1 min) after the run {os.getloadavg()[0]:.2f}.",
    ]
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
