"""The first fit from a frame in memory pays for nothing it does not use:
Dask's distributed package, whose import takes longer than a fit of a
million rows, is not imported on the way."""

import os
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("kestrum_frames", reason="needs the frames extra: pip install '.[frames]'")
pytest.importorskip("distributed", reason="only matters where distributed is installed")

CHILD = textwrap.dedent(
    """
    import sys
    import numpy as np, pandas as pd
    import kestrum_frames as kf

    rng = np.random.default_rng(0)
    frame = pd.DataFrame({"x": rng.normal(size=500), "g": np.arange(500) % 7})
    frame["y"] = (frame["x"] + rng.normal(size=500) > 0) * 1.0
    result = kf.fit_probit("y ~ x", frame, cluster="g", npartitions=3)
    kf.ame(result), result.predict()
    print(result.converged, "distributed" in sys.modules)
    """
)


def test_a_fit_in_memory_does_not_import_distributed():
    done = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True, env=dict(os.environ), check=True)
    assert done.stdout.split() == ["True", "False"], done.stdout + done.stderr
