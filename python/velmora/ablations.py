"""What the colony contributes: velmora's embedding with its selection step
replaced.

- ``"velmora-random"``: the same quadtree pool and LSB matching, the n
  coordinates drawn uniformly from the pool (a random subset, in the order
  drawn);
- ``"velmora-greedy"``: the pool's n coordinates of highest colony score
  (the population variance of the 3x3 window, as the colony scores them),
  highest first, ties in pool order.

Everything else is velmora's: the pool of ``min_block``, the pool check (the
pool must be longer than the payload, else CapacityError), one random bit per
coordinate, and LSB matching (a pixel whose least significant bit already
matches stays; 0 becomes 1 and 255 becomes 254; any other pixel moves one
grey level down or up at random). The draws come from NumPy's
``default_rng(seed)``: the coordinates (velmora-random only), then the n
bits, then one direction for each pixel to move that is neither 0 nor 255,
in coordinate order.

.. code-block:: python

    from velmora import ablations

    result = ablations.embed(cover, 5000, "velmora-random", seed=7)
    stego = ablations.simulate(cover, 0.2, "velmora-greedy", seed=7)
"""

from __future__ import annotations

from typing import Final, SupportsIndex

import numpy as np
import numpy.typing as npt

from . import _native
from ._api import CapacityError, Embedding, _count, _cover, _rate, check_seed

METHODS: Final = ("velmora-random", "velmora-greedy")
"""The ablations of velmora's colony search."""


def _check_method(method: str) -> str:
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"unknown method {method!r}: choose {', '.join(METHODS)}")
    return method


def choose(scores: npt.NDArray[np.float64], n: int, method: str,
           rng: np.random.Generator) -> npt.NDArray[np.intp]:
    """The n pool indices that ``method`` selects from a pool with these
    scores, in embedding order."""
    if _check_method(method) == "velmora-random":
        return rng.choice(scores.size, size=n, replace=False, shuffle=True).astype(np.intp)
    # Highest score first; a stable sort of the negated scores keeps ties in
    # pool order.
    return np.argsort(-scores, kind="stable")[:n].astype(np.intp)


def lsb_matching(cover: npt.NDArray[np.uint8], ys: npt.NDArray[np.int64], xs: npt.NDArray[np.int64],
                 bits: npt.NDArray[np.uint8], rng: np.random.Generator) -> npt.NDArray[np.uint8]:
    """A copy of ``cover`` in which pixel (ys[i], xs[i]) carries bits[i] in
    its least significant bit, by LSB matching with velmora's rules at the
    edges of the grey scale."""
    stego = np.array(cover, dtype=np.uint8, copy=True)
    values = stego[ys, xs].astype(np.int16)
    move = (values & 1) != bits
    delta = np.zeros(values.shape, np.int16)
    delta[move & (values == 0)] = 1
    delta[move & (values == 255)] = -1
    free = move & (values != 0) & (values != 255)
    # One draw per pixel that may go either way: 1 moves it down.
    delta[free] = np.where(rng.integers(0, 2, size=int(np.count_nonzero(free)), dtype=np.uint8) == 1, -1, 1)
    stego[ys, xs] = (values + delta).astype(np.uint8)
    return stego


def embed(
    cover: npt.NDArray[np.uint8],
    payload_bits: SupportsIndex,
    method: str,
    *,
    seed: SupportsIndex | None = None,
    min_block: SupportsIndex = 4,
) -> Embedding:
    """Hide ``payload_bits`` random bits in a copy of ``cover`` with
    ``method`` (``"velmora-random"`` or ``"velmora-greedy"``): an Embedding as
    ``velmora.embed`` returns it (its ``elapsed_ms`` the time of the whole
    call). The same seed gives the same result everywhere; None draws fresh
    entropy. Raises CapacityError when the pool is not longer than the
    payload, ValueError for an unknown method."""
    import time

    start = time.perf_counter()
    _check_method(method)
    image = _cover(cover)
    n = _count(payload_bits, "payload_bits")
    s = check_seed(seed)
    ys, xs, scores = _native.pool_scores(image, _count(min_block, "min_block"))
    if ys.size <= n:
        raise CapacityError(
            f"Quadtree pool ({ys.size}) <= payload_size ({n}): the cover takes at most {max(ys.size - 1, 0)} bits",
            int(ys.size), n)
    rng = np.random.default_rng(s)
    chosen = choose(scores, n, method, rng)
    bits = rng.integers(0, 2, size=n, dtype=np.uint8)
    cy, cx = ys[chosen], xs[chosen]
    stego = lsb_matching(image, cy, cx, bits, rng)
    changes = int(np.count_nonzero(stego[cy, cx] != image[cy, cx]))
    return Embedding(stego, cy, cx, bits, int(ys.size), (time.perf_counter() - start) * 1000.0, changes, s)


def simulate(
    cover: npt.NDArray[np.uint8],
    alpha: float,
    method: str,
    *,
    seed: SupportsIndex | None = None,
    min_block: SupportsIndex = 4,
) -> npt.NDArray[np.uint8]:
    """The stego image of ``cover`` by ``method`` at ``alpha`` bits per pixel
    (round(alpha x height x width) bits, as ``velmora.simulate``)."""
    image = _cover(cover)
    bits = round(_rate(alpha) * image.shape[0] * image.shape[1])
    return embed(image, bits, method, seed=seed, min_block=min_block).stego


__all__ = ["METHODS", "choose", "embed", "lsb_matching", "simulate"]
