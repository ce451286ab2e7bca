"""Side-by-side benchmark of kestrum against statsmodels.

Run from the repository root (with kestrum importable, e.g. installed or on
PYTHONPATH):

    python bench/compare.py                 # full run, n = 1e4, 1e5, 1e6 (+ ame at 1e7)
    python bench/compare.py --quick         # n = 1e4 and 1e5 only (smoke check)
    python bench/compare.py --out bench.md  # also write the markdown table to a file
    python bench/compare.py --first-calls 0 # without the first calls in fresh processes

The table (markdown) goes to stdout, progress to stderr.

Data
----
``make_data(n, k)`` builds, from a fixed seed, a float64 C-contiguous X of
shape (n, k): a constant column, k - 4 continuous regressors whose standard
deviations are spread log-uniformly over 1e-2 .. 1e2 (with nonzero means), and
three 0/1 regressors (shares 0.3, 0.5, 0.7).  The true coefficients are
scaled by the inverse standard deviation of their column, so every regressor
contributes to the linear index on the same footing, and the index has a
standard deviation of about 0.9: the model is well identified and far from
separation.  y = 1[x'b + e > 0] with e standard normal.  Cluster codes are
1000 groups drawn uniformly (G = 1000), or a random permutation of 0 .. n - 1
(G = n, one observation per cluster), given to kestrum as an (n, 1) float64
array and to statsmodels as the same codes in an int64 vector.  Every subprocess
regenerates the arrays from the same seed, so both tools see identical data
(a fingerprint of X and y is checked).

Cases
-----
For n in 1e4, 1e5, 1e6 and k in 10, 20, 50:

* ``fit``          kestrum.fit_probit(y, X)
                   vs sm.Probit(y, X).fit(disp=0)
* ``fit HC0``      fit_probit(y, X, robust=True)
                   vs sm.Probit(y, X).fit(cov_type='HC0', disp=0)
* ``fit cluster G=1000``, ``fit cluster G=n``
                   fit_probit(y, X, robust=True, cluster_vars=g)
                   vs fit(cov_type='cluster', cov_kwds={'groups': g,
                   'use_correction': False}, disp=0)
* ``ame``          kestrum.ame(res) vs res.get_margeff(at='overall', dummy=True),
                   each on its own tool's (nonrobust) fit; kestrum gets a small
                   wrapper whose model.exog_names are ["const", "x1", ...] so
                   the constant is left out as statsmodels does.
* ``ame c=65536``  the same kestrum.ame with chunk_size=65536 (compared
                   with the same statsmodels figures as the ``ame`` row).

plus ``ame c=65536`` alone at n = 1e7, k = 20.  Fitting is timed
including model construction for statsmodels (``sm.Probit(y, X).fit``), and
the ame rows time only the marginal-effects call.

statsmodels is skipped where its expected peak memory would not fit in this
machine (more than 18 GB of its 24 GB), and where a single case is expected
to take longer than --sm-time-limit seconds (default 120, chosen so that the
whole script stays under 10 minutes); the table says which.  The estimates come from a cost model
fitted to measurements on this machine (see ``statsmodels_skip``).

Timing
------
Single core: kestrum is single-threaded, and the subprocesses get
OPENBLAS_NUM_THREADS=1 (and the like) so that statsmodels' BLAS calls run on
one core too (--blas-threads changes this; 0 leaves the environment alone).
On this 2-core machine threaded OpenBLAS made statsmodels slower and much
noisier, not faster.
time.perf_counter around the call alone; best of 5 repeats at n <= 1e4, of 3
above (repeats stop once 5 s have been spent, so the slow statsmodels cases
run once or twice). The first call on a large X also pays for the fresh pages
its arrays get from the kernel, which on this virtual machine varies from run
to run by as much as the call itself; later repeats measure the computation.
Each tool runs in a fresh subprocess (this script re-invoked with --case),
after a warm-up call on tiny data so that lazy imports (pandas in ame, scipy
in statsmodels) are not timed.

First calls
-----------
The table above times repeats in a warm process. A script usually makes one
fit, and pays for what the first call in a process pays (fresh pages for its
copies, lazy imports and thread pools inside the call). A second table gives
that first fit, the median over --first-calls fresh processes (default 5),
at k = 20 for each n, for kestrum.fit_probit(y, X), kestrum_frames'
fit_probit from a pandas frame of the same data (all cores), and
sm.Probit(y, X).fit(): bench/first_call.py, which also runs alone.

Memory
------
Peak extra resident memory = peak RSS during the call - RSS right before it,
reported as a multiple of X.nbytes.  Inside the subprocess the data are
generated, a warm-up call is made, gc.collect() is run, and then the current
RSS (VmRSS in /proc/self/status) is recorded and the kernel's high-water mark
is reset by writing "5" to /proc/self/clear_refs; after the call, the peak is
VmHWM.  Resetting the high-water mark matters because data generation (and,
for the ame rows, the preceding fit) would otherwise hide a smaller peak of
the measured call.  If clear_refs cannot be written, the fallback is
max(0, ru_maxrss after - ru_maxrss before) from resource.getrusage, which is
only a lower bound (the lifetime peak before the call may mask the call's
peak); such figures are marked with "≥".  The result objects are still alive
when the peak is read, so they count (for fit_probit: its copy of X kept as
model.exog).

Differences
-----------
"max|Δ| est" is the largest absolute difference between the tools in params
(fit rows) or dy/dx (ame rows); "max|Δ| se" the same for the standard errors,
sqrt(diag(cov_params())) or "Std. Err".  Both fits use their default
convergence settings (kestrum: BFGS, tol=1e-6 on the log-likelihood;
statsmodels: Newton), so differences of order 1e-6 relative come from the
optimisers' stopping points, not from the formulas.  "iters" is the number of
kestrum iterations run (result.iterations + 1; "!" marks not converged).
"""

