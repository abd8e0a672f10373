"""The FLD ensemble classifier of steganalysis, in scikit-learn's conventions.

The classifier of Kodovsky, Fridrich and Holub, "Ensemble Classifiers for
Steganalysis of Digital Media", IEEE Transactions on Information Forensics and
Security 7(2), 2012, trained on paired cover and stego features:

- ``L`` base learners, each a Fisher linear discriminant (FLD) on a random
  subspace of ``d_sub`` of the ``d`` feature dimensions, trained on a bootstrap
  sample of the training pairs (``N`` draws with replacement; the cover and
  the stego feature vector of a pair are always drawn together).
- An FLD learner: the class means ``mu_c``, ``mu_s`` and covariances
  ``C_c``, ``C_s`` of its bootstrap sample in its subspace, the weights
  ``w = (C_c + C_s + lambda I)^-1 (mu_s - mu_c)``, and the threshold on
  ``w . x`` that minimises the number of errors on that same sample (the
  midpoint between two neighbouring projections; the orientation is flipped
  if deciding "stego" below the threshold errs less).
- Out-of-bag (OOB) error: every pair that a learner's bootstrap left out is
  classified by that learner; a pair's OOB decision is the majority vote of
  the learners for which it was out of bag, and the OOB error is the share of
  wrong decisions over all ``2 N`` feature vectors. A tied vote (and a vector
  not yet out of bag for any learner) counts half an error: the expectation
  of breaking the tie at random, as the reference implementation does.
- ``n_learners="auto"``: learners are added until the OOB estimate settles:
  from ``AUTO_MIN_LEARNERS`` learners on, training stops once the moving
  averages over ``AUTO_KERNEL`` consecutive estimates, taken over the last
  ``AUTO_WINDOW`` estimates, all lie within ``AUTO_EPSILON`` of one another,
  and at ``max_learners`` learners at the latest.
- ``subspace="auto"``: the paper's one-dimensional search for ``d_sub``,
  approaching the minimum of the OOB error from small dimensions, with an
  initial step of ``SEARCH_STEP`` (at most a quarter of ``d``), candidates
  ``1, 2, 3`` steps, and halved steps around the best candidate until its OOB
  error is within ``SEARCH_TOLERANCE`` (relative) or ``SEARCH_PRECISION``
  (absolute) of its neighbours', or the step is below ``SEARCH_FINE`` of it.
  Each candidate trains a whole ensemble (with its own automatic ``L`` where
  asked); the one of least OOB error is kept (the smaller ``d_sub`` on a tie).
- The ensemble decides by the majority vote of its learners; ``predict``
  gives a tied vote to the sign of the learners' mean score (cover if that
  is 0 too), and ``decision_function`` is a score whose sign is that
  decision (see there).

The constants are those of the authors' implementation and of sealwatch's
port of it.

Conventions
-----------
``fit(X_cover, X_stego)`` takes two ``N x d`` arrays whose rows are paired
(row ``i`` of ``X_stego`` is the stego image of the cover of row ``i``).
Labels are 1 for stego and 0 for cover. ``predict(X)`` gives labels,
``decision_function(X)`` a score positive exactly where the label is 1,
``learner_scores(X)`` each learner's score and ``error(X_cover, X_stego)``
the detection error ``(P_FA + P_MD) / 2``; ``X`` is ``n x d``. Parameters are
stored unchanged by the constructor and checked by ``fit``, which returns
the model; what it learns is in attributes whose names end in ``_``:

- ``n_learners_``, ``subspace_``: the chosen ``L`` and ``d_sub``
- ``oob_error_``: the OOB error estimate of the returned ensemble
- ``oob_errors_``: its OOB estimate after each learner (1-D, length ``L``)
- ``search_``: one ``SearchStep`` per trained candidate ensemble, in training
  order (a single one unless ``subspace="auto"``)
- ``subspaces_``: ``L x d_sub`` feature indices of each learner, ascending
- ``coef_``, ``thresholds_``: ``L x d_sub`` weights and ``L`` thresholds; a
  learner's score of ``x`` is ``x[subspaces_[l]] @ coef_[l] - thresholds_[l]``,
  positive for stego. The weights are scaled so that the class means of the
  learner's own bootstrap sample lie one unit apart on that score.
- ``n_features_in_``: ``d``

Randomness
----------
No global or library random generator is used. Each draw is a SplitMix64 hash
of (``seed``, learner index, stream, counter), computed in NumPy's uint64
arithmetic, so the same ``seed`` gives the same subspaces and bootstrap
samples on every platform and NumPy version. Learner ``l``'s subspace of size
``k`` is the ``k`` smallest of ``d`` hashed keys (subspaces of one learner for
different ``k`` are nested) and its bootstrap sample maps ``N`` hashed values
to ``[0, N)`` by a 32-bit multiply-shift (bias below ``N / 2**32``). The
draws of learner ``l`` depend on nothing but ``seed``, ``l``, ``d``, ``N`` and
``d_sub``: the candidates of the subspace search share their bootstrap
samples, and refitting with the chosen ``n_learners_`` and ``subspace_`` as
fixed sizes rebuilds the same model.

Precision
---------
The training features are kept as one float32 copy, transposed so that a
subspace is a set of contiguous rows (half the memory of float64, and the
precision in which ``velmora features`` writes them). Each learner gathers
the subspace rows of the pairs in its bootstrap sample into a float64 block
(each distinct pair once, weighted by how often it was drawn), and all its
arithmetic is float64: one GEMM for its scatter matrix (or, with fewer
distinct vectors than dimensions, for their Gram matrix, which gives the same
weights through the matrix inversion lemma with a smaller system), the
solve, and every score. ``bench/ensemble_precision.py`` measured the
alternatives on SRM features (34,671 dimensions) of 64 x 64 photograph crops
with LSB matching at 0.4 bits per pixel, 10 learners, against all-float64
arithmetic on the unrounded features:

- features rounded to float32: no test decision of any learner changed, in
  any of the three settings below;
- a float32 GEMM: with 800 training pairs and subspaces of 2,000 (fewer
  vectors than dimensions, the usual case for small training sets) it
  changed 12.5% of the learners' test decisions and raised the ensemble's
  test error from 0.151 to 0.194: the rounding noise of the Gram matrix is
  far above the 1e-10 regularization and makes the system indefinite. With
  1,200 pairs and subspaces of 1,200 it changed 0.04%, of 600 none;
- a float32 solve as well: 4% of the decisions changed at 1,200 x 1,200.
"""

