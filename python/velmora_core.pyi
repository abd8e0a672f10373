"""**Module Registrar** — called by the Python import machinery.

Registers all public symbols into the `velmora_core` Python module.
"""

from collections.abc import Sequence
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "run_velmora_engine",
    "embed_with_details",
    "get_quadtree_sparse_map",
    "dabc_select_coords",
]


def run_velmora_engine(
    image: npt.NDArray[np.uint8],
    payload_size: SupportsIndex,
    colony_size: SupportsIndex = 30,
    max_iter: SupportsIndex = 50,
    min_block: SupportsIndex = 4,
) -> tuple[npt.NDArray[np.uint8], float, int]:
    """Hide `payload_size` random bits in a copy of `image`.

    Returns (stego image, elapsed milliseconds, quadtree pool size).
    Raises ValueError when the pool is not larger than `payload_size`.
    """

def embed_with_details(
    image: npt.NDArray[np.uint8],
    payload_size: SupportsIndex,
    colony_size: SupportsIndex = 30,
    max_iter: SupportsIndex = 50,
    min_block: SupportsIndex = 4,
) -> tuple[
    npt.NDArray[np.uint8],
    float,
    int,
    npt.NDArray[np.int64],
    npt.NDArray[np.int64],
    npt.NDArray[np.uint8],
]:
    """Like run_velmora_engine, also returning the rows, columns and bits embedded."""

def get_quadtree_sparse_map(
    image: npt.NDArray[np.uint8], min_block: SupportsIndex = 4
) -> list[tuple[int, int]]:
    """The quadtree sparse pool of `image`: (y, x) tuples in pool order."""

def dabc_select_coords(
    image: npt.NDArray[np.uint8],
    pool: Sequence[tuple[SupportsIndex, SupportsIndex]],
    payload_size: SupportsIndex,
    colony_size: SupportsIndex,
    max_iter: SupportsIndex,
    seed: SupportsIndex,
) -> list[tuple[int, int]]:
    """`payload_size` coordinates of `pool` chosen by the seeded colony search."""
