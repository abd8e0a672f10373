"""``velmora evaluate``: how detectable an embedding method is, measured the
field's way against baseline methods.

Covers (image files, or seeded crops of them) are embedded by each method at
each payload; the native extractor's features of every cover and stego image
are kept as matrices, for each feature set: a blind set's cover rows once,
an informed set's (maxsrm, weighted by velmora.selection's map of the method
and payload on each image) once per method and payload; for each feature
set, method and payload an FLD ensemble is trained on the paired features of
half of the source images and its decisions are scored on the other half,
over several random splits shared by all: P_E = (P_FA + P_MD) / 2 of the
detector's own decisions, mean and standard deviation over the splits (see
``scoring``).

Everything is seeded from one number. Finished work is kept in
REPORT_DIR/cache (see ``store``), so a second run with more methods,
payloads or splits computes only what is new, and a run stopped by Ctrl-C
goes on where it stopped.
"""

from __future__ import annotations

import hashlib
import json
import os
import sys
import time
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, cast

from .._api import derive_seed
from .._batch import UsageError
from .._executor import Interrupted, Outcome, StopRequest, TaskPool, open_pool
from ..baselines import METHODS as BASELINE_METHODS
from ..features import EXTRACTOR, MAP_KINDS
from ..selection import VELMORA_METHODS
from . import store
from .covers import Cover, find_covers, split_sources
from .report import Report
from .settings import DEFAULT_FEATURES, MIN_SOURCES, EvalSettings, Stopped, check_dependencies
from .tasks import ONE_THREAD, StegoRequest, cover_task, stego_task, train_task


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


def reason(e: BaseException) -> str:
    text = str(e) or type(e).__name__
    return text if isinstance(e, (ValueError, OSError)) else f"{type(e).__name__}: {text}"