import argparse
import gc
import json
import os
import platform
import resource
import subprocess
import sys
import time

import numpy as np

SEED = 20240607
N_CLUSTERS = 1000
AME_CHUNK = 65536
KINDS = ("fit", "hc0", "cluster", "clustern", "ame")
KIND_LABEL = {
    "fit": "fit",
    "hc0": "fit HC0",
    "cluster": f"fit cluster G={N_CLUSTERS}",
    "clustern": "fit cluster G=n",
    "ame": "ame",
    "amechunk": f"ame c={AME_CHUNK}",
}
TOTAL_MEM = 24e9   # machine total
MEM_LIMIT = 18e9   # what a statsmodels case may use, leaving room for the OS and others
FULL_NS = (10**4, 10**5, 10**6)
QUICK_NS = (10**4, 10**5)
KS = (10, 20, 50)
BIG_AME = (10**7, 20)
MARKER = "@@RESULT@@ "


# ----------------------------------------------------------------------------
# data


def make_data(n, k):
    """Deterministic probit data: (y, X, groups_float (n,1), groups_int (n,))."""
    if k < 5:
        raise ValueError("k must be at least 5 (constant, >= 1 continuous, 3 dummies)")
    m = k - 4                                   # continuous regressors
    rng = np.random.default_rng([SEED, n, k])
    X = np.empty((n, k), dtype=np.float64)
    X[:, 0] = 1.0
    sd = 10.0 ** np.linspace(-2.0, 2.0, m)
    means = sd * np.where(np.arange(m) % 2 == 0, 0.5, -0.25)
    col = np.empty(n, dtype=np.float64)
    for j in range(m):
        rng.standard_normal(out=col)
        col *= sd[j]
        col += means[j]
        X[:, 1 + j] = col
    shares = (0.3, 0.5, 0.7)
    for j, p in enumerate(shares):
        rng.random(out=col)
        X[:, 1 + m + j] = col < p
    # coefficients: same scale of contribution from every continuous column
    c = np.linspace(0.3, 1.0, m) * np.where(np.arange(m) % 3 == 1, -1.0, 1.0)
    c *= 0.8 / np.linalg.norm(c)
    beta = np.empty(k)
    beta[1:1 + m] = c / sd
    beta[1 + m:] = (0.4, -0.3, 0.25)
    beta[0] = 0.1 - beta[1:1 + m] @ means - beta[1 + m:] @ np.array(shares)
    index = X @ beta
    rng.standard_normal(out=col)
    index += col
    y = (index > 0).astype(np.float64)
    del index
    g_int = rng.integers(0, N_CLUSTERS, size=n, dtype=np.int64)
    g_float = g_int.astype(np.float64).reshape(n, 1)
    del col
    return y, X, g_float, g_int


