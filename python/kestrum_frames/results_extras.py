"""What a fit result offers beyond its estimates: tests and criteria,
predictions with standard errors, and the HTML Jupyter shows."""

from __future__ import annotations

from .hypotheses import FitCriteria
from .predictions import PredictionResults, get_prediction
from .tables import summary_html


class ResultsExtras(FitCriteria):
    def get_prediction(self, newdata=None) -> PredictionResults:
        """Fitted probabilities with delta-method standard errors and
        intervals per row: ``.summary_frame(alpha)`` gives mean, mean_se,
        mean_ci_lower and mean_ci_upper. newdata as for ``predict``."""
        return get_prediction(self, newdata)

    def _repr_html_(self) -> str:
        return summary_html(self)
