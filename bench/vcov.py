"""The cost of weights and two-way clusters in kestrum_frames.fit_probit.

Run from the repository root with kestrum_frames importable:

    python bench/vcov.py [--rows 1000000] [--k 20] [--firms 10000] [--repeat 3] [--sorted | --panel]

Times, in interleaved rounds on the same pandas frame (n rows, an intercept
and k - 1 normal regressors, firm codes with --firms values, year codes with
50, each row's firm and year drawn at random, uniform probability weights):

  one-way        kf.fit_probit(formula, frame, cluster="firm")                 CR1
  weighted 2-way kf.fit_probit(formula, frame, cluster=["firm", "year"],
                               weights="w", weight_type="probability")        CR1, three groupings
  with_vcov      res.with_vcov(vcov="CR0") of the weighted two-way fit        one more pass

and prints the median of each, in wall and in CPU seconds (the process's
threads together; steadier than wall time on a shared machine), and the
ratio of the weighted two-way fit to the one-way fit in both. --sorted sorts
the frame by firm and year first. --panel makes a balanced panel instead:
n / 50 firms, each with one row in each of the 50 years, in random order
(every firm-year cell one row).
"""

from __future__ import annotations

import argparse
import statistics
import time

import numpy as np
import pandas as pd

import kestrum_frames as kf


def make_frame(rows: int, k: int, firms: int = 10_000, seed: int = 20240611,
               panel: bool = False) -> tuple[pd.DataFrame, str]:
    rng = np.random.default_rng(seed)
    names = [f"x{j}" for j in range(1, k)]
    X = rng.normal(size=(rows, k - 1))
    if panel:
        firms = rows // 50
        firm, year = np.divmod(rng.permutation(firms * 50), 50)
        X = X[: firms * 50]
    else:
        firm = rng.integers(0, firms, rows)
        year = rng.integers(0, 50, rows)
    index = -0.3 + X @ rng.normal(0.0, 0.2, k - 1) + rng.normal(0.0, 0.5, firms)[firm] + rng.normal(0.0, 0.3, 50)[year]
    frame = pd.DataFrame(X, columns=names)
    frame["y"] = (index + rng.normal(size=len(X)) > 0).astype(float)
    frame["firm"] = firm
    frame["year"] = year
    frame["w"] = rng.uniform(0.2, 3.0, len(X))
    return frame, "y ~ " + " + ".join(names)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--k", type=int, default=20)
    parser.add_argument("--firms", type=int, default=10_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--sorted", action="store_true", help="sort the rows by firm and year")
    parser.add_argument("--panel", action="store_true", help="one row per firm and year (n / 50 firms)")
    args = parser.parse_args()
    frame, formula = make_frame(args.rows, args.k, args.firms, panel=args.panel)
    if args.sorted:
        frame = frame.sort_values(["firm", "year"], kind="stable", ignore_index=True)

    weighted = {"cluster": ["firm", "year"], "weights": "w", "weight_type": "probability"}
    cases = {
        "one-way": lambda: kf.fit_probit(formula, frame, cluster="firm"),
        "weighted 2-way": lambda: kf.fit_probit(formula, frame, **weighted),
    }
    fitted = cases["weighted 2-way"]()  # also warms up the imports and the scheduler
    cases["with_vcov"] = lambda: fitted.with_vcov(vcov="CR0")
    times = {name: [] for name in cases}
    cpu = {name: [] for name in cases}
    for _ in range(args.repeat):
        for name, run in cases.items():  # interleaved, so that the machine's load hits each alike
            start, start_cpu = time.perf_counter(), time.process_time()
            result = run()
            times[name].append(time.perf_counter() - start)
            cpu[name].append(time.process_time() - start_cpu)
            del result  # one result at a time in memory besides the fit kept for with_vcov
    medians = {name: statistics.median(values) for name, values in times.items()}
    cpu_medians = {name: statistics.median(values) for name, values in cpu.items()}
    print(
        f"n = {args.rows}, k = {args.k}, {args.repeat} rounds; clusters of the weighted two-way fit "
        f"{fitted.n_clusters}, firm-year cells {fitted.model.data.clusters.get((0, 1))}, passes {fitted.passes}"
    )
    for name, seconds in medians.items():
        print(f"  {name:<16}{seconds:8.3f} s wall {cpu_medians[name]:8.3f} s CPU")
    print(
        f"weighted two-way / one-way: {medians['weighted 2-way'] / medians['one-way']:.2f} wall, "
        f"{cpu_medians['weighted 2-way'] / cpu_medians['one-way']:.2f} CPU"
    )


if __name__ == "__main__":
    main()
