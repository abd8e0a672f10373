"""``velmora evaluate``: how detectable an embedding method is, measured the
field's standard way against baseline methods.

Covers (image files, or seeded crops of them) are embedded by each method at
each payload; SPAM or rich-model features are extracted from every cover and
stego image by velmora's native extractor; for each method and payload an FLD ensemble is trained on the paired
features of half of the source images and tested on the other half, over
several random splits; the report gives the minimal total error
P_E = min over thresholds of (P_FA + P_MD) / 2, as mean and standard
deviation over the splits.

Everything is seeded from one number. Features and detector results are
cached in REPORT_DIR/cache under keys that name everything they depend on
(the extractor among it, so that no run mixes features of two versions),
so a second run with more methods, payloads or splits computes only what is
new, and a run stopped by Ctrl-C goes on where it stopped.
"""

from __future__ import annotations

import csv
import hashlib
import importlib.util
import io
import json
import math
import os
import platform
import shlex
import statistics
import sys
import time
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
from typing import IO, Any

from ._api import check_seed, derive_seed
from ._batch import UsageError, find_images
from ._evaltasks import (
    CONSEAL_METHODS,
    METHODS,
    ONE_THREAD,
    Cover,
    cover_task,
    embed_task,
    stego_features_task,
    train_task,
)
from ._executor import Interrupted, Outcome, StopRequest, TaskPool, open_pool
from .features import EXTRACTOR, KINDS, dimension, min_side
from ._imageio import atomic_write, remove_temp_files

EXTRA_HINT = "pip install 'velmora-core[eval]'"
RESULT_FIELDS = (
    "method",
    "payload_bpp",
    "features",
    "pairs",
    "left_out",
    "change_rate",
    "psnr_db",
    "pe_mean",
    "pe_std",
    "vote_error_mean",
    "seconds",
)
FIGURE_FORMATS = ("png", "pdf", "svg")
MIN_SOURCES = 4  # two source images on each side of a split, at the least


class Stopped(Exception):
    """The run was stopped by a signal before it was complete."""

    def __init__(self, signum: int) -> None:
        super().__init__(signum)
        self.signum = signum


@dataclass(frozen=True)
class EvalSettings:
    payloads: tuple[float, ...] = (0.05, 0.1, 0.2)
    methods: tuple[str, ...] = ("velmora", "lsbm", "hill")
    features: str = "spam"
    crop: int | None = None
    crops_per_image: int = 1
    splits: int = 10
    seed: int = 0
    learners: int | None = 100  # None: the ensemble's automatic search
    subspace: int | None = 120
    engine: tuple[int, int, int] = (30, 50, 4)  # colony_size, max_iter, min_block
    gray: bool = False
    figure_formats: tuple[str, ...] = ("png",)

    def check(self) -> None:
        unknown = [m for m in self.methods if m not in METHODS]
        if unknown:
            raise UsageError(f"unknown method(s) {', '.join(unknown)}: choose from {', '.join(METHODS)}")
        if not self.methods:
            raise UsageError("no method to evaluate")
        if len(set(self.methods)) != len(self.methods):
            raise UsageError("a method is named twice")
        if self.features not in KINDS:
            raise UsageError(f"unknown feature set {self.features!r}: choose from {', '.join(KINDS)}")
        if not self.payloads:
            raise UsageError("no payload to evaluate")
        for p in self.payloads:
            if not (isinstance(p, float) and 0.0 < p <= 1.0):
                raise UsageError(f"a payload of {p!r} bits per pixel is outside (0, 1]")
        if len(set(self.payloads)) != len(self.payloads):
            raise UsageError("a payload is named twice")
        if self.splits < 1:
            raise UsageError("--splits must be at least 1")
        side = min_side(self.features)
        if self.crop is not None and self.crop < side:
            raise UsageError(
                f"{self.features} features need images of at least {side}x{side} pixels; --crop "
                f"{self.crop} is smaller"
            )
        if self.crops_per_image < 1:
            raise UsageError("--crops-per-image must be at least 1")
        if self.learners is not None and self.learners < 1:
            raise UsageError("--learners must be at least 1 (or auto)")
        dim = dimension(self.features)
        if self.subspace is not None and not 1 <= self.subspace <= dim:
            raise UsageError(f"--subspace must be between 1 and {dim}, the dimension of {self.features}")
        for fmt in self.figure_formats:
            if fmt not in FIGURE_FORMATS:
                raise UsageError(f"figure format {fmt!r}: choose from {', '.join(FIGURE_FORMATS)}")
        check_seed(self.seed)

    def detector(self) -> str:
        def one(value: int | None, what: str) -> str:
            return f"{what} chosen by the ensemble's search" if value is None else f"{value} {what}"

        return f"FLD ensemble, {one(self.learners, 'base learners')}, {one(self.subspace, 'subspace dimensions')}"


