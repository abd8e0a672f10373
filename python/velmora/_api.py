"""Embedding from Python: ``embed``, ``simulate`` and ``capacity``, and the
seeds that make a data set reproducible."""

from __future__ import annotations

import hashlib
import json
import numbers
import operator
import re
from dataclasses import dataclass
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

SEED_MAX = 2**64 - 1

# The selector's and the seeded pipeline's pool-size message.
_POOL_CHECK = re.compile(r"^Quadtree pool \((\d+)\) <= payload_size \((\d+)\)\.$")


class CapacityError(ValueError):
    """The cover's quadtree pool is not larger than the payload.

    ``pool_size`` is the pool's length, ``payload_bits`` the payload asked for
    and ``capacity`` the largest payload the cover takes (see ``capacity``).
    """

    def __init__(self, message: str, pool_size: int, payload_bits: int) -> None:
        super().__init__(message)
        self.pool_size = pool_size
        self.payload_bits = payload_bits

    @property
    def capacity(self) -> int:
        return max(self.pool_size - 1, 0)


@dataclass(frozen=True, eq=False)
class Embedding:
    """The result of ``embed``.

    Entry i of ``coords_y``, ``coords_x`` and ``payload`` describe bit i: it
    is the least significant bit of ``stego[coords_y[i], coords_x[i]]``.
    """

    stego: npt.NDArray[np.uint8]
    """The stego image: a new array of the cover's shape."""
    coords_y: npt.NDArray[np.int64]
    """Row of each embedded bit."""
    coords_x: npt.NDArray[np.int64]
    """Column of each embedded bit."""
    payload: npt.NDArray[np.uint8]
    """The embedded bits, 0 or 1."""
    pool_size: int
    """Length of the cover's quadtree pool, the candidates for embedding."""
    elapsed_ms: float
    """Time of the embedding itself, in milliseconds."""
    changes: int
    """Pixels that differ from the cover (each by one grey level)."""
    seed: int | None = None
    """The seed of a reproducible embedding; None for one from fresh entropy."""

    @property
    def change_rate(self) -> float:
        """Changed pixels per pixel of the image (0.0 for an empty image)."""
        return self.changes / self.stego.size if self.stego.size else 0.0

    @property
    def payload_bits(self) -> int:
        return int(self.payload.size)


def _cover(cover: Any) -> npt.NDArray[np.uint8]:
    if not isinstance(cover, np.ndarray) or cover.ndim != 2 or cover.dtype != np.uint8:
        got = (
            f"an array of dtype {cover.dtype} with shape {cover.shape}"
            if isinstance(cover, np.ndarray)
            else f"{type(cover).__name__}"
        )
        raise TypeError(
            f"cover must be a 2-D numpy.ndarray of dtype uint8, got {got} "
            "(velmora.load_gray reads image files as such)"
        )
    return cover


def _count(value: SupportsIndex, name: str) -> int:
    try:
        n = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if n < 0:
        raise ValueError(f"{name} must not be negative, got {n}")
    return n


def _rate(alpha: Any) -> float:
    """A payload in bits per pixel, checked: a real number in [0, 1]."""
    if not isinstance(alpha, numbers.Real):
        raise TypeError(f"alpha must be a number of bits per pixel, got {alpha!r}")
    rate = float(alpha)
    if not 0.0 <= rate <= 1.0:
        raise ValueError(f"alpha must be in [0, 1] bits per pixel, got {alpha!r}")
    return rate


def check_seed(seed: SupportsIndex | None) -> int | None:
    """``seed`` as an int in 0 ... 2**64 - 1 (None stays None)."""
    if seed is None:
        return None
    if isinstance(seed, bool):
        raise TypeError("seed must be an integer or None, got bool")
    try:
        s = operator.index(seed)
    except TypeError:
        raise TypeError(f"seed must be an integer or None, got {type(seed).__name__}") from None
    if not 0 <= s <= SEED_MAX:
        raise ValueError(f"seed must be in 0 ... 2**64 - 1, got {s}")
    return s


