"""The field's baseline embedding methods, simulated by velmora's engine as
conseal (2025.11) simulates them, pixel for pixel, and the same on every
machine.

- ``"lsbm"``: LSB matching at random positions
  (``conseal.lsb.simulate(cover, alpha, modify=LSB_MATCHING, seed=seed)``);
- ``"hill"``: HILL (Li, Wang, Huang and Li 2014), wet cost 1e10;
- ``"suniward"``: S-UNIWARD (Holub, Fridrich and Denemark 2014), sigma 1,
  wet cost 1e8;
- ``"wow"``: WOW (Holub and Fridrich 2012), p = -1, wet cost 1e8;
- ``"mipod"``: MiPOD (Sedighi, Cogranne and Fridrich 2016).

HILL, S-UNIWARD and WOW embed with the payload-limited ternary sender on
their costs (``simulate_single_channel`` with its defaults), MiPOD with its
own search over the Fisher information. Each cover's costs are computed once
per call, or once for all payloads with ``prepare``:

.. code-block:: python

    from velmora import baselines

    stego = baselines.simulate(cover, 0.4, "hill", seed=7)
    p_plus, p_minus = baselines.change_probabilities(cover, 0.4, "hill")
    rho_plus, rho_minus = baselines.costs(cover, "hill")

    prepared = baselines.prepare(cover, "suniward")  # the costs, once
    for alpha in (0.1, 0.2, 0.4):
        stego = prepared.simulate(alpha, seed=7)

Exactness: the costs of HILL, S-UNIWARD and WOW are bit for bit those of
conseal's ``compute_cost_adjusted`` under SciPy 1.16 and later (its direct
convolution, in its order of additions); MiPOD's Fisher information is that
of OpenBLAS's fused multiply-add kernels; the change probabilities come
within a few units in the last place of conseal's (NumPy's own exp and log
differ between processors by as much), and the stego images are conseal's
with the same seed. velmora's results do not depend on the processor, the
NumPy, SciPy or BLAS version: the same cover, payload and seed give the same
image everywhere.

The seed is what conseal's call would take: any integer from 0 to 2**64 - 1
for ``numpy.random.default_rng`` (LSB matching, HILL, S-UNIWARD, WOW), below
2**32 for MiPOD's ``numpy.random.RandomState``; ``None`` draws one from the
operating system.
"""

from __future__ import annotations

import math
import secrets
from typing import Any, Final

import numpy as np
import numpy.typing as npt

from . import _native

METHODS: Final = ("lsbm", "hill", "suniward", "wow", "mipod")
"""The baseline methods."""

COST_METHODS: Final = ("hill", "suniward", "wow")
"""The methods with cost maps (the others: MiPOD's Fisher information, and
no per-cover state for LSB matching)."""

MAX_ALPHA: Final = math.log2(3)
"""The largest payload of a ternary change, in bits per pixel (LSB matching:
1)."""

Probabilities = tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]


def _seed(method: str, seed: int | None) -> int:
    if seed is None:
        return secrets.randbits(32 if method == "mipod" else 64)
    if isinstance(seed, bool) or not isinstance(seed, (int, np.integer)):
        raise TypeError(f"seed must be an integer or None, got {type(seed).__name__}")
    return int(seed)


