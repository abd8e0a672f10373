"""A synthetic grayscale scene for demonstrations and tests."""

from __future__ import annotations

import numpy as np
import numpy.typing as npt


def _hash_noise(yy: npt.NDArray[np.uint64], xx: npt.NDArray[np.uint64], salt: int) -> npt.NDArray[np.float64]:
    """Uniform noise in [0, 1) from an integer hash of the coordinates: the
    same numbers on every platform and NumPy version (unlike a generator's
    streams, which NumPy may change)."""
    with np.errstate(over="ignore"):
        h = yy * np.uint64(0x9E3779B97F4A7C15) ^ (xx + np.uint64(salt)) * np.uint64(0xC2B2AE3D27D4EB4F)
        h ^= h >> np.uint64(31)
        h *= np.uint64(0xBF58476D1CE4E5B9)
        h ^= h >> np.uint64(29)
        h *= np.uint64(0x94D049BB133111EB)
        h ^= h >> np.uint64(32)
    return (h >> np.uint64(11)).astype(np.float64) / float(1 << 53)


def example_image(size: int = 512, variant: int = 0) -> npt.NDArray[np.uint8]:
    """A synthetic `size` x `size` grayscale scene, computed rather than loaded.

    It has smooth areas that the adaptive quadtree drops (a sky gradient, a sun,
    a flat wall) and textured ones that it keeps (grassy noise, a striped
    fence, windows, rippled water, sharp-edged shapes), so that its pool covers
    part of the image. `variant` (0, 1, 2, ...) shifts the layout and the noise
    to give further, different scenes of the same kind. Every call with the
    same arguments gives the same image: the noise comes from an integer hash
    of the pixel coordinates, not from a random generator.
    """
    size = int(size)
    if size < 16:
        raise ValueError(f"size must be at least 16, got {size}")
    variant = int(variant)
    if variant < 0:
        raise ValueError(f"variant must be non-negative, got {variant}")
    n = size
    yi, xi = np.indices((n, n), dtype=np.uint64)
    y = yi.astype(np.float64) / n
    x = xi.astype(np.float64) / n
    salt = 0x5EED + 7919 * variant
    noise = _hash_noise(yi, xi, salt)
    shift = (variant * 0.137) % 1.0  # moves the scene's features sideways
    yy, xx = yi.astype(np.int64), xi.astype(np.int64)

    # Sky: a gentle vertical gradient with a soft sun.
    img = 215.0 - 70.0 * y
    sx, sy = 0.22 + 0.55 * shift, 0.17
    r2 = (x - sx) ** 2 + (y - sy) ** 2
    img += 35.0 * np.exp(-r2 / 0.006)

    # Hills: a wavy horizon, below it grass (textured noise) with a smooth
    # shading that darkens towards the bottom.
    horizon = 0.55 + 0.06 * np.sin(2 * np.pi * (1.3 * x + shift)) + 0.03 * np.sin(2 * np.pi * 3.1 * x)
    ground = y > horizon
    grass = 120.0 - 50.0 * (y - horizon) + 60.0 * (noise - 0.5)
    img = np.where(ground, grass, img)

    # Water: a band at the bottom with horizontal ripples.
    water = y > 0.85
    ripples = 70.0 + 22.0 * np.sin(2 * np.pi * (yy / 3.0 + 4.0 * x)) + 8.0 * (noise - 0.5)
    img = np.where(water, ripples, img)

    # A house: a flat wall with a grid of windows and a striped roof.
    hx0 = 0.08 + 0.5 * ((shift + 0.5) % 1.0) * 0.8
    hx1, hy0, hy1 = hx0 + 0.3, 0.42, 0.78
    wall = (x >= hx0) & (x < hx1) & (y >= hy0) & (y < hy1)
    img = np.where(wall, 178.0, img)
    cell = max(n // 32, 4)
    wy = (yy // cell) % 2 == 1
    wx = (xx // cell) % 3 == 1
    windows = wall & wy & wx & (y < hy1 - 0.06)
    img = np.where(windows, 40.0 + 30.0 * noise, img)
    roof_h = 0.12
    roof_half_width = (hx1 - hx0) / 2 * (y - (hy0 - roof_h)) / roof_h + 0.01
    roof = (y >= hy0 - roof_h) & (y < hy0) & (np.abs(x - (hx0 + hx1) / 2) < roof_half_width)
    img = np.where(roof, np.where((yy // 2) % 2 == 0, 60.0, 110.0), img)

    # A fence: vertical stripes in front of the grass.
    fence = (y > 0.70) & (y < 0.82) & ((xx // 3) % 2 == 0) & ((x < hx0) | (x >= hx1))
    img = np.where(fence, 235.0, img)

    # Sharp-edged shapes in the sky: a dark disc and a checkered kite.
    dx, dy, dr = 0.78 - 0.4 * shift, 0.25, 0.06
    disc = (x - dx) ** 2 + (y - dy) ** 2 < dr**2
    img = np.where(disc, 30.0, img)
    kx, ky = 0.5 + 0.3 * np.sin(2 * np.pi * shift), 0.12
    kite = (np.abs(x - kx) + np.abs(y - ky)) < 0.07
    checks = ((xx // 4 + yy // 4) % 2 == 0)
    img = np.where(kite, np.where(checks, 250.0, 20.0), img)

    # A faint dither everywhere, too weak to make a smooth block textured.
    img += 2.0 * (noise - 0.5)
    scene: npt.NDArray[np.uint8] = np.clip(np.floor(img + 0.5), 0, 255).astype(np.uint8)
    return scene