def check_dependencies(settings: EvalSettings, cluster: bool = False) -> None:
    """UsageError naming the extra to install when a library is missing."""
    # sealwatch for the detector, the FLD ensemble
    needed = ["sealwatch", "threadpoolctl", "PIL", "tqdm", "matplotlib"]
    if any(m in CONSEAL_METHODS for m in settings.methods):
        needed.append("conseal")
    if cluster:
        needed.append("distributed")
    missing = [name for name in needed if importlib.util.find_spec(name) is None]
    if missing:
        names = ", ".join("Pillow" if m == "PIL" else m for m in missing)
        hint = EXTRA_HINT if missing != ["distributed"] else "pip install 'velmora-core[cluster]'"
        raise UsageError(f"velmora evaluate needs {names}, which {'is' if len(missing) == 1 else 'are'} "
                         f"not installed; install {'them' if len(missing) > 1 else 'it'} with: {hint}")


# --- covers ---------------------------------------------------------------------
@dataclass
class CoverSet:
    covers: list[Cover]
    sources: int  # source images that gave at least one cover
    unusable: dict[str, str] = field(default_factory=dict)  # source or cover id -> reason
    too_small: list[str] = field(default_factory=list)  # sources smaller than the crop
    stats: dict[str, dict[str, int]] = field(default_factory=dict)  # source rel -> size, mtime


def _crop_positions(rel: str, h: int, w: int, n: int, count: int, seed: int) -> list[tuple[int, int]]:
    """``count`` distinct top-left corners of n x n crops, from the seed and
    the image's path alone (no library's generator, whose stream could change)."""
    rows, cols = h - n + 1, w - n + 1
    count = min(count, rows * cols)
    positions: list[tuple[int, int]] = []
    taken: set[tuple[int, int]] = set()
    k = 0
    while len(positions) < count:
        d = derive_seed(seed, "crop", rel, k)
        k += 1
        yx = (d % rows, (d >> 32) % cols)
        if k > 64 * count:  # a crowded image: take the first free corners in order
            yx = next((y, x) for y in range(rows) for x in range(cols) if (y, x) not in taken)
        if yx not in taken:
            taken.add(yx)
            positions.append(yx)
    return positions


def find_covers(inputs: Sequence[str], settings: EvalSettings, skip: str | None = None) -> CoverSet:
    from PIL import Image

    found = find_images(inputs, skip)
    by_rel: dict[str, str] = {}
    for source, rel_path in found:
        key = rel_path.as_posix()
        if key in by_rel:
            raise UsageError(
                f"{by_rel[key]} and {source} are both found as {key}: their crops and splits would be "
                "confused; pass the folder that holds both instead"
            )
        by_rel[key] = source
    result = CoverSet(covers=[], sources=0)
    side = min_side(settings.features)
    for source, rel_path in found:
        rel = rel_path.as_posix()
        try:
            st = os.stat(source)
            with Image.open(source) as im:
                w, h = im.size
        except Exception as e:  # an unreadable file: reported, the others go on
            result.unusable[rel] = f"cannot be read: {e}"
            continue
        result.stats[rel] = {"size": st.st_size, "mtime_ns": st.st_mtime_ns}
        if settings.crop is None:
            if min(h, w) < side:
                result.unusable[rel] = f"{h}x{w} is too small for {settings.features} features"
                continue
            result.covers.append(Cover(source, rel, settings.gray))
        else:
            n = settings.crop
            if h < n or w < n:
                result.too_small.append(rel)
                continue
            for y, x in _crop_positions(rel, h, w, n, settings.crops_per_image, settings.seed):
                result.covers.append(Cover(source, rel, settings.gray, (y, x, n)))
        result.sources += 1
    return result


def split_sources(sources: Iterable[str], split: int, seed: int) -> tuple[frozenset[str], frozenset[str]]:
    """Split ``split`` of the source images: (training half, test half). The
    order is that of a hash of the seed, the split and each image's path,
    so it depends on nothing else; the training half has the smaller half."""
    order = sorted(set(sources), key=lambda s: (derive_seed(seed, "split", split, s), s))
    half = len(order) // 2
    return frozenset(order[:half]), frozenset(order[half:])