class Prepared:
    """A cover and one baseline method, with what all of its payloads share
    computed once: the costs of +1 and -1 changes (HILL, S-UNIWARD, WOW), the
    Fisher information (MiPOD), nothing (LSB matching).

    The cover is copied: changing the caller's array afterwards changes
    nothing here. An instance is used by one thread at a time.
    """

    __slots__ = ("_capsule", "method", "shape")

    def __init__(self, cover: npt.NDArray[np.uint8], method: str) -> None:
        if not isinstance(method, str) or method not in METHODS:
            raise ValueError(f"unknown method {method!r}: choose {', '.join(METHODS)}")
        self._capsule = _native.baseline_prepare(cover, method)
        self.method: str = method
        self.shape: tuple[int, int] = (int(cover.shape[0]), int(cover.shape[1]))

    def __repr__(self) -> str:
        return f"<velmora.baselines.Prepared {self.method} {self.shape[0]}x{self.shape[1]}>"

    def simulate(self, alpha: float, *, seed: int | None) -> npt.NDArray[np.uint8]:
        """The stego image, a new uint8 array, at ``alpha`` bits per pixel
        with the changes drawn from ``seed``: conseal's for the same seed."""
        return _native.baseline_simulate(self._capsule, alpha, _seed(self.method, seed))

    def change_probabilities(self, alpha: float) -> Probabilities:
        """(p+, p-): the probability of a +1 and of a -1 change of each pixel
        at ``alpha`` bits per pixel, new arrays (float32 for HILL, as conseal
        computes them, float64 otherwise); zero everywhere at alpha 0."""
        return _native.baseline_probabilities(self._capsule, alpha)

    @property
    def costs(self) -> tuple[npt.NDArray[np.floating[Any]], ...]:
        """The per-cover state as new arrays: (rho+, rho-) for HILL (float32),
        S-UNIWARD and WOW (float64), (Fisher information,) for MiPOD, () for
        LSB matching."""
        return _native.baseline_costs(self._capsule)


def prepare(cover: npt.NDArray[np.uint8], method: str) -> Prepared:
    """``cover`` (a 2-D uint8 array of any strides) prepared for ``method``:
    an object whose ``simulate(alpha, seed=...)`` and
    ``change_probabilities(alpha)`` reuse the cover's costs across payloads.

    Raises TypeError for an array that is not 2-D uint8 and ValueError for an
    empty cover or an unknown method.
    """
    return Prepared(cover, method)


def simulate(cover: npt.NDArray[np.uint8], alpha: float, method: str, *,
             seed: int | None) -> npt.NDArray[np.uint8]:
    """The stego image of ``cover`` by ``method`` at ``alpha`` bits per pixel,
    the changes drawn from ``seed``: pixel for pixel what conseal's
    ``simulate_single_channel(cover, alpha, seed=seed)`` (``lsb.simulate``
    for LSB matching) returns.

    Raises ValueError for an unknown method, an alpha outside [0, log2 3]
    ([0, 1] for LSB matching), a payload the cover cannot carry, or a MiPOD
    seed of 2**32 or more; TypeError for a cover that is not a 2-D uint8
    array.
    """
    return prepare(cover, method).simulate(alpha, seed=seed)


def change_probabilities(image: npt.NDArray[np.uint8], alpha: float, method: str) -> Probabilities:
    """(p+, p-): the probabilities of a +1 and of a -1 change of each pixel of
    ``image`` when ``method`` embeds ``alpha`` bits per pixel (the
    payload-limited sender's, at the lambda of conseal's search; MiPOD's
    change rates, the same for both). float32 arrays for HILL, float64
    otherwise; zeros at alpha 0. Errors as for ``simulate``."""
    return prepare(image, method).change_probabilities(alpha)


def costs(image: npt.NDArray[np.uint8], method: str) -> tuple[npt.NDArray[np.floating[Any]],
                                                                npt.NDArray[np.floating[Any]]]:
    """(rho+, rho-): the costs of a +1 and of a -1 change of each pixel, as
    conseal's ``compute_cost_adjusted`` gives them with the wet costs of
    ``simulate_single_channel`` (HILL: float32, wet cost 1e10; S-UNIWARD and
    WOW: float64, wet cost 1e8). Only for the methods of ``COST_METHODS``."""
    if method not in COST_METHODS:
        raise ValueError(f"{method!r} has no cost map: choose {', '.join(COST_METHODS)}")
    rho_plus, rho_minus = prepare(image, method).costs
    return rho_plus, rho_minus
