"""What a study of the size the field publishes costs with velmora evaluate:
10,000 covers of 512x512, six methods at five payloads, the rich model, ten
splits, on two cores.

    python bench/bench_study.py [--crops K] [--jobs 2]    # needs the eval extra

1. A full run of ``velmora evaluate`` on 256x256 crops of the photographs
   that scikit-image ships (K per photograph, default 16): methods velmora,
   lsbm, hill, suniward, wow and mipod, payloads 0.05 to 0.4 bits per pixel,
   evaluate's default features (srm), ten splits, the detector's default
   sizes. It prints each
   phase's wall time and the peak resident memory of the run's processes
   together (the run's own and its workers').
2. The per-image costs at the study's size, measured directly on 512x512
   photographs of texture (every method embeds every payload in them): one
   cover's features, and for each method one cover's stego
   images at the five payloads with their features (as a worker computes
   them, each cover's costs once for all payloads).
3. The per-training cost at the study's size: the ensemble with the default
   sizes fitted on 1,000 and 2,000 training pairs of rich-model dimension
   (in a fresh process each, to read its peak memory), extrapolated linearly
   to the study's 5,000 training pairs.
4. The study: (10,000 x (cover features + all methods' stego images) + 300
   trainings per feature set) in CPU-hours and in hours on two cores, with
   srm alone (target: 8 CPU-hours) and with srm and maxsrm, evaluate's
   default (target: 16).
5. Memory at scale: a run of 2,000 covers (128x128 crops; --memory-covers),
   one method and payload, SRM, ten splits, with the peak resident memory of
   all its processes together in each phase, against 4 GiB.

BLAS is limited to one thread, as in the run's workers.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ[_name] = "1"

import numpy as np  # noqa: E402

STUDY_COVERS = 10_000
METHODS = ("velmora", "lsbm", "hill", "suniward", "wow", "mipod")
PAYLOADS = (0.05, 0.1, 0.2, 0.3, 0.4)
SPLITS = 10
# CPU-hours the study may take with the blind detector alone, and with the
# blind and the informed one (evaluate's default feature sets).
TARGETS = {"srm": 8.0, "srm,maxsrm": 16.0}


def photographs() -> dict[str, np.ndarray]:
    import skimage.data

    out = {}
    for name in ("camera", "coins", "moon", "page", "text", "astronaut", "coffee", "chelsea", "rocket",
                 "immunohistochemistry", "brick", "grass", "gravel"):
        image = np.asarray(getattr(skimage.data, name)())
        if image.ndim == 3:
            rgb = image[..., :3].astype(np.uint32)
            image = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
        out[name] = image.astype(np.uint8)
    return out


def rss_of_tree(root: int) -> int:
    """Resident bytes of process ``root`` and all its descendants."""
    children: dict[int, list[int]] = {}
    rss: dict[int, int] = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            children.setdefault(int(fields[1]), []).append(int(entry))
            rss[int(entry)] = int(fields[21]) * os.sysconf("SC_PAGE_SIZE")
        except (OSError, IndexError, ValueError):
            continue
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        total += rss.get(pid, 0)
        todo.extend(children.get(pid, []))
    return total


class PhaseMemory:
    """Peak resident memory of this process tree, per phase of the run."""

    def __init__(self) -> None:
        self.phase = "start"
        self.peak: dict[str, int] = {}
        self.started: dict[str, float] = {}
        self._stop = threading.Event()
        self._thread = threading.Thread(target=self._sample, daemon=True)

    def __call__(self, phase: str) -> None:
        self.phase = phase
        self.started[phase] = time.perf_counter()

    def _sample(self) -> None:
        while not self._stop.wait(0.2):
            used = rss_of_tree(os.getpid())
            self.peak[self.phase] = max(self.peak.get(self.phase, 0), used)

    def __enter__(self) -> PhaseMemory:
        self._thread.start()
        return self

    def __exit__(self, *exc: object) -> None:
        self._stop.set()
        self._thread.join()


def full_run(folder: Path, crops: int, jobs: int) -> dict[str, float]:
    import velmora
    from velmora.evaluation.settings import DEFAULT_FEATURES
    from velmora._imageio import save_lossless

    covers = folder / "covers"
    covers.mkdir()
    for name, image in photographs().items():
        save_lossless(str(covers / f"{name}.png"), image)
    report = folder / "report"
    with PhaseMemory() as memory:
        start = time.perf_counter()
        rows = velmora.evaluate(str(covers), str(report), payloads=PAYLOADS, methods=METHODS,
                                crop=256, crops_per_image=crops, splits=SPLITS, jobs=jobs, progress=False,
                                phase_hook=memory)
        total = time.perf_counter() - start
    ends = sorted(memory.started.items(), key=lambda kv: kv[1])
    print(f"== 1. full run: {crops} crops of 256x256 per photograph, {len(METHODS)} methods, "
          f"{len(PAYLOADS)} payloads, evaluate's default features ({','.join(DEFAULT_FEATURES)}), {SPLITS} splits, "
          f"{jobs} workers: {total:.0f} s")
    for (phase, at), nxt in zip(ends, [*ends[1:], ("end", start + total)]):
        print(f"   {phase:<9} {nxt[1] - at:8.1f} s   peak resident (all processes) "
              f"{memory.peak.get(phase, 0) / 2**30:5.2f} GiB")
    print(f"   {'method':<9} {'bpp':>5} {'features':>8} {'pairs':>6} {'test pairs':>10} {'P_E':>14}")
    for r in rows:
        print(f"   {r['method']:<9} {r['payload_bpp']:>5g} {r['features']:>8} {r['pairs']:>6} "
              f"{r['test_pairs']:>10.1f} {r['pe_mean']:>7.3f} ± {r['pe_std']:.3f}")
    records = [json.loads(line) for line in (report / "cache" / "index.jsonl").read_text().splitlines()]
    trainings = [r["seconds"] for r in records if r.get("kind") == "train"]
    pairs = [r["train_pairs"] for r in records if r.get("kind") == "train"]
    print(f"   trainings: {len(trainings)}, {np.mean(trainings):.2f} s each on {np.mean(pairs):.0f} training pairs")
    return {"seconds": total}


def memory_run(folder: Path, covers: int, jobs: int) -> float:
    import velmora
    from velmora._imageio import save_lossless

    images = folder / "covers"
    images.mkdir()
    sources = {n: im for n, im in photographs().items() if min(im.shape) >= 128}
    for name, image in sources.items():
        save_lossless(str(images / f"{name}.png"), image)
    per_image = -(-covers // len(sources))
    with PhaseMemory() as memory:
        start = time.perf_counter()
        rows = velmora.evaluate(str(images), str(folder / "report"), payloads=(0.4,), methods=("lsbm",),
                                features="srm", crop=128, crops_per_image=per_image, splits=SPLITS, jobs=jobs,
                                progress=False, phase_hook=memory)
        total = time.perf_counter() - start
    peak = max(memory.peak.values()) / 2**30
    print(f"\n== 5. memory: {per_image * len(sources):,} covers (128x128 crops), lsbm at 0.4 bpp, srm, {SPLITS} "
          f"splits, {jobs} workers: {total:.0f} s, {rows[0]['test_pairs']:.0f} test pairs, "
          f"P_E {rows[0]['pe_mean']:.3f} ± {rows[0]['pe_std']:.3f}")
    for phase, used in memory.peak.items():
        print(f"   {phase:<9} peak resident (all processes) {used / 2**30:5.2f} GiB")
    print(f"   in all: {peak:.2f} GiB (target: under 4 GiB: {'met' if peak < 4 else 'MISSED'})")
    return peak


def textured_512() -> list[np.ndarray]:
    """512x512 photographs of texture (scikit-image's immunohistochemistry,
    grass and gravel) whose quadtree pools take every payload up to 0.4 bits
    per pixel: no method is spared a payload, so their costs bound those of
    covers that some payloads leave out."""
    import skimage.data

    out = []
    for name in ("immunohistochemistry", "grass", "gravel"):
        image = np.asarray(getattr(skimage.data, name)())
        if image.ndim == 3:
            rgb = image[..., :3].astype(np.uint32)
            image = (rgb[..., 0] * 299 + rgb[..., 1] * 587 + rgb[..., 2] * 114 + 500) // 1000
        out.append(np.ascontiguousarray(image[:512, :512], dtype=np.uint8))
    return out


def per_image_costs() -> tuple[float, dict[str, dict[str, float]]]:
    """One cover's srm features, and for each method one cover's stego
    images at the five payloads as a worker computes them: with srm alone,
    and with srm and maxsrm (the stego images' maxsrm rows and the cover's,
    each with its map estimated from the image)."""
    from velmora import features
    from velmora._imageio import save_lossless
    from velmora.evaluation.covers import Cover
    from velmora.evaluation.settings import EvalSettings
    from velmora.evaluation.tasks import StegoRequest, stego_task

    chosen = textured_512()
    folder = Path(tempfile.mkdtemp())
    paths = []
    for i, im in enumerate(chosen):
        paths.append(str(folder / f"{i}.png"))
        save_lossless(paths[-1], im)
    settings = EvalSettings()
    sets = {"srm": (("srm",), ()), "srm,maxsrm": (("srm", "maxsrm"), ("maxsrm",))}
    # Imports and first-call set-up (MiPOD's cell table) once, untimed:
    # a worker pays them once per process, not per image.
    small = str(folder / "small.png")
    save_lossless(small, np.ascontiguousarray(chosen[0][:64, :64]))
    for method in METHODS:
        stego_task(Cover(small, "small.png"), method, [StegoRequest(0.1, 1, ("srm", "maxsrm"), ("maxsrm",))],
                   settings.engine, settings.channel_options(method))
    start = time.perf_counter()
    for im in chosen:
        features.extract(im, "srm")
    cover = (time.perf_counter() - start) / len(chosen)
    per_method: dict[str, dict[str, float]] = {name: {} for name in sets}
    for method in METHODS:
        for name, (stego_sets, cover_sets) in sets.items():
            start = time.perf_counter()
            for i, path in enumerate(paths):
                requests = [StegoRequest(p, 1000 + 17 * i + k, stego_sets, cover_sets) for k, p in enumerate(PAYLOADS)]
                done = stego_task(Cover(path, f"{i}.png"), method, requests, settings.engine,
                                  settings.channel_options(method))
                failed = [r["error"] for r in done if "error" in r]
                if failed:
                    raise SystemExit(f"{method} failed on a 512x512 texture: {failed[0]}")
            per_method[name][method] = (time.perf_counter() - start) / len(paths)
    print("\n== 2. per 512x512 image of texture (every payload embedded), one core")
    print(f"   cover features (srm): {cover:.3f} s")
    print(f"   {'method':<9} five stego images and their features:  srm   srm,maxsrm")
    for method in METHODS:
        print(f"   {method:<9} {'':37}{per_method['srm'][method]:6.2f} s {per_method['srm,maxsrm'][method]:6.2f} s")
    return cover, per_method


TRAIN_SNIPPET = r"""
import json, resource, sys, time
import numpy as np
from velmora.ensemble import FLDEnsemble
from velmora.evaluation.settings import DEFAULT_LEARNERS, DEFAULT_SUBSPACE
n, d = int(sys.argv[1]), 34671
rng = np.random.default_rng(n)
cover = rng.standard_normal((n, d), dtype=np.float32)
stego = cover + rng.standard_normal((n, d), dtype=np.float32) * 0.5
stego[:, :50] += 0.3
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
start = time.perf_counter()
e = FLDEnsemble(n_learners=DEFAULT_LEARNERS or "auto", subspace=DEFAULT_SUBSPACE or "auto", seed=1).fit(cover, stego)
seconds = time.perf_counter() - start
print(json.dumps({"seconds": seconds, "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  "data": 2 * cover.nbytes, "learners": e.n_learners_, "subspace": e.subspace_}))
"""


def per_training_cost() -> float:
    print("\n== 3. one training of the default ensemble on rich-model features, one core")
    measured = {}
    for n in (1000, 2000):
        done = subprocess.run([sys.executable, "-c", TRAIN_SNIPPET, str(n)], capture_output=True, text=True,
                              check=True)
        r = json.loads(done.stdout.strip().splitlines()[-1])
        measured[n] = r["seconds"]
        print(f"   {n} training pairs: {r['seconds']:6.1f} s, L {r['learners']}, d_sub {r['subspace']}, peak "
              f"resident {r['rss'] / 2**30:.2f} GiB (the training features alone {r['data'] / 2**30:.2f} GiB)")
    per_pair = (measured[2000] - measured[1000]) / 1000
    study = float(measured[2000] + per_pair * (STUDY_COVERS // 2 - 2000))
    print(f"   extrapolated to {STUDY_COVERS // 2} training pairs: {study:.0f} s")
    return study


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--crops", type=int, default=16, help="256x256 crops per photograph in the full run")
    parser.add_argument("--jobs", type=int, default=2, help="worker processes of the runs")
    parser.add_argument("--memory-covers", type=int, default=2000, metavar="N",
                        help="covers of the memory run (0: skip it)")
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as tmp:
        full_run(Path(tmp), args.crops, args.jobs)
    cover, per_method = per_image_costs()
    training = per_training_cost()
    trainings = len(METHODS) * len(PAYLOADS) * SPLITS
    verdicts = []
    for name, target in TARGETS.items():
        sets = name.count(",") + 1
        images = STUDY_COVERS * (cover + sum(per_method[name].values()))
        cpu_hours = (images + sets * trainings * training) / 3600
        print(f"\n== 4. the study with {name}: {STUDY_COVERS:,} covers of 512x512, {len(METHODS)} methods x "
              f"{len(PAYLOADS)} payloads ({STUDY_COVERS * (1 + len(METHODS) * len(PAYLOADS)):,} images), "
              f"{SPLITS} splits ({sets * trainings} trainings)")
        print(f"   images (embedding and features): {images / 3600:6.1f} CPU-hours")
        print(f"   trainings:                        {sets * trainings * training / 3600:6.1f} CPU-hours")
        met = cpu_hours <= target
        verdicts.append(met)
        print(f"   in all: {cpu_hours:.1f} CPU-hours, {cpu_hours / 2:.1f} hours on two cores "
              f"(target: at most {target:g} CPU-hours: {'met' if met else 'MISSED'})")
    peak = 0.0
    if args.memory_covers:
        with tempfile.TemporaryDirectory() as tmp:
            peak = memory_run(Path(tmp), args.memory_covers, args.jobs)
    return 0 if all(verdicts) and peak < 4 else 1


if __name__ == "__main__":
    sys.exit(main())