from __future__ import annotations

import math
import operator
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any, Final, Literal

import numpy as np
import numpy.typing as npt

__all__ = ["FLDEnsemble", "NotFittedError", "SearchStep"]

MIN_PAIRS: Final = 2
"""The fewest training pairs ``fit`` takes: with one pair every bootstrap
sample is that pair, so no learner has an out-of-bag pair to estimate its
error on."""

AUTO_MIN_LEARNERS: Final = 25
AUTO_WINDOW: Final = 50
AUTO_KERNEL: Final = 5
AUTO_EPSILON: Final = 0.005
MAX_LEARNERS: Final = 500

SEARCH_STEP: Final = 200
SEARCH_TOLERANCE: Final = 0.02
SEARCH_PRECISION: Final = 0.005
SEARCH_FINE: Final = 0.05

REGULARIZATION: Final = 1e-10
"""Added to the diagonal of the within-class covariance ``C_c + C_s`` before
the solve, as the authors' implementation does. It is absolute, so it suits
features of the scale of normalised histograms (as SPAM and the rich models
are); see ``_solve`` for systems that are singular all the same."""

_MASK64: Final = (1 << 64) - 1
_GAMMA: Final = 0x9E3779B97F4A7C15
_MIX1: Final = 0xBF58476D1CE4E5B9
_MIX2: Final = 0x94D049BB133111EB
_STREAM_SUBSPACE: Final = 0
_STREAM_BOOTSTRAP: Final = 1

# Learners per block when scoring: bounds the dense d x block weight matrix.
_SCORE_BLOCK_BYTES: Final = 32 << 20

FloatArray = npt.NDArray[np.float64]
IndexArray = npt.NDArray[np.intp]


class NotFittedError(ValueError):
    """Raised when a model is used for prediction before ``fit``."""


@dataclass(frozen=True)
class SearchStep:
    """One candidate ensemble that ``fit`` trained: its subspace dimension,
    its number of learners and its out-of-bag error estimate."""

    subspace: int
    n_learners: int
    oob_error: float


