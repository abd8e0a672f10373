"""Batch embedding for ``velmora embed``: finding images, naming outputs,
running them in worker processes, the CSV log, resuming and stopping."""

from __future__ import annotations

import csv
import os
import re
import sys
import time
from collections.abc import Iterable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import IO, Any, TextIO

import numpy as np
import numpy.typing as npt

from ._api import CapacityError, derive_seed, embed
from ._executor import Interrupted, StopRequest, WorkerLost, open_pool
from ._imageio import describe_error, psnr, read_gray, remove_temp_files, save_lossless, save_npz

CSV_NAME = "velmora-embed.csv"
CSV_FIELDS = (
    "path",
    "output",
    "method",
    "shape",
    "pool_size",
    "payload_bits",
    "bits_per_pixel",
    "seed",
    "elapsed_ms",
    "pixels_changed",
    "psnr_db",
    "status",
    "error",
)

# Suffixes that a folder search picks up (files named explicitly may be of any
# format that Pillow reads).
SEARCH_SUFFIXES = frozenset({".png", ".pgm", ".ppm", ".pnm", ".tif", ".tiff", ".bmp"})

# Output suffix for each input suffix whose format is lossless; every other
# input (JPEG, GIF, WebP, ...) gives a PNG.
_SAME_FORMAT = {
    ".png": ".png",
    ".tif": ".tif",
    ".tiff": ".tiff",
    ".bmp": ".bmp",
    ".pgm": ".pgm",
    ".pnm": ".pnm",
    ".ppm": ".pgm",  # the stego image is a graymap
    ".pbm": ".pgm",
}
FORMAT_SUFFIXES = {"png": ".png", "tiff": ".tif", "bmp": ".bmp", "pgm": ".pgm"}


class UsageError(Exception):
    """A command line that cannot run as given (exit code 2)."""


@dataclass(frozen=True)
class Payload:
    """A payload size: a number of bits, or a rate in bits per pixel."""

    bits: int | None = None
    rate: float | None = None

    @classmethod
    def parse(cls, text: str) -> Payload:
        t = text.strip().lower()
        if re.fullmatch(r"\d+", t):
            bits = int(t)
            if bits < 1:
                raise ValueError("the payload must be at least 1 bit (0 bits would hide nothing)")
            return cls(bits=bits)
        m = re.fullmatch(r"(\d+(?:\.\d*)?|\.\d+)(?:e[-+]?\d+)?\s*bpp", t)
        if m:
            rate = float(t.removesuffix("bpp"))
            if not 0.0 < rate <= 1.0:
                raise ValueError(
                    f"a rate of {text.strip()} is outside (0, 1]: LSB matching hides at most 1 bit per pixel"
                )
            return cls(rate=rate)
        raise ValueError(
            f"{text!r} is neither a number of bits (e.g. 1000) nor a rate in bits per pixel (e.g. 0.1bpp)"
        )

    def bits_for(self, height: int, width: int) -> int:
        if self.bits is not None:
            return self.bits
        assert self.rate is not None
        return round(self.rate * height * width)

    def __str__(self) -> str:
        return f"{self.bits} bits" if self.bits is not None else f"{self.rate:g} bits per pixel"


# The methods of ``velmora embed --method``: this system, its ablations
# (velmora.ablations) and the baselines of velmora.baselines.
EMBED_METHODS = ("velmora", "velmora-random", "velmora-greedy", "lsbm", "hill", "suniward", "wow", "mipod")


@dataclass(frozen=True)
class Settings:
    payload: Payload
    colony_size: int = 30
    max_iter: int = 50
    min_block: int = 4
    gray: bool = False
    details: bool = False
    seed: int | None = None  # the run's seed (--seed); each image derives its own from it
    method: str = "velmora"


@dataclass(frozen=True)
class Job:
    source: str  # the input, as named on the command line (joined with its place under a folder)
    output: str  # absolute path of the stego image
    output_rel: str  # the stego image's path under the output folder, '/'-separated
    # The input's path relative to the folder it was found in ('/'-separated),
    # or its file name when it was named itself: what its seed is derived from.
    source_rel: str = ""

    @property
    def details_path(self) -> str:
        return details_path_for(self.output)

    def seed(self, settings: Settings) -> int | None:
        """This image's seed under ``settings`` (None without --seed): the
        one its method is called with. MiPOD's generator takes seeds below
        2**32, the top half of the derived one."""
        if settings.seed is None:
            return None
        seed = derive_seed(settings.seed, "embed", self.source_rel)
        return seed >> 32 if settings.method == "mipod" else seed


def details_path_for(stego_path: str) -> str:
    """Where --details puts the coordinates and bits of `stego_path`."""
    return stego_path + ".npz"