# --- cache ----------------------------------------------------------------------
class Cache:
    """REPORT_DIR/cache: feature files and an index of JSON lines, one per
    finished piece of work, under a key that is the hash of everything the
    work depends on. Only this process writes the index."""

    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.index_path = os.path.join(folder, "index.jsonl")
        os.makedirs(os.path.join(folder, "features"), exist_ok=True)
        self.records: dict[str, dict[str, Any]] = {}
        if os.path.exists(self.index_path):
            with open(self.index_path, encoding="utf-8") as f:
                for line in f:
                    try:
                        record = json.loads(line)
                        self.records[record["key"]] = record
                    except (ValueError, KeyError, TypeError):
                        continue  # a line cut short when a run was killed
        self._index: IO[str] = open(self.index_path, "a", encoding="utf-8")
        self.reused = 0

    @staticmethod
    def key(**fields: Any) -> str:
        text = json.dumps(fields, sort_keys=True, separators=(",", ":"))
        return hashlib.sha256(text.encode("utf-8")).hexdigest()[:40]

    def features_path(self, key: str) -> str:
        return os.path.join(self.folder, "features", key[:2], key + ".npy")

    def get(self, key: str) -> dict[str, Any] | None:
        record = self.records.get(key)
        if record is None:
            return None
        if record.get("file") and not os.path.exists(self.features_path(key)):
            return None
        self.reused += 1
        return record

    def put(self, key: str, record: dict[str, Any]) -> dict[str, Any]:
        record = {"key": key, **record}
        self._index.write(json.dumps(record, sort_keys=True) + "\n")
        self._index.flush()
        self.records[key] = record
        return record

    def close(self) -> None:
        self._index.close()


# --- the run --------------------------------------------------------------------
@dataclass
class _Progress:
    """Progress bars of the phases, on a terminal."""

    err: IO[str]
    enabled: bool
    bars: dict[str, Any] = field(default_factory=dict)

    def bar(self, name: str, total: int, done: int = 0) -> Any:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        b = tqdm(total=total, initial=done, desc=name, unit="", file=self.err, position=len(self.bars),
                 disable=None if self.enabled else True, dynamic_ncols=True, leave=True)
        self.bars[name] = b
        return b

    def say(self, message: str) -> None:
        live = [b for b in self.bars.values() if not b.disable]
        if live:
            live[0].write(message, file=self.err)
        else:
            print(message, file=self.err, flush=True)

    def close(self) -> None:
        for b in self.bars.values():
            b.close()
        self.bars.clear()