# --- seeded draws ------------------------------------------------------------


def _mix_int(z: int) -> int:
    """SplitMix64's output function of a 64-bit state, on Python ints."""
    z = ((z ^ (z >> 30)) * _MIX1) & _MASK64
    z = ((z ^ (z >> 27)) * _MIX2) & _MASK64
    return z ^ (z >> 31)


def _mix(z: npt.NDArray[np.uint64]) -> npt.NDArray[np.uint64]:
    """SplitMix64's output function, elementwise on uint64 (wrapping)."""
    z = (z ^ (z >> np.uint64(30))) * np.uint64(_MIX1)
    z = (z ^ (z >> np.uint64(27))) * np.uint64(_MIX2)
    return z ^ (z >> np.uint64(31))


def _stream_key(seed: int, learner: int, stream: int) -> int:
    """The key of one learner's stream of draws: SplitMix64 hashes chained
    over seed, learner index and stream number."""
    key = _mix_int((seed + _GAMMA) & _MASK64)
    key = _mix_int((key + (learner + 1) * _GAMMA) & _MASK64)
    return _mix_int((key + (stream + 1) * _GAMMA) & _MASK64)


def _hashes(key: int, count: int) -> npt.NDArray[np.uint64]:
    """``count`` values of the SplitMix64 sequence that starts at ``key``."""
    counters = np.arange(1, count + 1, dtype=np.uint64)
    return _mix(counters * np.uint64(_GAMMA) + np.uint64(key))


def _subspace(seed: int, learner: int, dim: int, size: int) -> IndexArray:
    """Learner ``learner``'s ``size`` feature indices out of ``dim``,
    ascending: those of the ``size`` smallest hashed keys. The low bits of
    each key are its index, so keys are distinct and the selection does not
    depend on how a partition orders equal keys."""
    if size >= dim:
        return np.arange(dim, dtype=np.intp)
    bits = np.uint64(max(1, (dim - 1).bit_length()))
    keys = (_hashes(_stream_key(seed, learner, _STREAM_SUBSPACE), dim) >> bits << bits) | np.arange(
        dim, dtype=np.uint64
    )
    chosen = np.argpartition(keys, size - 1)[:size]
    return np.sort(chosen).astype(np.intp, copy=False)


def _bootstrap_counts(seed: int, learner: int, pairs: int) -> IndexArray:
    """How often each of ``pairs`` pairs is drawn into learner ``learner``'s
    bootstrap sample of ``pairs`` draws: the high 32 bits of each hash,
    multiplied by ``pairs`` and shifted down by 32 bits."""
    high = _hashes(_stream_key(seed, learner, _STREAM_BOOTSTRAP), pairs) >> np.uint64(32)
    draws = (high * np.uint64(pairs)) >> np.uint64(32)
    return np.bincount(draws.astype(np.intp), minlength=pairs)


# --- one base learner --------------------------------------------------------


def _fld_weights(block: FloatArray, diff: FloatArray) -> FloatArray:
    """``(B B^T + lambda I)^-1 diff`` for the ``d_sub x n`` block ``B`` of
    centred, weighted samples (``B B^T`` the within-class covariance). With
    fewer samples than dimensions the same vector is
    ``(diff - B (lambda I + B^T B)^-1 B^T diff) / lambda``, an ``n x n`` system
    instead of a ``d_sub x d_sub`` one."""
    size, samples = block.shape
    if samples >= size:
        weights, _ = _solve(block @ block.T, diff)
        return weights
    inner, ridge = _solve(block.T @ block, block.T @ diff)
    weights = (diff - block @ inner) / ridge
    return weights


def _solve(matrix: FloatArray, rhs: FloatArray) -> tuple[FloatArray, float]:
    """``(matrix + ridge I)^-1 rhs`` for a symmetric positive semi-definite
    ``matrix`` (overwritten), and the ``ridge``: ``REGULARIZATION``, or where
    LAPACK still finds the system singular (the ridge lost in rounding
    against large entries), that plus growing multiples of the machine
    epsilon times the mean diagonal, until it solves."""
    diagonal = np.einsum("ii->i", matrix)
    scale = float(np.mean(diagonal)) or 1.0
    ridge = REGULARIZATION
    diagonal += ridge
    step = 1.0
    while True:
        try:
            solution: FloatArray = np.asarray(np.linalg.solve(matrix, rhs), dtype=np.float64)
            return solution, ridge
        except np.linalg.LinAlgError:
            if ridge > scale:  # only for non-finite input, which fit refuses
                raise
            boost = step * float(np.finfo(np.float64).eps) * scale
            diagonal += boost
            ridge += boost
            step *= 5.0


