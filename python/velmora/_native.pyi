"""Native entry points of the velmora package, built from the same engine and
argument handling as velmora_core: embedding seeded from a caller's number,
the pool size alone, instrumented calls for benchmarks, steganalysis
features (SPAM and the spatial rich model), and the baseline embedding
methods (LSB matching, HILL, S-UNIWARD, WOW, MiPOD).
"""

from collections.abc import Sequence
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = [
    "embed_seeded",
    "pool_size",
    "pool_scores",
    "timed_sparse_map",
    "timed_select_coords",
    "extract_features",
    "feature_submodels",
    "feature_min_side",
    "baseline_prepare",
    "baseline_costs",
    "baseline_probabilities",
    "baseline_simulate",
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

def pool_scores(
    image: npt.NDArray[np.uint8], min_block: SupportsIndex = 4
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.float64]]:
    """The quadtree pool as (coords_y, coords_x) and each entry's colony score."""

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

def extract_features(
    image: npt.NDArray[np.uint8], kind: str, beta: npt.NDArray[np.floating[Any]] | None = None
) -> npt.NDArray[np.float64]:
    """The `kind` features ("spam", "srmq1", "srm" or "maxsrm" with `beta`) of `image` as a 1-D array."""

def feature_submodels(kind: str) -> list[tuple[str, int]]:
    """The submodels of feature set `kind`: (name, dimension), in output order."""

def feature_min_side(kind: str) -> int:
    """The smallest number of rows and columns that feature set `kind` accepts."""

def baseline_prepare(image: npt.NDArray[np.uint8], method: str) -> object:
    """The cover prepared for a baseline method (its costs computed once)."""

def baseline_costs(prepared: object) -> tuple[npt.NDArray[np.floating[Any]], ...]:
    """(rho+, rho-), (fisher_information,) or () of a prepared cover."""

def baseline_probabilities(
    prepared: object, alpha: float
) -> tuple[npt.NDArray[np.floating[Any]], npt.NDArray[np.floating[Any]]]:
    """(p+, p-) for alpha bits per pixel."""

def baseline_simulate(
    prepared: object, alpha: float, seed: SupportsIndex
) -> npt.NDArray[np.uint8]:
    """The stego image at alpha bits per pixel with the changes drawn from seed."""
