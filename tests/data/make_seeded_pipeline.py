"""Writes seeded_pipeline.txt: cases of velmora._native.embed_seeded with
their complete results, which the engine's C++ tests reproduce with
run_pipeline on a generator from from_seed, and the Python tests with the
module. Run it only to add cases: the recorded results must never change.

    python tests/data/make_seeded_pipeline.py > tests/data/seeded_pipeline.txt

Format, one case after another:
    case NAME
    shape H W
    params PAYLOAD SEED COLONY_SIZE MAX_ITER MIN_BLOCK
    image HEX             (H*W pixels, row-major, two hex digits each)
    pool_size K
    embedded 0|1          (0: the pool was not larger than the payload)
    coords Y X Y X ...    (one pair per payload bit, in order)
    bits 0101...
    stego HEX
    end
"""

import sys

import numpy as np
import skimage.data

from velmora import _native

U64_MAX = 2**64 - 1


def cases():
    rng = np.random.default_rng(20261209)
    noise = rng.integers(0, 256, (32, 40), dtype=np.uint8)
    camera = skimage.data.camera()[200:248, 240:288]
    coins = skimage.data.coins()[100:164, 150:246]
    patchy = np.where(np.add.outer(np.arange(40), np.arange(56)) % 9 < 4,
                      rng.integers(0, 256, (40, 56)), 120).astype(np.uint8)
    yield "noise-defaults", noise, (200, 0, 30, 50, 4)
    yield "camera-odd-colony", camera, (300, U64_MAX, 7, 12, 2)
    yield "coins-large-payload", coins, (2000, 42, 30, 50, 4)
    yield "patchy-one-bee", patchy, (64, 123456789, 1, 40, 8)
    yield "camera-no-iterations", camera, (0, 5, 30, 0, 4)
    yield "flat-pool-too-small", np.full((16, 16), 77, np.uint8), (1, 9, 30, 50, 4)
    yield "noise-payload-equals-pool", noise[:8, :8], (64, 3, 30, 50, 4)


def hexes(a):
    return np.ascontiguousarray(a).tobytes().hex()


def main():
    out = sys.stdout
    for name, image, (payload, seed, colony, iters, block) in cases():
        h, w = image.shape
        out.write(f"case {name}\nshape {h} {w}\n")
        out.write(f"params {payload} {seed} {colony} {iters} {block}\n")
        out.write(f"image {hexes(image)}\n")
        try:
            stego, _ms, pool, ys, xs, bits = _native.embed_seeded(image, payload, seed, colony, iters, block)
        except ValueError:
            out.write(f"pool_size {_native.pool_size(image, block)}\nembedded 0\n")
        else:
            coords = " ".join(f"{y} {x}" for y, x in zip(ys.tolist(), xs.tolist()))
            out.write(f"pool_size {pool}\nembedded 1\ncoords {coords}\n")
            out.write(f"bits {''.join(map(str, bits.tolist()))}\nstego {hexes(stego)}\n")
        out.write("end\n")


if __name__ == "__main__":
    main()
