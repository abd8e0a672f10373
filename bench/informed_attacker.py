"""The informed attacker, measured: which model of velmora's colony makes the
best change-probability maps, and the study of the blind and the informed
detector that the README quotes.

    python bench/informed_attacker.py models   [--jobs 2] [--out DIR]
    python bench/informed_attacker.py study    [--jobs 2] [--out DIR]

Both run ``velmora evaluate`` on 64 seeded 128x128 crops of each of the
photographs that scikit-image provides, on two disjoint sets of source
photographs, so that the model chosen on the
first is scored on the second and nothing is fitted on the data it is
reported on:

- ``models``: velmora at 0.1 and 0.2 bits per pixel against maxsrm with each
  model of velmora.selection (uniform, frequency, score), on the selection
  photographs; prints P_E of each, its paired difference to the uniform
  model over the splits, and the model with the lowest mean P_E (the
  default of ``velmora.selection``, ``DEFAULT_MODEL``).
- ``study``: velmora, velmora-random, velmora-greedy, LSB matching, HILL and
  S-UNIWARD at 0.1, 0.2 and 0.4 bits per pixel, srm and maxsrm, ten splits,
  on the study photographs; prints the table of P_E blind and informed and
  the selection gain.

Needs the eval extra and scikit-image (some photographs are fetched by
scikit-image's data module on first use).
"""

from __future__ import annotations

import argparse
import csv
import os
import sys
import time
from pathlib import Path

import numpy as np

SELECTION = ("brick", "clock", "coins", "gravel", "moon", "stereo_motorcycle")
STUDY = ("astronaut", "camera", "chelsea", "coffee", "grass", "hubble_deep_field", "immunohistochemistry",
         "retina", "rocket", "cell", "page", "text")
PAYLOADS = ("0.1", "0.2")
COMMON = ("--crop", "128", "--crops-per-image", "64", "--splits", "10", "--seed", "1")


def photograph(name: str) -> np.ndarray:
    import skimage.data

    image = getattr(skimage.data, name)()
    if isinstance(image, tuple):  # a stereo pair: its left image
        image = image[0]
    image = np.asarray(image)
    if image.ndim == 3:
        rgb = image[..., :3].astype(np.uint32)
        image = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
    return image.astype(np.uint8)


def write_covers(names: tuple[str, ...], folder: Path) -> Path:
    import velmora

    folder.mkdir(parents=True, exist_ok=True)
    for name in names:
        path = folder / f"{name}.png"
        if not path.exists():
            velmora.save_lossless(str(path), photograph(name))
    return folder


def evaluate(covers: Path, out: Path, jobs: int, *args: str) -> list[dict[str, str]]:
    from velmora.cli import main

    start = time.perf_counter()
    code = main(["evaluate", str(covers), "-o", str(out), "--jobs", str(jobs), *COMMON, *args])
    if code != 0:
        sys.exit(f"velmora evaluate exited with {code}")
    print(f"  ({time.perf_counter() - start:.0f} s)", flush=True)
    with open(out / "results.csv", newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def models(jobs: int, out: Path) -> None:
    from velmora.selection import MODELS

    covers = write_covers(SELECTION, out / "covers-selection")
    per_split: dict[str, np.ndarray] = {}
    for model in MODELS:
        evaluate(covers, out / f"model-{model}", jobs, "--methods", "velmora", "--payload", ",".join(PAYLOADS),
                 "--features", "maxsrm", "--channel", model)
        with open(out / f"model-{model}" / "results-splits.csv", newline="", encoding="utf-8") as f:
            splits = sorted(csv.DictReader(f), key=lambda r: (float(r["payload_bpp"]), int(r["split"])))
        per_split[model] = np.array([float(r["pe"]) for r in splits]).reshape(len(PAYLOADS), -1)
    # The same stego images and splits for every model: differences are paired.
    base = per_split["uniform"]
    print(f"\n| model | {' | '.join(f'P_E at {p} bpp' for p in PAYLOADS)} | "
          f"{' | '.join(f'- uniform at {p}' for p in PAYLOADS)} |")
    print("|---|" + "---|" * (2 * len(PAYLOADS)))
    for model, pe in per_split.items():
        cells = [f"{row.mean():.3f} ± {row.std(ddof=1):.3f}" for row in pe]
        diffs = [f"{d.mean():+.3f} ± {d.std(ddof=1):.3f}" for d in pe - base]
        print(f"| {model} | {' | '.join(cells)} | {' | '.join(diffs)} |")
    best = min(per_split, key=lambda m: float(per_split[m].mean()))
    print(f"\nlowest mean P_E: {best}")


def study(jobs: int, out: Path) -> None:
    covers = write_covers(STUDY, out / "covers-study")
    rows = evaluate(covers, out / "study", jobs, "--methods", "velmora,velmora-random,velmora-greedy,lsbm,hill,suniward",
                    "--payload", "0.1,0.2,0.4", "--features", "srm,maxsrm")
    by = {(r["features"], r["method"], r["payload_bpp"]): r for r in rows}
    print("\n| method | bpp | pairs | P_E srm | P_E maxsrm | selection gain |\n|---|---|---|---|---|---|")
    for r in rows:
        if r["features"] != "srm":
            continue
        informed = by[("maxsrm", r["method"], r["payload_bpp"])]
        gain = f"{float(r['selection_gain']):.3f}" if r["selection_gain"] else ""
        print(f"| {r['method']} | {r['payload_bpp']} | {r['pairs']} | {float(r['pe_mean']):.3f} ± "
              f"{float(r['pe_std']):.3f} | {float(informed['pe_mean']):.3f} ± {float(informed['pe_std']):.3f} | "
              f"{gain} |")
    print(f"\nthe report: {out / 'study' / 'report.md'}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("what", choices=("models", "study"))
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--out", type=Path, default=Path(os.environ.get("TMPDIR", "/tmp")) / "velmora-informed")
    args = parser.parse_args()
    (models if args.what == "models" else study)(args.jobs, args.out)


if __name__ == "__main__":
    main()
