"""Real photographs for the tests: those that scikit-image ships inside its
wheel, colour ones reduced to grayscale with the luma that velmora uses."""

from __future__ import annotations

import functools

import numpy as np
import pytest

GRAY = ("camera", "coins", "moon", "page", "text")
COLOUR = ("astronaut", "coffee", "chelsea", "rocket", "immunohistochemistry")
ALL = GRAY + COLOUR


@functools.cache
def photograph(name: str) -> np.ndarray:
    data = pytest.importorskip("skimage.data")
    image = np.asarray(getattr(data, name)())
    if image.ndim == 3:
        rgb = image[..., :3].astype(np.uint32)
        image = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
    assert image.ndim == 2
    image = image.astype(np.uint8)
    image.flags.writeable = False
    return image
