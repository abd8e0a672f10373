"""Steganalysis features of grayscale images, from velmora's native extractor.

Three feature sets, each a concatenation of submodels (co-occurrence
histograms of noise residuals) in a fixed order:

- ``"spam"``: the second-order SPAM features of Pevny, Bas and Fridrich,
  686 dimensions (submodels ``straight`` and ``diagonal``, 343 each); images
  of at least 4 x 4 pixels.
- ``"srmq1"``: the spatial rich model's 39 submodels of quantization step 1,
  12753 dimensions; images of at least 8 x 8 pixels.
- ``"srm"``: the full spatial rich model of Fridrich and Kodovsky, 106
  submodels, 34671 dimensions; images of at least 8 x 8 pixels.
- ``"maxsrm"``: the selection-channel-aware rich model of Denemark, Sedighi,
  Holub, Cogranne and Fridrich: the ``srm`` co-occurrences with each 4-tuple
  counted with the largest change probability of its four pixels instead of
  1, as the authors' C++ release computes them (its float32 sums, bit for
  bit). It needs the image's change-probability map, ``beta``; see
  ``velmora.selection.estimate`` for the map an attacker who knows the method
  and the payload estimates from the image itself. Same submodels, dimension
  and minimum size as ``srm``.

Functions:

- ``extract(image, kind="srm", beta=None)``: the feature vector of one 2-D
  uint8 image (``beta``: the change-probability map, for ``"maxsrm"`` only)
- ``submodels(kind)``, ``dimension(kind)``, ``min_side(kind)``: what a set
  holds and which images it takes
- ``load(folder)``: the matrix that ``velmora features`` wrote, memory-mapped,
  with each row's image path and the submodels of its columns

The layout that ``velmora features`` writes into its output folder:

- ``features.npy``: the matrix, float32, one row per image, in the sorted
  order of the images' paths; ``numpy.load(path, mmap_mode="r")`` opens it
  without reading it into memory.
- ``index.json``: ``kind``, ``dimension``, ``extractor``, ``gray``,
  ``inputs``, ``submodels`` (``[name, dimension]`` in column order), ``paths``
  (each row's image, relative to the input it was found under), ``skipped``
  (the images without a row, and why) and ``status`` (``"complete"`` once
  every image is done).

While a run goes on, and after one was stopped, the rows done so far are in
``features.partial.npy`` (one slot per image) and ``progress.jsonl`` (one line
per image done); ``velmora features ... --resume`` goes on from them.
"""

from __future__ import annotations

import json
import os
from typing import Any, Final, NamedTuple

import numpy as np
import numpy.typing as npt

from . import _native

KINDS: Final = ("spam", "srmq1", "srm", "maxsrm")
"""The feature sets, smallest first; ``"maxsrm"`` needs a change-probability
map for each image."""

MAP_KINDS: Final = ("maxsrm",)
"""The feature sets that need a change-probability map."""

EXTRACTOR: Final = "velmora-native-1"
"""Names the extractor and the layout of its vectors. It changes whenever
the features of some image would change, so that vectors of two versions are
never compared or trained on together."""

# The files of an output folder of ``velmora features``.
MATRIX_NAME: Final = "features.npy"
INDEX_NAME: Final = "index.json"
PARTIAL_NAME: Final = "features.partial.npy"
PROGRESS_NAME: Final = "progress.jsonl"
FORMAT: Final = "velmora-features"
FORMAT_VERSION: Final = 1


def extract(
    image: npt.NDArray[np.uint8],
    kind: str = "srm",
    beta: npt.NDArray[np.floating[Any]] | None = None,
) -> npt.NDArray[np.float64]:
    """The ``kind`` features of ``image``: a new 1-D float64 array of
    ``dimension(kind)`` values, the submodels in the order ``submodels(kind)``
    lists them.

    ``image`` is a 2-D uint8 array of any strides (views, transposes,
    read-only arrays); it is never modified. ``beta`` is the change-probability
    map that ``"maxsrm"`` needs (and the other sets refuse): a float array of
    the image's shape with values in [0, 1], for example
    ``velmora.selection.estimate(image, alpha, method)``. Raises TypeError for
    an image or map of another type, and ValueError for an unknown ``kind``,
    an image with a side shorter than ``min_side(kind)``, a map of another
    shape, with NaN or with values outside [0, 1], or a map missing or given
    where it does not belong.
    """
    # Looked up at each call: the native module is the only implementation.
    return _native.extract_features(image, kind, beta)


