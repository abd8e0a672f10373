"""The work of ``velmora evaluate`` that runs in worker processes: the
features and pool size of a cover, the stego images of one cover by one
method at all its payloads with their features, and the training and testing
of one detector.

Each is a top-level function of picklable arguments, so that it runs in a
local worker process or on a cluster worker. Feature vectors go back to the
run's process, which alone writes the matrices; a detector reads them from
the cache folder, which a cluster's workers must see under the same path.
The field's libraries are imported only inside the functions that use them.
"""

from __future__ import annotations

import math
import time
from collections.abc import Sequence
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from .. import features as fs
from .._imageio import psnr
from .covers import Cover
from .scoring import decision_errors, separability_bound

# BLAS libraries read these when they are loaded: one thread per worker
# process keeps several workers from fighting over the cores.
ONE_THREAD = {name: "1" for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}

# Test rows projected at a time: bounds a detector's memory for its test half.
_TEST_CHUNK = 256


def _one_thread() -> Any:
    """Limits BLAS to one thread for the duration of a with-block."""
    from threadpoolctl import threadpool_limits  # type: ignore[import-not-found, import-untyped, unused-ignore]

    return threadpool_limits(1)


def extract(image: npt.NDArray[np.uint8], features: str,
            beta: npt.NDArray[np.float64] | None = None) -> npt.NDArray[np.float32]:
    """One image's features, as the matrices store them."""
    vector = fs.extract(image, features, beta=beta)
    if not np.isfinite(vector).all():
        raise ValueError(f"{features} features of a {image.shape[0]}x{image.shape[1]} image are not finite")
    return vector.astype(np.float32)


def cover_task(cover: Cover, features: Sequence[str], min_block: int) -> dict[str, Any]:
    """A cover's features of each blind set and its quadtree pool size."""
    from .. import _native

    image = cover.read()
    start = time.perf_counter()
    rows = {f: extract(image, f) for f in features}
    return {
        "rows": rows,
        "shape": list(image.shape),
        "pool_size": _native.pool_size(image, min_block),
        "feature_seconds": time.perf_counter() - start,
    }


# What an embedder returns: the stego image and, for the methods that select
# from velmora's pool, the coordinates they selected.
Embedded = tuple[npt.NDArray[np.uint8], tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]] | None]


def _embedder(method: str, cover: npt.NDArray[np.uint8], engine: tuple[int, int, int]) -> Any:
    """stego(payload, seed) -> Embedded for one method and cover; the
    baselines compute the cover's costs once for all payloads."""
    colony_size, max_iter, min_block = engine
    if method == "none":
        return lambda payload, seed: (cover.copy(), None)
    if method == "velmora":
        from .._api import embed

        def velmora(payload: float, seed: int) -> Embedded:
            bits = round(payload * cover.shape[0] * cover.shape[1])
            e = embed(cover, bits, seed=seed, colony_size=colony_size, max_iter=max_iter, min_block=min_block)
            return e.stego, (e.coords_y, e.coords_x)

        return velmora
    if method in ("velmora-random", "velmora-greedy"):
        from .. import ablations

        def ablation(payload: float, seed: int) -> Embedded:
            bits = round(payload * cover.shape[0] * cover.shape[1])
            e = ablations.embed(cover, bits, method, seed=seed, min_block=min_block)
            return e.stego, (e.coords_y, e.coords_x)

        return ablation
    from ..baselines import prepare

    prepared = prepare(cover, method)
    # MiPOD's generator takes 32-bit seeds: the top half of the derived one.
    shift = 32 if method == "mipod" else 0

    def baseline(payload: float, seed: int) -> Embedded:
        return prepared.simulate(payload, seed=seed >> shift), None

    baseline.prepared = prepared  # type: ignore[attr-defined]  # the cover's costs, for its maps
    return baseline


class StegoRequest(NamedTuple):
    """One stego image to make, and which of its rows to extract: each
    feature set's of the stego image, and each informed set's of the cover
    (whose map depends on the method and the payload)."""

    payload: float
    seed: int
    stego_sets: tuple[str, ...]
    cover_sets: tuple[str, ...]


def _informed_row(image: npt.NDArray[np.uint8], features: str, payload: float, method: str,
                  channel: dict[str, Any], prepared: Any = None) -> npt.NDArray[np.float32]:
    """``image``'s row of an informed set: its map is the method's at the
    payload, estimated from the image (from its costs in ``prepared``, the
    image prepared for a baseline, when given)."""
    from ..selection import _channel_of, estimate

    if prepared is None:
        beta = estimate(image, payload, method, **channel)
    else:  # what estimate computes, on the costs computed once for all payloads
        beta = _channel_of(prepared.change_probabilities(payload))
    return extract(image, features, beta)