def derive_seed(seed: SupportsIndex, *labels: str | int | float) -> int:
    """A 64-bit seed for one item of a reproducible run.

    It is the first 8 bytes, read as a big-endian unsigned integer, of the
    SHA-256 digest of the UTF-8 text ``json.dumps([seed, *labels])``. For
    example ``velmora embed --seed 7`` gives the image found as ``2024/a.png``
    under an input folder the seed ``derive_seed(7, "embed", "2024/a.png")``,
    the digest of ``[7, "embed", "2024/a.png"]``.
    """
    s = check_seed(seed)
    text = json.dumps([s, *labels])
    return int.from_bytes(hashlib.sha256(text.encode("utf-8")).digest()[:8], "big")


def embed(
    cover: npt.NDArray[np.uint8],
    payload_bits: SupportsIndex,
    *,
    seed: SupportsIndex | None = None,
    colony_size: SupportsIndex = 30,
    max_iter: SupportsIndex = 50,
    min_block: SupportsIndex = 4,
) -> Embedding:
    """Hide ``payload_bits`` random bits in a copy of ``cover``.

    ``cover`` is a 2-D uint8 array of any strides (never modified). With
    ``seed`` (an int in 0 ... 2**64 - 1) the whole embedding (coordinates,
    bits and stego image) is the same in every call and every process; with
    ``seed=None`` it is seeded from fresh operating-system entropy
    (``velmora_core.embed_with_details``). ``colony_size``, ``max_iter`` and
    ``min_block`` are the engine's options.

    A payload of 0 bits returns a copy of the cover with nothing embedded.
    Raises CapacityError (a ValueError) when the cover's quadtree pool is not
    larger than the payload: ``capacity(cover, min_block)`` is the most it takes.
    """
    import velmora_core

    from . import _native

    image = _cover(cover)
    bits = _count(payload_bits, "payload_bits")
    s = check_seed(seed)
    options = [_count(v, name) for v, name in ((colony_size, "colony_size"), (max_iter, "max_iter"),
                                               (min_block, "min_block"))]
    if bits == 0:
        options[1] = 0  # no move to make: the colony search would have an empty selection
    try:
        if s is None:
            result = velmora_core.embed_with_details(image, bits, *options)
        else:
            result = _native.embed_seeded(image, bits, s, *options)
    except ValueError as e:
        m = _POOL_CHECK.match(str(e))
        if m is None:
            raise
        raise CapacityError(
            f"{str(e).removesuffix('.')}: the cover takes at most {max(int(m.group(1)) - 1, 0)} bits",
            int(m.group(1)),
            bits,
        ) from None
    stego, ms, pool, ys, xs, payload = result
    changes = int(np.count_nonzero(stego[ys, xs] != image[ys, xs]))
    return Embedding(stego, ys, xs, payload, pool, ms, changes, s)


def simulate(
    cover: npt.NDArray[np.uint8],
    alpha: float,
    *,
    seed: SupportsIndex | None = None,
    colony_size: SupportsIndex = 30,
    max_iter: SupportsIndex = 50,
    min_block: SupportsIndex = 4,
) -> npt.NDArray[np.uint8]:
    """The stego image of ``cover`` with a payload of ``alpha`` bits per pixel.

    The calling convention of the field's embedding simulators: the payload
    is round(alpha x height x width) bits, ``alpha`` in [0, 1]; ``seed`` and
    the engine options are those of ``embed``, which this calls. Raises
    CapacityError when the cover's pool is too small for the payload.
    """
    image = _cover(cover)
    bits = round(_rate(alpha) * image.shape[0] * image.shape[1])
    return embed(image, bits, seed=seed, colony_size=colony_size, max_iter=max_iter,
                 min_block=min_block).stego


def capacity(cover: npt.NDArray[np.uint8], min_block: SupportsIndex = 4) -> int:
    """The largest payload, in bits, that ``embed`` takes for ``cover``: one
    less than its quadtree pool's length (0 for a cover without texture)."""
    from . import _native

    return max(_native.pool_size(_cover(cover), _count(min_block, "min_block")) - 1, 0)