def one_cluster_per_row(n):
    """Cluster codes for G = n: a permutation of 0 .. n - 1, as (float (n, 1), int64 (n,))."""
    codes = np.random.default_rng([SEED, n]).permutation(n)
    return codes.astype(np.float64).reshape(n, 1), codes


def fingerprint(y, X):
    step = max(1, X.shape[0] // 1000)
    return [float(X[::step].sum()), float(y.sum()), float(X[-1].sum())]


# ----------------------------------------------------------------------------
# memory measurement


def _status_kb(field):
    with open("/proc/self/status") as fh:
        for line in fh:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(field + " not found")


class PeakMeter:
    """Peak extra RSS of a block of code (see the module docstring)."""

    def __init__(self):
        self.exact = True
        try:
            with open("/proc/self/clear_refs", "w") as fh:
                fh.write("5")
            _status_kb("VmHWM")
        except (OSError, RuntimeError):
            self.exact = False

    def start(self):
        gc.collect()
        if self.exact:
            self.base = _status_kb("VmRSS")
            with open("/proc/self/clear_refs", "w") as fh:
                fh.write("5")
        else:
            self.base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024

    def extra(self):
        if self.exact:
            peak = _status_kb("VmHWM")
        else:
            peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        return max(0, peak - self.base)


def measure(call, n):
    """Run call() best-of-R; return (best time, max extra RSS, last result)."""
    reps = 5 if n <= 10**4 else 3
    meter = PeakMeter()
    best, peak, out, spent = float("inf"), 0, None, 0.0
    for _ in range(reps):
        out = None
        meter.start()
        t0 = time.perf_counter()
        out = call()
        dt = time.perf_counter() - t0
        peak = max(peak, meter.extra())
        best = min(best, dt)
        spent += dt
        if spent > 5.0:
            break
    return best, peak, out, meter.exact


# ----------------------------------------------------------------------------
# one case in this (fresh) process


class _Model:
    def __init__(self, exog, names):
        self.exog = exog
        self.exog_names = names


class NamedResult:
    """kestrum result seen through names that start with "const"."""

    def __init__(self, res, exog):
        self.params = np.asarray(res.params)
        self._res = res
        self.model = _Model(exog, ["const"] + [f"x{j}" for j in range(1, exog.shape[1])])

    def cov_params(self):
        return self._res.cov_params()


def run_kestrum(kind, n, k, y, X, g):
    import kestrum
    import pandas  # noqa: F401  (imported lazily by ame; keep it out of the timing)

    # warm-up on tiny data
    yw, Xw, gw, _ = make_data(200, 6)
    rw = kestrum.fit_probit(yw, Xw, robust=True, cluster_vars=gw)
    kestrum.ame(NamedResult(rw, Xw))
    del yw, Xw, gw, rw

    info = {}
    if kind == "fit":
        t, mem, res, exact = measure(lambda: kestrum.fit_probit(y, X), n)
    elif kind == "hc0":
        t, mem, res, exact = measure(lambda: kestrum.fit_probit(y, X, robust=True), n)
    elif kind in ("cluster", "clustern"):
        t, mem, res, exact = measure(
            lambda: kestrum.fit_probit(y, X, robust=True, cluster_vars=g), n)
    else:
        fit = kestrum.fit_probit(y, X)
        info["iters"] = int(fit.iterations) + 1
        info["converged"] = bool(fit.converged)
        named = NamedResult(fit, X)
        chunk = AME_CHUNK if kind == "amechunk" else None
        t, mem, df, exact = measure(lambda: kestrum.ame(named, chunk_size=chunk), n)
        info.update(est=df["dy/dx"].to_numpy().tolist(),
                    se=df["Std. Err"].to_numpy().tolist())
        return dict(info, time=t, mem=mem, exact=exact)
    info.update(est=np.asarray(res.params).tolist(),
                se=np.sqrt(np.diag(res.cov_params())).tolist(),
                iters=int(res.iterations) + 1, converged=bool(res.converged))
    return dict(info, time=t, mem=mem, exact=exact)


def run_statsmodels(kind, n, k, y, X, g):
    import warnings

    import statsmodels.api as sm

    warnings.simplefilter("ignore")
    # warm-up on tiny data
    yw, Xw, _, gw = make_data(200, 6)
    rw = sm.Probit(yw, Xw).fit(cov_type="cluster",
                               cov_kwds={"groups": gw, "use_correction": False}, disp=0)
    rw.get_margeff(at="overall", dummy=True)
    del yw, Xw, gw, rw

    if kind == "fit":
        t, mem, res, exact = measure(lambda: sm.Probit(y, X).fit(disp=0), n)
    elif kind == "hc0":
        t, mem, res, exact = measure(
            lambda: sm.Probit(y, X).fit(cov_type="HC0", disp=0), n)
    elif kind in ("cluster", "clustern"):
        t, mem, res, exact = measure(
            lambda: sm.Probit(y, X).fit(
                cov_type="cluster", cov_kwds={"groups": g, "use_correction": False},
                disp=0), n)
    else:
        fit = sm.Probit(y, X).fit(disp=0)
        t, mem, mfx, exact = measure(
            lambda: fit.get_margeff(at="overall", dummy=True), n)
        return dict(time=t, mem=mem, exact=exact,
                    est=np.asarray(mfx.margeff).tolist(),
                    se=np.asarray(mfx.margeff_se).tolist())
    return dict(time=t, mem=mem, exact=exact,
                est=np.asarray(res.params).tolist(),
                se=np.asarray(res.bse).tolist())


def child(case):
    tool, kind, n, k = case.split(",")
    n, k = int(float(n)), int(k)
    y, X, g_float, g_int = make_data(n, k)
    if kind == "clustern":
        g_float, g_int = one_cluster_per_row(n)
    gc.collect()
    if tool == "kestrum":
        out = run_kestrum(kind, n, k, y, X, g_float)
    else:
        out = run_statsmodels(kind, n, k, y, X, g_int)
    out["xbytes"] = int(X.nbytes)
    out["fingerprint"] = fingerprint(y, X)
    print(MARKER + json.dumps(out), flush=True)


# ----------------------------------------------------------------------------
# statsmodels cost model (measured on this machine: 2 cores, 24 GB)


def statsmodels_estimate(kind, n, k):
    """(seconds for the measured call, peak extra bytes) expected for statsmodels.

    Fitted to single-threaded runs on this machine.  The fit (Newton) takes
    about 6e-8 * n * k + 2e-9 * n * k^2 s (2.0 s at n = 1e6, k = 20; 8.0 s at
    n = 1e6, k = 50) and peaks at about 2.2x X.  get_margeff(dummy=True) takes
    about c * n * k^2 s, c = 1.5e-8 below n = 1e6 and 6e-8 from there on, when
    its many X-sized temporaries no longer stay warm (0.52 s at n = 1e5,
    k = 20; 3.8 s at n = 1e5, k = 50; 6.6 s at n = 1e6, k = 10; 23 s at
    n = 1e6, k = 20), and peaks at about (2k + 3)x X (21x at k = 10, 41x at
    k = 20, 101x at k = 50).
    """
    xbytes = 8.0 * n * k
    fit_t = 6e-8 * n * k + 2e-9 * n * k * k
    fit_mem = 2.2 * xbytes
    mfx_t = (1.5e-8 if n < 10**6 else 6e-8) * n * k * k
    mfx_mem = (2.0 * k + 3.0) * xbytes
    if kind == "ame":
        return mfx_t, mfx_mem
    return fit_t, fit_mem


def statsmodels_skip(kind, n, k, time_limit):
    t, mem = statsmodels_estimate(kind, n, k)
    if kind == "ame":                       # its subprocess fits first
        t += statsmodels_estimate("fit", n, k)[0]
    if mem > MEM_LIMIT:
        return f"skipped (memory: ~{mem / 1e9:.0f} GB expected)"
    if t > time_limit:
        return f"skipped (time: ~{t:.0f} s expected)"
    return None


# ----------------------------------------------------------------------------
# driver


BLAS_VARS = ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS",
             "BLIS_NUM_THREADS", "VECLIB_MAXIMUM_THREADS", "NUMEXPR_NUM_THREADS")


