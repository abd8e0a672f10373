"""The native feature extractors against the field's reference
implementation, sealwatch (its Python code: sealwatch.spam.extract,
sealwatch.srm.srmq1.extract, sealwatch.srm.extract), value for value.

The reference is slow (some 20 s for the rich model of a 512x512 image), so
only a few photographs are taken whole; the rest are crops. Runs where
sealwatch is installed (the environment of the eval extra).

SPAM is compared with sealwatch's Python implementation, its default: its
Rust backend departs from it on images that are not square (by up to 1e-5
in the straight-direction half)."""

from __future__ import annotations

import functools

import numpy as np
import pytest

from photos import ALL, GRAY, photograph
from velmora import _native

sw = pytest.importorskip("sealwatch")

KINDS = ("spam", "srmq1", "srm")


def reference(image: np.ndarray, kind: str) -> np.ndarray:
    """sealwatch's features of `image`, its submodels concatenated in the
    native order (each flattened as sealwatch flattens it)."""
    if kind == "spam":
        with sw.BACKEND_PYTHON:
            grouped = sw.spam.extract(image)
    elif kind == "srmq1":
        grouped = sw.srm.srmq1.extract(image)
    else:
        grouped = sw.srm.extract(image)
    names = [name for name, _ in _native.feature_submodels(kind)]
    assert sorted(grouped) == sorted(names)
    return np.concatenate([np.ravel(grouped[name]).astype(np.float64) for name in names])


def assert_same(image: np.ndarray, kind: str) -> None:
    ours = _native.extract_features(image, kind)
    theirs = reference(image, kind)
    if not np.array_equal(ours, theirs):
        offset, first = 0, None
        for name, dim in _native.feature_submodels(kind):
            if first is None and not np.array_equal(ours[offset : offset + dim], theirs[offset : offset + dim]):
                first = name
            offset += dim
        diff = np.max(np.abs(ours - theirs))
        pytest.fail(f"{kind} of a {image.shape} image: largest difference {diff:g}, first in {first}")


def crop(name: str, h: int, w: int) -> np.ndarray:
    """An h x w crop of a photograph at a position fixed by its name."""
    image = photograph(name)
    rng = np.random.default_rng(sum(map(ord, name)))
    y = int(rng.integers(0, image.shape[0] - h + 1))
    x = int(rng.integers(0, image.shape[1] - w + 1))
    return image[y : y + h, x : x + w]


@functools.cache
def saturated() -> np.ndarray:
    """Noise with regions clipped to 0 and to 255, as over- and under-exposed
    parts of photographs are."""
    image = np.random.default_rng(8).integers(0, 256, (40, 52), dtype=np.uint8)
    image[5:20, 3:30] = 255
    image[22:35, 20:50] = 0
    image[30:, :10] = 254
    return image


def synthetic() -> dict[str, np.ndarray]:
    rng = np.random.default_rng(9)
    return {
        "noise 33x29": rng.integers(0, 256, (33, 29), dtype=np.uint8),
        "constant": np.full((16, 16), 200, np.uint8),
        "saturated": saturated(),
        "smallest 8x8": rng.integers(0, 256, (8, 8), dtype=np.uint8),
        "8x61": rng.integers(0, 256, (8, 61), dtype=np.uint8),
        "61x8": rng.integers(0, 256, (61, 8), dtype=np.uint8),
        "low contrast 21x40": rng.integers(120, 124, (21, 40), dtype=np.uint8),
    }


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", GRAY[:1] + GRAY[3:])
def test_whole_photographs(name, kind):
    assert_same(photograph(name), kind)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("name", ALL)
def test_crops_of_every_photograph(name, kind):
    assert_same(crop(name, 47, 66), kind)


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("label", list(synthetic()))
def test_synthetic_images(label, kind):
    assert_same(synthetic()[label], kind)


@pytest.mark.parametrize("kind", KINDS)
def test_views(kind):
    base = crop("coins", 60, 75)
    for view in (base.T, base[::-1], base[:, ::-1], base[::2, 1::3], base[::-2, ::-1].T):
        assert_same(view, kind)


def test_smallest_spam_image():
    assert_same(np.random.default_rng(10).integers(0, 256, (4, 4), dtype=np.uint8), "spam")

