"""``velmora features``: the features of a collection of images as one matrix,
extracted in worker processes and written as they finish.

Every image found gets a slot, in the sorted order of the images' paths,
in ``features.partial.npy``, an .npy file of one row per image that the
operating system allocates only as rows are written. A finished image's row
goes straight to its slot, whatever order the workers finish in, and then
one line in ``progress.jsonl`` says that the slot is filled (or why the image
was skipped); only this process writes either file. A stopped run leaves
both behind, and ``--resume`` fills the slots still empty. Once every image
is done, the filled slots become ``features.npy``: the partial file itself
when no image was skipped, otherwise a copy of its filled rows, streamed,
so that no hole is left. See ``velmora.features`` for the layout.
"""

from __future__ import annotations

import json
import os
import struct
import sys
from collections.abc import Iterable
from dataclasses import dataclass
from typing import IO, Any, cast

import numpy as np
import numpy.typing as npt

from . import features as fs
from ._batch import UsageError, find_images
from ._executor import Interrupted, StopRequest, WorkerLost, open_pool
from ._imageio import TEMP_SUFFIX, atomic_write, describe_error, read_gray, remove_temp_files

PROG = "velmora features"
_COPY_BYTES = 64 << 20  # rows copied at a time when the matrix is compacted


@dataclass(frozen=True)
class Entry:
    slot: int  # the row it gets when none before it is skipped
    source: str  # the path to read
    rel: str  # its path relative to the input it was found under, '/'-separated


@dataclass(frozen=True)
class RowResult:
    """What a worker sends back for one image: its row, or why it has none."""

    row: npt.NDArray[np.float32] | None
    reason: str | None = None
    note: str | None = None  # how --gray converted it
    size: int = -1
    mtime_ns: int = -1


def extract_row(source: str, kind: str, gray: bool, dimension: int,
                channel: tuple[str, float] | None = None) -> RowResult:
    """Read one image and extract its features (in a worker process); for a
    set that needs a change-probability map, with the map of ``channel``
    (method, payload) estimated from the image."""
    try:
        st = os.stat(source)
        image, note = read_gray(source, gray)
        beta = None
        if channel is not None:
            from .selection import estimate

            beta = estimate(image, channel[1], channel[0])
        vector = fs.extract(image, kind, beta=beta)
        if vector.shape != (dimension,):
            raise ValueError(f"the extractor returned {vector.shape} values instead of {dimension}")
        if not np.isfinite(vector).all():
            raise ValueError(f"{kind} features of a {image.shape[0]}x{image.shape[1]} image are not finite")
        return RowResult(vector.astype(np.float32), note=note, size=st.st_size, mtime_ns=st.st_mtime_ns)
    except Exception as e:  # one image's failure is reported, the run goes on
        message = describe_error(e).removeprefix(f"{source}: ")
        if not isinstance(e, (ValueError, OSError)):
            message = f"{type(e).__name__}: {message}"
        return RowResult(None, reason=message)


def find_collection(inputs: Iterable[str], outdir: str) -> list[Entry]:
    """The images named by ``inputs``, in the sorted order of their relative
    paths; UsageError when two of them would share a path."""
    by_rel: dict[str, str] = {}
    for source, rel_path in find_images(inputs, skip=outdir):
        rel = rel_path.as_posix()
        if rel in by_rel:
            raise UsageError(
                f"{by_rel[rel]} and {source} are both found as {rel}, and each row is named by that "
                f"path: pass the folder that holds both instead, or extract them into separate folders"
            )
        by_rel[rel] = source
    return [Entry(slot, by_rel[rel], rel) for slot, rel in enumerate(sorted(by_rel))]


# --- the files ---------------------------------------------------------------
def _npy_header(rows: int, dimension: int) -> bytes:
    """The .npy header (format version 1.0) of a C-order float32 matrix of
    rows x dimension, padded with spaces to a multiple of 64 bytes as NumPy
    pads its own."""
    text = "{'descr': '<f4', 'fortran_order': False, 'shape': (%d, %d), }" % (rows, dimension)
    pad = -(10 + len(text) + 1) % 64
    header = (text + " " * pad + "\n").encode("latin1")
    return b"\x93NUMPY\x01\x00" + struct.pack("<H", len(header)) + header


