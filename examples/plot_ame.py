"""Plot the average partial effects of the Mroz probit with 95% intervals.

    python examples/plot_ame.py [OUTPUT.png]

Fits the labour-force participation probit of examples/mroz.py with
kestrum_frames, computes the average partial effects and draws each effect
with its 95% interval (dy/dx +/- 1.96 standard errors, nonrobust delta
method) to a PNG: OUTPUT.png if given, else ame.png in the current
directory. Needs matplotlib and the frames extra (pip install ".[examples]").
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import kestrum_frames as kf  # noqa: E402

DATA = Path(__file__).resolve().parent.parent / "data" / "mroz.csv"
FORMULA = "inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6"
Z95 = 1.96


def average_partial_effects():
    result = kf.fit_probit(FORMULA, pd.read_csv(DATA))
    return kf.ame(result), result.nobs


def plot(table, nobs, path):
    effect = table["dy/dx"].to_numpy()
    half_width = Z95 * table["Std. Err"].to_numpy()
    rows = np.arange(len(table))[::-1]  # first regressor at the top

    fig, ax = plt.subplots(figsize=(7, 4.2), layout="constrained")
    ax.axvline(0.0, color="0.6", linewidth=0.8)
    ax.errorbar(effect, rows, xerr=half_width, fmt="o", color="tab:blue", ecolor="tab:blue", capsize=3)
    ax.set_yticks(rows, table.index)
    ax.set_xlabel("average partial effect on P(in labour force), 95% interval")
    ax.set_title(f"Probit of inlf, Mroz (1987) data, n = {nobs}")
    for y, (b, h) in zip(rows, zip(effect, half_width)):
        ax.annotate(f"{b:+.4f}", (b + h, y), xytext=(4, 0), textcoords="offset points", va="center", fontsize=8)
    ax.margins(x=0.15)
    fig.savefig(path, dpi=120)
    plt.close(fig)


def main(argv):
    if len(argv) > 2:
        sys.exit(f"usage: {argv[0]} [OUTPUT.png]")
    path = Path(argv[1]) if len(argv) == 2 else Path.cwd() / "ame.png"
    table, nobs = average_partial_effects()
    plot(table, nobs, path)
    intervals = table[["dy/dx", "Std. Err"]].assign(
        low=table["dy/dx"] - Z95 * table["Std. Err"],
        high=table["dy/dx"] + Z95 * table["Std. Err"],
    )
    print(intervals.to_string(float_format=lambda v: f"{v:.4f}"))
    print(f"wrote {path}")


if __name__ == "__main__":
    main(sys.argv)
