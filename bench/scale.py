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

Below that table, the first fit in a fresh process (the one a script makes),
the median over --first-calls processes (default 5; bench/first_call.py):
kestrum.fit_probit, kestrum_frames from pandas and from polars, and the
statsmodels formula API.

The cases run in rounds, each case once per round, after a warm-up round,
in this process (statsmodels: one run); the table gives the best and the
median time over the quiet rounds: those in which other processes used less
than --quiet-share of a core (from /proc/stat). On a machine shared with
other work that matters: a case that needs both cores cannot show its speed
while another program holds one, and interleaving the cases makes what load
remains fall on all of them alike. The ratios are the row's time over
kestrum.fit_probit's (kestrum.ame's for the ame rows): below 1 is faster.
kestrum_frames uses Dask's threaded scheduler on every core; statsmodels its
default BLAS threads.

Out of core
-----------
    python bench/scale.py --out-of-core                  # 1e8 rows, ~16 GB on disk
    python bench/scale.py --out-of-core --rows 1e7 1e8 --out ooc.md
    python bench/scale.py --out-of-core --rows 2e6 --data-dir /tmp/ks_{rows}
    python bench/scale.py --out-of-core --rows 1e7 --methods auto    # only the default iteration

fits a Dask DataFrame read from Parquet files that need not fit in memory.
The data (y, x1 ... x18, g, all float64) are written once, --file-rows rows
per file, to --data-dir ({rows} becomes the row count) and reused while its
_manifest.json matches. x1 ... x18 and y follow compare.py's make_data with
k = 19 (15 continuous regressors of spread scales, three 0/1), generated one
file at a time from the seed and the file's index; g is a cluster code drawn
uniformly from 100000 whole numbers, independent of the rest.

Each case runs in a fresh child process (this script with --case), so its
peak RSS (VmHWM) is its own, with Dask's threaded scheduler:
  floor          dd.read_parquet(dir).sum().compute(): one pass over the files;
                 the first pass in the child, then the best of two more (the
                 floor: the first also pays for lazy imports and thread pools)
  fit HC0        kf.fit_probit(formula, dd.read_parquet(dir), robust=True,
                 persist=False: the files read on every pass, even where the
                 rows would fit in memory), timed
                 after one partition was read to warm the process as the floor is
  ame            kf.ame of that fit, in the same child (its RSS includes the fit's)
  fit cluster    kf.fit_probit(..., cluster="g")
The fits run once per --methods entry (default: bfgs, the quasi-Newton
iteration from 0 that every fit ran before, and auto, which takes Newton
from a sample here: kestrum_frames/strategy.py), each in its own children.
passes is the fit's res.passes (one for ame), with Newton's sample (the
share of the partitions it read once) after a "+"; the ratio is wall /
(passes x floor): how far a fit is from the cost of only reading its passes;
wall / floor is the fit's cost in reads of the files.
"others' cores" is the CPU other processes used during that child (from
/proc/stat): on two cores, a row with much of one taken is not a speed. The
files stay in the page cache between cases when they fit in memory, so the
floor and the fits alike measure cached reads then, not the disk.
"""

import argparse
import json
import os
import platform
import shutil
import subprocess
import sys
import time

import numpy as np
import pandas as pd

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import SEED, make_data  # noqa: E402

import kestrum  # noqa: E402
import kestrum_frames as kf  # noqa: E402
from kestrum_frames.covariance import CovarianceSpec  # noqa: E402
from kestrum_frames.design import Design  # noqa: E402
from kestrum_frames.estimation import estimate  # noqa: E402
from kestrum_frames.frames import Columns  # noqa: E402
from kestrum_frames.model_data import build_model_data  # noqa: E402

NONROBUST = CovarianceSpec("nonrobust")


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


# Out of core: Parquet files read by Dask, one child process per case.

OOC_FORMULA = "y ~ " + " + ".join(f"x{j}" for j in range(1, 19))
OOC_CLUSTERS = 100_000


def probit_columns(rng, n):
    """n rows of make_data(n, 19)'s design, as float64 columns y, x1 ... x18, g.
    A continuous regressor is means + sd * z, so its term in the index is c * z
    up to the constant."""
    m = 15
    sd = 10.0 ** np.linspace(-2.0, 2.0, m)
    means = sd * np.where(np.arange(m) % 2 == 0, 0.5, -0.25)
    c = np.linspace(0.3, 1.0, m) * np.where(np.arange(m) % 3 == 1, -1.0, 1.0)
    c *= 0.8 / np.linalg.norm(c)
    index = rng.standard_normal(n) + 0.1  # the probit error, plus the constant
    x = {}
    for j in range(m):
        z = rng.standard_normal(n)
        index += c[j] * z
        x[f"x{j + 1}"] = means[j] + sd[j] * z
    for j, (share, b) in enumerate(zip((0.3, 0.5, 0.7), (0.4, -0.3, 0.25))):
        d = (rng.random(n) < share).astype(np.float64)
        index += b * (d - share)
        x[f"x{m + 1 + j}"] = d
    g = rng.integers(0, OOC_CLUSTERS, n).astype(np.float64)
    return {"y": (index > 0).astype(np.float64), **x, "g": g}


def write_parquet(path, rows, file_rows):
    """Seconds spent writing the dataset, or None when a matching one is there.
    The manifest is written last, so an interrupted run is redone."""
    import pyarrow as pa
    import pyarrow.parquet as pq

    manifest = {"rows": rows, "file_rows": file_rows, "seed": SEED, "clusters": OOC_CLUSTERS, "version": 1}
    manifest_path = os.path.join(path, "_manifest.json")  # "_": readers of the directory skip it
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            if json.load(f) == manifest:
                return None
        os.remove(manifest_path)
    os.makedirs(path, exist_ok=True)
    for name in os.listdir(path):
        if name.startswith("part-") and name.endswith(".parquet"):
            os.remove(os.path.join(path, name))
    need = rows * 20 * 8 * 1.05
    if shutil.disk_usage(path).free < need:
        sys.exit(f"{path}: {need / 1e9:.1f} GB needed, less is free")
    start = time.perf_counter()
    for i, first in enumerate(range(0, rows, file_rows)):
        rng = np.random.default_rng([SEED, file_rows, i])
        table = pa.table(probit_columns(rng, min(file_rows, rows - first)))
        pq.write_table(table, os.path.join(path, f"part-{i:05d}.parquet"))
        print(f"\rwriting {path}: {first + table.num_rows:,} of {rows:,} rows", end="", file=sys.stderr)
    print(file=sys.stderr)
    with open(manifest_path, "w") as f:
        json.dump(manifest, f)
    return time.perf_counter() - start


def peak_mb():
    """This process's peak RSS. Not ru_maxrss: Linux carries the parent's peak
    into it across fork and exec, so a child would show the generator's."""
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) / 1024