def output_suffix(source: Path, fmt: str | None) -> str:
    if fmt is not None:
        return FORMAT_SUFFIXES[fmt]
    return _SAME_FORMAT.get(source.suffix.lower(), ".png")


def _walk_images(folder: Path, skip: str) -> Iterator[Path]:
    """Image files under `folder` (sorted, recursively), leaving out the folder `skip`."""
    for root, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if os.path.realpath(os.path.join(root, d)) != skip)
        for name in sorted(files):
            if Path(name).suffix.lower() in SEARCH_SUFFIXES:
                yield Path(root, name)


def find_images(inputs: Iterable[str], skip: str | None = None) -> list[tuple[str, Path]]:
    """The images named by ``inputs`` (files, and folders searched
    recursively, leaving out the folder ``skip``), each once, as pairs of the
    path to read and its path relative to the input it was found under (its
    name for a file named itself).

    Raises UsageError for inputs that do not exist and folders without images.
    """
    skip_real = os.path.realpath(skip) if skip is not None else ""
    found: list[tuple[str, Path]] = []
    seen: set[str] = set()
    for inp in inputs:
        p = Path(inp)
        if p.is_dir():
            entries = [(str(f), f.relative_to(p)) for f in _walk_images(p, skip_real)]
            if not entries:
                raise UsageError(
                    f"{inp}: no images found in this folder (searched for "
                    f"{', '.join(sorted(SEARCH_SUFFIXES))})"
                )
        elif p.is_file():
            entries = [(inp, Path(p.name))]
        elif p.exists():
            raise UsageError(f"{inp}: not a file or folder")
        else:
            raise UsageError(f"{inp}: no such file or folder")
        for source, rel in entries:
            real = os.path.realpath(source)
            if real in seen:
                continue
            seen.add(real)
            found.append((source, rel))
    return found


def collect_jobs(inputs: Iterable[str], outdir: str, fmt: str | None = None) -> list[Job]:
    """The images named by `inputs` (files, and folders searched recursively)
    and where each one's stego image goes under `outdir`.

    Raises UsageError for inputs that do not exist, two inputs whose outputs
    would share a name, and an output that would overwrite an input.
    """
    found = find_images(inputs, outdir)
    seen = {os.path.realpath(source) for source, _rel in found}
    jobs: list[Job] = []
    by_output: dict[str, str] = {}
    for source, rel in found:
        out_rel = rel.with_suffix(output_suffix(rel, fmt)).as_posix()
        if out_rel in by_output:
            raise UsageError(
                f"{by_output[out_rel]} and {source} would both be written to "
                f"{os.path.join(outdir, out_rel)}; embed them into separate output folders"
            )
        by_output[out_rel] = source
        output = os.path.abspath(os.path.join(outdir, out_rel))
        for written in (output, details_path_for(output)):
            if os.path.realpath(written) in seen:
                raise UsageError(
                    f"refusing to overwrite the input {written}: choose an output folder "
                    f"(-o) that does not hold the inputs"
                )
        jobs.append(Job(source=source, output=output, output_rel=out_rel, source_rel=rel.as_posix()))
    return jobs


def _fmt_float(value: float, digits: int) -> str:
    return "inf" if value == float("inf") else f"{value:.{digits}f}"


def new_row(job: Job, settings: Settings) -> dict[str, str]:
    """The CSV row of ``job`` before anything is known of the image: an error
    until it succeeds, with the image's seed."""
    row = {k: "" for k in CSV_FIELDS}
    row.update(path=job.source, output=job.output_rel, method=settings.method, status="error")
    seed = job.seed(settings)
    if seed is not None:
        row["seed"] = str(seed)
    return row