class EvaluationRun:
    def __init__(self, inputs: Sequence[str], report_dir: str, settings: EvalSettings, pool: TaskPool,
                 stop: StopRequest | None, err: IO[str], progress: bool, command: str | None) -> None:
        self.inputs = inputs
        self.report_dir = report_dir
        self.s = settings
        self.pool = pool
        self.stop = stop
        self.err = err
        self.command = command
        self.progress = _Progress(err, progress)
        if pool.dashboard:
            self._say(f"Dask dashboard at {pool.dashboard}")
        self.phase_seconds: dict[str, float] = {}
        self.task_seconds = {"embedding": 0.0, "features": 0.0, "training": 0.0}
        self.failed: dict[tuple[float, str], str] = {}  # (payload, cover id) -> reason

    # -- helpers -------------------------------------------------------------
    def _say(self, message: str) -> None:
        self.progress.say(f"velmora evaluate: {message}")

    def _drain(self, handle: Callable[[Outcome], None]) -> None:
        """Handle outcomes until every task has finished, or the running ones
        after a stop signal (then Stopped)."""
        for outcome in self.pool.outcomes(self.stop):
            handle(outcome)
        if self.stop is not None and self.stop.signum is not None:
            raise Stopped(self.stop.signum)

    def _cover_key(self, c: Cover, **more: Any) -> str:
        return Cache.key(cover=c.id, source=self.covers.stats[c.rel], gray=c.gray, **more)

    def _item_seed(self, method: str, payload: float, c: Cover) -> int:
        return derive_seed(self.s.seed, "evaluate", method, payload, c.id)

    def _stego_key(self, method: str, payload: float, c: Cover) -> str:
        engine = list(self.s.engine) if method == "velmora" else None
        return self._cover_key(c, kind="stego", features=self.s.features, extractor=EXTRACTOR, method=method,
                               payload=payload,
                               seed=self._item_seed(method, payload, c), engine=engine)

    # -- phases --------------------------------------------------------------
    def run(self) -> list[dict[str, Any]]:
        self.covers = find_covers(self.inputs, self.s, skip=self.report_dir)
        if self.covers.sources < MIN_SOURCES:
            raise UsageError(
                f"evaluate needs covers from at least {MIN_SOURCES} source images to split them in halves "
                f"by source image; found {self.covers.sources} usable"
                + (f" ({len(self.covers.too_small)} smaller than --crop {self.s.crop})" if self.covers.too_small else "")
            )
        os.makedirs(self.report_dir, exist_ok=True)
        self.cache = Cache(os.path.join(self.report_dir, "cache"))
        try:
            start = time.perf_counter()
            self._covers_phase()
            self.phase_seconds["covers"] = time.perf_counter() - start
            start = time.perf_counter()
            self._stego_phase()
            self.phase_seconds["stego"] = time.perf_counter() - start
            start = time.perf_counter()
            self._training_phase()
            self.phase_seconds["training"] = time.perf_counter() - start
            # What writes of killed workers left behind (nothing runs now).
            remove_temp_files(self.cache.features_path(k) for k in self.cache.records)
        finally:
            self.progress.close()
            self.cache.close()
        rows = self._results()
        self._write_outputs(rows)
        return rows

    def _covers_phase(self) -> None:
        s = self.s
        self.cover_info: dict[str, dict[str, Any]] = {}  # cover id -> features key, shape, pool size
        todo = []
        for c in self.covers.covers:
            fkey = self._cover_key(c, kind="cover", features=s.features, extractor=EXTRACTOR)
            pkey = self._cover_key(c, kind="pool", min_block=s.engine[2])
            frec, prec = self.cache.get(fkey), self.cache.get(pkey)
            if frec is not None and prec is not None:
                self.cover_info[c.id] = {"key": fkey, "shape": frec["shape"], "pool_size": prec["pool_size"]}
            else:
                todo.append((c, fkey, pkey))
        bar = self.progress.bar("features of covers", len(self.covers.covers), len(self.covers.covers) - len(todo))
        for c, fkey, pkey in todo:
            self.pool.submit(c.id, cover_task, c, s.features, s.engine[2], self.cache.features_path(fkey))
        pending = {c.id: (c, fkey, pkey) for c, fkey, pkey in todo}

        def handle(o: Outcome) -> None:
            c, fkey, pkey = pending.pop(str(o.key))
            bar.update(1)
            if o.error is not None:
                self.covers.unusable[c.id] = _reason(o.error)
                self._say(f"{c.id}: {self.covers.unusable[c.id]}")
                return
            r = o.value
            self.task_seconds["features"] += r["feature_seconds"]
            self.cache.put(fkey, {"kind": "cover", "file": True, "shape": r["shape"],
                                  "feature_seconds": r["feature_seconds"]})
            self.cache.put(pkey, {"kind": "pool", "pool_size": r["pool_size"]})
            self.cover_info[c.id] = {"key": fkey, "shape": r["shape"], "pool_size": r["pool_size"]}

        self._drain(handle)
        self.usable = [c for c in self.covers.covers if c.id in self.cover_info]

    def left_out(self, payload: float) -> set[str]:
        """Covers whose quadtree pool cannot take the payload: left out of
        that payload for every method when velmora is one of them."""
        if "velmora" not in self.s.methods:
            return set()
        out = set()
        for c in self.usable:
            info = self.cover_info[c.id]
            h, w = info["shape"]
            if info["pool_size"] <= round(payload * h * w):
                out.add(c.id)
        return out

    def _stego_phase(self) -> None:
        s = self.s
        self.stego_records: dict[tuple[str, float, str], dict[str, Any]] = {}
        items = []
        for payload in s.payloads:
            skip = self.left_out(payload)
            for method in s.methods:
                for c in self.usable:
                    if c.id not in skip:
                        items.append((method, payload, c))
        todo = []
        for method, payload, c in items:
            key = self._stego_key(method, payload, c)
            record = self.cache.get(key)
            if record is not None:
                self.stego_records[(method, payload, c.id)] = record
            else:
                todo.append((method, payload, c, key))
        embedding = self.progress.bar("embedding", len(items), len(items) - len(todo))
        features = self.progress.bar("features of stego images", len(items), len(items) - len(todo))
        pending: dict[str, tuple[str, float, Cover]] = {}
        stats: dict[str, dict[str, Any]] = {}
        for method, payload, c, key in todo:
            pending[key] = (method, payload, c)
            self.pool.submit(("embed", key), embed_task, c, method, payload, self._item_seed(method, payload, c),
                             s.engine)

        def handle(o: Outcome) -> None:
            stage, key = str(o.key[0]), str(o.key[1])  # type: ignore[index]
            method, payload, c = pending[key]
            if o.error is not None:
                embedding.update(stage == "embed")
                features.update(1)
                del pending[key]
                reason = f"{method} at {payload:g} bpp: {_reason(o.error)}"
                self.failed.setdefault((payload, c.id), reason)
                self._say(f"{c.id}: {reason}")
                return
            if stage == "embed":
                embedding.update(1)
                stego, st = o.value
                self.task_seconds["embedding"] += st["embed_seconds"]
                stats[key] = st
                # Features first: a stego image waits for its features in memory.
                self.pool.submit(("features", key), stego_features_task, stego, s.features,
                                 self.cache.features_path(key), first=True)
                return
            features.update(1)
            del pending[key]
            self.task_seconds["features"] += o.value["feature_seconds"]
            record = self.cache.put(key, {"kind": "stego", "file": True, **stats.pop(key), **o.value})
            self.stego_records[(method, payload, c.id)] = record

        self._drain(handle)

    def pairs(self, payload: float) -> list[Cover]:
        """The covers compared at ``payload``: the same for every method."""
        out = self.left_out(payload)
        return [c for c in self.usable if c.id not in out and (payload, c.id) not in self.failed]

    def _training_phase(self) -> None:
        s = self.s
        sources = sorted({c.rel for c in self.usable})
        self.splits = [split_sources(sources, i, s.seed) for i in range(s.splits)]
        self.train_records: dict[tuple[str, float, int], dict[str, Any]] = {}
        todo = []
        for method in s.methods:
            for payload in s.payloads:
                covers = self.pairs(payload)
                # Each pair's two feature files, by the keys their records were stored under.
                paths = {c.id: (self.cache.features_path(self.cover_info[c.id]["key"]),
                                self.cache.features_path(self.stego_records[(method, payload, c.id)]["key"]))
                         for c in covers}
                for i, (train_side, test_side) in enumerate(self.splits):
                    train = [paths[c.id] for c in covers if c.rel in train_side]
                    test = [paths[c.id] for c in covers if c.rel in test_side]
                    if len(train) < 2 or len(test) < 1:
                        continue
                    files = {name: ([p[0] for p in side], [p[1] for p in side])
                             for name, side in (("train", train), ("test", test))}
                    seed = derive_seed(s.seed, "ensemble", method, payload, i)
                    key = Cache.key(kind="train", method=method, payload=payload, features=s.features,
                                    extractor=EXTRACTOR, split=i, learners=s.learners, subspace=s.subspace,
                                    seed=seed,
                                    files=hashlib.sha256(json.dumps(files).encode()).hexdigest())
                    record = self.cache.get(key)
                    if record is not None:
                        self.train_records[(method, payload, i)] = record
                    else:
                        todo.append(((method, payload, i), key, files, seed))
        total = len(self.train_records) + len(todo)
        bar = self.progress.bar("training", total, len(self.train_records))
        pending = {}
        for ident, key, files, seed in todo:
            pending[key] = ident
            self.pool.submit(key, train_task, files["train"], files["test"], s.learners, s.subspace, seed)

        def handle(o: Outcome) -> None:
            ident = pending.pop(str(o.key))
            bar.update(1)
            if o.error is not None:
                self._say(f"training {ident[0]} at {ident[1]:g} bpp, split {ident[2] + 1}: {_reason(o.error)}")
                return
            self.task_seconds["training"] += o.value["seconds"]
            self.train_records[ident] = self.cache.put(str(o.key), {"kind": "train", **o.value})

        self._drain(handle)

    # -- results -------------------------------------------------------------
    def _results(self) -> list[dict[str, Any]]:
        s = self.s
        rows = []
        for method in s.methods:
            for payload in s.payloads:
                covers = self.pairs(payload)
                stego = [self.stego_records[(method, payload, c.id)] for c in covers]
                trained = [self.train_records[(method, payload, i)] for i in range(s.splits)
                           if (method, payload, i) in self.train_records]
                pes = [t["pe"] for t in trained]
                psnrs = [r["psnr_db"] for r in stego]
                seconds = sum(r["embed_seconds"] + r["feature_seconds"] for r in stego)
                seconds += sum(t["seconds"] for t in trained)
                rows.append({
                    "method": method,
                    "payload_bpp": payload,
                    "features": s.features,
                    "pairs": len(covers),
                    "left_out": len(self.usable) - len(covers),
                    "change_rate": statistics.fmean(r["change_rate"] for r in stego) if stego else math.nan,
                    "psnr_db": _mean_psnr(psnrs),
                    "pe_mean": statistics.fmean(pes) if pes else math.nan,
                    "pe_std": statistics.stdev(pes) if len(pes) > 1 else (0.0 if pes else math.nan),
                    "vote_error_mean": statistics.fmean(t["vote_error"] for t in trained) if trained else math.nan,
                    "seconds": seconds,
                    "splits_trained": len(trained),
                    "learners": sorted({t["learners"] for t in trained}),
                    "subspace": sorted({t["subspace"] for t in trained}),
                })
        return rows

    def _write_outputs(self, rows: list[dict[str, Any]]) -> None:
        write_results_csv(os.path.join(self.report_dir, "results.csv"), rows)
        self._write_splits()
        for fmt in self.s.figure_formats:
            plot_pe(rows, os.path.join(self.report_dir, f"pe.{fmt}"), self.s)
        text = self._report(rows)
        with atomic_write(os.path.join(self.report_dir, "report.md")) as f:
            f.write(text.encode("utf-8"))

    def _write_splits(self) -> None:
        buf = io.StringIO()
        w = csv.writer(buf, lineterminator="\n")
        w.writerow(["split", "side", "source"])
        for i, (train, test) in enumerate(self.splits):
            for side, names in (("train", train), ("test", test)):
                for name in sorted(names):
                    w.writerow([i + 1, side, name])
        with atomic_write(os.path.join(self.report_dir, "splits.csv")) as f:
            f.write(buf.getvalue().encode("utf-8"))

    def _report(self, rows: list[dict[str, Any]]) -> str:
        s = self.s
        lines = ["# velmora evaluate", ""]
        lines += ["Minimal total error P_E = min over thresholds of (P_FA + P_MD) / 2 of a detector trained on",
                  f"half of the source images and tested on the other half, mean ± standard deviation over "
                  f"{s.splits} split{'s' if s.splits != 1 else ''}. 0.5 is chance: higher is harder to detect.", ""]
        lines += ["| method | payload (bpp) | pairs | left out | change rate | PSNR (dB) | P_E | vote error |",
                  "|---|---|---|---|---|---|---|---|"]
        for r in rows:
            lines.append(f"| {r['method']} | {r['payload_bpp']:g} | {r['pairs']} | {r['left_out']} | "
                         f"{_num(r['change_rate'], 4)} | {_num(r['psnr_db'], 2)} | "
                         f"{_num(r['pe_mean'], 3)} ± {_num(r['pe_std'], 3)} | {_num(r['vote_error_mean'], 3)} |")
        lines += ["", "![P_E against payload](pe.png)" if "png" in s.figure_formats else "", ""]
        lines += ["## Rerun", "", "```sh", self.command or self._command(), "```", ""]
        lines += ["## Settings", ""]
        crop = (f"{s.crops_per_image} seeded crop(s) of {s.crop}x{s.crop} per image" if s.crop
                else "whole images")
        lines += [
            f"- covers: {len(self.covers.covers)} from {self.covers.sources} source image(s) ({crop}); "
            f"{len(self.usable)} usable",
            f"- methods: {', '.join(s.methods)}; payloads: {', '.join(f'{p:g}' for p in s.payloads)} bits per pixel",
            f"- features: {s.features} ({dimension(s.features)} dimensions, velmora's native extractor "
            f"{EXTRACTOR})",
            f"- detector: {s.detector()}" + self._chosen(rows),
            f"- splits: {s.splits} random halves by source image (splits.csv lists them); seed {s.seed}",
            f"- velmora engine: colony size {s.engine[0]}, {s.engine[1]} iterations, minimum block {s.engine[2]}",
            "- seeds: each stego image uses derive_seed(seed, \"evaluate\", method, payload, cover), each split "
            "derive_seed(seed, \"split\", i, source) and each detector derive_seed(seed, \"ensemble\", method, "
            "payload, i) (top 32 bits)",
        ]
        if "velmora" in s.methods:
            lines.append("- left out: at each payload, covers whose quadtree pool is not larger than the payload "
                         "(velmora cannot embed them), and covers on which any method failed, for every method")
        lines += ["", "## Covers left out", ""]
        for payload in s.payloads:
            capacity = len(self.left_out(payload))
            failed = sum(1 for (p, _c) in self.failed if p == payload)
            lines.append(f"- {payload:g} bpp: {capacity} too small a pool, {failed} failed")
        if self.covers.too_small:
            lines.append(f"- {len(self.covers.too_small)} source image(s) smaller than the crop")
        for r in rows:
            if r["splits_trained"] < s.splits:
                lines.append(f"- {r['method']} at {r['payload_bpp']:g} bpp: {r['splits_trained']} of {s.splits} "
                             "splits had pairs on both sides to train and test")
        for name, reason in sorted(self.covers.unusable.items()):
            lines.append(f"- unusable: {name}: {reason}")
        for (payload, name), reason in sorted(self.failed.items()):
            lines.append(f"- failed at {payload:g} bpp: {name}: {reason}")
        lines += ["", "## Time", ""]
        lines += [
            f"- phases (wall): features of covers {self.phase_seconds.get('covers', 0):.1f} s, embedding and "
            f"features of stego images {self.phase_seconds.get('stego', 0):.1f} s, training "
            f"{self.phase_seconds.get('training', 0):.1f} s",
            f"- work done in this run (task seconds): embedding {self.task_seconds['embedding']:.1f} s, features "
            f"{self.task_seconds['features']:.1f} s, training {self.task_seconds['training']:.1f} s; "
            f"{self.cache.reused} results taken from the cache",
            f"- workers: {self.pool.workers}" + (" (a Dask cluster)" if self.pool.dashboard else ""),
        ]
        lines += ["", "## Versions", ""]
        lines += [f"- {name} {_version(name)}" for name in ("velmora-core", "conseal", "sealwatch", "numpy")]
        lines += [f"- Python {platform.python_version()} on {platform.platform()}", ""]
        return "\n".join(lines)

    def _chosen(self, rows: list[dict[str, Any]]) -> str:
        if self.s.learners is not None and self.s.subspace is not None:
            return ""
        return "; chosen by the search: " + "; ".join(
            f"{r['method']} at {r['payload_bpp']:g} bpp: L {_span(r['learners'])}, d_sub {_span(r['subspace'])}"
            for r in rows
        )

    def _command(self) -> str:
        s = self.s
        parts = ["velmora", "evaluate", *self.inputs, "-o", self.report_dir,
                 "--payload", ",".join(f"{p:g}" for p in s.payloads), "--methods", ",".join(s.methods),
                 "--features", s.features, "--splits", str(s.splits), "--seed", str(s.seed),
                 "--learners", "auto" if s.learners is None else str(s.learners),
                 "--subspace", "auto" if s.subspace is None else str(s.subspace)]
        if s.crop is not None:
            parts += ["--crop", str(s.crop), "--crops-per-image", str(s.crops_per_image)]
        if s.engine != (30, 50, 4):
            parts += ["--colony-size", str(s.engine[0]), "--max-iter", str(s.engine[1]), "--min-block", str(s.engine[2])]
        if s.gray:
            parts.append("--gray")
        return shlex.join(parts)