def stego_task(cover: Cover, method: str, requests: Sequence[StegoRequest], engine: tuple[int, int, int],
               channel: dict[str, Any]) -> list[dict[str, Any]]:
    """The stego images of ``cover`` by ``method`` for each request, each
    summarised by its rows, what it changed and (for the methods that select
    from velmora's pool) its selection gain, or by the reason it failed.
    The informed sets' maps come from velmora.selection.estimate with the
    ``channel`` options, on each image itself."""
    from ..features import MAP_KINDS
    from ..selection import _GainTable, scored_pool

    with _one_thread():
        image = cover.read()
        embedder = _embedder(method, image, engine)
        gains: _GainTable | None = None  # the cover's pool, for the selection gains
        results: list[dict[str, Any]] = []
        for r in requests:
            try:
                start = time.perf_counter()
                stego, coords = embedder(r.payload, r.seed)
                stego = np.asarray(stego)
                if stego.shape != image.shape or stego.dtype != np.uint8:
                    raise ValueError(f"{method} returned {stego.dtype} {stego.shape} for a uint8 {image.shape} cover")
                embedded = time.perf_counter()
                rows = {f: _informed_row(stego, f, r.payload, method, channel) if f in MAP_KINDS
                        else extract(stego, f) for f in r.stego_sets}
                cover_rows = {f: _informed_row(image, f, r.payload, method, channel,
                                               getattr(embedder, "prepared", None)) for f in r.cover_sets}
                quality = psnr(image, stego)
                gain = None
                if coords is not None:
                    if gains is None:
                        gains = _GainTable(scored_pool(image, engine[2]), image.shape)
                    g = gains.gain(coords[0], coords[1])
                    gain = None if math.isnan(g) else g
                results.append({
                    "rows": rows,
                    "cover_rows": cover_rows,
                    "change_rate": int(np.count_nonzero(stego != image)) / image.size,
                    "psnr_db": None if math.isinf(quality) else quality,
                    "selection_gain": gain,
                    "embed_seconds": embedded - start,
                    "feature_seconds": time.perf_counter() - embedded,
                })
            except Exception as e:  # one stego image's failure is reported, the others go on
                text = str(e) or type(e).__name__
                results.append({"error": text if isinstance(e, (ValueError, OSError)) else f"{type(e).__name__}: {text}"})
        return results


def _rows(path: str, slots: Sequence[int]) -> npt.NDArray[np.float32]:
    matrix = np.load(path, mmap_mode="r", allow_pickle=False)
    return np.ascontiguousarray(matrix[np.asarray(slots, dtype=np.intp)], dtype=np.float32)


def train_task(cover_matrix: str, stego_matrix: str, train: Sequence[tuple[int, int]],
               test: Sequence[tuple[int, int]], learners: int | None, subspace: int | None,
               seed: int) -> dict[str, Any]:
    """Train the FLD ensemble on the paired features of ``train`` (cover and
    stego rows of the two matrices) and score its decisions on ``test``.

    ``learners``/``subspace`` None let the ensemble choose them.
    """
    from ..ensemble import FLDEnsemble

    with _one_thread():
        start = time.perf_counter()
        detector = FLDEnsemble(n_learners="auto" if learners is None else learners,
                               subspace="auto" if subspace is None else subspace, seed=seed)
        detector.fit(_rows(cover_matrix, [c for c, _ in train]), _rows(stego_matrix, [s for _, s in train]))
        votes: dict[str, list[npt.NDArray[Any]]] = {"cover": [], "stego": []}
        scores: dict[str, list[npt.NDArray[Any]]] = {"cover": [], "stego": []}
        for at in range(0, len(test), _TEST_CHUNK):
            part = test[at : at + _TEST_CHUNK]
            for side, path, slots in (("cover", cover_matrix, [c for c, _ in part]),
                                      ("stego", stego_matrix, [s for _, s in part])):
                x = _rows(path, slots)
                votes[side].append(detector.predict(x))
                scores[side].append(detector.decision_function(x))
        pe, p_fa, p_md = decision_errors(np.concatenate(votes["cover"]), np.concatenate(votes["stego"]))
        return {
            "pe": pe,
            "p_fa": p_fa,
            "p_md": p_md,
            "bound": separability_bound(np.concatenate(scores["cover"]), np.concatenate(scores["stego"])),
            "oob_error": float(detector.oob_error_),
            "learners": int(detector.n_learners_),
            "subspace": int(detector.subspace_),
            "train_pairs": len(train),
            "test_pairs": len(test),
            "seconds": time.perf_counter() - start,
        }