def embed_one(job: Job, settings: Settings) -> tuple[dict[str, str], str | None]:
    """Embed one image and write its outputs; returns its CSV row and a
    conversion note. Failures become a row with status "error"."""
    row = new_row(job, settings)
    note = None
    seed = job.seed(settings)
    try:
        cover, note = read_gray(job.source, settings.gray)
        h, w = cover.shape
        row["shape"] = f"{h}x{w}"
        bits = settings.payload.bits_for(h, w)
        row["payload_bits"] = str(bits)
        row["bits_per_pixel"] = f"{bits / (h * w):.6f}"
        if bits < 1:
            raise ValueError(f"a payload of {settings.payload} rounds to 0 bits for a {h}x{w} image")
        if settings.method.startswith("velmora"):
            if settings.method == "velmora":
                result = embed(cover, bits, seed=seed, colony_size=settings.colony_size,
                               max_iter=settings.max_iter, min_block=settings.min_block)
            else:
                from . import ablations

                result = ablations.embed(cover, bits, settings.method, seed=seed, min_block=settings.min_block)
            stego, elapsed_ms = result.stego, result.elapsed_ms
            row["pool_size"] = str(result.pool_size)
            details: dict[str, npt.NDArray[Any]] = {"coords_y": result.coords_y, "coords_x": result.coords_x,
                                                     "payload": result.payload}
        else:
            stego, elapsed_ms = simulate_baseline(cover, settings, seed)
            # A baseline's simulation changes pixels without hiding bits:
            # its details are where it changed them, and by how much.
            ys, xs = np.nonzero(stego != cover)
            delta = stego[ys, xs].astype(np.int8) - cover[ys, xs].astype(np.int8)
            details = {"coords_y": ys.astype(np.int64), "coords_x": xs.astype(np.int64), "delta": delta}
        row["elapsed_ms"] = f"{elapsed_ms:.3f}"
        row["pixels_changed"] = str(int(np.count_nonzero(stego != cover)))
        row["psnr_db"] = _fmt_float(psnr(cover, stego), 4)
        os.makedirs(os.path.dirname(job.output), exist_ok=True)
        save_lossless(job.output, stego)
        if settings.details:
            save_npz(job.details_path, **details)
        row["status"] = "ok"
    except CapacityError as e:
        row["pool_size"] = str(e.pool_size)
        row["error"] = f"{e}. Try a more textured image or a smaller --payload."
    except Exception as e:  # one image's failure is recorded, the run goes on
        message = describe_error(e).removeprefix(f"{job.source}: ")
        row["error"] = message if isinstance(e, (ValueError, OSError)) else f"{type(e).__name__}: {message}"
    return row, note


def simulate_baseline(cover: npt.NDArray[np.uint8], settings: Settings,
                      seed: int | None) -> tuple[npt.NDArray[np.uint8], float]:
    """The stego image of a baseline method and the milliseconds it took: at
    the rate asked for, or at bits / pixels for a number of bits."""
    from . import baselines

    h, w = cover.shape
    payload = settings.payload
    alpha = payload.rate if payload.rate is not None else (payload.bits or 0) / (h * w)
    start = time.perf_counter()
    stego = baselines.simulate(cover, alpha, settings.method, seed=seed)
    return stego, (time.perf_counter() - start) * 1000


class CsvLog:
    """OUTDIR/velmora-embed.csv: one row per image, flushed as it is written."""

    def __init__(self, path: str, resume: bool) -> None:
        self.path = path
        # output_rel of each image logged as successful, with the seed it was embedded with
        self.done: dict[str, str] = {}
        # ... and with its method
        self.methods: dict[str, str] = {}
        previous: list[dict[str, str]] = []
        if resume and os.path.exists(path) and os.path.getsize(path) > 0:
            previous = self._read(path)
            f: TextIO = open(path, "a+", newline="", encoding="utf-8")
            f.seek(0, os.SEEK_END)
            if f.tell() > 0:
                f.seek(f.tell() - 1)
                if f.read(1) not in ("\n", "\r"):
                    f.write("\r\n")  # an interrupted last line stays on its own
            self._file = f
            self._writer = csv.DictWriter(f, fieldnames=CSV_FIELDS)
        else:
            self._file = open(path, "w", newline="", encoding="utf-8")
            self._writer = csv.DictWriter(self._file, fieldnames=CSV_FIELDS)
            self._writer.writeheader()
            self._file.flush()
        last: dict[str, dict[str, str]] = {}
        for r in previous:
            last[r.get("output") or ""] = r
        self.done = {out: r.get("seed") or "" for out, r in last.items() if r.get("status") == "ok" and out}
        self.methods = {out: r.get("method") or "" for out, r in last.items() if out in self.done}

    @staticmethod
    def _read(path: str) -> list[dict[str, str]]:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            if tuple(reader.fieldnames or ()) != CSV_FIELDS:
                raise UsageError(
                    f"{path} has other columns than this version of velmora embed writes; "
                    f"move it away or choose another output folder"
                )
            return [r for r in reader if r.get("status") is not None]

    def write(self, row: dict[str, str]) -> None:
        self._writer.writerow(row)
        self._file.flush()

    def close(self) -> None:
        self._file.close()


@dataclass
class Summary:
    total: int = 0
    skipped: int = 0
    ok: int = 0
    failed: int = 0
    converted: int = 0
    stopped_by: int | None = None