def run_child(tool, kind, n, k, timeout, blas_threads):
    cmd = [sys.executable, os.path.abspath(__file__), "--case", f"{tool},{kind},{n},{k}"]
    env = os.environ.copy()
    if blas_threads > 0:
        env.update({v: str(blas_threads) for v in BLAS_VARS})
    t0 = time.perf_counter()
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return {"error": f"timeout after {timeout:.0f} s"}, time.perf_counter() - t0
    wall = time.perf_counter() - t0
    for line in reversed(proc.stdout.splitlines()):
        if line.startswith(MARKER):
            return json.loads(line[len(MARKER):]), wall
    tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return {"error": f"failed (rc {proc.returncode}): {tail}"}, wall


def fmt_time(t):
    if t is None:
        return ""
    if t < 1e-3:
        return f"{t * 1e6:.0f} µs"
    if t < 1.0:
        return f"{t * 1e3:.3g} ms"
    return f"{t:.3g} s"


def fmt_mem(r):
    v = r["mem"] / r["xbytes"]
    s = f"{v:.3f}" if v < 0.1 else f"{v:.2f}" if v < 10 else f"{v:.1f}"
    return s if r.get("exact", True) else "≥" + s


def fmt_diff(a, b):
    d = np.max(np.abs(np.asarray(a) - np.asarray(b)))
    return f"{d:.1e}"


