"""How a trained detector is scored on the images it has not seen.

The field reports the total error of the detector's own decisions on the
test half: P_E = (P_FA + P_MD) / 2, with P_FA the share of test covers it
calls stego and P_MD the share of test stego images it calls cover, at the
threshold that training fixed (for the ensemble, its majority vote). It can
exceed 0.5 on a split: a detector that learned nothing is right or wrong by
chance, either way.

The minimum over thresholds of (P_FA + P_MD) / 2, with the threshold chosen
on the test half itself, re-calibrates the detector on the very images it is
scored on: never above 0.5, and below the detector's error by an amount
that differs from one method to another. It is kept only as what it is, an
optimistic bound on how separable the two test sets are.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt


def decision_errors(cover_votes: npt.NDArray[Any], stego_votes: npt.NDArray[Any]) -> tuple[float, float, float]:
    """(P_E, P_FA, P_MD) of decisions (1 for stego, 0 for cover) on test
    covers and on test stego images."""
    p_fa = float(np.mean(np.asarray(cover_votes) == 1))
    p_md = float(np.mean(np.asarray(stego_votes) == 0))
    return (p_fa + p_md) / 2, p_fa, p_md


def separability_bound(cover_scores: npt.NDArray[Any], stego_scores: npt.NDArray[Any]) -> float:
    """min over thresholds t of (P_FA + P_MD) / 2, deciding "stego" for a
    score at or above t (including the thresholds that decide all one way,
    so it is at most 0.5): an optimistic bound, not an error rate."""
    c = np.sort(np.asarray(cover_scores, dtype=np.float64))
    s = np.sort(np.asarray(stego_scores, dtype=np.float64))
    thresholds = np.concatenate([np.unique(np.concatenate([c, s])), [np.inf]])
    false_alarms = (c.size - np.searchsorted(c, thresholds, side="left")) / c.size
    missed = np.searchsorted(s, thresholds, side="left") / s.size
    return float(np.min((false_alarms + missed) / 2))