def submodels(kind: str) -> list[tuple[str, int]]:
    """The submodels of ``kind`` as (name, dimension) pairs, in the order in
    which their values follow one another in a feature vector."""
    return [(str(name), int(dim)) for name, dim in _native.feature_submodels(kind)]


def dimension(kind: str) -> int:
    """The length of a ``kind`` feature vector: 686, 12753 or 34671."""
    return sum(dim for _name, dim in submodels(kind))


def min_side(kind: str) -> int:
    """The shortest image side (in pixels) that ``kind`` accepts."""
    return int(_native.feature_min_side(kind))


class FeatureMatrix(NamedTuple):
    """What ``load`` returns: the matrix and what its rows and columns are."""

    features: npt.NDArray[np.float32]
    """rows x dimension, float32, memory-mapped read-only."""
    paths: list[str]
    """Each row's image, relative to the input it was found under."""
    submodels: list[tuple[str, int]]
    """(name, dimension) of the columns' submodels, in column order."""
    kind: str
    """The feature set: spam, srmq1, srm or maxsrm."""


def read_index(folder: str) -> dict[str, Any]:
    """The index of an output folder of ``velmora features``; ValueError
    when there is none or it was not written by this version."""
    path = os.path.join(folder, INDEX_NAME)
    try:
        with open(path, encoding="utf-8") as f:
            index = json.load(f)
    except FileNotFoundError:
        raise ValueError(f"{folder}: no {INDEX_NAME} here; not an output folder of velmora features") from None
    except (ValueError, UnicodeDecodeError) as e:
        raise ValueError(f"{path}: not a valid index ({e})") from None
    if not isinstance(index, dict) or index.get("format") != FORMAT:
        raise ValueError(f"{path}: not an index written by velmora features")
    if index.get("version") != FORMAT_VERSION:
        raise ValueError(
            f"{path}: layout version {index.get('version')!r}; this version of velmora reads version "
            f"{FORMAT_VERSION}"
        )
    return index


def load(path: str | os.PathLike[str]) -> FeatureMatrix:
    """The features that ``velmora features`` wrote into the folder ``path``
    (or its ``features.npy`` or ``index.json``), in one call: the matrix,
    memory-mapped read-only (float32, one row per image), the rows' image
    paths, the submodels of the columns and the feature set.

    Raises ValueError for a folder whose run is not complete (finish it with
    ``velmora features ... --resume``) or whose files do not agree.
    """
    folder = os.fspath(path)
    if os.path.basename(folder) in (MATRIX_NAME, INDEX_NAME) and os.path.isfile(folder):
        folder = os.path.dirname(folder) or "."
    index = read_index(folder)
    if index.get("status") != "complete":
        raise ValueError(
            f"{folder}: the run that writes these features has not finished; go on with the same "
            f"velmora features command and --resume"
        )
    try:
        kind = str(index["kind"])
        paths = [str(p) for p in index["paths"]]
        parts = [(str(name), int(dim)) for name, dim in index["submodels"]]
        dim = int(index["dimension"])
    except (KeyError, TypeError, ValueError) as e:
        raise ValueError(f"{os.path.join(folder, INDEX_NAME)}: incomplete index ({e})") from None
    if sum(d for _n, d in parts) != dim:
        raise ValueError(f"{os.path.join(folder, INDEX_NAME)}: the submodels do not add up to {dim} dimensions")
    matrix_path = os.path.join(folder, MATRIX_NAME)
    matrix: npt.NDArray[np.float32] = np.load(matrix_path, mmap_mode="r", allow_pickle=False)
    if matrix.dtype != np.float32 or matrix.shape != (len(paths), dim):
        raise ValueError(
            f"{matrix_path}: holds {matrix.dtype} {matrix.shape}, but the index lists {len(paths)} rows of "
            f"{dim} float32 values"
        )
    return FeatureMatrix(matrix, paths, parts, kind)


__all__ = [
    "EXTRACTOR",
    "KINDS",
    "MAP_KINDS",
    "FeatureMatrix",
    "dimension",
    "extract",
    "load",
    "min_side",
    "submodels",
]
