"""Native entry points of the velmora package, built from the same engine and
argument handling as velmora_core: embedding seeded from a caller's number,
the pool size alone, instrumented calls for benchmarks, and the steganalysis
feature extractor behind velmora.features.
"""

from collections.abc import Sequence
from typing import SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "embed_seeded",
    "extract_features",
    "feature_min_side",
    "feature_submodels",
    "pool_size",
    "timed_sparse_map",
    "timed_select_coords",
]

def embed_seeded(
    image: npt.NDArray[np.uint8],
    payload_size: SupportsIndex,
    seed: SupportsIndex,
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
    """velmora_core.embed_with_details with the generator seeded from `seed`."""

def pool_size(image: npt.NDArray[np.uint8], min_block: SupportsIndex = 4) -> int:
    """The length of the quadtree pool of `image`."""

def timed_sparse_map(
    image: npt.NDArray[np.uint8], min_block: SupportsIndex = 4
) -> tuple[list[tuple[int, int]], float, float]:
    """get_quadtree_sparse_map with (engine_ms, output_ms)."""

def timed_select_coords(
    image: npt.NDArray[np.uint8],
    pool: Sequence[tuple[SupportsIndex, SupportsIndex]],
    payload_size: SupportsIndex,
    colony_size: SupportsIndex,
    max_iter: SupportsIndex,
    seed: SupportsIndex,
) -> tuple[list[tuple[int, int]], float, float, float]:
    """dabc_select_coords with (conversion_ms, engine_ms, output_ms)."""

def extract_features(image: npt.NDArray[np.uint8], kind: str) -> npt.NDArray[np.float64]:
    """The `kind` features ("spam", "srmq1" or "srm") of a 2-D uint8 image:
    a new 1-D float64 array, the submodels in feature_submodels(kind) order."""

def feature_submodels(kind: str) -> list[tuple[str, int]]:
    """(name, dimension) of each submodel of `kind`, in output order."""

def feature_min_side(kind: str) -> int:
    """The shortest image side that `kind` accepts."""
