"""The result of a probit with absorbed fixed effects: beta named by term,
the estimated fixed effects on request, and what was dropped."""

from __future__ import annotations

import warnings

import numpy as np
import pandas as pd
from scipy import special

from .design import Design
from .demeaning import demean
from .fixed_effects import FixedEffectsFit, PanelData, covariance, describe
from .frames import Columns
from .results import ProbitResults, Summary

# The estimated fixed effects are found by the demeaning's sweeps of level
# means of eta - X beta until the largest change is below this (relative to
# the largest |eta - X beta|; a Dask fit's, to max(|eta|, 1)).
FIXEF_TOL = 1e-12
FIXEF_MAX_SWEEPS = 10_000


class FixedEffectsModel:
    def __init__(self, design: Design, data: PanelData, fixed_effects: list[str], cluster: str | None, frame):
        self.design = design  # the part before '|'
        self.formula = f"{design.formula.strip()} | {' + '.join(fixed_effects)}"
        self.data = data
        self.fixed_effects = fixed_effects
        self.cluster = cluster
        self.frame = frame

    endog_names = property(lambda self: self.design.outcome)
    exog_names = property(lambda self: list(self.data.names))
    nobs = property(lambda self: int(self.data.y.shape[0]))


class FixedEffectsResults(ProbitResults):
    """kestrum_frames.fit_probit's result for 'y ~ x | fe1 + fe2'. As
    ProbitResults, with: fixef() (the fixed effects' estimates),
    n_separated / separated_levels (what was dropped as perfectly
    classified), and bias_corrected_params()."""

    def __init__(self, model: FixedEffectsModel, fit: FixedEffectsFit, vcov: str, kept_cov: np.ndarray | None = None):
        self.model = model
        self._fit = fit
        names = model.exog_names
        k = len(names)
        params = np.full(k, np.nan)
        params[fit.kept] = fit.beta
        cov = np.full((k, k), np.nan)
        cov[np.ix_(fit.kept, fit.kept)] = covariance(fit, model.data, vcov) if kept_cov is None else kept_cov
        self.params = pd.Series(params, index=names, name="coef")
        self._cov = pd.DataFrame(cov, index=names, columns=names)
        self.loglike = fit.loglike
        self.iterations = fit.iterations
        self.converged = fit.converged
        self.vcov = vcov
        self.cov_type = describe(vcov, model.cluster, model.data.clusters)
        self.passes = fit.passes
        self.strategy = "newton"

    def effect_sums(self):
        """The sums over the rows that kf.ame needs (fixed_effects_margins.EffectSums)."""
        from .fixed_effects_margins import effect_sums

        return effect_sums(self)

    def with_vcov(self, vcov=None, cluster=None, information=None):
        raise NotImplementedError("with_vcov is not available for a fit with fixed effects: refit with vcov=")

    def get_prediction(self, newdata=None):
        raise NotImplementedError("get_prediction is not available for a fit with fixed effects: use predict")

    # Counts

    @property
    def nobs(self) -> int:
        """Rows used: those left once rows with a missing value and the
        perfectly classified levels are dropped."""
        return self.model.nobs

    @property
    def n_dropped(self) -> int:
        """Rows left out for a missing outcome, regressor or cluster value."""
        return self.model.data.dropped_missing

    @property
    def n_separated(self) -> int:
        """Rows left out because their level of a fixed effect has an outcome that never varies."""
        return self.model.data.separated_rows

    @property
    def separated_levels(self) -> dict:
        """Per fixed effect, how many of its levels were dropped as perfectly classified."""
        return dict(self.model.data.separated_levels)

    @property
    def n_clusters(self):
        return self.model.data.clusters if self.vcov.startswith("CR") else None

    @property
    def n_fixed_effects(self) -> int:
        """Coefficients of the fixed effects: sum of their levels, less one per
        fixed effect after the first (the normalisation; a connected panel assumed)."""
        counts = self.model.data.levels.counts
        return int(sum(counts) - (len(counts) - 1))

    @property
    def _identified(self) -> int:
        return int(self.params.notna().sum()) + self.n_fixed_effects

    @property
    def df_model(self) -> int:
        return self._identified - 1

    @property
    def df_resid(self) -> int:
        return self.nobs - self._identified

    @property
    def llnull(self) -> float:
        """l of the intercept-only model on the rows used: n (p ln p + (1 - p) ln(1 - p))."""
        y = self.model.data.y
        n, p = y.shape[0], float(y.mean())
        return float(n * (special.xlogy(p, p) + special.xlogy(1.0 - p, 1.0 - p)))

    # The fixed effects

    def fixef(self) -> dict:
        """Per fixed effect, a Series of its estimated coefficient per level.
        With several, only the sums across fixed effects are identified: the
        normalisation puts every level's mean in the first fixed effect (the
        others' are whatever the sweeps from 0 reach)."""
        data = self.model.data
        remainder = self._fit.eta - data.X[:, self._fit.kept] @ self._fit.beta  # D alpha
        # The demeaning's sweeps with unit weights: the coefficients of remainder's projection on the dummies.
        effects = [c[:, 0] for c in demean(data.levels, remainder, np.ones_like(remainder), FIXEF_TOL,
                                           gram=False).coefficients]
        return self._named_effects(effects)

    def _named_effects(self, effects: list[np.ndarray]) -> dict:
        return {name: pd.Series(effect, index=pd.Index(labels, name=name), name="coef")
                for name, effect, labels in zip(self.model.fixed_effects, effects, self.model.data.labels)}

    def predict(self, newdata=None):
        """Phi(x'beta + the row's fixed effects): of the rows used (in the
        order of the first fixed effect's levels) when newdata is None;
        else of each row of newdata, NaN where a value is missing or a
        level was not estimated (never seen, or dropped as perfectly
        classified)."""
        if newdata is None:
            return special.ndtr(self._fit.eta)
        return predicted(self.model.design, self.params, self.fixef(), newdata)


    def bias_corrected_params(self) -> pd.Series:
        """beta less its analytical incidental-parameter bias (see fixed_effects_margins)."""
        params = self.params.copy()
        params.iloc[self._fit.kept] = self.corrected_beta()
        return params

    def corrected_beta(self) -> np.ndarray:
        """beta~ over the kept regressors (fixed_effects_margins)."""
        from .fixed_effects_margins import corrected_beta

        return corrected_beta(self)

    def corrected_effects(self, positions: list[int]) -> np.ndarray:
        """The bias-corrected effects of the kept regressors at positions (fixed_effects_margins)."""
        from .fixed_effects_margins import _corrected_effects

        return _corrected_effects(self, positions)

    @property
    def iteration_method(self) -> str:
        return "Newton steps on the regressors demeaned within the levels of the fixed effects"

    def summary(self) -> Summary:
        summary = Summary(self)
        data = self.model.data
        separated = ", ".join(f"{name} {count}" for name, count in data.separated_levels.items())
        summary.facts[1] = ("Model:", "Probit", "Rows dropped (missing):", self.n_dropped)
        summary.facts.insert(2, ("Fixed effects:", " + ".join(self.model.fixed_effects),
                                 "Perfectly classified rows:", self.n_separated))
        summary.facts.insert(3, ("Levels:", ", ".join(map(str, data.levels.counts)),
                                 "Levels dropped:", separated))
        return summary


def predicted(design: Design, params: pd.Series, fixed_effects: dict, newdata):
    """Phi(x'beta + the row's fixed effects) of each row of newdata (FixedEffectsResults.predict)."""
    columns = Columns(newdata, "newdata")
    X, missing = design.new_rows(columns)
    terms = [j for j, name in enumerate(design.names) if name != "Intercept"]
    beta = params.fillna(0.0).to_numpy()
    eta = X[:, terms] @ beta
    unknown = np.zeros(columns.rows, dtype=bool) if missing is None else missing.copy()
    for name, effect in fixed_effects.items():
        columns.require([name], grouping=True)
        position = effect.index.get_indexer(columns.series(name))
        unknown |= position < 0
        eta = eta + np.where(position >= 0, effect.to_numpy()[position], 0.0)
    if unknown.any():
        warnings.warn(f"newdata: {int(unknown.sum())} rows have a missing value or a level the fit did not "
                      "estimate: their predictions are NaN", UserWarning, stacklevel=3)
    probability = np.where(unknown, np.nan, special.ndtr(eta))
    if isinstance(newdata, pd.DataFrame):
        return pd.Series(probability, index=newdata.index, name="predicted")
    return probability
