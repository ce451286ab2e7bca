"""Marginal effects of variables: kestrum_frames.ame against kestrum.ame and
marginaleffects' avg_slopes.

Run from the repository root with kestrum and kestrum_frames importable:

    python bench/margins.py                  # n = 1e6 against kestrum.ame, n = 1e5 against marginaleffects
    python bench/margins.py --rows 200000    # another n for the first comparison
    python bench/margins.py --repeat 5

The model has 20 columns: an intercept, 11 numeric variables, the squares of
two of them, two products of two others and a 5-level factor (4 dummies):

    y ~ x1 + ... + x11 + I(x1**2) + I(x2**2) + x3:x4 + x5:x6 + C(f)

1. kestrum_frames.ame(result) (the effects of all 12 variables, through
   every term) against kestrum.ame on the same model matrix (the per-column
   effects of its 19 columns), on one frame of n rows, run alternately; the
   ratio of the median times.
2. At n = 1e5: kestrum_frames.ame against marginaleffects' avg_slopes on a
   statsmodels fit of the same formula (when marginaleffects imports: Python
   3.12 or later), run alternately: the ratio of the median times, and each
   one's peak memory above what the process held before the call (resident
   set size, measured in a fresh process per tool and n; Linux), at n = 1e5
   and at n = 4e5 to show how it grows with n.
"""

from __future__ import annotations

import argparse
import json
import statistics
import subprocess
import sys
import time
import types

import numpy as np
import pandas as pd

FORMULA = ("y ~ " + " + ".join(f"x{j}" for j in range(1, 12))
           + " + I(x1**2) + I(x2**2) + x3:x4 + x5:x6 + C(f)")


def make_data(n: int, seed: int = 20240611) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    frame = pd.DataFrame({f"x{j}": rng.normal(0.5, 1.0, n) for j in range(1, 12)})
    frame["f"] = pd.Categorical(rng.choice(list("abcde"), n))
    index = (0.1 * frame[[f"x{j}" for j in range(1, 12)]].sum(axis=1) - 0.05 * frame.x1**2 + 0.05 * frame.x2**2
             + 0.1 * frame.x3 * frame.x4 - 0.1 * frame.x5 * frame.x6 + frame.f.cat.codes * 0.1)
    frame["y"] = (index + rng.normal(size=n) > 0).astype(float)
    return frame


def timed(call) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def against_kestrum(n: int, repeat: int) -> None:
    import kestrum
    import kestrum_frames as kf
    from formulaic import Formula

    frame = make_data(n)
    result = kf.fit_probit(FORMULA, frame)
    X = np.ascontiguousarray(Formula(FORMULA).rhs.get_model_matrix(frame).to_numpy(dtype=np.float64))
    model = types.SimpleNamespace(exog=X, exog_names=list(result.params.index))
    arrays = types.SimpleNamespace(params=result.params.to_numpy(), cov_params=lambda: result.cov_params().to_numpy(),
                                   model=model)
    ours, core = [], []
    for _ in range(repeat):
        ours.append(timed(lambda: kf.ame(result)))
        core.append(timed(lambda: kestrum.ame(arrays)))
    a, b = statistics.median(ours), statistics.median(core)
    print(f"n = {n:.0e}, {X.shape[1]} columns: kestrum_frames.ame {a:.3f} s, kestrum.ame {b:.3f} s, "
          f"ratio {a / b:.2f}x (medians of {repeat})")


def _peak_child(tool: str, n: int) -> None:
    """In a fresh process: the peak resident memory that one call adds."""
    import statsmodels.formula.api as smf

    frame = make_data(n)
    if tool == "kestrum_frames":
        import kestrum_frames as kf

        result = kf.fit_probit(FORMULA, frame)
        kf.ame(result, variables="x1")  # first call's imports and setup, outside the measure

        def call():
            kf.ame(result)
    else:
        import marginaleffects as me

        fitted = smf.probit(FORMULA, frame).fit(disp=0)
        me.avg_slopes(fitted, variables="x7")

        def call():
            me.avg_slopes(fitted)
    before = _status_bytes("VmRSS")
    with open("/proc/self/clear_refs", "w") as clear:  # restarts the peak (VmHWM) at the current size
        clear.write("5")
    call()
    print(json.dumps({"added": _status_bytes("VmHWM") - before}))


def _status_bytes(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def peak_memory(tool: str, n: int) -> float:
    out = subprocess.run([sys.executable, __file__, "--peak-child", tool, str(n)], capture_output=True, text=True,
                         check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])["added"] / 1e6


def against_marginaleffects(n: int, repeat: int) -> None:
    try:
        import marginaleffects as me
    except ImportError:
        print("marginaleffects does not import here (it needs Python >= 3.12): comparison left out")
        return
    import kestrum_frames as kf
    import statsmodels.formula.api as smf

    frame = make_data(n)
    result = kf.fit_probit(FORMULA, frame)
    fitted = smf.probit(FORMULA, frame.assign(f=frame.f)).fit(disp=0)
    ours, theirs = [], []
    for _ in range(repeat):
        ours.append(timed(lambda: kf.ame(result)))
        theirs.append(timed(lambda: me.avg_slopes(fitted)))
    a, b = statistics.median(ours), statistics.median(theirs)
    print(f"n = {n:.0e}: kestrum_frames.ame {a:.3f} s, marginaleffects.avg_slopes {b:.3f} s, "
          f"marginaleffects / kestrum_frames {b / a:.0f}x (medians of {repeat})")
    for rows in (n, 4 * n):
        print(f"  peak memory added by the call at n = {rows:.0e}: kestrum_frames "
              f"{peak_memory('kestrum_frames', rows):.0f} MB, marginaleffects {peak_memory('marginaleffects', rows):.0f} MB")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--peak-child", nargs=2, metavar=("TOOL", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.peak_child:
        _peak_child(args.peak_child[0], int(args.peak_child[1]))
        return
    against_kestrum(args.rows, args.repeat)
    against_marginaleffects(100_000, args.repeat)


if __name__ == "__main__":
    main()