def run_case(case, path, method):
    """The child: one case on the dataset at path, as a JSON line on stdout."""
    import dask
    import dask.dataframe as dd

    dask.config.set(scheduler="threads")
    out = {"imports_mb": peak_mb()}
    start = time.perf_counter()
    data = dd.read_parquet(path)
    if case == "floor":
        # The first pass in a process also pays for lazy imports, thread pools
        # and fresh pages; the floor is the best of two more.
        data.sum().compute()
        out["first"] = {"wall": time.perf_counter() - start, "passes": 1, "mb": peak_mb()}
        walls = []
        for _ in range(2):
            start = time.perf_counter()
            dd.read_parquet(path).sum().compute()
            walls.append(time.perf_counter() - start)
        out["floor"] = {"wall": min(walls), "passes": 1, "mb": peak_mb()}
    else:
        # Warm the process as the floor is warm: imports, thread pool, one file read.
        data.partitions[0].sum().compute()
        start = time.perf_counter()
        robust, cluster = (True, None) if case == "hc0" else (False, "g")
        res = kf.fit_probit(OOC_FORMULA, data, robust=robust, cluster=cluster, persist=False, method=method)
        strategy = res._estimate.strategy
        out["fit"] = {"wall": time.perf_counter() - start, "passes": int(res.passes), "mb": peak_mb(),
                      "converged": bool(res.converged), "iterations": int(res.iterations), "nobs": int(res.nobs),
                      "strategy": res.strategy, "sample": strategy.sample_partitions / data.npartitions}
        if case == "hc0":
            start = time.perf_counter()
            kf.ame(res)
            out["ame"] = {"wall": time.perf_counter() - start, "passes": 1, "mb": peak_mb()}
    out["partitions"] = data.npartitions
    print(json.dumps(out))


def child(case, path, method="auto"):
    """The child's measures, and the cores other processes kept busy meanwhile:
    with one of two cores taken, a pass cannot show its speed."""
    command = [sys.executable, os.path.abspath(__file__), "--case", case, "--data-dir", path, "--methods", method]
    machine, before, start = busy_seconds()[0], os.times(), time.perf_counter()
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, check=True)
    machine_after, after, wall = busy_seconds()[0], os.times(), time.perf_counter() - start
    own = after.children_user + after.children_system - before.children_user - before.children_system
    return {**json.loads(done.stdout.splitlines()[-1]), "others": max(0.0, machine_after - machine - own) / wall}