def _mean_psnr(values: list[float | None]) -> float:
    """The mean PSNR of the stego images that differ from their covers (None
    for an unchanged one); inf when none differs."""
    finite = [v for v in values if v is not None]
    if finite:
        return statistics.fmean(finite)
    return math.inf if values else math.nan


def _reason(e: BaseException) -> str:
    text = str(e) or type(e).__name__
    return text if isinstance(e, (ValueError, OSError)) else f"{type(e).__name__}: {text}"


def _num(value: float, digits: int) -> str:
    if math.isnan(value):
        return "n/a"
    return "inf" if math.isinf(value) else f"{value:.{digits}f}"


def _span(values: list[int]) -> str:
    if not values:
        return "n/a"
    return str(values[0]) if len(values) == 1 else f"{values[0]}-{values[-1]}"


def _version(dist: str) -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version(dist)
    except PackageNotFoundError:
        return "not installed"


def _csv_value(name: str, value: Any) -> str:
    if isinstance(value, float):
        if math.isnan(value):
            return ""
        if math.isinf(value):
            return "inf"
        digits = {"payload_bpp": None, "seconds": 2, "psnr_db": 4}.get(name, 6)
        return f"{value:g}" if digits is None else f"{value:.{digits}f}"
    return str(value)


def write_results_csv(path: str, rows: list[dict[str, Any]]) -> None:
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(RESULT_FIELDS)
    for r in rows:
        w.writerow([_csv_value(k, r[k]) for k in RESULT_FIELDS])
    with atomic_write(path) as f:
        f.write(buf.getvalue().encode("utf-8"))


