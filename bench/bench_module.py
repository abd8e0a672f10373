"""Python-level timings of velmora_core: what a caller sees.

    python bench/bench_module.py

Prints, for textured images of several sizes:
  * get_quadtree_sparse_map: the whole call, most of it building the list of
    (y, x) tuples for millions of entries;
  * dabc_select_coords with payload 1 and no iterations: the cost of
    converting a caller's pool (and scoring it);
  * dabc_select_coords on the 512x512 image's pool, the whole call, for
    payloads of 1,000, 26,000 and 100,000 bits;

  * run_velmora_engine at 0.01, 0.1 and 0.4 bits per pixel: wall time of the
    call and the elapsed_ms it reports (the measured interval leaves out
    argument binding and building the result).
The engine-only figures are printed by the C++ benchmarks (tools/bench.sh).
"""

from __future__ import annotations

import statistics
import time

import numpy as np

import velmora_core as vc


def textured(side: int, seed: int = 11) -> np.ndarray:
    rng = np.random.default_rng(seed)
    yy, xx = np.indices((side, side))
    base = (xx + 2 * yy) % 256
    smooth = ((yy * 8 // side) + (xx * 8 // side)) % 7 == 0
    noisy = (base + rng.integers(0, 128, size=(side, side))) % 256
    return np.where(smooth, base, noisy).astype(np.uint8)


def timed(fn, reps: int = 3):
    times, result = [], None
    for _ in range(reps):
        t0 = time.perf_counter()
        result = fn()
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times), result


def main() -> None:
    print(f"{'image':>10} {'pool':>9} {'quadtree+list ms':>17} {'pool conversion ms':>19}")
    images = {side: textured(side) for side in (512, 1024, 2048)}
    for side, img in images.items():
        t_list, pool = timed(lambda: vc.get_quadtree_sparse_map(img))
        t_conv, _ = timed(lambda: vc.dabc_select_coords(img, pool, 1, 2, 0, 0))
        print(f"{side:>4}x{side:<5} {len(pool):>9} {t_list:>17.1f} {t_conv:>19.1f}")
        del pool
    print()
    img = images[512]
    pool = vc.get_quadtree_sparse_map(img)
    print(f"dabc_select_coords on the 512x512 pool (K = {len(pool)}), colony 30, 50 iterations")
    for payload in (1000, 26000, 100000):
        t, _ = timed(lambda: vc.dabc_select_coords(img, pool, payload, 30, 50, 2024))
        print(f"  payload {payload:>6}: {t:8.1f} ms")
    print()
    print(f"{'image':>10} {'bpp':>5} {'payload':>9} {'wall ms':>9} {'elapsed_ms':>11}")
    for side, img in images.items():
        for bpp in (0.01, 0.1, 0.4):
            payload = int(bpp * side * side)
            try:
                wall, result = timed(lambda: vc.run_velmora_engine(img, payload), reps=1 if side > 1024 else 3)
            except ValueError as exc:
                print(f"{side:>4}x{side:<5} {bpp:>5} {payload:>9}   {exc}")
                continue
            print(f"{side:>4}x{side:<5} {bpp:>5} {payload:>9} {wall:>9.1f} {result[1]:>11.1f}")


if __name__ == "__main__":
    main()