def out_of_core(args):
    file_rows = int(args.file_rows)
    lines = [
        f"Out of core: y ~ x1 + ... + x18 from Parquet ({file_rows:,} rows a file), "
        f"Dask threaded scheduler, {os.cpu_count()} cores",
        "",
        "| case | rows | partitions | wall s | passes | passes×floor s | ratio | wall / floor | peak RSS MB "
        "| converged, iterations | others' cores |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    notes = []
    for rows in (int(r) for r in args.rows):
        path = args.data_dir.format(rows=rows)
        seconds = write_parquet(path, rows, file_rows)
        size = sum(e.stat().st_size for e in os.scandir(path) if e.name.endswith(".parquet"))
        first = child("floor", path)
        floor = first["floor"]["wall"]
        cases = [("floor, first pass", first["first"], first), ("floor", first["floor"], first)]
        for method in args.methods:  # the methods' children in turn, so that a spell of load falls on both
            hc0, cluster = (child(case, path, method) for case in ("hc0", "cluster"))
            cases += [(f"fit HC0, {method} ({hc0['fit']['strategy']})", hc0["fit"], hc0),
                      (f"ame of that fit ({method})", hc0["ame"], hc0),
                      (f"fit cluster g, {method} ({cluster['fit']['strategy']})", cluster["fit"], cluster)]
            for label, m in (("HC0", hc0["fit"]), ("cluster", cluster["fit"])):
                if m["nobs"] != rows:
                    notes.append(f"{rows:,} rows: the {label} fit ({method}) used {m['nobs']:,}")
        for label, m, run in cases:
            fit = f"{m['converged']}, {m['iterations']}" if "converged" in m else ""
            reads = m["passes"] + m.get("sample", 0.0)
            passes = f"{m['passes']} + {m['sample']:.2f}" if m.get("sample") else f"{m['passes']}"
            lines.append(f"| {label} | {rows:,} | {first['partitions']} | {m['wall']:.1f} | {passes} | "
                         f"{reads * floor:.1f} | {m['wall'] / (reads * floor):.2f} | {m['wall'] / floor:.2f} | "
                         f"{m['mb']:.0f} | {fit} | {run['others']:.2f} |")
        notes.append(f"{rows:,} rows: {path}, {size / 1e9:.2f} GB in {first['partitions']} partitions of "
                     f"~{rows // first['partitions']:,} rows; "
                     + (f"generated in {seconds:.0f} s" if seconds is not None else "reused"))
    lines += ["", "floor: the best of two passes after the first; a child's RSS after its imports alone: "
              f"{first['imports_mb']:.0f} MB.", *notes,
              f"Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}; "
              f"load average (1 min) after the run {os.getloadavg()[0]:.2f}."]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, default=1e6)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=15)
    parser.add_argument("--quiet-share", type=float, default=0.1,
                        help="leave out rounds in which other processes used more than this share of a core")
    parser.add_argument("--no-statsmodels", action="store_true")
    parser.add_argument("--first-calls", type=int, default=5, help="fresh processes for the first fits (0: none)")
    parser.add_argument("--out")
    parser.add_argument("--out-of-core", action="store_true", help="the Parquet and Dask benchmark instead")
    parser.add_argument("--rows", type=float, nargs="+", default=[1e8], help="out of core: rows of each dataset")
    parser.add_argument("--data-dir", default="/tmp/kestrum_scale_parquet_{rows}",
                        help="out of core: where the dataset is written, {rows} being its row count")
    parser.add_argument("--file-rows", type=float, default=1e6, help="out of core: rows in each Parquet file")
    parser.add_argument("--methods", nargs="+", default=["bfgs", "auto"], choices=["auto", "newton", "bfgs"],
                        help="out of core: the fits' method= (bfgs: the iteration before Newton's)")
    parser.add_argument("--case", help=argparse.SUPPRESS)  # a child process: one out-of-core case
    args = parser.parse_args()
    if args.case:
        return run_case(args.case, args.data_dir, args.methods[0])
    if args.out_of_core:
        if len(args.rows) > 1 and "{rows}" not in args.data_dir:
            parser.error("--data-dir needs {rows} when --rows has several values")
        return write_text(out_of_core(args), args.out)
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
            "frames engine (prebuilt partitions)": lambda: estimate(partitions, 35, 1e-6, NONROBUST),
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
        "| case | best | median | case / kestrum (best) | (median) |",
        "|---|---|---|---|---|",
    ]
    for table in (fits, effects):
        best0, median0 = next(iter(table.values()))
        lines += [
            f"| {label} | {best * 1e3:.0f} ms | {median * 1e3:.0f} ms | {best / best0:.2f}× | {median / median0:.2f}× |"
            for label, (best, median) in table.items()
        ]
    lines += [
        "",
        f"Largest relative difference of the coefficients, frames vs kestrum: {gap:.1e}; "
        f"iterations {frames.iterations} and {core.iterations}.",
        f"Python {platform.python_version()}, NumPy {np.__version__}, pandas {pd.__version__}, "
        f"polars {polars.__version__}; load average (1 min) after the run {os.getloadavg()[0]:.2f}.",
    ]
    if args.first_calls:
        from first_call import first_calls, table

        del y, X, frame, polars_frame, columns, partitions, core, frames, core_named  # room for the children
        tools = ["kestrum", "frames-pandas", "frames-polars"] + ([] if args.no_statsmodels else ["statsmodels-formula"])
        results = first_calls(tools, [n], k, args.first_calls)
        lines += ["", "First fit in a fresh process:", "", table(results, k, args.first_calls, 0)]
    write_text("\n".join(lines), args.out)


def write_text(text, out):
    print(text)
    if out:
        with open(out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
