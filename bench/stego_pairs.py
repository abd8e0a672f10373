"""Paired cover and stego features of real photographs for the ensemble's
benchmark scripts: crops of the photographs that scikit-image ships
(colour ones reduced to grayscale with velmora's luma), stego images made by
simulated LSB matching, features from velmora's native extractor.

LSB matching at ``rate`` bits per pixel: each pixel carries a message bit
with probability ``rate``; where the bit differs from the pixel's LSB (half
of them) the pixel moves by +1 or -1 at random (+1 at 0, -1 at 255).
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

from velmora import features

PHOTOGRAPHS = ("camera", "coins", "moon", "page", "text",
               "astronaut", "coffee", "chelsea", "rocket", "immunohistochemistry")


def photograph(name: str) -> npt.NDArray[np.uint8]:
    from skimage import data

    image = np.asarray(getattr(data, name)())
    if image.ndim == 3:
        rgb = image[..., :3].astype(np.uint32)
        image = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
    return image.astype(np.uint8)


def crops(side: int, stride: int) -> list[npt.NDArray[np.uint8]]:
    """All ``side x side`` crops of the photographs on a grid of ``stride``."""
    out = []
    for name in PHOTOGRAPHS:
        image = photograph(name)
        for y in range(0, image.shape[0] - side + 1, stride):
            for x in range(0, image.shape[1] - side + 1, stride):
                out.append(np.ascontiguousarray(image[y : y + side, x : x + side]))
    return out


def lsb_matching(cover: npt.NDArray[np.uint8], rate: float, rng: np.random.Generator) -> npt.NDArray[np.uint8]:
    x = cover.astype(np.int16)
    change = (rng.random(cover.shape) < rate) & (rng.random(cover.shape) < 0.5)
    step = np.where(rng.random(cover.shape) < 0.5, 1, -1)
    step = np.where(x == 0, 1, np.where(x == 255, -1, step))
    return (x + change * step).astype(np.uint8)


def pairs(kind: str, side: int = 64, stride: int = 32, rate: float = 0.4,
          seed: int = 1) -> tuple[npt.NDArray[np.float64], npt.NDArray[np.float64]]:
    """Cover and stego features (float64, one row per crop, rows paired)."""
    rng = np.random.default_rng(seed)
    images = crops(side, stride)
    cover = np.stack([features.extract(image, kind) for image in images])
    stego = np.stack([features.extract(lsb_matching(image, rate, rng), kind) for image in images])
    return cover, stego
