"""kestrum_frames beside kestrum and statsmodels on one million rows.

Run from the repository root with kestrum and kestrum_frames importable
(installed with the frames extra, or the build directory on PYTHONPATH):

    python bench/scale.py                       # n = 1e6, k = 20, 15 rounds
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

The cases run in rounds, each case once per round, after a warm-up round,
in this process (statsmodels: one run); the table gives the best and the
median time over the quiet rounds: those in which other processes used less
than --quiet-share of a core (from /proc/stat). On a machine shared with
other work that matters: a case that needs both cores cannot show its speed
while another program holds one, and interleaving the cases makes what load
remains fall on all of them alike. The ratios are kestrum.fit_probit's
time (kestrum.ame's for the ame rows) over the row's: above 1 is faster.
kestrum_frames uses Dask's threaded scheduler on every core; statsmodels its
default BLAS threads.
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


def busy_seconds():
    """CPU time used on the whole machine (all processes) and by this one."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]  # idle, iowait
    own = os.times()
    return (sum(fields) - idle) / os.sysconf("SC_CLK_TCK"), own.user + own.system


def timed_rounds(cases, repeat, quiet_share):
    """Best and median time of each case over the quiet rounds, and how many
    rounds were quiet. Each round runs every case once, in turn, after one
    warm-up round; a round in which other processes kept more than
    quiet_share of one core busy is left out, since a case that needs both
    cores cannot show its speed while another program holds one."""
    for call in cases.values():
        call()
    rounds = []
    for _ in range(repeat):
        machine, own = busy_seconds()
        start = time.perf_counter()
        times = {}
        for label, call in cases.items():
            begin = time.perf_counter()
            call()
            times[label] = time.perf_counter() - begin
        machine_after, own_after = busy_seconds()
        others = (machine_after - machine) - (own_after - own)
        rounds.append((others / (time.perf_counter() - start) <= quiet_share, times))
    quiet = [times for is_quiet, times in rounds if is_quiet]
    used = quiet or [times for _, times in rounds]
    summary = {label: (min(t[label] for t in used), float(np.median([t[label] for t in used]))) for label in cases}
    return summary, len(quiet)


def named(result, X, names):
    """kestrum's result with real names, as kestrum.ame reads it."""
    model = type("Model", (), {"exog": X, "exog_names": names})()
    return type("Named", (), {"params": result.params, "cov_params": result.cov_params, "model": model})()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--quiet-share", type=float, default=0.1,
                        help="leave out rounds in which other processes used more than this share of a core")
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
    core_named = named(core, X, ["const", *names])
    fits, quiet_fits = timed_rounds(
        {
            "kestrum.fit_probit (prebuilt array)": lambda: kestrum.fit_probit(y, X),
            "frames, pandas (formula and all)": lambda: kf.fit_probit(formula, frame),
            "frames, polars (formula and all)": lambda: kf.fit_probit(formula, polars_frame),
            "frames engine (prebuilt partitions)": lambda: estimate(partitions, 35, 1e-6, False),
        },
        args.repeat,
        args.quiet_share,
    )
    effects, quiet_effects = timed_rounds(
        {"kestrum.ame": lambda: kestrum.ame(core_named), "frames ame": lambda: kf.ame(frames)},
        args.repeat,
        args.quiet_share,
    )
    if not args.no_statsmodels:
        import statsmodels.formula.api as smf

        start = time.perf_counter()
        smf.probit(formula, frame).fit(disp=0)
        seconds = time.perf_counter() - start
        fits["statsmodels formula API (one run)"] = (seconds, seconds)

    lines = [
        f"n = {n:.0e}, k = {k}, {len(partitions.partitions)} partitions, {os.cpu_count()} cores; quiet rounds "
        f"of {args.repeat}: {quiet_fits or 'none (all used)'} for the fits, {quiet_effects or 'none (all used)'} for ame",
        "",
        "| case | best | median | kestrum / case (best) | (median) |",
        "|---|---|---|---|---|",
    ]
    for table in (fits, effects):
        best0, median0 = next(iter(table.values()))
        lines += [
            f"| {label} | {best * 1e3:.0f} ms | {median * 1e3:.0f} ms | {best0 / best:.2f}× | {median0 / median:.2f}× |"
            for label, (best, median) in table.items()
        ]
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