class BatchRun:
    """Runs a list of jobs and logs each finished image to the CSV."""

    def __init__(
        self, jobs: list[Job], settings: Settings, outdir: str, workers: int, resume: bool,
        err: IO[str] | None = None, cluster: str | None = None,
    ) -> None:
        self.jobs = jobs
        self.settings = settings
        self.outdir = outdir
        self.workers = max(1, workers)
        self.cluster = cluster
        self.resume = resume
        self.err = err if err is not None else sys.stderr
        self.summary = Summary(total=len(jobs))
        self._bar: Any = None
        self._told_conversion = False

    # -- output ------------------------------------------------------------
    def _say(self, message: str) -> None:
        if self._bar is not None and not self._bar.disable:
            self._bar.write(message, file=self.err)
        else:
            print(message, file=self.err, flush=True)

    def _record(self, log: CsvLog, row: dict[str, str], note: str | None) -> None:
        log.write(row)
        if row["status"] == "ok":
            self.summary.ok += 1
        else:
            self.summary.failed += 1
            self._say(f"velmora embed: {row['path']}: {row['error']}")
        if note is not None:
            self.summary.converted += 1
            if not self._told_conversion:
                self._told_conversion = True
                self._say(f"velmora embed: {row['path']}: {note} (--gray)")
        if self._bar is not None:
            self._bar.update(1)

    def _sweep(self, jobs: Iterable[Job]) -> None:
        """Remove temporary files that interrupted writes of `jobs` left."""
        remove_temp_files(p for job in jobs for p in (job.output, job.details_path))

    def _is_done(self, job: Job, log: CsvLog) -> bool:
        if job.output_rel not in log.done or not os.path.isfile(job.output):
            return False
        return not self.settings.details or os.path.isfile(job.details_path)

    def _check_seeds(self, todo: Iterable[Job], log: CsvLog) -> None:
        """--resume must not mix images embedded by different methods or
        under different seeds."""
        for job in todo:
            method = log.methods.get(job.output_rel)
            if method is not None and method != self.settings.method:
                raise UsageError(
                    f"{job.output_rel} was embedded with --method {method}, but this run would use "
                    f"--method {self.settings.method}: resume with the method of the first run, or "
                    "choose another output folder"
                )
            seed = job.seed(self.settings)
            logged = log.done.get(job.output_rel)
            if logged is not None and logged != ("" if seed is None else str(seed)):
                before = f"seed {logged}" if logged else "no --seed"
                now = f"seed {seed}" if seed is not None else "no --seed"
                raise UsageError(
                    f"{job.output_rel} was embedded with {before}, but this run would use {now}: "
                    "resume with the --seed of the first run, or choose another output folder"
                )

    # -- running -----------------------------------------------------------
    def run(self) -> Summary:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        os.makedirs(self.outdir, exist_ok=True)
        log = CsvLog(os.path.join(self.outdir, CSV_NAME), self.resume)
        try:
            if self.resume:
                self._check_seeds(self.jobs, log)
            todo = [j for j in self.jobs if not (self.resume and self._is_done(j, log))]
            self.summary.skipped = len(self.jobs) - len(todo)
            if self.summary.skipped:
                self._say(
                    f"velmora embed: skipping {self.summary.skipped} image(s) already embedded "
                    f"(--resume)"
                )
            with StopRequest("velmora embed") as stop:
                self._bar = tqdm(
                    total=len(todo), unit="img", desc="embedding", file=self.err,
                    disable=None, dynamic_ncols=True, leave=True,
                )
                try:
                    self._run(todo, log, stop)
                except Interrupted:
                    pass
                finally:
                    self._bar.close()
                # A signal that came when every image was done stops nothing.
                if stop.signum is not None and self.summary.ok + self.summary.failed < len(todo):
                    self.summary.stopped_by = stop.signum
        finally:
            log.close()
        return self.summary

    def _run(self, todo: list[Job], log: CsvLog, stop: StopRequest) -> None:
        unrecorded = {job.output_rel: job for job in todo}
        pool = open_pool(self.workers if len(todo) > 1 else 1, cluster=self.cluster)
        if pool.dashboard:
            self._say(f"velmora embed: Dask dashboard at {pool.dashboard}")
        try:
            for job in todo:
                pool.submit(job.output_rel, embed_one, job, self.settings)
            for outcome in pool.outcomes(stop):
                job = unrecorded.pop(str(outcome.key))
                if outcome.error is None:
                    row, note = outcome.value
                else:
                    row, note = self._failure_row(job, outcome.error), None
                    self._sweep([job])
                self._record(log, row, note)
        except Interrupted:
            pool.close(kill=True)
            raise
        finally:
            pool.close()
            # Also what a killed worker left of an image that then ran elsewhere.
            self._sweep(todo)

    def _failure_row(self, job: Job, error: BaseException) -> dict[str, str]:
        row = new_row(job, self.settings)
        row["error"] = describe_error(error) if isinstance(error, WorkerLost) else f"{type(error).__name__}: {error}"
        return row


def exit_code(summary: Summary) -> int:
    if summary.stopped_by is not None:
        return 128 + summary.stopped_by
    return 1 if summary.failed else 0