def _threshold(cover: FloatArray, stego: FloatArray, weights: FloatArray) -> tuple[float, float]:
    """The threshold and orientation (1 or -1) that minimise the weighted
    number of errors of deciding "stego" for ``orientation * (score -
    threshold) > 0``, over cover and stego scores with the pair weights
    ``weights``. Thresholds lie midway between neighbouring distinct scores;
    the lowest one of least error wins, the orientation 1 on a tie. If all
    scores are equal the threshold is that score (every vote is then 0)."""
    scores = np.concatenate([cover, stego])
    order = np.argsort(scores, kind="stable")
    ranked = scores[order]
    is_stego = order >= cover.size
    w = np.concatenate([weights, weights])[order]
    total = float(np.sum(weights))
    # Errors with "stego above the threshold" when it lies after position i:
    # covers above it are false alarms, stegos up to i missed detections.
    covers_below = np.cumsum(np.where(is_stego, 0.0, w))[:-1]
    stegos_below = np.cumsum(np.where(is_stego, w, 0.0))[:-1]
    upward = (total - covers_below) + stegos_below
    downward = 2.0 * total - upward
    valid = ranked[1:] > ranked[:-1]
    if not np.any(valid):
        return float(ranked[0]), 1.0
    errors = np.where(valid, np.minimum(upward, downward), np.inf)
    i = int(np.argmin(errors))
    orientation = 1.0 if upward[i] <= downward[i] else -1.0
    return 0.5 * (float(ranked[i]) + float(ranked[i + 1])), orientation


@dataclass
class _Learner:
    weights: FloatArray  # scaled and oriented; zero for a learner that abstains
    threshold: float
    oob_cover: FloatArray  # scores of the out-of-bag pairs
    oob_stego: FloatArray
    oob: IndexArray  # their indices


def _fit_learner(cover_t: npt.NDArray[np.float32], stego_t: npt.NDArray[np.float32],
                 features: IndexArray, counts: IndexArray) -> _Learner:
    """One FLD on the rows ``features`` of the transposed training features
    and the bootstrap sample with per-pair multiplicities ``counts``."""
    inbag = np.flatnonzero(counts)
    oob = np.flatnonzero(counts == 0)
    draws = float(np.sum(counts))
    size, distinct = features.size, inbag.size
    multiplicity = counts[inbag].astype(np.float64)
    share = multiplicity / draws
    root = np.sqrt(multiplicity)
    # The subspace rows of the pairs drawn, each once, cover and stego side
    # by side, in float64: see the module documentation on precision.
    rows_c, rows_s = cover_t[features], stego_t[features]
    block = np.empty((size, 2 * distinct))
    block[:, :distinct] = np.take(rows_c, inbag, axis=1)
    block[:, distinct:] = np.take(rows_s, inbag, axis=1)
    mean_c = block[:, :distinct] @ share
    mean_s = block[:, distinct:] @ share
    diff = mean_s - mean_c
    # Centred and weighted by the square roots of the multiplicities over
    # that of the sample size, the block's Gram matrix is the within-class
    # covariance of the bootstrap sample with each pair counted as often as
    # it was drawn.
    block[:, :distinct] -= mean_c[:, None]
    block[:, distinct:] -= mean_s[:, None]
    scale = root / math.sqrt(draws)
    block[:, :distinct] *= scale
    block[:, distinct:] *= scale
    weights = _fld_weights(block, diff)
    # Scores of the sample from the centred block: w.x = w.(x - mean) + w.mean.
    centred = weights @ block
    cover_scores = centred[:distinct] / scale + float(weights @ mean_c)
    stego_scores = centred[distinct:] / scale + float(weights @ mean_s)
    del block
    separation = float(weights @ diff)
    if not (math.isfinite(separation) and separation > 0.0):
        # No difference between the classes in this subspace and sample.
        zero = np.zeros(oob.size)
        return _Learner(np.zeros(features.size), 0.0, zero, zero.copy(), oob)
    weights /= separation
    threshold, orientation = _threshold(cover_scores / separation, stego_scores / separation, multiplicity)
    if orientation < 0:
        weights = -weights
        threshold = -threshold
    return _Learner(weights, threshold, weights @ np.take(rows_c, oob, axis=1) - threshold,
                    weights @ np.take(rows_s, oob, axis=1) - threshold, oob)