def fmt_n(n):
    e = int(round(np.log10(n)))
    return f"1e{e}" if 10**e == n else str(n)


HEADER = ("| case | n | k | kestrum | statsmodels | sm / kestrum | kestrum mem / X "
          "| sm mem / X | max\\|Δ\\| est | max\\|Δ\\| se | iters |")
RULE = "|" + "---|" * 11


def row(kind, n, k, kr, sr):
    cells = [KIND_LABEL[kind], fmt_n(n), str(k)]
    if "error" in kr:
        cells += [kr["error"]] + [""] * 7
        return "| " + " | ".join(cells) + " |"
    cells.append(fmt_time(kr["time"]))
    if isinstance(sr, str):
        cells += [sr, "", fmt_mem(kr), "", "", ""]
    elif "error" in sr:
        cells += [sr["error"], "", fmt_mem(kr), "", "", ""]
    else:
        if sr["fingerprint"] != kr["fingerprint"]:
            raise RuntimeError(f"data differ between tools for {kind} n={n} k={k}")
        cells += [fmt_time(sr["time"]), f"{sr['time'] / kr['time']:.1f}×",
                  fmt_mem(kr), fmt_mem(sr),
                  fmt_diff(kr["est"], sr["est"]), fmt_diff(kr["se"], sr["se"])]
    it = str(kr.get("iters", ""))
    if kr.get("converged") is False:
        it += "!"
    cells.append(it)
    return "| " + " | ".join(cells) + " |"


