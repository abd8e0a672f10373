"""A tour of velmora_core's four functions, and of reproducible embedding with
the velmora package, on a synthetic image.

    python examples/quickstart.py
"""

from __future__ import annotations

import numpy as np
import numpy.typing as npt

import velmora
import velmora_core


def textured_image(side: int = 256, seed: int = 7) -> npt.NDArray[np.uint8]:
    """Smooth shading with a noisy band and a flat corner."""
    rng = np.random.default_rng(seed)
    yy, xx = np.indices((side, side))
    shading = (xx + yy) * 255 // (2 * side)
    noise = rng.integers(-40, 41, size=(side, side))
    image = np.where((yy // 32 + xx // 32) % 3 == 0, shading, shading + noise)
    image[: side // 4, : side // 4] = 128
    return np.clip(image, 0, 255).astype(np.uint8)


def psnr(cover: npt.NDArray[np.uint8], stego: npt.NDArray[np.uint8]) -> float:
    mse = float(np.mean((cover.astype(np.float64) - stego.astype(np.float64)) ** 2))
    return float("inf") if mse == 0.0 else 10.0 * float(np.log10(255.0**2 / mse))


def main() -> None:
    image = textured_image()

    pool = velmora_core.get_quadtree_sparse_map(image, min_block=4)
    print(f"quadtree pool: {len(pool)} of {image.size} pixels")

    payload = image.size // 10  # 0.1 bits per pixel
    stego, elapsed_ms, pool_size = velmora_core.run_velmora_engine(image, payload)
    changed = int(np.count_nonzero(stego != image))
    print(f"embedded {payload} bits in {elapsed_ms:.1f} ms; {changed} pixels changed, "
          f"PSNR {psnr(image, stego):.2f} dB")

    stego, _, _, ys, xs, bits = velmora_core.embed_with_details(image, 1000, max_iter=20)
    assert bool(np.all((stego[ys, xs] & 1) == bits)), "every chosen pixel carries its bit"

    chosen = velmora_core.dabc_select_coords(image, pool, 500, 30, 50, seed=2024)
    again = velmora_core.dabc_select_coords(image, pool, 500, 30, 50, seed=2024)
    assert chosen == again, "the seeded selector is reproducible"
    print(f"seeded selection of {len(chosen)} coordinates, first {chosen[:3]}")

    # The whole embedding from a seed: the same Embedding in every process.
    e = velmora.embed(image, 500, seed=2024)
    assert list(zip(e.coords_y.tolist(), e.coords_x.tolist())) == chosen, "the colony search draws first"
    print(f"seeded embedding: {e.changes} pixels changed (change rate {e.change_rate:.4f}); "
          f"the image takes at most {velmora.capacity(image)} bits")


if __name__ == "__main__":
    main()