class PartialMatrix:
    """features.partial.npy: a slot of ``dimension`` float32 values for each
    of ``rows`` images, written in any order."""

    def __init__(self, path: str, rows: int, dimension: int, create: bool) -> None:
        self.path = path
        self.rows = rows
        self.row_bytes = 4 * dimension
        header = _npy_header(rows, dimension)
        self.offset = len(header)
        if create:
            with open(path, "wb") as f:
                f.write(header)
                f.truncate(self.offset + rows * self.row_bytes)  # allocated as it is written
        else:
            with open(path, "rb") as f:
                on_disk = f.read(self.offset)
            if on_disk != header or os.path.getsize(path) != self.offset + rows * self.row_bytes:
                raise UsageError(
                    f"{path} does not hold {rows} rows of {dimension} values as the index says: "
                    "run without --resume to start over"
                )
        self._file = open(path, "r+b", buffering=0)

    def write(self, slot: int, row: npt.NDArray[np.float32]) -> None:
        data = np.ascontiguousarray(row, dtype="<f4").tobytes()
        assert len(data) == self.row_bytes
        view, at = memoryview(data), self.offset + slot * self.row_bytes
        while view:
            self._file.seek(at)
            written = self._file.write(view)
            if not written:
                raise OSError(f"{self.path}: cannot write row {slot}")
            view, at = view[written:], at + written

    def close(self) -> None:
        self._file.close()


class Progress:
    """progress.jsonl: one JSON line per image done, flushed as it is written."""

    def __init__(self, path: str, resume: bool) -> None:
        self.path = path
        self.records: dict[int, dict[str, Any]] = {}
        if resume and os.path.exists(path):
            with open(path, encoding="utf-8") as f:
                for line in f:
                    try:
                        record = json.loads(line)
                        self.records[int(record["slot"])] = record
                    except (ValueError, KeyError, TypeError):
                        continue  # a line cut short when the run was killed
            self._file: IO[str] = open(path, "a+", encoding="utf-8")
            self._file.seek(0, os.SEEK_END)
            if self._file.tell() > 0:
                self._file.seek(self._file.tell() - 1)
                if self._file.read(1) != "\n":
                    self._file.write("\n")  # a cut line stays on its own
        else:
            self._file = open(path, "w", encoding="utf-8")

    def write(self, record: dict[str, Any]) -> None:
        self._file.write(json.dumps(record, sort_keys=True) + "\n")
        self._file.flush()
        self.records[int(record["slot"])] = record

    def close(self) -> None:
        self._file.close()


def _write_json(path: str, data: dict[str, Any]) -> None:
    """The index, one key a line, and each entry of a list or mapping on a
    line of its own (a path, a submodel)."""
    lines = []
    for key, value in data.items():
        if isinstance(value, (list, dict)) and value:
            if isinstance(value, list):
                entries = [json.dumps(v) for v in value]
            else:
                entries = [f"{json.dumps(k)}: {json.dumps(v)}" for k, v in value.items()]
            open_, close = ("[", "]") if isinstance(value, list) else ("{", "}")
            text = f"{open_}\n  " + ",\n  ".join(entries) + f"\n {close}"
        else:
            text = json.dumps(value)
        lines.append(f" {json.dumps(key)}: {text}")
    with atomic_write(path) as f:
        f.write(("{\n" + ",\n".join(lines) + "\n}\n").encode("utf-8"))


# --- the run -------------------------------------------------------------------
@dataclass
class Summary:
    total: int = 0
    before: int = 0  # images done in an earlier run (--resume)
    ok: int = 0
    skipped: int = 0
    skipped_before: int = 0
    converted: int = 0
    rows: int = 0
    stopped_by: int | None = None


