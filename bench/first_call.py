"""The first fit in a fresh process: what a user's script pays.

Run from the repository root with kestrum and kestrum_frames importable:

    python bench/first_call.py                         # n = 1e6, k = 20, five processes per tool
    python bench/first_call.py --n 1e5 1e6 1e7 --warm 5
    python bench/first_call.py --tree before=build/main --tree after=build/dev
    python bench/first_call.py --env plain=X=0 --env advised=X=1

Every measurement is one child process (this script with --case): it builds
the data (compare.py's make_data; the frames hold y and x1 ... x{k-1} as
columns, and X and y are deleted), imports the tool, then times the tool's
first fit, and with --warm R the best and the median of R more fits in the
same process. Nothing is called before the timed fit, so the first fit pays
what a script's first fit pays: fresh pages for what it allocates, the first
use of thread pools and lazy imports inside the call.

CPU is the process's CPU time (all its threads) during the fit: on a machine
shared with other work it varies less than the wall time.

Peak extra memory is the peak RSS during the first fit minus the RSS right
before it (after the data were built), as a multiple of X's bytes (8 n k).

Tools:
  kestrum          kestrum.fit_probit(y, X) on the prebuilt array (one core)
  frames-pandas    kestrum_frames.fit_probit(formula, pandas frame) (all cores)
  frames-polars    the same from a polars frame
  statsmodels      statsmodels.api.Probit(y, X).fit() on the prebuilt array
  statsmodels-formula  statsmodels.formula.api.probit(formula, pandas frame).fit()

The children run in rounds, each configuration (tool, --tree, --env) once per
round, so that load from other programs falls on all of them alike; the
table gives the median over the processes. --tree LABEL=PATH runs the
children with PYTHONPATH=PATH (the same script against two builds), --env
LABEL=NAME=VALUE with that variable set.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from compare import make_data  # noqa: E402

TOOLS = ("kestrum", "frames-pandas", "frames-polars", "statsmodels", "statsmodels-formula")
MARKER = "@@FIRST@@ "


def _status_bytes(field):
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) for line in f if line.startswith(field + ":")) * 1024


def _reset_peak():
    """Restart the kernel's high-water mark (VmHWM) at the current RSS."""
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def _prepare(tool, n, k):
    """The tool's fit as a function of nothing, with its data built."""
    y, X, _, _ = make_data(n, k)
    if tool == "kestrum":
        import kestrum

        return lambda: kestrum.fit_probit(y, X)
    if tool == "statsmodels":
        import warnings

        import statsmodels.api as sm

        warnings.simplefilter("ignore")
        return lambda: sm.Probit(y, X).fit(disp=0)
    import pandas as pd

    names = [f"x{j}" for j in range(1, k)]
    frame = pd.DataFrame({name: X[:, j + 1] for j, name in enumerate(names)})
    frame["y"] = y
    formula = "y ~ " + " + ".join(names)
    del X, y
    if tool == "statsmodels-formula":
        import warnings

        import statsmodels.formula.api as smf

        warnings.simplefilter("ignore")
        return lambda: smf.probit(formula, frame).fit(disp=0)
    import kestrum_frames as kf

    if tool == "frames-polars":
        import polars

        frame = polars.from_pandas(frame)
    return lambda: kf.fit_probit(formula, frame)


def run_case(case, warm):
    tool, n, k = case.split(",")
    n, k = int(float(n)), int(k)
    fit = _prepare(tool, n, k)
    gc.collect()
    base = _status_bytes("VmRSS")
    _reset_peak()
    cpu, start = time.process_time(), time.perf_counter()
    result = fit()
    first, cpu = time.perf_counter() - start, time.process_time() - cpu
    out = {"first": first, "mem": (_status_bytes("VmHWM") - base) / (8.0 * n * k), "cpu": cpu}
    del result
    times, cpus = [], []
    for _ in range(warm):
        cpu, start = time.process_time(), time.perf_counter()
        fit()
        times.append(time.perf_counter() - start)
        cpus.append(time.process_time() - cpu)
    if times:
        out.update(best=min(times), median=float(np.median(times)), warm_cpu=min(cpus))
    print(MARKER + json.dumps(out), flush=True)