class EvaluationRun:
    def __init__(self, inputs: Sequence[str], report_dir: str, settings: EvalSettings, pool: TaskPool,
                 stop: StopRequest | None, err: IO[str], progress: bool, command: str | None,
                 phase_hook: Callable[[str], None] | None = None) -> None:
        self.inputs = inputs
        self.report_dir = report_dir
        self.s = settings
        self.pool = pool
        self.stop = stop
        self.command = command
        self.phase_hook = phase_hook
        self.progress = _Progress(err, progress)
        if pool.dashboard:
            self._say(f"Dask dashboard at {pool.dashboard}")
        self.phase_seconds: dict[str, float] = {}
        self.task_seconds = {"embedding": 0.0, "features": 0.0, "training": 0.0}
        self.failed: dict[tuple[float, str], str] = {}  # (payload, cover id) -> reason
        self.train_errors: dict[tuple[str, str, float, int], str] = {}

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

    def _cover_item(self, c: Cover, features: str | None) -> dict[str, Any]:
        return {"cover": c.id, "source": self.covers.stats[c.rel], "gray": c.gray,
                "features": features, "extractor": EXTRACTOR}

    def item_seed(self, method: str, payload: float, c: Cover) -> int:
        return derive_seed(self.s.seed, "evaluate", method, payload, c.id)

    def _cover_key(self, c: Cover, features: str | None) -> str:
        """A cover's row of a blind feature set (None: its pool size alone)."""
        return store.key(kind="cover", min_block=self.s.engine[2], **self._cover_item(c, features))

    def _channel(self, method: str, features: str) -> dict[str, Any]:
        """What an informed set's row depends on besides the image: the map's
        options (None for a blind set, whose keys stay as they were)."""
        return {"channel": self.s.channel_options(method)} if features in MAP_KINDS else {}

    def _stego_key(self, method: str, payload: float, c: Cover, features: str) -> str:
        engine = list(self.s.engine) if method in VELMORA_METHODS else None
        return store.key(kind="stego", method=method, payload=payload, seed=self.item_seed(method, payload, c),
                         engine=engine, **self._channel(method, features), **self._cover_item(c, features))

    def _informed_cover_key(self, method: str, payload: float, c: Cover, features: str) -> str:
        """A cover's row of an informed set: its map is the method's at the payload."""
        return store.key(kind="cover-informed", method=method, payload=payload, **self._channel(method, features),
                         **self._cover_item(c, features))

    def _complete(self, table: store.FeatureTable) -> None:
        """Marks ``table`` complete when every one of its rows is written."""
        name = os.path.basename(table.folder)
        if all(self.cache.records.get(k, {}).get("table") == name for k in table.rows):
            table.complete()

    def _place(self, item: str, table: store.FeatureTable, slot: int) -> dict[str, Any] | None:
        """The record of ``item`` with its row in ``slot`` of ``table``: as
        it is, copied there from an earlier run's matrix, or None when the
        work is still to do."""
        record = self.cache.get(item)
        if record is None:
            return None
        if "error" in record or (record.get("table") == os.path.basename(table.folder) and record.get("slot") == slot):
            return record
        row = self.cache.row(item)
        if row is None:
            return None
        stats = {k: v for k, v in record.items() if k not in ("key", "table", "slot")}
        return self.cache.put_row(item, table, slot, row, stats)

    def _phase(self, name: str, body: Callable[[], None]) -> None:
        if self.phase_hook is not None:
            self.phase_hook(name)
        start = time.perf_counter()
        body()
        self.phase_seconds[name] = time.perf_counter() - start

    # -- phases --------------------------------------------------------------
    def run(self) -> Results:
        self.covers = find_covers(self.inputs, self.s, skip=self.report_dir)
        unusable = self.covers.unusable
        small = [f"{name}: smaller than --crop {self.s.crop}" for name in self.covers.too_small]
        if self.covers.sources < MIN_SOURCES:
            found = self.covers.sources + len(unusable) + len(small)
            reasons = [f"{name}: {why}" for name, why in sorted(unusable.items())] + small
            listed = "".join(f"\n  {r}" for r in reasons[:20])
            more = f"\n  ... and {len(reasons) - 20} more" if len(reasons) > 20 else ""
            raise UsageError(
                f"evaluate needs covers from at least {MIN_SOURCES} source images to split them in halves "
                f"by source image; of the {found} image(s) found, {self.covers.sources} can be used"
                + (f", and these cannot:{listed}{more}" if reasons else "")
            )
        for name, why in sorted(unusable.items()):
            self._say(f"{name}: left out: {why}")
        for reason in small:
            self._say(f"{reason}: no crop taken")
        os.makedirs(self.report_dir, exist_ok=True)
        self.cache = store.Cache(os.path.join(self.report_dir, "cache"))
        try:
            self._phase("covers", self._covers_phase)
            self._phase("stego", self._stego_phase)
            self._phase("training", self._training_phase)
        finally:
            self.progress.close()
            self.cache.close()
        if self.phase_hook is not None:
            self.phase_hook("report")
        report = Report(self)
        rows = Results(report.rows())
        report.write(rows)
        rows.unusable = dict(self.covers.unusable)
        return rows

    def _covers_phase(self) -> None:
        s = self.s
        sets: tuple[str | None, ...] = s.blind or (None,)
        keys = {f: [self._cover_key(c, f) for c in self.covers.covers] for f in sets}
        self.cover_tables = {f: self.cache.table("cover", f, keys[f], s.gray) for f in s.blind}
        self.cover_slot = {c.id: slot for slot, c in enumerate(self.covers.covers)}
        self.cover_info: dict[str, dict[str, Any]] = {}  # cover id -> its record
        todo = []
        for slot, c in enumerate(self.covers.covers):
            records = []
            for f in sets:
                item = keys[f][slot]
                records.append(self.cache.get(item) if f is None else self._place(item, self.cover_tables[f], slot))
            if all(r is not None for r in records):
                self.cover_info[c.id] = cast(dict[str, Any], records[0])
            else:
                todo.append((slot, c))
        bar = self.progress.bar("features of covers", len(self.covers.covers), len(self.covers.covers) - len(todo))
        pending = {c.id: (slot, c) for slot, c in todo}
        for slot, c in todo:
            self.pool.submit(c.id, cover_task, c, s.blind, s.engine[2])

        def handle(o: Outcome) -> None:
            slot, c = pending.pop(str(o.key))
            bar.update(1)
            if o.error is not None:
                self.covers.unusable[c.id] = reason(o.error)
                self._say(f"{c.id}: {self.covers.unusable[c.id]}")
                return
            r = o.value
            self.task_seconds["features"] += r["feature_seconds"]
            rows = r.pop("rows")
            for f in sets:
                item = keys[f][slot]
                if f is None:
                    record = self.cache.put(item, {"kind": "cover", **r})
                else:
                    record = self.cache.put_row(item, self.cover_tables[f], slot, rows[f], {"kind": "cover", **r})
                self.cover_info.setdefault(c.id, record)

        self._drain(handle)
        self.usable = [c for c in self.covers.covers if c.id in self.cover_info]
        for table in self.cover_tables.values():
            self._complete(table)

    def left_out(self, payload: float) -> set[str]:
        """Covers whose quadtree pool cannot take the payload: left out of
        that payload for every method when velmora (or one of its
        ablations) is one of them."""
        if not any(m in VELMORA_METHODS for m in self.s.methods):
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
        # (set, method, payload) -> the matrix of stego rows, and of the
        # covers' rows for an informed set; row i of both is compared cover i.
        self.stego_tables: dict[tuple[str, str, float], store.FeatureTable] = {}
        self.informed_tables: dict[tuple[str, str, float], store.FeatureTable] = {}
        self.compared_slot: dict[tuple[float, str], int] = {}
        self.stego_records: dict[tuple[str, float, str], dict[str, Any]] = {}
        requests: dict[tuple[str, str], list[StegoRequest]] = {}  # (method, cover id) -> to do
        total = 0
        for payload in s.payloads:
            skip = self.left_out(payload)
            compared = [c for c in self.usable if c.id not in skip]
            for slot, c in enumerate(compared):
                self.compared_slot[(payload, c.id)] = slot
            for method in s.methods:
                stego_keys = {f: [self._stego_key(method, payload, c, f) for c in compared] for f in s.features}
                cover_keys = {f: [self._informed_cover_key(method, payload, c, f) for c in compared]
                              for f in s.informed}
                for f in s.features:
                    self.stego_tables[(f, method, payload)] = self.cache.table("stego", f, stego_keys[f], s.gray)
                for f in s.informed:
                    self.informed_tables[(f, method, payload)] = self.cache.table("cover", f, cover_keys[f], s.gray)
                total += len(compared)
                for slot, c in enumerate(compared):
                    stego_sets, cover_sets, stats, error = [], [], None, None
                    for f in s.features:
                        record = self._place(stego_keys[f][slot], self.stego_tables[(f, method, payload)], slot)
                        if record is None:
                            stego_sets.append(f)
                        elif "error" in record:
                            error = record["error"]
                        else:
                            stats = record
                    for f in s.informed:
                        if self._place(cover_keys[f][slot], self.informed_tables[(f, method, payload)], slot) is None:
                            cover_sets.append(f)
                    if error is not None:
                        self.failed.setdefault((payload, c.id), f"{method} at {payload:g} bpp: {error}")
                    elif stego_sets or cover_sets:
                        requests.setdefault((method, c.id), []).append(StegoRequest(
                            payload, self.item_seed(method, payload, c), tuple(stego_sets), tuple(cover_sets)))
                    if error is None and stats is not None and not stego_sets:
                        self.stego_records[(method, payload, c.id)] = stats
        todo = sum(len(r) for r in requests.values())
        bar = self.progress.bar("stego images and their features", total, total - todo)
        by_id = {c.id: c for c in self.usable}
        # The baselines first: each cover's costs serve all its payloads, and they take longest.
        order = sorted(requests, key=lambda k: (k[0] not in BASELINE_METHODS, k))
        for method, cid in order:
            self.pool.submit((method, cid), stego_task, by_id[cid], method, requests[(method, cid)], s.engine,
                             s.channel_options(method))

        def handle(o: Outcome) -> None:
            method, cid = cast(tuple[str, str], o.key)
            asked = requests[(method, cid)]
            bar.update(len(asked))
            results = o.value if o.error is None else [{"error": reason(o.error)}] * len(asked)
            c = by_id[cid]
            for req, r in zip(asked, results):
                payload = req.payload
                slot = self.compared_slot[(payload, cid)]
                if "error" in r:
                    for f in req.stego_sets or s.features:
                        self.cache.put(self._stego_key(method, payload, c, f),
                                       {"kind": "stego", "method": method, "payload": payload, "cover": cid,
                                        "error": r["error"]})
                    message = f"{method} at {payload:g} bpp: {r['error']}"
                    self.failed.setdefault((payload, cid), message)
                    self._say(f"{cid}: {message}")
                    continue
                self.task_seconds["embedding"] += r["embed_seconds"]
                self.task_seconds["features"] += r["feature_seconds"]
                rows, cover_rows = r.pop("rows"), r.pop("cover_rows")
                stats = {"kind": "stego", "method": method, "payload": payload, "cover": cid, **r}
                for f, row in rows.items():
                    self.cache.put_row(self._stego_key(method, payload, c, f),
                                       self.stego_tables[(f, method, payload)], slot, row, stats)
                for f, row in cover_rows.items():
                    self.cache.put_row(self._informed_cover_key(method, payload, c, f),
                                       self.informed_tables[(f, method, payload)], slot, row,
                                       {"kind": "cover-informed", "method": method, "payload": payload,
                                        "cover": cid})
                if rows:
                    self.stego_records[(method, payload, cid)] = stats
                elif (method, payload, cid) not in self.stego_records:
                    # Only the cover's rows were missing: the stego image's record stands.
                    record = self.cache.get(self._stego_key(method, payload, c, s.features[0]))
                    if record is not None:
                        self.stego_records[(method, payload, cid)] = record

        self._drain(handle)
        for table in (*self.stego_tables.values(), *self.informed_tables.values()):
            self._complete(table)

    def pairs(self, payload: float) -> list[Cover]:
        """The covers compared at ``payload``: the same for every method."""
        out = self.left_out(payload)
        return [c for c in self.usable if c.id not in out and (payload, c.id) not in self.failed]

    def _training_phase(self) -> None:
        s = self.s
        sources = sorted({c.rel for c in self.usable})
        self.splits = [split_sources(sources, i, s.seed) for i in range(s.splits)]
        self.train_records: dict[tuple[str, str, float, int], dict[str, Any]] = {}
        todo = []
        for f in s.features:
            subspace = s.subspace_for_features(f)
            for method in s.methods:
                for payload in s.payloads:
                    covers = self.pairs(payload)
                    stego_table = self.stego_tables[(f, method, payload)]
                    if f in MAP_KINDS:
                        cover_table = self.informed_tables[(f, method, payload)]
                        slots = {c.id: (self.compared_slot[(payload, c.id)],) * 2 for c in covers}
                    else:
                        cover_table = self.cover_tables[f]
                        slots = {c.id: (self.cover_slot[c.id], self.compared_slot[(payload, c.id)]) for c in covers}
                    for i, (train_side, test_side) in enumerate(self.splits):
                        train = [slots[c.id] for c in covers if c.rel in train_side]
                        test = [slots[c.id] for c in covers if c.rel in test_side]
                        if len(train) < 2 or len(test) < 1:
                            continue
                        seed = derive_seed(s.seed, "ensemble", method, payload, i)
                        matrices = (cover_table.path, stego_table.path)
                        item = store.key(kind="train",
                                         tables=[os.path.basename(os.path.dirname(p)) for p in matrices],
                                         learners=s.learners, subspace=subspace, seed=seed,
                                         pairs=hashlib.sha256(json.dumps([train, test]).encode()).hexdigest())
                        record = self.cache.get(item)
                        if record is not None:
                            self.train_records[(f, method, payload, i)] = record
                        else:
                            todo.append(((f, method, payload, i), item, matrices, train, test, seed, subspace))
        total = len(self.train_records) + len(todo)
        bar = self.progress.bar("training", total, len(self.train_records))
        pending = {}
        for ident, item, matrices, train, test, seed, subspace in todo:
            pending[item] = ident
            self.pool.submit(item, train_task, *matrices, train, test, s.learners, subspace, seed)

        def handle(o: Outcome) -> None:
            ident = pending.pop(str(o.key))
            bar.update(1)
            if o.error is not None:
                self.train_errors[ident] = reason(o.error)
                self._say(f"training {ident[1]} at {ident[2]:g} bpp with {ident[0]}, split {ident[3] + 1}: "
                          f"{reason(o.error)}")
                return
            self.task_seconds["training"] += o.value["seconds"]
            self.train_records[ident] = self.cache.put(str(o.key), {"kind": "train", **o.value})

        self._drain(handle)


