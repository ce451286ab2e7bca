"""Average effects and predictions of a probability-weighted fit against
those of the same model unweighted.

Run from the repository root with kestrum_frames importable:

    python bench/weighted_margins.py                 # n = 1e6
    python bench/weighted_margins.py --rows 200000 --repeat 5

The model is bench/margins.py's (20 columns: 11 numeric variables, two
squares, two products, a 5-level factor). kf.ame and kf.avg_predictions
(by the factor) of the weighted and the unweighted fit are run alternately;
the medians and their ratios are printed. The weights multiply each row's
contributions in the same pass, so the ratios should be close to 1.
"""

from __future__ import annotations

import argparse
import statistics

import numpy as np

from margins import FORMULA, make_data, timed


def main() -> None:
    import kestrum_frames as kf

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    options = parser.parse_args()
    frame = make_data(options.rows)
    frame["w"] = np.random.default_rng(5).uniform(0.2, 3.0, len(frame))
    fits = {"unweighted": kf.fit_probit(FORMULA, frame, robust=True),
            "weighted": kf.fit_probit(FORMULA, frame, weights="w", weight_type="probability")}
    calls = {"ame": lambda res: kf.ame(res), "avg_predictions by f": lambda res: kf.avg_predictions(res, by="f")}
    for name, call in calls.items():
        times = {kind: [] for kind in fits}
        for _ in range(options.repeat):
            for kind, result in fits.items():
                times[kind].append(timed(lambda: call(result)))
        plain, weighted = (statistics.median(times[kind]) for kind in ("unweighted", "weighted"))
        print(f"n = {options.rows:.0e}, {name}: unweighted {plain:.3f} s, weighted {weighted:.3f} s, "
              f"ratio {weighted / plain:.2f} (medians of {options.repeat})")


if __name__ == "__main__":
    main()
