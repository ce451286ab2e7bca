"""The seeded probit design of the kestrum_frames tests, as a pandas frame
and as the arrays kestrum.fit_probit takes."""

import numpy as np
import pandas as pd
import pytest
from frame_cases import REGRESSORS


@pytest.fixture
def design(simulated):
    """(frame, y, X, cluster columns) for n = 3000: X has a leading constant
    and the REGRESSORS columns; the frame has y, the regressors and two
    integer cluster codes g (60 groups) and h (3 groups)."""
    y, X, groups = simulated(20240611, n=3000, cluster_count=60)
    frame = pd.DataFrame(X[:, 1:], columns=REGRESSORS)
    frame["y"] = y
    frame["g"] = groups
    frame["h"] = np.arange(len(y)) % 3
    clusters = frame[["g", "h"]].to_numpy(dtype=np.float64)
    return frame, y, X, clusters