# --- one ensemble ------------------------------------------------------------


def _settled(quarters: list[int], pairs: int) -> bool:
    """The automatic stopping rule on the OOB estimates so far, given in
    units of ``1 / (4 N)`` so that the moving sums are exact integers: at
    least ``AUTO_MIN_LEARNERS`` estimates, and the moving averages over
    ``AUTO_KERNEL`` consecutive ones among the last ``AUTO_WINDOW`` lie within
    ``AUTO_EPSILON`` of one another."""
    if len(quarters) < AUTO_MIN_LEARNERS:
        return False
    tail = np.asarray(quarters[-AUTO_WINDOW:], dtype=np.int64)
    sums = np.convolve(tail, np.ones(AUTO_KERNEL, dtype=np.int64), mode="valid")
    return int(sums.max() - sums.min()) < AUTO_EPSILON * AUTO_KERNEL * 4 * pairs


@dataclass
class _Ensemble:
    subspaces: IndexArray
    coef: FloatArray
    thresholds: FloatArray
    oob_errors: FloatArray


def _train_ensemble(cover_t: npt.NDArray[np.float32], stego_t: npt.NDArray[np.float32], seed: int,
                    size: int, learners: int | None, max_learners: int) -> _Ensemble:
    """The learners of one ensemble of subspace dimension ``size``: exactly
    ``learners`` of them, or with ``learners=None`` until the OOB estimate
    settles (at most ``max_learners``)."""
    dim, pairs = cover_t.shape
    # Each vector's vote sum over the learners it was out of bag for.
    votes_c = np.zeros(pairs, dtype=np.int64)
    votes_s = np.zeros(pairs, dtype=np.int64)
    # OOB errors in units of 1 / (4 N): two per wrong vote, one per tie.
    quarters: list[int] = []
    subspaces: list[IndexArray] = []
    coefs: list[FloatArray] = []
    thresholds: list[float] = []
    limit = max_learners if learners is None else learners
    for index in range(limit):
        features = _subspace(seed, index, dim, size)
        learner = _fit_learner(cover_t, stego_t, features, _bootstrap_counts(seed, index, pairs))
        subspaces.append(features)
        coefs.append(learner.weights)
        thresholds.append(learner.threshold)
        votes_c[learner.oob] += np.sign(learner.oob_cover).astype(np.int64)
        votes_s[learner.oob] += np.sign(learner.oob_stego).astype(np.int64)
        wrong = 2 * (int(np.count_nonzero(votes_c > 0)) + int(np.count_nonzero(votes_s < 0)))
        ties = int(np.count_nonzero(votes_c == 0)) + int(np.count_nonzero(votes_s == 0))
        quarters.append(wrong + ties)
        if learners is None and _settled(quarters, pairs):
            break
    return _Ensemble(
        subspaces=np.stack(subspaces),
        coef=np.stack(coefs),
        thresholds=np.asarray(thresholds, dtype=np.float64),
        oob_errors=np.asarray(quarters, dtype=np.float64) / (4 * pairs),
    )


# --- the search for the subspace dimension -----------------------------------


