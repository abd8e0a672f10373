"""The selection channel as an informed attacker estimates it: for each
pixel of the image under test, the probability that the method changed it,
given the method and the payload but not the key.

``estimate(image, alpha, method, **options)`` is the map that the
selection-channel-aware rich model (``velmora.features.extract(image,
"maxsrm", beta=map)``) weighs its co-occurrences with. Each map sums to the
method's expected number of changes at ``alpha`` bits per pixel:

- the baselines (``"hill"``, ``"suniward"``, ``"wow"``, ``"mipod"``):
  p+ + p- of the payload-limited sender on the image's own costs
  (``velmora.baselines.change_probabilities``); ``"lsbm"``: its uniform rate,
  alpha / 2 at every pixel;
- ``"velmora"``: the quadtree pool recomputed on the image (it holds nearly
  all of the pixels velmora changed: the pool of a stego image differs from
  its cover's only where a change moved a block across the texture
  threshold), and the colony's choice within it modelled by ``model``:

  - ``"score"`` (the default): n / 2 changes, n = round(alpha x height x
    width) bits, spread over the pool in proportion to the colony's score
    (the 3x3 variance), at most 1/2 per pixel;
  - ``"uniform"``: the n / 2 changes spread evenly over the pool. Measured,
    the colony's choice is close to a random subset of the pool: two seeds
    share nearly as many coordinates as two random subsets, and the chosen
    coordinates' mean score is near the pool's;
  - ``"frequency"``: how often each pool pixel is chosen by ``runs`` seeded
    colony searches on the image (seeds 0 ... runs - 1, the engine options
    ``colony_size``, ``max_iter``), half of it (a bit changes its pixel with
    probability 1/2);

  The default is the model whose maps gave the informed detector the lowest
  P_E on photographs kept apart from those of the study that the README
  reports (``bench/informed_attacker.py models``);

- ``"velmora-random"``: the uniform model, which is exact for it;
  ``"velmora-greedy"``: 1/2 at the n pool pixels of highest score on the
  image;
- ``"none"``: zeros.

``selection_gain(image, coords_y, coords_x)`` measures how far a selection
is from a random subset of the pool towards the best one.
"""

from __future__ import annotations

from typing import Final, NamedTuple, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native, baselines
from ._api import _count, _cover, _rate

VELMORA_METHODS: Final = ("velmora", "velmora-random", "velmora-greedy")
"""The methods that select from velmora's quadtree pool."""

METHODS: Final = (*VELMORA_METHODS, *baselines.METHODS, "none")
"""Every method whose selection channel ``estimate`` knows."""

MODELS: Final = ("uniform", "frequency", "score")
"""The models of the colony's choice within the pool."""

DEFAULT_MODEL: Final = "score"
"""The model of the colony's choice that gave the informed detector the
lowest P_E on real covers (see the README)."""

DEFAULT_RUNS: Final = 8
"""Colony searches of the ``"frequency"`` model."""


class ScoredPool(NamedTuple):
    """The quadtree pool of an image and the colony's score of each entry."""

    coords_y: npt.NDArray[np.int64]
    coords_x: npt.NDArray[np.int64]
    scores: npt.NDArray[np.float64]


def scored_pool(image: npt.NDArray[np.uint8], min_block: SupportsIndex = 4) -> ScoredPool:
    """The quadtree pool of ``image`` (velmora's candidates, in pool order)
    with the population variance of each entry's 3x3 window, the score the
    colony maximizes."""
    return ScoredPool(*_native.pool_scores(_cover(image), _count(min_block, "min_block")))


def _capped(weights: npt.NDArray[np.float64], total: float) -> npt.NDArray[np.float64]:
    """Values in proportion to ``weights``, none above 1/2, summing to
    ``total`` (at most half the number of weights): the largest are capped
    and the rest scaled up until the sum is reached."""
    out = np.zeros(weights.size)
    if total <= 0 or weights.size == 0:
        return out
    if total >= weights.size / 2:
        return np.full(weights.size, 0.5)
    w = np.where(weights > 0, weights, 0.0)
    if w.max() > 0:
        w = w / w.max()
        w[w < 1e-12] = 0.0  # weights too small to carry any of the sum
    if np.count_nonzero(w) <= 2 * total:  # too few positive weights: spread over all
        w = w + 1e-6
    order = np.argsort(-w, kind="stable")
    sorted_w = w[order]
    # Capping the k largest at 1/2 leaves (total - k / 2) to the rest in
    # proportion: valid when the (k+1)-th largest stays at most 1/2.
    rest = np.cumsum(sorted_w[::-1])[::-1]  # rest[k] = sum of sorted_w[k:]
    ks = np.arange(0, int(2 * total) + 1)
    with np.errstate(divide="ignore", invalid="ignore"):
        scale = (total - ks / 2) / rest[ks]
    fits = sorted_w[ks] * scale <= 0.5
    if not fits.any():  # nothing is left over once 2 x total pixels are at 1/2
        out[order[:int(2 * total)]] = 0.5
        return out
    k = int(np.argmax(fits))
    out[order] = np.concatenate([np.full(k, 0.5), sorted_w[k:] * scale[k]])
    return out