def machine_line():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    try:
        import statsmodels
        smv = statsmodels.__version__
    except ImportError:
        smv = "not installed"
    return (f"{cpu}, {os.cpu_count()} cores, {TOTAL_MEM / 1e9:.0f} GB; Python "
            f"{platform.python_version()}, NumPy {np.__version__}, statsmodels {smv}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--quick", action="store_true", help="only n = 1e4 and 1e5")
    ap.add_argument("--out", help="also write the markdown table to this file")
    ap.add_argument("--case", help=argparse.SUPPRESS)
    ap.add_argument("--blas-threads", type=int, default=1,
                    help="BLAS/OpenMP threads in the subprocesses (0: leave the "
                         "environment alone); default 1, a single-core comparison")
    ap.add_argument("--first-calls", type=int, default=5,
                    help="fresh processes for the first-call table (0: none)")
    ap.add_argument("--sm-time-limit", type=float, default=120.0,
                    help="skip a statsmodels case expected to take longer (s)")
    args = ap.parse_args()
    if args.case:
        child(args.case)
        return

    t_start = time.perf_counter()
    ns = QUICK_NS if args.quick else FULL_NS
    plan = []
    for n in ns:
        for k in KS:
            for kind in KINDS:
                plan.append((kind, n, k))
    if not args.quick:
        plan.append(("amechunk-only",) + BIG_AME)

    opts = dict(timeout=900, blas_threads=args.blas_threads)
    lines = [HEADER, RULE]
    for kind, n, k in plan:
        if kind == "amechunk-only":
            kr, wk = run_child("kestrum", "amechunk", n, k, **opts)
            sr = "skipped (memory: ~%.0f GB expected)" % (
                statsmodels_estimate("ame", n, k)[1] / 1e9)
            lines.append(row("amechunk", n, k, kr, sr))
            print(f"[{time.perf_counter() - t_start:6.0f} s] ame chunk n={n} k={k}: "
                  f"kestrum {wk:.1f} s wall", file=sys.stderr, flush=True)
            continue
        kr, wk = run_child("kestrum", kind, n, k, **opts)
        skip = statsmodels_skip(kind, n, k, args.sm_time_limit)
        if skip:
            sr, ws = skip, 0.0
        else:
            sr, ws = run_child("statsmodels", kind, n, k, **opts)
        lines.append(row(kind, n, k, kr, sr))
        if kind == "ame":
            kc, wc = run_child("kestrum", "amechunk", n, k, **opts)
            wk += wc
            lines.append(row("amechunk", n, k, kc, sr))
        print(f"[{time.perf_counter() - t_start:6.0f} s] {KIND_LABEL[kind]} n={n} k={k}: "
              f"wall kestrum {wk:.1f} s, statsmodels {ws:.1f} s",
              file=sys.stderr, flush=True)

    first = []
    if args.first_calls:
        from first_call import first_calls, table

        tools = ("kestrum", "frames-pandas", "statsmodels")
        results = first_calls(tools, ns, 20, args.first_calls)
        first = ["", "First fit in a fresh process:", "", table(results, 20, args.first_calls, 0)]
        print(f"[{time.perf_counter() - t_start:6.0f} s] first calls", file=sys.stderr, flush=True)

    total = time.perf_counter() - t_start
    text = "\n".join(
        lines
        + ["",
           f"Machine: {machine_line()}. Single-threaded kestrum; "
           f"`python bench/compare.py{' --quick' if args.quick else ''}` "
           f"took {total:.0f} s in all (each tool in its own subprocess; "
           f"BLAS threads: {args.blas_threads or 'default'}).",
           "Times: best of 5 (n = 1e4) / 3 (larger n) runs, stopping once 5 s have been spent. "
           "Memory: peak extra resident set during the call, as a multiple of X.nbytes. "
           "Δ: largest absolute difference kestrum − statsmodels in params / dy/dx (est) "
           "and standard errors (se). iters: kestrum iterations run. "
           f"`ame c={AME_CHUNK}` rows use chunk_size={AME_CHUNK} and are compared with "
           "the same statsmodels get_margeff run as the `ame` row above them. "
           "statsmodels is skipped where its expected peak (get_margeff: about "
           f"(2k + 3)× X) exceeds {MEM_LIMIT / 1e9:.0f} GB, or where a case is expected to "
           f"take over {args.sm_time_limit:.0f} s (keeping the run under 10 minutes)."]
        + first)
    print(text)
    if args.out:
        with open(args.out, "w") as fh:
            fh.write(text + "\n")


if __name__ == "__main__":
    main()