class _SubspaceSearch:
    """The one-dimensional search for ``d_sub`` over a grid that is refined
    around its best point: ``next`` is the candidate to train next, or None
    once the search is over."""

    def __init__(self, dim: int) -> None:
        self.dim = dim
        step = SEARCH_STEP
        if step >= dim / 4:
            step = dim // 4
        if dim < 10:
            step = 1
        self.step = step
        grid = [1, 2] if dim == 2 else [step, 2 * step, 3 * step]
        self.errors: dict[int, float | None] = {k: None for k in grid}
        self.next: int | None = grid[0]

    def _add(self, *candidates: int) -> bool:
        added = False
        for k in candidates:
            if 1 <= k <= self.dim and k not in self.errors:
                self.errors[k] = None
                added = True
        return added

    def _far_from_grid(self, k: int) -> bool:
        return min(abs(k - c) for c in self.errors) > self.step / 2

    def update(self, size: int, error: float) -> None:
        self.errors[size] = error
        if not self._refine():
            self.next = None
            return
        self.next = min(k for k, e in self.errors.items() if e is None)

    def best(self) -> int:
        done = sorted((k, e) for k, e in self.errors.items() if e is not None)
        return min(done, key=lambda item: (item[1], item[0]))[0]

    def _refine(self) -> bool:
        """Whether candidates remain, adding some when the grid is done."""
        if any(e is None for e in self.errors.values()):
            return True
        grid = sorted(self.errors)
        errs = [self.errors[k] for k in grid]
        values: list[float] = [e for e in errs if e is not None]
        i = min(range(len(grid)), key=lambda j: (values[j], grid[j]))
        best, least = grid[i], values[i]
        if self.step == 1 or math.isclose(least, 0.0, abs_tol=1e-8):
            return False

        def settled(around: float) -> bool:
            return (least / around >= 1 - SEARCH_TOLERANCE if around > 0 else True) or (
                around - least < SEARCH_PRECISION) or self.step < best * SEARCH_FINE

        if i == 0:
            self.step //= 2
            return self._add(best - self.step, best + self.step)
        if i == len(grid) - 1:
            if best + self.step <= self.dim and self._far_from_grid(best + self.step):
                return self._add(best + self.step)
            if settled(values[-2]):
                return False
            self.step //= 2
            if best + self.step <= self.dim:
                return self._add(best - self.step, best + self.step)
            return self._add(best - self.step)
        if (i == len(grid) - 2 and best + self.step <= self.dim and self._far_from_grid(best + self.step)
                and not (values[-1] > values[-2] and values[-1] > values[-3])):
            return self._add(best + self.step)
        if settled((values[i - 1] + values[i + 1]) / 2):
            return False
        self.step //= 2
        return self._add(best - self.step, best + self.step)


# --- input checks ------------------------------------------------------------


def _size(value: Any, name: str, low: int, high: int | None = None, auto: bool = True) -> int | None:
    """``value`` as an int within ``[low, high]``, or None for ``"auto"``."""
    expected = '"auto" or an int' if auto else "an int"
    if isinstance(value, str):
        if auto and value == "auto":
            return None
        raise ValueError(f"{name} must be {expected}, got {value!r}")
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be {expected}, got {type(value).__name__}")
    number = operator.index(value)
    if number < low or (high is not None and number > high):
        bounds = f"between {low} and {high}" if high is not None else f"at least {low}"
        raise ValueError(f"{name} must be {bounds}, got {number}")
    return number


def _features(x: Any, name: str) -> npt.NDArray[Any]:
    """``x`` as a 2-D array of finite real numbers (not copied if it is one)."""
    array = np.asarray(x)
    if array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers (integers or floats), got dtype {array.dtype}")
    if array.ndim != 2:
        raise ValueError(f"{name} must be 2-D (samples x features), got {array.ndim}-D with shape {array.shape}")
    if array.shape[1] == 0:
        raise ValueError(f"{name} has no features (shape {array.shape})")
    if array.dtype.kind == "f" and not np.all(np.isfinite(array)):
        raise ValueError(f"{name} holds NaN or infinite values")
    return array


def _float32_transposed(x: npt.NDArray[Any], name: str) -> npt.NDArray[np.float32]:
    """A float32 copy of ``x``, transposed (features x samples) and C-contiguous."""
    if x.dtype.kind == "f" and x.size and float(np.max(np.abs(x))) > float(np.finfo(np.float32).max):
        raise ValueError(f"{name} holds values beyond float32's range")
    return np.ascontiguousarray(x.T, dtype=np.float32)


# --- the classifier ----------------------------------------------------------