class FeatureRun:
    """One ``velmora features`` run into the folder ``outdir``."""

    def __init__(self, inputs: list[str], outdir: str, kind: str, gray: bool, workers: int, resume: bool,
                 cluster: str | None = None, err: IO[str] | None = None,
                 channel: tuple[str, float] | None = None) -> None:
        if (channel is not None) != (kind in fs.MAP_KINDS):
            raise UsageError(f"{kind} features need --channel METHOD and --payload ALPHA: the method and payload "
                             "whose change probabilities each image's map estimates" if channel is None else
                             f"--channel and --payload are for the features that need a map "
                             f"({', '.join(fs.MAP_KINDS)}), not {kind}")
        self.channel = channel
        self.inputs = inputs
        self.outdir = outdir
        self.kind = kind
        self.gray = gray
        self.workers = max(1, workers)
        self.cluster = cluster
        self.resume = resume
        self.err = err if err is not None else sys.stderr
        self.summary = Summary()
        self._bar: Any = None
        self._told_conversion = False

    def _path(self, name: str) -> str:
        return os.path.join(self.outdir, name)

    def _say(self, message: str) -> None:
        if self._bar is not None and not self._bar.disable:
            self._bar.write(f"{PROG}: {message}", file=self.err)
        else:
            print(f"{PROG}: {message}", file=self.err, flush=True)

    # -- the index -------------------------------------------------------------
    def _new_index(self, images: list[Entry]) -> dict[str, Any]:
        parts = fs.submodels(self.kind)
        return {
            "format": fs.FORMAT,
            "version": fs.FORMAT_VERSION,
            "status": "incomplete",
            "kind": self.kind,
            "dimension": sum(d for _n, d in parts),
            "extractor": fs.EXTRACTOR,
            "gray": self.gray,
            "dtype": "float32",
            "inputs": [os.path.abspath(i) for i in self.inputs],
            "submodels": [[n, d] for n, d in parts],
            "images": [im.rel for im in images],
            "channel": None if self.channel is None else {"method": self.channel[0], "payload": self.channel[1]},
        }

    def _check_resumable(self, earlier: dict[str, Any], now: dict[str, Any]) -> None:
        """UsageError unless the run in ``outdir`` is one this run can go on with."""
        out = self.outdir
        if earlier.get("extractor") != now["extractor"]:
            raise UsageError(
                f"--resume: {out} holds features of another extractor ({earlier.get('extractor')}, this is "
                f"{now['extractor']}): run without --resume to start over, or choose another output folder"
            )
        if earlier.get("kind") != now["kind"]:
            raise UsageError(
                f"--resume: {out} holds {earlier.get('kind')} features, but this run asks for {now['kind']}: "
                f"resume with --features {earlier.get('kind')}, or choose another output folder"
            )
        if earlier.get("channel") != now["channel"]:
            raise UsageError(
                f"--resume: {out} holds features of the change probabilities {earlier.get('channel')}, but this "
                f"run asks for {now['channel']}: resume with the same --channel and --payload, or choose another "
                "output folder"
            )
        if bool(earlier.get("gray")) != now["gray"]:
            was = "with --gray" if earlier.get("gray") else "without --gray"
            raise UsageError(
                f"--resume: {out} was written {was}: resume {was}, or choose another output folder"
            )
        if earlier.get("inputs") != now["inputs"]:
            raise UsageError(
                f"--resume: {out} was written from {' '.join(earlier.get('inputs') or ['other inputs'])}, "
                f"but this run reads {' '.join(now['inputs'])}: resume with the inputs of the first run, or "
                "choose another output folder"
            )
        if earlier.get("images") != now["images"]:
            before = earlier.get("images") or []
            new = sorted(set(now["images"]) - set(before))
            gone = sorted(set(before) - set(now["images"]))
            changes = [f"{len(names)} {what}, such as {names[0]}" for names, what in
                       ((new, "new"), (gone, "gone")) if names]
            raise UsageError(
                f"--resume: the images in the inputs are not those of the run in {out} "
                f"({'; '.join(changes)}): run without --resume to start over"
            )

    # -- running ---------------------------------------------------------------
    def run(self) -> Summary:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        images = find_collection(self.inputs, self.outdir)
        if os.path.exists(self.outdir) and not os.path.isdir(self.outdir):
            raise UsageError(f"{self.outdir} exists and is not a folder")
        index = self._new_index(images)
        earlier = self._earlier_index() if self.resume else None
        if earlier is not None:
            self._check_resumable(earlier, index)
        self.summary.total = len(images)
        os.makedirs(self.outdir, exist_ok=True)
        remove_temp_files(self._path(n) for n in (fs.MATRIX_NAME, fs.INDEX_NAME))
        if earlier is not None and earlier.get("status") == "complete":
            self.summary.rows = len(earlier.get("paths") or [])
            self.summary.before = self.summary.total
            self.summary.skipped_before = len(earlier.get("skipped") or {})
            self._say(f"{self.outdir} is complete already: nothing to resume")
            return self.summary
        if earlier is None:
            # A fresh start: no earlier matrix is left to be taken for this one.
            _write_json(self._path(fs.INDEX_NAME), index)
            for name in (fs.MATRIX_NAME, fs.PARTIAL_NAME, fs.PROGRESS_NAME):
                _remove(self._path(name))
        if earlier is not None and not os.path.exists(self._path(fs.PARTIAL_NAME)):
            raise UsageError(
                f"--resume: {self._path(fs.PARTIAL_NAME)} is missing: run without --resume to start over"
            )
        matrix = PartialMatrix(self._path(fs.PARTIAL_NAME), len(images), index["dimension"], create=earlier is None)
        progress = Progress(self._path(fs.PROGRESS_NAME), resume=earlier is not None)
        try:
            todo = self._todo(images, progress)
            with StopRequest(PROG) as stop:
                self._bar = tqdm(total=len(todo), unit="img", desc="extracting", file=self.err,
                                 disable=None, dynamic_ncols=True, leave=True)
                try:
                    self._run(todo, index, matrix, progress, stop)
                except Interrupted:
                    pass
                finally:
                    self._bar.close()
                done = self.summary.ok + self.summary.skipped
                if done < len(todo):
                    self.summary.stopped_by = stop.signum
                else:
                    matrix.close()
                    try:
                        self._finish(images, index, progress)
                    except Interrupted as e:
                        self.summary.stopped_by = e.signum
        finally:
            matrix.close()
            progress.close()
        return self.summary

    def _earlier_index(self) -> dict[str, Any] | None:
        if not os.path.exists(self._path(fs.INDEX_NAME)):
            return None
        try:
            return fs.read_index(self.outdir)
        except ValueError as e:
            raise UsageError(f"--resume: {e}") from None

    def _todo(self, images: list[Entry], progress: Progress) -> list[Entry]:
        """The images that no earlier run finished; UsageError when an image
        changed since its row was written."""
        todo = []
        for im in images:
            record = progress.records.get(im.slot)
            if record is None or record.get("path") != im.rel:
                todo.append(im)
                continue
            if record.get("status") == "ok":
                try:
                    st = os.stat(im.source)
                    changed = (st.st_size, st.st_mtime_ns) != (record.get("size"), record.get("mtime_ns"))
                except OSError:
                    changed = True
                if changed:
                    raise UsageError(
                        f"--resume: {im.source} changed since its features were extracted: run without "
                        "--resume to start over"
                    )
            else:
                self.summary.skipped_before += 1
        self.summary.before = len(images) - len(todo)
        if self.summary.before:
            self._say(f"going on with {len(todo)} of {len(images)} image(s): the others were done before (--resume)")
        return todo

    def _run(self, todo: list[Entry], index: dict[str, Any], matrix: PartialMatrix, progress: Progress,
             stop: StopRequest) -> None:
        if not todo:
            return
        pool = open_pool(self.workers if len(todo) > 1 else 1, preload=["velmora._featurebatch"],
                         cluster=self.cluster)
        if pool.dashboard:
            self._say(f"Dask dashboard at {pool.dashboard}")
        by_slot = {im.slot: im for im in todo}
        try:
            for im in todo:
                pool.submit(im.slot, extract_row, im.source, self.kind, self.gray, index["dimension"], self.channel)
            for outcome in pool.outcomes(stop):
                im = by_slot.pop(cast(int, outcome.key))
                if outcome.error is not None:
                    error = outcome.error
                    reason = describe_error(error) if isinstance(error, WorkerLost) else f"{type(error).__name__}: {error}"
                    result = RowResult(None, reason=reason)
                else:
                    result = outcome.value
                self._record(im, result, matrix, progress)
        except Interrupted:
            pool.close(kill=True)
            raise
        finally:
            pool.close()

    def _record(self, im: Entry, result: RowResult, matrix: PartialMatrix, progress: Progress) -> None:
        record: dict[str, Any] = {"slot": im.slot, "path": im.rel}
        if result.row is not None:
            # The row first: a line in the progress file promises a filled slot.
            matrix.write(im.slot, result.row)
            record.update(status="ok", size=result.size, mtime_ns=result.mtime_ns)
            self.summary.ok += 1
        else:
            record.update(status="skipped", reason=result.reason)
            self.summary.skipped += 1
            self._say(f"{im.source}: {result.reason}")
        progress.write(record)
        if result.note is not None:
            self.summary.converted += 1
            if not self._told_conversion:
                self._told_conversion = True
                self._say(f"{im.source}: {result.note} (--gray)")
        if self._bar is not None:
            self._bar.update(1)

    def _finish(self, images: list[Entry], index: dict[str, Any], progress: Progress) -> None:
        """Every image is done: the filled slots become features.npy, and the
        index lists each row's path and the images skipped."""
        filled = [im for im in images if progress.records[im.slot].get("status") == "ok"]
        skipped = {im.rel: str(progress.records[im.slot].get("reason"))
                   for im in images if progress.records[im.slot].get("status") != "ok"}
        partial, final = self._path(fs.PARTIAL_NAME), self._path(fs.MATRIX_NAME)
        if len(filled) == len(images) and _hard_link_over(partial, final):
            pass
        else:
            _compact(partial, final, [im.slot for im in filled], len(images), index["dimension"])
        index = dict(index)
        index.update(status="complete", rows=len(filled), paths=[im.rel for im in filled], skipped=skipped)
        _write_json(self._path(fs.INDEX_NAME), index)
        _remove(partial)
        _remove(self._path(fs.PROGRESS_NAME))
        self.summary.rows = len(filled)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


