"""The work of ``velmora evaluate`` that runs in worker processes: reading a
cover, embedding it with one method, extracting steganalysis features, and
training and testing one detector.

Every function here is a top-level function of picklable arguments that reads
its inputs from files and writes its features to files, so that it can run in
a local worker process or on a cluster worker that shares the file system.
Features come from velmora's native extractor (``velmora.features``); the
field's libraries (``conseal`` for the baseline methods, ``sealwatch`` for the
detector) are imported only inside the functions that use them.
"""

from __future__ import annotations

import math
import os
import time
import warnings
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import features as feature_sets
from ._imageio import atomic_write, psnr, read_gray

# Embedding methods: this system, the field's baselines from conseal, and a
# control that changes nothing (its detection error must be chance).
CONSEAL_METHODS = ("lsbm", "hill", "suniward", "wow", "mipod")
METHODS = ("velmora", *CONSEAL_METHODS, "none")

# BLAS libraries read these when they are loaded: one thread per worker
# process keeps several workers from fighting over the cores (training many
# small detectors is much slower with more threads than cores).
ONE_THREAD = {name: "1" for name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS")}


@dataclass(frozen=True)
class Cover:
    """One cover: an image file, or an N x N crop of it."""

    source: str  # the path to read
    rel: str  # the source image's path relative to its input: the split group
    gray: bool = False  # convert colour images (--gray)
    crop: tuple[int, int, int] | None = None  # (y, x, side)

    @property
    def id(self) -> str:
        if self.crop is None:
            return self.rel
        y, x, n = self.crop
        return f"{self.rel}@{y},{x}+{n}"

    def read(self) -> npt.NDArray[np.uint8]:
        image, _note = read_gray(self.source, self.gray)
        if self.crop is not None:
            y, x, n = self.crop
            image = image[y : y + n, x : x + n]
        return np.ascontiguousarray(image)


def _one_thread() -> Any:
    """Limits BLAS to one thread for the duration of a with-block."""
    from threadpoolctl import threadpool_limits  # type: ignore[import-not-found, import-untyped, unused-ignore]

    return threadpool_limits(1)


def save_features(path: str, vector: npt.NDArray[Any]) -> None:
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with atomic_write(path) as f:
        np.save(f, vector, allow_pickle=False)


def load_features(path: str) -> npt.NDArray[Any]:
    vector: npt.NDArray[Any] = np.load(path, allow_pickle=False)
    return vector


def extract(image: npt.NDArray[np.uint8], features: str) -> npt.NDArray[Any]:
    """The feature vector of one image from the native extractor, its
    submodels in the order in which it extracts them."""
    vector = feature_sets.extract(image, features)
    if vector.shape != (feature_sets.dimension(features),) or not np.isfinite(vector).all():
        raise ValueError(f"{features} features of a {image.shape[0]}x{image.shape[1]} image are not finite")
    return vector


def cover_task(cover: Cover, features: str, min_block: int, path: str) -> dict[str, Any]:
    """Features of a cover (written to ``path``) and its quadtree pool size."""
    from . import _native

    with _one_thread():
        image = cover.read()
        start = time.perf_counter()
        save_features(path, extract(image, features))
        seconds = time.perf_counter() - start
        return {
            "shape": list(image.shape),
            "pool_size": _native.pool_size(image, min_block),
            "feature_seconds": seconds,
        }


def simulate(method: str, cover: npt.NDArray[np.uint8], payload: float, seed: int,
             engine: tuple[int, int, int]) -> npt.NDArray[np.uint8]:
    """The stego image of ``cover`` at ``payload`` bits per pixel."""
    if method == "none":
        return cover.copy()
    if method == "velmora":
        from ._api import embed

        bits = round(payload * cover.shape[0] * cover.shape[1])
        colony_size, max_iter, min_block = engine
        return embed(cover, bits, seed=seed, colony_size=colony_size, max_iter=max_iter,
                     min_block=min_block).stego
    import conseal as cl  # type: ignore[import-not-found, import-untyped, unused-ignore]

    if method == "lsbm":
        stego = cl.lsb.simulate(cover, payload, modify=cl.LSB_MATCHING, seed=seed)
    elif method == "hill":
        stego = cl.hill.simulate_single_channel(cover, payload, seed=seed)
    elif method == "suniward":
        stego = cl.suniward.simulate_single_channel(cover, payload, seed=seed)
    elif method == "wow":
        stego = cl.wow.simulate_single_channel(cover, payload, seed=seed)
    elif method == "mipod":
        # MiPOD's generator takes 32-bit seeds: the top half of the derived one.
        # It warns about every cover with flat areas, which it handles by
        # clipping their variance: expected, and not worth a line per image.
        with warnings.catch_warnings():
            warnings.filterwarnings("ignore", message="invalid variance in flat areas", category=UserWarning)
            stego = cl.mipod.simulate_single_channel(cover, payload, seed=seed >> 32)
    else:
        raise ValueError(f"unknown method {method!r}")
    stego = np.asarray(stego)
    if stego.shape != cover.shape or stego.dtype != np.uint8:
        raise ValueError(f"{method} returned {stego.dtype} {stego.shape} for a uint8 {cover.shape} cover")
    return np.array(stego, dtype=np.uint8, copy=True)


def embed_task(cover: Cover, method: str, payload: float, seed: int,
               engine: tuple[int, int, int]) -> tuple[npt.NDArray[np.uint8], dict[str, Any]]:
    """The stego image of one cover by one method, and what it changed."""
    if method in CONSEAL_METHODS:
        import conseal  # noqa: F401  # type: ignore[import-not-found, import-untyped, unused-ignore]  (not timed)
    with _one_thread():
        image = cover.read()
        start = time.perf_counter()
        stego = simulate(method, image, payload, seed, engine)
        seconds = time.perf_counter() - start
    changes = int(np.count_nonzero(stego != image))
    quality = psnr(image, stego)
    return stego, {
        "change_rate": changes / image.size,
        "psnr_db": None if math.isinf(quality) else quality,
        "embed_seconds": seconds,
    }


def stego_features_task(stego: npt.NDArray[np.uint8], features: str, path: str) -> dict[str, Any]:
    with _one_thread():
        start = time.perf_counter()
        save_features(path, extract(stego, features))
        return {"feature_seconds": time.perf_counter() - start}


def minimal_total_error(cover_scores: npt.NDArray[Any], stego_scores: npt.NDArray[Any]) -> float:
    """P_E = min over thresholds t of (P_FA + P_MD) / 2, deciding "stego"
    for a score at or above t (including the thresholds that decide all
    one way, so P_E is at most 0.5)."""
    c = np.sort(np.asarray(cover_scores, dtype=np.float64))
    s = np.sort(np.asarray(stego_scores, dtype=np.float64))
    thresholds = np.concatenate([np.unique(np.concatenate([c, s])), [np.inf]])
    false_alarms = (c.size - np.searchsorted(c, thresholds, side="left")) / c.size
    missed = np.searchsorted(s, thresholds, side="left") / s.size
    return float(np.min((false_alarms + missed) / 2))


def train_task(train: tuple[list[str], list[str]], test: tuple[list[str], list[str]],
               learners: int | None, subspace: int | None, seed: int) -> dict[str, Any]:
    """Train the FLD ensemble on paired cover and stego features (file
    lists) and test it: P_E from the summed projections of its base
    learners, and the error of its own majority vote.

    ``learners``/``subspace`` None let the ensemble search for them.
    """
    import logging

    from sealwatch.ensemble_classifier import FldEnsembleTrainer  # type: ignore[import-not-found, import-untyped, unused-ignore]

    def stack(paths: list[str]) -> npt.NDArray[np.float64]:
        return np.ascontiguousarray(np.stack([load_features(p) for p in paths]), dtype=np.float64)

    with _one_thread():
        start = time.perf_counter()
        xc, xs = stack(train[0]), stack(train[1])
        tc, ts = stack(test[0]), stack(test[1])
        logging.getLogger("fld_ensemble_trainer.py").setLevel(logging.WARNING)
        trainer = FldEnsembleTrainer(
            xc, xs, seed=seed >> 32,
            L="automatic" if learners is None else learners,
            d_sub="automatic" if subspace is None else subspace,
            verbose=0,
        )
        classifier, records = trainer.train()

        def scores(x: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
            total: npt.NDArray[np.float64] = np.sum([bl.predict(x) for bl in classifier.base_learners], axis=0)
            return total

        pe = minimal_total_error(scores(tc), scores(ts))
        votes_c, votes_s = classifier.predict(tc), classifier.predict(ts)
        vote_error = (float(np.mean(votes_c == 1)) + float(np.mean(votes_s == -1))) / 2
        return {
            "pe": pe,
            "vote_error": vote_error,
            "oob_error": float(records[-1]["oob_error"]) if records else None,
            "learners": int(classifier.num_base_learners),
            "subspace": int(classifier.d_sub),
            "train_pairs": len(train[0]),
            "test_pairs": len(test[0]),
            "seconds": time.perf_counter() - start,
        }
