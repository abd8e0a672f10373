"""The field's baseline methods from conseal, with each cover's costs
computed once for all of its payloads.

conseal's ``simulate_single_channel`` computes a cover's cost map again on
every call, although the map depends on the cover alone: a study that embeds
every cover at five payloads computes it five times. ``PreparedCover`` keeps
it and runs, for each (alpha, seed), the rest of what conseal's call does,
through conseal's own functions with the same arguments, so that every stego
image is pixel for pixel the one of the plain call:

- ``lsbm``: ``conseal.lsb.simulate(cover, alpha, modify=LSB_MATCHING,
  seed=seed)`` itself. LSB matching has no cover-dependent costs (all are 1;
  only saturated pixels are steered away from the range's end, which its
  probability step does in a few milliseconds), so there is nothing to keep.
- ``hill``, ``suniward``, ``wow``: the +1 and -1 cost maps of
  ``compute_cost_adjusted`` with the defaults of ``simulate_single_channel``
  (HILL's wet cost 1e10; S-UNIWARD's sigma 1 and WOW's p -1, each with wet
  cost 1e8), kept; per payload, conseal's ternary simulator on them: its
  search for lambda (which depends on alpha: the payload it aims at and the
  bound of its search, max(1, alpha + 0.1)), evaluating the entropy with
  ``payload_search.TernaryObjective`` (the same values, faster), and the
  draw of the changes.
- ``mipod``: the smoothed Fisher information of ``mipod.compute_cost``, kept;
  per payload, the change rates at alpha of conseal's ``ternary_probs``
  (``payload_search.mipod_change_rates``: the same search and values,
  faster), and then the draw of the changes as ``mipod.simulate_single_channel``
  makes it (its default MiPOD_FIX_WET), written out here because conseal has
  no function for that step alone: a ``RandomState`` of the seed, a uniform
  per pixel against twice the change rate, a second uniform per pixel whose
  Matlab rounding picks +1 or -1, all in column-major order, and the pixels
  pushed past the range put at 254 or 1.

The seed is the one conseal's call would get: MiPOD's ``RandomState`` takes
seeds below 2**32, so a caller with 64-bit seeds narrows them itself.

Alpha 0 gives a copy of the cover, as conseal's ``simulate_single_channel``
does for HILL, S-UNIWARD and WOW (it returns the cover itself) and LSB
matching does by changing nothing; the cost map is not computed for it.
conseal's MiPOD has no such case: at alpha 0 its search for lambda grows the
interval until the entropy overflows and fails on an assertion, so for MiPOD
alone the cover at alpha 0 is not what conseal's call gives.

MiPOD warns about every cover with flat areas ("invalid variance in flat
areas, clipping"), which it handles by clipping the variance: expected, and
silenced here as in ``velmora evaluate``. Other warnings pass through.
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

import numpy as np
import numpy.typing as npt

from .payload_search import TernaryObjective, mipod_change_rates

METHODS = ("lsbm", "hill", "suniward", "wow", "mipod")

Costs = tuple[npt.NDArray[np.float64], ...]


def _conseal() -> Any:
    import conseal  # type: ignore[import-not-found, import-untyped, unused-ignore]

    return conseal


@contextmanager
def _quiet_flat_areas() -> Iterator[None]:
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", message="invalid variance in flat areas", category=UserWarning)
        yield


class PreparedCover:
    """One cover and one baseline method, the cover's costs computed on the
    first payload above 0 and kept for the others.

    ``stego(alpha, seed)`` is the stego image of conseal's own call at that
    alpha and seed (see the module's notes for MiPOD at alpha 0). The cover is
    copied, so changing the caller's array afterwards changes nothing here.
    """

    def __init__(self, method: str, cover: npt.NDArray[np.uint8]) -> None:
        if method not in METHODS:
            raise ValueError(f"unknown method {method!r}; expected one of {', '.join(METHODS)}")
        if cover.dtype != np.uint8 or cover.ndim != 2 or cover.size == 0:
            raise ValueError(f"expected a non-empty 2-D uint8 cover, got {cover.dtype} {cover.shape}")
        self.method = method
        self.cover: npt.NDArray[np.uint8] = np.array(cover, dtype=np.uint8, order="C", copy=True)
        self.cover.flags.writeable = False
        self._costs: Costs | None = None
        self._entropy: TernaryObjective | None = None  # HILL, S-UNIWARD, WOW
        self._table: Any = None  # MiPOD's lookup table of x log(x - 2)

    @property
    def costs(self) -> Costs:
        """The per-cover state the payloads share: the costs of +1 and -1
        changes (HILL, S-UNIWARD, WOW), the smoothed Fisher information
        (MiPOD), nothing (LSB matching). Read-only arrays."""
        if self._costs is None:
            self._costs = self._compute_costs()
            for array in self._costs:
                array.flags.writeable = False
        return self._costs

    def _compute_costs(self) -> Costs:
        cl = _conseal()
        x0 = self.cover
        costs: Costs
        if self.method == "hill":
            costs = tuple(cl.hill.compute_cost_adjusted(x0=x0, wet_cost=10**10))
        elif self.method == "suniward":
            costs = tuple(cl.suniward.compute_cost_adjusted(x0=x0, sigma=1, wet_cost=10**8))
        elif self.method == "wow":
            costs = tuple(cl.wow.compute_cost_adjusted(x0=x0, p=-1, wet_cost=10**8))
        elif self.method == "mipod":
            with _quiet_flat_areas():
                costs = (cl.mipod.compute_cost(x0=x0),)
        else:
            costs = ()
        return costs

    def stego(self, alpha: float, seed: int) -> npt.NDArray[np.uint8]:
        """The stego image at ``alpha`` bits per pixel, a new array."""
        alpha = float(alpha)
        if not math.isfinite(alpha) or alpha < 0:
            raise ValueError(f"alpha must be a finite number >= 0, got {alpha!r}")
        if alpha == 0:
            return self.cover.copy()
        if self.method == "lsbm":
            cl = _conseal()
            stego = cl.lsb.simulate(self.cover, alpha, modify=cl.LSB_MATCHING, seed=seed)
        elif self.method == "mipod":
            with _quiet_flat_areas():
                stego = self._mipod(alpha, seed)
        else:
            stego = self._ternary(alpha, seed)
        stego = np.asarray(stego)
        if stego.shape != self.cover.shape or stego.dtype != np.uint8:
            raise ValueError(f"{self.method} returned {stego.dtype} {stego.shape} for a uint8 {self.cover.shape} cover")
        return np.array(stego, dtype=np.uint8, copy=True)

    def _ternary(self, alpha: float, seed: int) -> Any:
        from conseal.simulate import _ternary  # type: ignore[import-not-found, import-untyped, unused-ignore]

        x0 = self.cover
        rhos = self.costs
        # As each simulate_single_channel does it: HILL in two steps with
        # n = x0.size, S-UNIWARD and WOW in one with n = np.prod(x0.shape).
        n = x0.size if self.method == "hill" else np.prod(x0.shape)
        ps, _ = _ternary.probability(rhos=rhos, alpha=alpha, n=n, objective=self._objective())
        delta = _ternary.simulate(ps=ps, seed=seed)
        return x0 + delta.astype("uint8")

    def _objective(self) -> TernaryObjective:
        """The entropy that conseal's search for lambda evaluates, with the
        same values in fewer passes; its buffers serve every payload."""
        if self._entropy is None:
            self._entropy = TernaryObjective(self.costs)
        return self._entropy

    def _mipod(self, alpha: float, seed: int) -> npt.NDArray[np.uint8]:
        cl = _conseal()
        x0 = self.cover
        (rho,) = self.costs
        payload = alpha * np.prod(rho.shape) * np.log(2)  # nats
        if self._table is None:
            self._table = cl.mipod._defs.load_lookup_table()
        beta = mipod_change_rates(rho, payload, self._table, max_num_iterations=60, excess_values_num_iter=20)
        # beta is the rate of +1 changes and that of -1 changes alike: a
        # pixel changes with probability 2 beta, then up or down evenly.
        rng = np.random.RandomState(seed)
        modify = rng.random_sample(x0.size) < 2 * beta
        r = rng.random_sample(x0.size)
        delta = cl.tools.matlab_round(r[modify]) * 2 - 1
        x1_flat = x0.flatten(order="F").astype(int)
        x1_flat[modify] += delta.astype(int)
        x1 = x1_flat.reshape(x0.shape, order="F")
        x1[x1 > 255] = 254
        x1[x1 < 0] = 1
        return x1.astype(np.uint8)


def simulate_payloads(method: str, cover: npt.NDArray[np.uint8],
                      requests: Sequence[tuple[float, int]]) -> list[npt.NDArray[np.uint8]]:
    """The stego images of ``cover`` by ``method`` for each (alpha, seed) of
    ``requests``, in their order: for each, the image of conseal's own call
    at that alpha and seed, the cover's costs computed once for all."""
    prepared = PreparedCover(method, cover)
    return [prepared.stego(alpha, seed) for alpha, seed in requests]
