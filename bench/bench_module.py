"""Python-level timings of velmora_core: what a caller sees.

    python bench/bench_module.py

Prints first the cost of the boundary on a large pool (2048x2048 noise,
min_block 4, 4,194,304 entries), each against the engine time of the same
work, measured in one run:
  * get_quadtree_sparse_map, the whole call, against the quadtree alone
    (velmora._native.pool_size); the instrumented call splits it into the
    quadtree and building the list of tuples (target: the call at most 6x
    the engine time on CPython 3.11, at most 8x on 3.12 and 3.13);
  * dabc_select_coords with that pool and 1,000 bits, the whole call, split
    by the instrumented call into converting the pool (target: at most 50 ns
    per entry), the colony search and building the result.
Then, for textured images of several sizes:
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
import sys
import time

import numpy as np

import velmora_core as vc
from velmora import _native


def textured(side: int, seed: int = 11) -> np.ndarray:
    rng = np.random.default_rng(seed)
    yy, xx = np.indices((side, side))
    base = (xx + 2 * yy) % 256
    smooth = ((yy * 8 // side) + (xx * 8 // side)) % 7 == 0
    noisy = (base + rng.integers(0, 128, size=(side, side))) % 256
    return np.where(smooth, base, noisy).astype(np.uint8)


def timed(fn, reps: int = 3):
    """Median milliseconds of `reps` calls, and the last result. The previous
    result is released before each call, outside the timed interval."""
    times, result = [], None
    for _ in range(reps):
        result = None
        t0 = time.perf_counter()
        result = fn()
        times.append((time.perf_counter() - t0) * 1000)
    return statistics.median(times), result


# The largest ratio of get_quadtree_sparse_map's whole call to the quadtree
# alone: allocating the tuples costs more on 3.12 and later.
LIST_RATIO_TARGET = 6 if sys.version_info < (3, 12) else 8


def boundary() -> None:
    img = np.random.default_rng(2048).integers(0, 256, size=(2048, 2048), dtype=np.uint8)
    reps = 7
    # Steady state: the first lists of a process are built in memory that the
    # system has never handed out before, which on a virtual machine can cost
    # a third more to populate than memory given back by earlier lists.
    for _ in range(8):
        vc.get_quadtree_sparse_map(img, 4)
    engine, _ = timed(lambda: _native.pool_size(img, 4), reps)
    call, pool = timed(lambda: vc.get_quadtree_sparse_map(img, 4), reps)
    split = []
    for _ in range(reps):
        split.append(_native.timed_sparse_map(img, 4)[1:])  # the list dies here, outside the timers
    inner_engine = statistics.median(s[0] for s in split)
    inner_output = statistics.median(s[1] for s in split)
    k = len(pool)
    print(f"== boundary on a 2048x2048 noise image, min_block 4, pool of {k:,} entries (median of {reps})")
    print(f"get_quadtree_sparse_map: whole call {call:7.1f} ms; quadtree alone (pool_size) {engine:6.1f} ms;"
          f" ratio {call / engine:4.2f} (target <= {LIST_RATIO_TARGET} on {sys.version_info[0]}.{sys.version_info[1]})")
    print(f"  instrumented call: quadtree {inner_engine:6.1f} ms, list of tuples {inner_output:6.1f} ms"
          f" ({inner_output * 1e6 / k:5.1f} ns per entry)")
    call, _ = timed(lambda: vc.dabc_select_coords(img, pool, 1000, 30, 50, 2024), reps)
    split = [_native.timed_select_coords(img, pool, 1000, 30, 50, 2024)[1:] for _ in range(reps)]
    conversion, search, output = (statistics.median(s[i] for s in split) for i in range(3))
    print(f"dabc_select_coords, 1000 bits, colony 30, 50 iterations: whole call {call:7.1f} ms")
    print(f"  instrumented call: pool conversion {conversion:6.1f} ms ({conversion * 1e6 / k:4.1f} ns per entry,"
          f" target <= 50), colony search {search:6.1f} ms, result {output:5.2f} ms")
    print()


def main() -> None:
    boundary()
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
