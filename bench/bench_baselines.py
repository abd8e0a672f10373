"""The baseline methods at five payloads per cover: conseal's plain calls,
one per payload, against velmora.baselines, which computes each cover's
costs once (natively) and simulates every payload from them.

    python bench/bench_baselines.py             # needs conseal (pip install conseal)
    python bench/bench_baselines.py --repeat 3  # the median of three runs of each

For 512x512 photographs and each method it prints the time per image of
conseal's five calls (0.05, 0.1, 0.2, 0.3 and 0.4 bpp), of velmora's cost
map alone and of its five payloads from one cost map, and checks that both
give the same stego images; then the four cost-based methods together. BLAS
runs on one thread, as in velmora evaluate's workers, and the times are the
process's CPU time, which other jobs on the machine disturb less than the
wall-clock time (--wall measures that instead).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from velmora import baselines

PAYLOADS = (0.05, 0.1, 0.2, 0.3, 0.4)


def photographs() -> dict[str, np.ndarray]:
    try:
        from skimage import data
    except ImportError:  # any textured 512x512 image will do
        rng = np.random.default_rng(0)
        yy, xx = np.indices((512, 512))
        return {"synthetic": ((np.sin(xx / 9.0) * np.cos(yy / 13.0) + 1) * 100
                              + rng.integers(0, 40, (512, 512))).astype(np.uint8)}
    rgb = data.astronaut().astype(np.uint32)
    luma = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
    return {"camera": np.asarray(data.camera(), np.uint8), "astronaut": luma.astype(np.uint8)}


def plain(cl: Any, method: str, cover: np.ndarray, alpha: float, seed: int) -> np.ndarray:
    if method == "lsbm":
        return np.asarray(cl.lsb.simulate(cover, alpha, modify=cl.LSB_MATCHING, seed=seed))
    return np.asarray(getattr(cl, method).simulate_single_channel(cover, alpha, seed=seed))


def native(method: str, cover: np.ndarray, requests: list[tuple[float, int]]) -> list[np.ndarray]:
    prepared = baselines.prepare(cover, method)
    return [prepared.simulate(alpha, seed=seed) for alpha, seed in requests]


def median_seconds(fn: Callable[[], Any], reps: int, clock: Callable[[], float]) -> tuple[float, Any]:
    times, result = [], None
    for _ in range(reps):
        start = clock()
        result = fn()
        times.append(clock() - start)
    return statistics.median(times), result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=1, help="runs of each measurement (the median is shown)")
    parser.add_argument("--wall", action="store_true", help="wall-clock time instead of CPU time")
    parser.add_argument("--methods", nargs="+", choices=baselines.METHODS, default=list(baselines.METHODS))
    args = parser.parse_args()
    try:
        import conseal as cl  # type: ignore[import-untyped]
    except ImportError:
        print("bench_baselines needs conseal: pip install conseal", file=sys.stderr)
        return 2
    try:
        from threadpoolctl import threadpool_limits  # type: ignore[import-untyped]
        limits = threadpool_limits(1)  # noqa: F841  (kept for the whole run)
    except ImportError:
        pass
    clock = time.perf_counter if args.wall else time.process_time
    warnings.filterwarnings("ignore")  # conseal's notes on flat areas and unconverged searches
    # MiPOD's generator takes seeds below 2**32.
    requests = [(alpha, 1000 + i) for i, alpha in enumerate(PAYLOADS)]
    images = photographs()
    corner = next(iter(images.values()))[:32, :32]
    for method in args.methods:  # warm up: conseal's imports and compilation, MiPOD's tables
        plain(cl, method, corner, 0.1, 1)
        native(method, corner, requests[:1])

    print(f"five payloads per cover ({', '.join(f'{a:g}' for a in PAYLOADS)} bpp),"
          f" {'wall-clock' if args.wall else 'CPU'} seconds per image")
    print(f"{'image':<10} {'method':<9} {'conseal x5':>11} {'cost map':>9} {'native x5':>10} {'speed-up':>9}"
          f"  identical")
    ok = True
    for name, cover in images.items():
        theirs_total = ours_total = 0.0
        for method in args.methods:
            theirs, expected = median_seconds(
                lambda: [plain(cl, method, cover, a, s) for a, s in requests], args.repeat, clock)
            cost = 0.0
            if method != "lsbm":
                cost, _ = median_seconds(lambda: baselines.prepare(cover, method), args.repeat, clock)
            ours, got = median_seconds(lambda: native(method, cover, requests), args.repeat, clock)
            same = all(np.array_equal(a, b) for a, b in zip(expected, got))
            ok &= same
            if method != "lsbm":
                theirs_total += theirs
                ours_total += ours
            print(f"{name:<10} {method:<9} {theirs:>11.3f} {f'{cost:.3f}' if cost else '-':>9} {ours:>10.3f}"
                  f" {theirs / ours:>8.1f}x  {'yes' if same else 'NO'}")
        if ours_total:
            print(f"{name:<10} {'4 costly':<9} {theirs_total:>11.3f} {'':>9} {ours_total:>10.3f}"
                  f" {theirs_total / ours_total:>8.1f}x")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