class Results(list[dict[str, Any]]):
    """The rows of results.csv, and the covers left out as unusable (path or
    cover id: reason), which make the command line's exit code 1."""

    unusable: dict[str, str] = {}


def evaluate(
    covers: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    report_dir: str | os.PathLike[str],
    *,
    payloads: Sequence[float] = (0.05, 0.1, 0.2),
    methods: Sequence[str] = ("velmora", "lsbm", "hill"),
    features: str | Sequence[str] = DEFAULT_FEATURES,
    crop: int | None = None,
    crops_per_image: int = 1,
    splits: int = 10,
    seed: int = 0,
    learners: int | None = EvalSettings.learners,
    subspace: int | None = EvalSettings.subspace,
    colony_size: int = 30,
    max_iter: int = 50,
    min_block: int = 4,
    gray: bool = False,
    channel: str = EvalSettings.channel,
    channel_runs: int = EvalSettings.channel_runs,
    jobs: int = 1,
    figure_formats: Sequence[str] = ("png",),
    progress: bool = True,
    stop: StopRequest | None = None,
    err: IO[str] | None = None,
    command: str | None = None,
    cluster: str | None = None,
    phase_hook: Callable[[str], None] | None = None,
) -> Results:
    """Measure how detectable each method is: see ``velmora evaluate --help``.

    ``covers`` are image files or folders (searched as ``velmora embed``
    does); the report, results.csv, results-splits.csv, splits.csv, the
    figure and the cache go to ``report_dir``. ``learners``/``subspace`` None
    let the ensemble choose them. ``features`` names one feature set or
    several (a sequence or a comma-separated string), each scored on the
    same covers and splits; an informed set (``"maxsrm"``) weighs every
    image, cover or stego, with ``velmora.selection.estimate`` of the method
    and payload on that image, velmora's with the model ``channel`` (and
    ``channel_runs`` colony runs for the ``"frequency"`` model).
    ``cluster`` (``tcp://HOST:PORT`` or
    ``local:N``) runs the work on a Dask cluster instead of ``jobs`` local
    processes. ``phase_hook(name)``, if given, is called as each phase
    ("covers", "stego", "training", "report") starts. Returns the rows of
    results.csv as dicts (numbers as numbers), each with ``splits_trained``
    and the ``learners``/``subspace`` the detectors used, in a list whose
    ``unusable`` attribute names the images and covers left out as unusable
    (path or cover id: reason).

    Raises UsageError (an Exception, not a ValueError) for settings that
    cannot run, and Stopped when ``stop`` caught a signal before the end.
    """
    inputs = [os.fspath(covers)] if isinstance(covers, (str, os.PathLike)) else [os.fspath(c) for c in covers]
    sets = tuple(f.strip() for f in features.split(",")) if isinstance(features, str) else tuple(features)
    settings = EvalSettings(
        payloads=tuple(float(p) for p in payloads), methods=tuple(methods), features=sets, crop=crop,
        crops_per_image=crops_per_image, splits=splits, seed=seed, learners=learners, subspace=subspace,
        engine=(colony_size, max_iter, min_block), gray=gray, figure_formats=tuple(figure_formats),
        channel=channel, channel_runs=channel_runs,
    )
    settings.check()
    check_dependencies(settings, cluster=cluster is not None)
    # The workers fork from a server that has imported the libraries once.
    preload = ["velmora.evaluation.tasks", "velmora.ensemble", "velmora.baselines", "velmora.selection",
               "velmora.ablations", "threadpoolctl"]
    pool = open_pool(jobs, environment=ONE_THREAD, preload=preload, cluster=cluster)
    try:
        run = EvaluationRun(inputs, os.fspath(report_dir), settings, pool, stop, err or sys.stderr, progress,
                            command, phase_hook)
        return run.run()
    except Interrupted:
        pool.close(kill=True)
        raise
    finally:
        pool.close()