def plot_pe(rows: list[dict[str, Any]], path: str, settings: EvalSettings) -> None:
    """P_E against payload, one line per method, with error bars."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    from ._plot import save_figure

    fig = Figure(figsize=(6.4, 4.4), dpi=100)
    FigureCanvasAgg(fig)
    ax = fig.add_subplot()
    for method in settings.methods:
        mine = [r for r in rows if r["method"] == method and not math.isnan(r["pe_mean"])]
        if mine:
            ax.errorbar([r["payload_bpp"] for r in mine], [r["pe_mean"] for r in mine],
                        yerr=[r["pe_std"] for r in mine], marker="o", capsize=3, label=method)
    ax.axhline(0.5, color="0.6", linestyle="--", linewidth=1, label="chance")
    ax.set_xlabel("payload (bits per pixel)")
    ax.set_ylabel("P_E (min over thresholds of (P_FA + P_MD) / 2)")
    ax.set_ylim(0.0, 0.55)
    ax.set_title(f"Detectability with {settings.features} features and an FLD ensemble")
    ax.grid(True, alpha=0.3)
    ax.legend()
    fig.tight_layout()
    save_figure(fig, path)


def evaluate(
    covers: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    report_dir: str | os.PathLike[str],
    *,
    payloads: Sequence[float] = (0.05, 0.1, 0.2),
    methods: Sequence[str] = ("velmora", "lsbm", "hill"),
    features: str = "spam",
    crop: int | None = None,
    crops_per_image: int = 1,
    splits: int = 10,
    seed: int = 0,
    learners: int | None = 100,
    subspace: int | None = 120,
    colony_size: int = 30,
    max_iter: int = 50,
    min_block: int = 4,
    gray: bool = False,
    jobs: int = 1,
    figure_formats: Sequence[str] = ("png",),
    progress: bool = True,
    stop: StopRequest | None = None,
    err: IO[str] | None = None,
    command: str | None = None,
    cluster: str | None = None,
) -> list[dict[str, Any]]:
    """Measure how detectable each method is: see ``velmora evaluate --help``.

    ``covers`` are image files or folders (searched as ``velmora embed``
    does); the report, results.csv, splits.csv, the figure and the cache go to
    ``report_dir``. ``learners``/``subspace`` None let the ensemble search for
    them. ``cluster`` (``tcp://HOST:PORT`` or ``local:N``) runs the work on a
    Dask cluster instead of ``jobs`` local processes. Returns the rows of results.csv as dicts (numbers as numbers), each
    with ``splits_trained`` and the ``learners``/``subspace`` the detectors used.

    Raises UsageError (a ValueError-free Exception) for settings that cannot
    run, and Stopped when ``stop`` caught a signal before the end.
    """
    inputs = [os.fspath(covers)] if isinstance(covers, (str, os.PathLike)) else [os.fspath(c) for c in covers]
    settings = EvalSettings(
        payloads=tuple(float(p) for p in payloads), methods=tuple(methods), features=features, crop=crop,
        crops_per_image=crops_per_image, splits=splits, seed=seed, learners=learners, subspace=subspace,
        engine=(colony_size, max_iter, min_block), gray=gray, figure_formats=tuple(figure_formats),
    )
    settings.check()
    check_dependencies(settings, cluster=cluster is not None)
    # The workers fork from a server that has imported the libraries once
    # (sealwatch for the detector).
    preload = ["velmora._evaltasks", "sealwatch", "threadpoolctl"]
    if any(m in CONSEAL_METHODS for m in settings.methods):
        preload.append("conseal")
    pool = open_pool(jobs, environment=ONE_THREAD, preload=preload, cluster=cluster)
    try:
        run = EvaluationRun(inputs, os.fspath(report_dir), settings, pool, stop, err or sys.stderr, progress,
                            command)
        return run.run()
    except Interrupted:
        pool.close(kill=True)
        raise
    finally:
        pool.close()


__all__ = ["EvalSettings", "Stopped", "evaluate", "find_covers", "split_sources"]