def _velmora_map(image: npt.NDArray[np.uint8], n: int, method: str, model: str, runs: int,
                 engine: tuple[int, int, int]) -> npt.NDArray[np.float64]:
    colony_size, max_iter, min_block = engine
    ys, xs, scores = _native.pool_scores(image, min_block)
    out = np.zeros(image.shape)
    k = ys.size
    if k == 0 or n == 0:
        return out
    if k <= n:  # the pool cannot hold the payload: every pool pixel carries a bit
        out[ys, xs] = 0.5
        return out
    if method == "velmora-random" or (method == "velmora" and model == "uniform"):
        out[ys, xs] = n / (2 * k)
    elif method == "velmora-greedy":
        top = np.argsort(-scores, kind="stable")[:n]
        out[ys[top], xs[top]] = 0.5
    elif model == "frequency":
        counts = np.zeros(image.shape)
        for seed in range(runs):
            result = _native.embed_seeded(image, n, seed, colony_size, max_iter, min_block)
            np.add.at(counts, (result[3], result[4]), 1.0)
        out = counts / (2 * runs)
    else:  # score
        out[ys, xs] = _capped(scores, n / 2)
    return out


def estimate(image: npt.NDArray[np.uint8], alpha: float, method: str, *, model: str = DEFAULT_MODEL,
             runs: SupportsIndex = DEFAULT_RUNS, colony_size: SupportsIndex = 30, max_iter: SupportsIndex = 50,
             min_block: SupportsIndex = 4) -> npt.NDArray[np.float64]:
    """The probability that ``method`` embedding ``alpha`` bits per pixel
    changed each pixel of ``image``, estimated from ``image`` alone: a new
    float64 array of its shape, values in [0, 1], summing to the expected
    number of changes (see the module's documentation for each method).

    ``model`` and ``runs`` choose velmora's model of the colony's choice;
    ``colony_size``, ``max_iter`` and ``min_block`` are velmora's engine
    options (the pool's ``min_block`` also for the ablations). Raises
    ValueError for an unknown method or model, a payload outside [0, 1]
    ([0, log2 3] for the ternary baselines) or one a baseline cannot carry,
    TypeError for an image that is not a 2-D uint8 array.
    """
    img = _cover(image)
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"unknown method {method!r}: choose {', '.join(METHODS)}")
    if not isinstance(model, str) or model not in MODELS:
        raise ValueError(f"unknown model {model!r} of the colony's choice: choose {', '.join(MODELS)}")
    r = _count(runs, "runs")
    if r < 1:
        raise ValueError("runs must be at least 1")
    engine = (_count(colony_size, "colony_size"), _count(max_iter, "max_iter"), _count(min_block, "min_block"))
    if method == "none":
        _rate(alpha)
        return np.zeros(img.shape)
    if method in VELMORA_METHODS:
        n = round(_rate(alpha) * img.shape[0] * img.shape[1])
        return _velmora_map(img, n, method, model, r, engine)
    return _channel_of(baselines.change_probabilities(img, alpha, method))


def _channel_of(probabilities: baselines.Probabilities) -> npt.NDArray[np.float64]:
    """A baseline's map from its change probabilities (p+, p-): p+ + p- in
    double (HILL's are float32), at most 1. evaluate passes the
    probabilities of an image prepared once for all its payloads."""
    p_plus, p_minus = probabilities
    return np.minimum(p_plus.astype(np.float64) + p_minus.astype(np.float64), 1.0)


def selection_gain(image: npt.NDArray[np.uint8], coords_y: npt.ArrayLike, coords_x: npt.ArrayLike,
                   min_block: SupportsIndex = 4, pool: ScoredPool | None = None) -> float:
    """How far the selected pixels are from a random subset of ``image``'s
    pool towards the best one, by the colony's score: (mean score of the
    selection - the pool's mean) / (mean of the n best - the pool's mean),
    with n the selection's size. 0 for a random subset on average, 1 for the
    best; NaN for an empty selection or a pool whose scores are all equal.
    The coordinates must be pool entries (ValueError otherwise). ``pool``,
    if given, is ``scored_pool(image, min_block)``, computed once for several
    selections."""
    img = _cover(image)
    table = _GainTable(pool if pool is not None else scored_pool(img, min_block), img.shape)
    return table.gain(coords_y, coords_x)


class _GainTable:
    """What the selection gains of one pool share: each pixel's score and
    the scores from the highest down."""

    def __init__(self, pool: ScoredPool, shape: tuple[int, ...]) -> None:
        self.score_at = np.full(shape, np.nan)
        self.score_at[pool.coords_y, pool.coords_x] = pool.scores
        self.mean = float(pool.scores.mean()) if pool.scores.size else float("nan")
        self.descending = np.sort(pool.scores)[::-1]

    def gain(self, coords_y: npt.ArrayLike, coords_x: npt.ArrayLike) -> float:
        cy = np.asarray(coords_y, dtype=np.int64)
        cx = np.asarray(coords_x, dtype=np.int64)
        n = cy.size
        if n == 0 or self.descending.size == 0:
            return float("nan")
        h, w = self.score_at.shape
        if (cy < 0).any() or (cy >= h).any() or (cx < 0).any() or (cx >= w).any():
            raise ValueError("a selected coordinate lies outside the image")
        chosen = self.score_at[cy, cx]
        if np.isnan(chosen).any():
            raise ValueError("a selected coordinate is not in the image's quadtree pool")
        best = float(self.descending[:n].mean())
        if best <= self.mean:
            return float("nan")
        return (float(chosen.mean()) - self.mean) / (best - self.mean)


__all__ = ["DEFAULT_MODEL", "DEFAULT_RUNS", "METHODS", "MODELS", "ScoredPool", "VELMORA_METHODS", "estimate",
           "scored_pool", "selection_gain"]
