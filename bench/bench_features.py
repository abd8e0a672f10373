"""Feature extraction per image: velmora's native extractors against the
field's reference, sealwatch, measured in one run.

    python bench/bench_features.py            # needs sealwatch (pip install sealwatch)

For 256x256 and 512x512 crops of a photograph it prints the time per image of
each feature set: spam against sealwatch's Rust backend, srmq1 and srm
against its Python implementation (the only one it has), each the median of
several calls (sealwatch's slow extractors three times at 256x256, once at 512x512). Then
the speed-ups against the targets (at least 300x for srmq1 and srm, 2x for
spam), and what the native srm time means for a study of the size the field
publishes: 10,000 covers of 512x512, six methods at five payloads, 310,000
images to extract, on two cores.
"""

from __future__ import annotations

import statistics
import sys
import time
from collections.abc import Callable
from typing import Any

import numpy as np

from velmora import features

TARGETS = {"spam": 2.0, "srmq1": 300.0, "srm": 300.0}
STUDY_IMAGES = 10_000 * (1 + 6 * 5)


def photograph() -> np.ndarray:
    try:
        from skimage.data import camera

        return np.asarray(camera(), dtype=np.uint8)
    except ImportError:  # any textured 512x512 image will do
        rng = np.random.default_rng(0)
        yy, xx = np.indices((512, 512))
        return ((np.sin(xx / 9.0) * np.cos(yy / 13.0) + 1) * 100 + rng.integers(0, 40, (512, 512))).astype(np.uint8)


def median_seconds(fn: Callable[[], Any], reps: int) -> float:
    times = []
    for _ in range(reps):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def reference(kind: str) -> Callable[[np.ndarray], Any]:
    import sealwatch as sw  # type: ignore[import-untyped]

    if kind == "spam":
        def spam(image: np.ndarray) -> Any:
            with sw.BACKEND_RUST:
                return sw.spam.extract(image)
        return spam
    return sw.srm.srmq1.extract if kind == "srmq1" else sw.srm.extract


def main() -> int:
    try:
        import sealwatch  # noqa: F401  # type: ignore[import-untyped]
    except ImportError:
        print("bench_features needs sealwatch: pip install sealwatch", file=sys.stderr)
        return 2
    full = photograph()
    images = {256: np.ascontiguousarray(full[128:384, 128:384]), 512: full}
    print(f"{'set':<6} {'image':>8} {'native ms':>10} {'sealwatch ms':>13} {'speed-up':>9}  target")
    native_srm_512 = 0.0
    ok = True
    for kind in features.KINDS:
        for side, image in images.items():
            features.extract(image, kind)  # warm up
            native = median_seconds(lambda: features.extract(image, kind), 15)
            ref = reference(kind)
            ref(image)
            slow = kind != "spam"
            theirs = median_seconds(lambda: ref(image), (1 if side == 512 else 3) if slow else 15)
            ratio = theirs / native
            ok &= ratio >= TARGETS[kind]
            print(f"{kind:<6} {side:>4}x{side:<3} {native * 1e3:>10.2f} {theirs * 1e3:>13.1f} {ratio:>8.0f}x"
                  f"  >= {TARGETS[kind]:g}x {'met' if ratio >= TARGETS[kind] else 'MISSED'}")
            if kind == "srm" and side == 512:
                native_srm_512 = native
                sealwatch_srm_512 = theirs
    hours = STUDY_IMAGES * native_srm_512 / 3600 / 2
    before = STUDY_IMAGES * sealwatch_srm_512 / 3600 / 2
    print(f"\nsrm for a study of 10,000 covers of 512x512 (six methods, five payloads: {STUDY_IMAGES:,} images)"
          f" on two cores: {hours:.1f} h of wall time ({2 * hours:.1f} CPU-hours); with sealwatch"
          f" {before:,.0f} h ({before / 24:.0f} days)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
