"""maxsrm per image against srm, and against the authors' C++ release when
a build of it is at hand, measured in one run.

    python bench/bench_maxsrm.py [--release PROGRAM]

For a 512x512 photograph it times srm and maxsrm with the maps an informed
attacker uses (velmora.selection.estimate): a continuous one (HILL at 0.4
bits per pixel, and velmora's default model at 0.2), a pool map of one value
(velmora-random at 0.2) and a constant one (LSB matching at 0.4). Each is the
median of several calls; the ratios to srm are checked against the target
of at most 1.5.

PROGRAM, if given, is a command that runs the release on one image: it is
called as ``PROGRAM IMAGE.u8 MAP.f64 ROWS COLS`` (the image as raw bytes, the
map as raw little-endian float64, both row-major) and must print the
features; its wall time per call is compared with ours (target: at least 20
times faster). The release has no licence, so no build of it comes with
velmora: build it and such a driver by hand, outside the repository.
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

from bench_features import median_seconds, photograph  # this folder's: the same image and timing
from velmora import features, selection

SRM_RATIO = 1.5
RELEASE_RATIO = 20.0


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--release", default=None, metavar="PROGRAM")
    parser.add_argument("--reps", type=int, default=7)
    args = parser.parse_args()
    image = photograph()
    maps = {
        "hill 0.4 (continuous)": selection.estimate(image, 0.4, "hill"),
        "velmora 0.2 (continuous)": selection.estimate(image, 0.2, "velmora"),
        "velmora-random 0.2 (one value)": selection.estimate(image, 0.2, "velmora-random"),
        "lsbm 0.4 (constant)": selection.estimate(image, 0.4, "lsbm"),
    }
    srm = median_seconds(lambda: features.extract(image, "srm"), args.reps)
    print(f"512x512 photograph, one core; srm {srm * 1000:.1f} ms")
    ok = True
    ours = {}
    for name, beta in maps.items():
        ours[name] = t = median_seconds(lambda b=beta: features.extract(image, "maxsrm", beta=b), args.reps)
        ratio = t / srm
        ok &= ratio <= SRM_RATIO
        print(f"  maxsrm, map of {name:<32} {t * 1000:7.1f} ms  {ratio:4.2f} x srm "
              f"(target at most {SRM_RATIO:g}: {'met' if ratio <= SRM_RATIO else 'MISSED'})")
    if args.release:
        with tempfile.TemporaryDirectory() as tmp:
            img, beta = Path(tmp) / "image.u8", Path(tmp) / "map.f64"
            image.tofile(img)
            for name, m in maps.items():
                np.ascontiguousarray(m, dtype="<f8").tofile(beta)
                command = [args.release, str(img), str(beta), "512", "512"]
                t = median_seconds(lambda c=command: subprocess.run(c, check=True, capture_output=True), 3)
                speedup = t / ours[name]
                ok &= speedup >= RELEASE_RATIO
                print(f"  the release, map of {name:<28} {t * 1000:7.1f} ms: velmora {speedup:5.1f} x faster "
                      f"(target at least {RELEASE_RATIO:g}: {'met' if speedup >= RELEASE_RATIO else 'MISSED'})")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