def run_child(tool, n, k, warm, env):
    command = [sys.executable, os.path.abspath(__file__), "--case", f"{tool},{n},{k}", "--warm", str(warm)]
    done = subprocess.run(command, stdout=subprocess.PIPE, text=True, env=env, check=True)
    line = next(line for line in done.stdout.splitlines() if line.startswith(MARKER))
    return json.loads(line[len(MARKER):])


def configurations(trees, envs):
    """(label, environment) for each --tree and --env combination."""
    base = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MKL_NUM_THREADS="1")
    trees = [tuple(t.split("=", 1)) for t in trees] or [("", None)]
    envs = [e.split("=", 2) for e in envs] or [("", None, None)]
    out = []
    for tree_label, path in trees:
        for env_label, name, value in envs:
            env = dict(base)
            if path is not None:
                env["PYTHONPATH"] = os.path.abspath(path)
            if name is not None:
                env[name] = value
            out.append((" ".join(label for label in (tree_label, env_label) if label), env))
    return out


def first_calls(tools, ns, k, processes, warm=0, trees=(), envs=()):
    """{(label, tool, n): {"first", "mem"[, "best", "median"]: medians}},
    from `processes` rounds of fresh children."""
    runs = {}
    configs = configurations(trees, envs)
    for _ in range(processes):
        for n in ns:
            for tool in tools:
                for label, env in configs:
                    runs.setdefault((label, tool, n), []).append(run_child(tool, n, k, warm, env))
    return {key: {field: float(np.median([r[field] for r in rs])) for field in rs[0]} for key, rs in runs.items()}


def table(results, k, processes, warm):
    """A markdown table of first_calls' results; ratios to kestrum's first fit
    in the same configuration."""
    head = "| build | tool | n | first fit (median) | kestrum first / this | peak extra / X | first fit CPU |"
    rule = "|---|---|---|---|---|---|---|"
    if warm:
        head += " warm best | warm median | first / warm best | warm CPU (best) |"
        rule += "---|---|---|---|"
    labelled = any(label for label, _, _ in results)
    if not labelled:  # one configuration: no build column
        head, rule = head.replace("| build ", "", 1), rule[4:]
    lines = [head, rule]
    for (label, tool, n), r in results.items():
        core = results.get((label, "kestrum", n))
        ratio = f"{core['first'] / r['first']:.2f}×" if core else ""
        cells = [label] * labelled + [tool, f"{n:.0e}", f"{r['first'] * 1e3:.0f} ms", ratio, f"{r['mem']:.2f}",
                 f"{r['cpu'] * 1e3:.0f} ms"]
        if warm:
            cells += [f"{r['best'] * 1e3:.0f} ms", f"{r['median'] * 1e3:.0f} ms", f"{r['first'] / r['best']:.2f}×",
                      f"{r['warm_cpu'] * 1e3:.0f} ms"]
        lines.append("| " + " | ".join(cells) + " |")
    lines += ["", f"k = {k}; medians over {processes} fresh processes per row, run in interleaved rounds"
              + (f"; warm: {warm} more fits in each process" if warm else "")
              + f"; {os.cpu_count()} cores, load average (1 min) after the run {os.getloadavg()[0]:.2f}."]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=float, nargs="+", default=[1e6])
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--processes", type=int, default=5)
    parser.add_argument("--warm", type=int, default=0, help="more fits timed in each process")
    parser.add_argument("--tool", action="append", choices=TOOLS, help="default: all")
    parser.add_argument("--tree", action="append", default=[], help="LABEL=PYTHONPATH")
    parser.add_argument("--env", action="append", default=[], help="LABEL=NAME=VALUE")
    parser.add_argument("--out")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.case:
        return run_case(args.case, args.warm)
    ns = [int(n) for n in args.n]
    results = first_calls(args.tool or TOOLS, ns, args.k, args.processes, args.warm, args.tree, args.env)
    text = table(results, args.k, args.processes, args.warm)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