def _hard_link_over(source: str, target: str) -> bool:
    """Make ``target`` a second name of the complete file ``source``, in one
    step; False where the file system has no hard links."""
    with open(source, "rb") as f:
        os.fsync(f.fileno())
    folder, name = os.path.split(target)
    temporary = os.path.join(folder, f".{name}.link{TEMP_SUFFIX}")  # swept like atomic_write's
    _remove(temporary)
    try:
        os.link(source, temporary)
    except OSError:
        return False
    os.replace(temporary, target)
    return True


def _compact(partial: str, final: str, slots: list[int], rows: int, dimension: int) -> None:
    """Write the rows of ``slots`` of the partial matrix, in order, as the
    matrix ``final``: streamed, a run of consecutive slots at a time."""
    source: npt.NDArray[np.float32] = np.load(partial, mmap_mode="r", allow_pickle=False)
    if source.shape != (rows, dimension):
        raise ValueError(f"{partial}: holds {source.shape}, not ({rows}, {dimension})")
    step = max(1, _COPY_BYTES // (4 * dimension))
    with atomic_write(final) as f:
        f.write(_npy_header(len(slots), dimension))
        i = 0
        while i < len(slots):
            j = i + 1
            while j < len(slots) and j - i < step and slots[j] == slots[j - 1] + 1:
                j += 1
            f.write(np.ascontiguousarray(source[slots[i] : slots[j - 1] + 1]).tobytes())
            i = j
    del source


def exit_code(summary: Summary) -> int:
    if summary.stopped_by is not None:
        return 128 + summary.stopped_by
    return 1 if summary.skipped + summary.skipped_before else 0
