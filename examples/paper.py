"""From fit to paper: tests, a table of two specifications and two pictures.

    python examples/paper.py [OUTPUT_DIR]

Fits two specifications of the Mroz (1987) labour-force participation
probit (examples/mroz.py), tests the restriction both ways, prints the two
fits side by side as Markdown and writes two PNGs into OUTPUT_DIR (default:
docs/ beside this folder): the average marginal effects of both fits with
95% intervals (paper_ame.png), and the predicted probability along age, with
its 95% band, for women with the sample's median characteristics with and
without a child under six (paper_prediction.png). Needs the examples extra
(pip install ".[examples]").
"""

import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")  # files only, no screen needed
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402

import kestrum_frames as kf  # noqa: E402

ROOT = Path(__file__).resolve().parent.parent
FULL = "inlf ~ nwifeinc + educ + exper + I(exper**2) + age + kidslt6 + kidsge6"
SHORT = "inlf ~ nwifeinc + exper + I(exper**2) + kidslt6 + kidsge6"


def prediction_picture(result, path):
    fig, ax = plt.subplots(figsize=(6.4, 4), layout="constrained")
    kf.plot_predictions(result, condition="age", by="city", ax=ax)  # every woman set to each age, by city
    ax.set_title("Average probability of working, by age")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def ame_picture(short, full, path):
    table = pd.concat({"(1)": kf.ame(short), "(2)": kf.ame(full)}, names=["model", "term"])
    fig, ax = plt.subplots(figsize=(6.4, 4.2), layout="constrained")
    kf.plot_ame(table, ax=ax)
    ax.set_title("Average marginal effects on P(in labour force)")
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(output: Path):
    mroz = pd.read_csv(ROOT / "data" / "mroz.csv")
    short, full = kf.fit_probit(SHORT, mroz), kf.fit_probit(FULL, mroz)
    print(full.wald_test("educ = 0, age = 0"))
    print(kf.lr_test(short, full))
    print(f"AIC {short.aic:.1f} and {full.aic:.1f}, BIC {short.bic:.1f} and {full.bic:.1f}\n")
    print(kf.etable([short, full], output="markdown"))
    output.mkdir(parents=True, exist_ok=True)
    ame_picture(short, full, output / "paper_ame.png")
    prediction_picture(full, output / "paper_prediction.png")
    print(f"wrote {output / 'paper_ame.png'} and {output / 'paper_prediction.png'}")


if __name__ == "__main__":
    main(Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "docs")