class FLDEnsemble:
    """The FLD ensemble classifier for steganalysis (see the module
    documentation for the algorithm).

    Parameters
    ----------
    n_learners:
        ``"auto"`` to add base learners until the out-of-bag error settles,
        or their number (at least 1).
    subspace:
        ``"auto"`` to search for the subspace dimension, or the dimension
        (1 to the number of features).
    seed:
        Any int (taken modulo ``2**64``); the model is a function of it and
        the training data.
    max_learners:
        The most learners that ``n_learners="auto"`` trains per ensemble.
    """

    n_features_in_: int
    n_learners_: int
    subspace_: int
    oob_error_: float
    oob_errors_: FloatArray
    search_: list[SearchStep]
    subspaces_: IndexArray
    coef_: FloatArray
    thresholds_: FloatArray

    def __init__(self, n_learners: int | Literal["auto"] = "auto", subspace: int | Literal["auto"] = "auto",
                 seed: int = 0, max_learners: int = MAX_LEARNERS) -> None:
        self.n_learners = n_learners
        self.subspace = subspace
        self.seed = seed
        self.max_learners = max_learners

    def __repr__(self) -> str:
        return (f"FLDEnsemble(n_learners={self.n_learners!r}, subspace={self.subspace!r}, seed={self.seed!r}, "
                f"max_learners={self.max_learners!r})")

    def get_params(self, deep: bool = True) -> dict[str, Any]:
        """The constructor's parameters, as scikit-learn's ``get_params``."""
        return {"n_learners": self.n_learners, "subspace": self.subspace, "seed": self.seed,
                "max_learners": self.max_learners}

    def set_params(self, **params: Any) -> FLDEnsemble:
        """Set constructor parameters by name, as scikit-learn's ``set_params``."""
        for name, value in params.items():
            if name not in self.get_params():
                raise ValueError(f"FLDEnsemble has no parameter {name!r}")
            setattr(self, name, value)
        return self

    def fit(self, X_cover: npt.ArrayLike, X_stego: npt.ArrayLike) -> FLDEnsemble:
        """Train on paired features: ``X_cover`` and ``X_stego`` are ``N x d``
        arrays of real numbers, row ``i`` of one paired with row ``i`` of the
        other, ``N >= MIN_PAIRS``. Returns ``self``.

        Raises TypeError for parameters or arrays of the wrong type and
        ValueError for arrays that are not 2-D, of different shapes, with
        fewer than ``MIN_PAIRS`` rows or with NaN or infinite values, and for
        parameters out of range.
        """
        cover = _features(X_cover, "X_cover")
        stego = _features(X_stego, "X_stego")
        if cover.shape != stego.shape:
            raise ValueError(f"X_cover and X_stego must have the same shape (paired rows), got {cover.shape} "
                             f"and {stego.shape}")
        pairs, dim = cover.shape
        if pairs < MIN_PAIRS:
            raise ValueError(f"fit needs at least {MIN_PAIRS} cover-stego pairs, got {pairs}")
        learners = _size(self.n_learners, "n_learners", 1)
        size = _size(self.subspace, "subspace", 1, dim)
        if isinstance(self.seed, (bool, np.bool_)) or not isinstance(self.seed, (int, np.integer)):
            raise TypeError(f"seed must be an int, got {type(self.seed).__name__}")
        seed = operator.index(self.seed) & _MASK64
        max_learners = _size(self.max_learners, "max_learners", 1, auto=False)
        assert max_learners is not None
        if pairs >= 1 << 32:
            raise ValueError(f"fit takes fewer than 2**32 pairs, got {pairs}")
        cover_t = _float32_transposed(cover, "X_cover")
        stego_t = _float32_transposed(stego, "X_stego")
        del cover, stego

        search = _SubspaceSearch(dim) if size is None and dim > 1 else None
        candidate: int | None = search.next if search is not None else (size or 1)
        best: _Ensemble | None = None
        history: list[SearchStep] = []
        while candidate is not None:
            ensemble = _train_ensemble(cover_t, stego_t, seed, candidate, learners, max_learners)
            error = float(ensemble.oob_errors[-1])
            history.append(SearchStep(candidate, len(ensemble.thresholds), error))
            if best is None or (error, candidate) < (float(best.oob_errors[-1]), best.subspaces.shape[1]):
                best = ensemble
            if search is None:
                break
            search.update(candidate, error)
            candidate = search.next
        assert best is not None

        self.n_features_in_ = dim
        self.subspaces_ = best.subspaces
        self.coef_ = best.coef
        self.thresholds_ = best.thresholds
        self.oob_errors_ = best.oob_errors
        self.oob_error_ = float(best.oob_errors[-1])
        self.n_learners_ = int(best.thresholds.size)
        self.subspace_ = int(best.subspaces.shape[1])
        self.search_ = history
        return self

    # --- prediction ----------------------------------------------------------

    def _check_input(self, X: npt.ArrayLike) -> FloatArray:
        if not hasattr(self, "coef_"):
            raise NotFittedError("this FLDEnsemble is not fitted yet: call fit(X_cover, X_stego) first")
        x = _features(X, "X")
        if x.shape[1] != self.n_features_in_:
            raise ValueError(f"X has {x.shape[1]} features, but the ensemble was fitted on {self.n_features_in_}")
        return np.asarray(x, dtype=np.float64)

    def _score_blocks(self, x: FloatArray) -> Iterator[FloatArray]:
        """The learners' scores of the rows of ``x``, a block of learners
        (columns) at a time: one GEMM with a dense weight matrix per block."""
        dim = self.n_features_in_
        count = self.n_learners_
        block = max(1, min(count, _SCORE_BLOCK_BYTES // (8 * dim)))
        for start in range(0, count, block):
            stop = min(count, start + block)
            dense = np.zeros((dim, stop - start))
            columns = np.arange(stop - start)[:, None]
            dense[self.subspaces_[start:stop], columns] = self.coef_[start:stop]
            scores: FloatArray = x @ dense
            scores -= self.thresholds_[start:stop]
            yield scores

    def learner_scores(self, X: npt.ArrayLike) -> FloatArray:
        """Each learner's score of each row of ``X`` (``n x L``, float64):
        ``X[:, subspaces_[l]] @ coef_[l] - thresholds_[l]``, positive where
        learner ``l`` votes stego, in units of the distance between the
        class means of its bootstrap sample."""
        x = self._check_input(X)
        blocks = list(self._score_blocks(x))
        return np.concatenate(blocks, axis=1) if blocks else np.zeros((x.shape[0], 0))

    def decision_function(self, X: npt.ArrayLike) -> FloatArray:
        """The ensemble's confidence that each row of ``X`` is stego:
        ``(V + t) / L``, where ``V`` is the number of learners voting stego
        minus the number voting cover (a learner whose score is exactly 0
        abstains) and ``t = m / (2 (1 + |m|))``, within ``[-1/2, 1/2]``, a
        tie-breaker from the mean score ``m`` of the learners (see
        ``learner_scores``). So it lies within ``[-1 - 1/(2L), 1 + 1/(2L)]``,
        ranks first by the vote and then by the mean score, and its sign is
        that of the majority vote wherever the vote is not tied and that of
        the mean score where it is: it is positive exactly where ``predict``
        says 1."""
        x = self._check_input(X)
        votes = np.zeros(x.shape[0])
        total = np.zeros(x.shape[0])
        for scores in self._score_blocks(x):
            votes += np.sum(np.sign(scores), axis=1)
            total += np.sum(scores, axis=1)
        mean = total / self.n_learners_
        decision: FloatArray = (votes + mean / (2.0 * (1.0 + np.abs(mean)))) / self.n_learners_
        return decision

    def predict(self, X: npt.ArrayLike) -> npt.NDArray[np.int64]:
        """1 (stego) or 0 (cover) for each row of ``X``: the majority vote of
        the learners at their training thresholds. A tied vote goes to the
        sign of the learners' mean score, and to cover (0) if that is
        exactly 0 too; so ``predict(X) == (decision_function(X) > 0)``."""
        labels: npt.NDArray[np.int64] = (self.decision_function(X) > 0).astype(np.int64)
        return labels

    def error(self, X_cover: npt.ArrayLike, X_stego: npt.ArrayLike) -> float:
        """The detection error ``(P_FA + P_MD) / 2`` of ``predict`` on cover
        features ``X_cover`` and stego features ``X_stego`` (not necessarily
        paired, nor of the same number of rows)."""
        false_alarms = float(np.mean(self.predict(X_cover)))
        missed = 1.0 - float(np.mean(self.predict(X_stego)))
        return (false_alarms + missed) / 2.0
