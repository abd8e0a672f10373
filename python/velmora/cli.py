"""The ``velmora`` command line: demo, embed, pool, show, verify, features and
evaluate.

Run ``velmora --help`` or ``velmora COMMAND --help`` for the options.
Exit codes: 0 success, 1 a failed image or check, 2 a usage error,
130 / 143 stopped by SIGINT / SIGTERM.
"""

from __future__ import annotations

import argparse
import math
import os
import shlex
import signal
import sys
import textwrap
from collections.abc import Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from ._batch import (
    CSV_NAME,
    EMBED_METHODS,
    FORMAT_SUFFIXES,
    BatchRun,
    Payload,
    Settings,
    UsageError,
    collect_jobs,
    details_path_for,
    exit_code,
)
from ._api import SEED_MAX
from ._executor import ClusterError
from ._imageio import LUMA_NOTE, describe_error, psnr, read_gray, save_lossless, save_npz

PROG = "velmora"
EXTRA_HINT = "install the command line's dependencies with: pip install 'velmora-core[cli]'"
CLUSTER_HINT = "needs the cluster extra: pip install 'velmora-core[cluster]'"

_EPILOG = """\
examples:
  velmora demo                          embed into a built-in example image
  velmora embed photos/ -o stego/ --payload 0.1bpp --details --jobs 2
  velmora pool photo.png -o pool.png    the quadtree pool of an image
  velmora show photo.png stego/photo.png --details stego/photo.png.npz -o show.png
  velmora verify photo.png stego/photo.png --details stego/photo.png.npz
  velmora features photos/ -o photos-srm/ --features srm --jobs 0
  velmora evaluate photos/ -o report/ --crop 256 --crops-per-image 4 --jobs 0

exit codes: 0 success, 1 an image or a check failed, 2 usage error,
130 / 143 stopped by SIGINT / SIGTERM.
"""


# --- argument types -------------------------------------------------------------
def _payload(text: str) -> Payload:
    try:
        return Payload.parse(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def _int_at_least(low: int) -> Any:
    def convert(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        return value

    convert.__name__ = "integer"
    return convert


def _out_format(text: str) -> str:
    t = text.strip().lower().lstrip(".")
    if t in ("jpg", "jpeg", "jpe", "jfif"):
        raise argparse.ArgumentTypeError(
            "JPEG output is refused: its lossy compression destroys the least significant "
            "bits that carry the payload; choose png, tiff, bmp or pgm"
        )
    aliases = {"tif": "tiff", "pnm": "pgm"}
    t = aliases.get(t, t)
    if t not in FORMAT_SUFFIXES:
        raise argparse.ArgumentTypeError(f"{text!r}: choose png, tiff, bmp or pgm")
    return t


def _add_engine_options(p: argparse.ArgumentParser) -> None:
    g = p.add_argument_group("engine")
    g.add_argument("--colony-size", type=_int_at_least(1), default=30, metavar="N",
                   help="food sources (bees) in the colony (default: 30)")
    g.add_argument("--max-iter", type=_int_at_least(0), default=50, metavar="N",
                   help="colony search iterations (default: 50)")
    g.add_argument("--min-block", type=_int_at_least(1), default=4, metavar="N",
                   help="smallest quadtree block side in pixels (default: 4)")


def _seed(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value <= SEED_MAX:
        raise argparse.ArgumentTypeError(f"must be in 0 ... 2**64 - 1, got {value}")
    return value


def _payload_list(text: str) -> tuple[float, ...]:
    values = []
    for part in text.split(","):
        t = part.strip().lower().removesuffix("bpp")
        try:
            value = float(t)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected bits per pixel such as 0.05,0.1,0.2, got {text!r}") from None
        values.append(value)  # the range is checked with the other settings
    return tuple(values)


def _name_list(text: str) -> tuple[str, ...]:
    return tuple(p.strip().lower() for p in text.split(",") if p.strip())


def _count_or_auto(low: int) -> Any:
    number = _int_at_least(low)

    def convert(text: str) -> int | None:
        return None if text.strip().lower() in ("auto", "automatic") else int(number(text))

    convert.__name__ = "count"
    return convert


def _add_workers_options(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group()
    g.add_argument("--jobs", "-j", type=_int_at_least(0), default=1, metavar="N",
                   help="worker processes (default: 1; 0 means one per CPU)")
    g.add_argument("--cluster", default=None, metavar="ADDRESS",
                   help="run on a Dask cluster instead: tcp://HOST:PORT of a running scheduler, or "
                        "local:N to start N local worker processes for the run; inputs and outputs "
                        f"must be on a file system that every worker sees ({CLUSTER_HINT})")


def _add_gray_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--gray", action="store_true",
                   help=f"convert colour, palette and grayscale+alpha images to grayscale with the {LUMA_NOTE} "
                        "(otherwise they are refused)")


def _add_zoom_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--zoom", type=_int_at_least(1), default=None, metavar="N",
                   help="draw every image pixel as N x N figure pixels (default: enough for the "
                        "longer side to reach 256 pixels, at least 1)")


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Hide random bits in 8-bit grayscale images with velmora_core (adaptive\n"
                    "quadtree pool, bee colony selection, LSB matching) and inspect the result.",
        epilog=_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    sub = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    p = sub.add_parser(
        "demo", help="embed into a built-in example image and write the results to a folder",
        description="Embed a random payload into a synthetic example image, print the figures "
                    "(pool size, payload, bits per pixel, time, pixels changed, PSNR) and write "
                    "cover.png, stego.png, stego.png.npz, pool.png and embedding.png into DIR.",
    )
    p.add_argument("-o", "--output", default="velmora-demo", metavar="DIR",
                   help="folder for the results (default: ./velmora-demo)")
    p.add_argument("--payload", type=_payload, default=Payload(rate=0.1), metavar="N|RATEbpp",
                   help="bits to hide, e.g. 20000, or a rate such as 0.1bpp (default: 0.1bpp)")
    p.add_argument("--size", type=_int_at_least(16), default=512, metavar="N",
                   help="side of the square example image in pixels (default: 512)")
    p.add_argument("--seed", type=_seed, default=None, metavar="S",
                   help="embed reproducibly with seed S (0 ... 2**64 - 1): the same S gives the "
                        "same stego image every time (default: fresh entropy)")
    _add_engine_options(p)
    p.set_defaults(func=cmd_demo)

    p = sub.add_parser(
        "embed", help="hide random bits in image files or folders of images",
        description=textwrap.fill(
            "Hide a random payload in each image and write the stego images, losslessly "
            "and in the input's format (PNG for lossy inputs such as JPEG), under OUTDIR, "
            "keeping the layout of folders. Each image gets a row in "
            f"OUTDIR/{CSV_NAME}, written as it finishes. Exit code 0 when every image "
            "succeeded, 1 when any failed (the others are still done).",
            width=79,
            break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Folders are searched recursively for .png, .pgm, .ppm, .pnm, .tif, .tiff and .bmp "
               "files;\nfiles named explicitly may be in any format Pillow reads.\n"
               "With --seed S, the image found as REL (its path under the input folder, or its file\n"
               "name when named itself) is embedded with the seed velmora.derive_seed(S, 'embed', REL):\n"
               "the first 8 bytes, big-endian, of the SHA-256 of the JSON text [S, \"embed\", \"REL\"]\n"
               "(its top 32 bits for --method mipod, whose generator takes no more).\n"
               "A baseline method hides no bits: it changes pixels as the method would, at the payload's\n"
               "rate (bits / pixels for a number of bits).\n"
               "Ctrl-C (or SIGTERM) finishes the images in progress and stops (exit code 130 or 143);\n"
               "a second one stops at once. No partial image is left behind either way: run the\n"
               "same command with --resume to finish.",
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                   help="folder for the stego images and the CSV (created if missing)")
    p.add_argument("--payload", type=_payload, required=True, metavar="N|RATEbpp",
                   help="bits to hide per image: a count such as 1000, or a rate such as 0.1bpp "
                        "(round(rate x height x width) bits)")
    p.add_argument("--method", choices=EMBED_METHODS, default="velmora", metavar="METHOD",
                   help="velmora (this system, the default), or a baseline of velmora.baselines "
                        "to build a data set to compare with: lsbm (LSB matching at random "
                        "positions), hill, suniward, wow, mipod (pixel for pixel conseal's "
                        "simulators)")
    _add_engine_options(p)
    p.add_argument("--details", action="store_true",
                   help="also write IMAGE.npz beside each stego image with coords_y, coords_x and "
                        "payload (velmora), or coords_y, coords_x and delta, the pixels changed and "
                        "by how much (baselines); for show and verify")
    p.add_argument("--seed", type=_seed, default=None, metavar="S",
                   help="reproducible run: each image is embedded with its own seed derived from S "
                        "(0 ... 2**64 - 1) and its path relative to the input it was found under, "
                        "written to the CSV's seed column; the same S gives byte-identical results "
                        "whatever --jobs, the order of the inputs or --resume (default: fresh "
                        "entropy for every image)")
    _add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="skip images that the existing CSV lists as done and whose output exists")
    p.add_argument("--format", type=_out_format, default=None, metavar="FORMAT",
                   help="write every stego image as png, tiff, bmp or pgm instead of the input's "
                        "format (JPEG is refused)")
    _add_gray_option(p)
    p.set_defaults(func=cmd_embed)

    p = sub.add_parser(
        "pool", help="draw the quadtree pool of an image",
        description="Draw IMAGE with the pixels of its quadtree pool (the candidates for "
                    "embedding) tinted orange, and save the figure (PNG, or by suffix PDF/SVG).",
    )
    p.add_argument("image", metavar="IMAGE")
    p.add_argument("-o", "--output", required=True, metavar="FIGURE", help="figure file to write")
    p.add_argument("--min-block", type=_int_at_least(1), default=4, metavar="N",
                   help="smallest quadtree block side in pixels (default: 4)")
    _add_zoom_option(p)
    _add_gray_option(p)
    p.set_defaults(func=cmd_pool)

    p = sub.add_parser(
        "show", help="draw the cover, the chosen coordinates and the changed pixels side by side",
        description="Draw three panels: the cover, the coordinates listed in the details file "
                    "(cyan), and the pixels the stego image changes (red +1, blue -1).",
    )
    p.add_argument("cover", metavar="COVER")
    p.add_argument("stego", metavar="STEGO")
    p.add_argument("--details", required=True, metavar="FILE.npz",
                   help="the .npz that embed --details wrote for STEGO")
    p.add_argument("-o", "--output", required=True, metavar="FIGURE", help="figure file to write")
    _add_zoom_option(p)
    _add_gray_option(p)
    p.set_defaults(func=cmd_show)

    p = sub.add_parser(
        "verify", help="check a stego image against its cover and details file",
        description="Check that STEGO differs from COVER only at the coordinates listed in the "
                    "details file, by at most one grey level, and that every listed pixel's least "
                    "significant bit equals its payload bit (for a baseline's details: that the "
                    "listed pixels changed by their delta and no other did). Prints one line, OK: "
                    "... (exit code 0) or FAIL: ... (exit code 1).",
    )
    p.add_argument("cover", metavar="COVER")
    p.add_argument("stego", metavar="STEGO")
    p.add_argument("--details", required=True, metavar="FILE.npz",
                   help="the .npz that embed --details wrote for STEGO")
    _add_gray_option(p)
    p.set_defaults(func=cmd_verify)

    _add_features_parser(sub)
    _add_evaluate_parser(sub)
    return parser


def _feature_kind(text: str) -> str:
    from .features import KINDS

    kind = text.strip().lower()
    if kind not in KINDS:
        raise argparse.ArgumentTypeError(
            f"unknown feature set {text!r}: choose {', '.join(KINDS[:-1])} or {KINDS[-1]}")
    return kind


def _add_features_parser(sub: Any) -> None:
    from . import features

    sizes = ", ".join(f"{k} {features.dimension(k)} ({features.min_side(k)}x{features.min_side(k)})"
                      for k in features.KINDS)
    p = sub.add_parser(
        "features", help="extract the steganalysis features of a collection of images into one matrix",
        description=textwrap.fill(
            "Extract the SPAM or spatial rich model features of every image with velmora's native "
            "extractor and write them as one float32 matrix, a row per image in the sorted order of the "
            "images' paths: the usual input of a classifier. OUT/features.npy holds the matrix and "
            "OUT/index.json each row's image path, the submodels of the columns and the images "
            "skipped. Rows are written as images finish, so memory stays small however many there "
            "are. Exit code 0 when every image has a row, 1 when any was skipped (the others are "
            "still done).",
            width=79,
            break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=textwrap.dedent(f"""\
            Folders are searched recursively for .png, .pgm, .ppm, .pnm, .tif, .tiff and .bmp files;
            files named explicitly may be in any format Pillow reads. A row is named by its image's
            path relative to the input it was found under (its file name when named itself).

            feature sets, dimensions (smallest image): {sizes}
            Unreadable images, colour images without --gray and images smaller than the feature set
            takes are reported and get no row.

            OUT/features.npy   rows x dimension, float32: numpy.load(path, mmap_mode="r") maps it
            OUT/index.json     kind, extractor, submodels [[name, dimension], ...] in column order,
                               paths (one per row), skipped {{path: reason}}, status
            In Python, velmora.features.load(OUT) returns all of it, the matrix memory-mapped.

            Ctrl-C (or SIGTERM) finishes the images in progress and stops (exit code 130 or 143); a
            second one stops at once. The rows done are kept either way (in OUT/features.partial.npy
            and OUT/progress.jsonl until the run is complete): run the same command with --resume to
            finish without extracting any image twice."""),
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="folder for the matrix and its index (created if missing)")
    p.add_argument("--features", type=_feature_kind, required=True, metavar="SET",
                   help=f"feature set: {', '.join(features.KINDS)}")
    _add_gray_option(p)
    _add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="go on with a stopped run in OUT: images with a row or skipped before are not "
                        "extracted again; refused when OUT was written with other inputs, another "
                        "--features or --gray")
    p.set_defaults(func=cmd_features)


def _add_evaluate_parser(sub: Any) -> None:
    from .evaluation.settings import DEFAULT_LEARNERS, DEFAULT_SUBSPACE, METHODS
    from .features import KINDS, dimension

    p = sub.add_parser(
        "evaluate", help="measure how detectable the embedding is, against baseline methods",
        description=textwrap.fill(
            "Embed every cover with each method at each payload, extract steganalysis features "
            "from covers and stego images, and train an FLD ensemble on the paired features of "
            "half of the source images and score its decisions on the other half, over random "
            "splits. Writes REPORT_DIR/results.csv, results-splits.csv, report.md, splits.csv and "
            "pe.png (P_E against payload). Everything is seeded from --seed, and finished work is "
            "cached in REPORT_DIR/cache: a second run with more methods, payloads or splits "
            "computes only what is new. Needs the eval extra: pip install 'velmora-core[eval]'.",
            width=79, break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=textwrap.dedent(f"""\
            methods: velmora (this system, seeded velmora.embed), lsbm (LSB matching at random
              positions), hill, suniward, wow, mipod (velmora.baselines: conseal's simulators,
              native, each cover's costs computed once for all payloads), none (the cover
              unchanged: a control, whose P_E is chance)
            features: {', '.join(f'{k} ({dimension(k)})' for k in KINDS)} dimensions, from velmora's native
              extractor, kept as matrices in REPORT_DIR/cache/features; detector: velmora.ensemble

            P_E = (P_FA + P_MD) / 2 of the trained detector's own decisions (its majority vote at
            the threshold training fixed) on the test half, mean and standard deviation over the
            splits; a split can give more than 0.5. When velmora is among the methods, a cover whose
            quadtree pool is not larger than a payload is left out of that payload for every method,
            so that all methods are compared on the same covers. Ctrl-C finishes the work in
            progress and stops; run the same command again (or with --resume) to go on."""),
    )
    p.add_argument("inputs", nargs="+", metavar="COVERS", help="cover image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="REPORT_DIR", help="folder for the report and its cache")
    p.add_argument("--payload", type=_payload_list, default=(0.05, 0.1, 0.2), metavar="BPP,...",
                   help="payloads in bits per pixel (default: 0.05,0.1,0.2)")
    p.add_argument("--methods", type=_name_list, default=("velmora", "lsbm", "hill"), metavar="M,...",
                   help=f"methods to compare, of {', '.join(METHODS)} (default: velmora,lsbm,hill)")
    p.add_argument("--features", type=str.lower, default="srm", metavar="SET",
                   help=f"feature set: {', '.join(KINDS)} (default: srm)")
    p.add_argument("--crop", type=_int_at_least(1), default=None, metavar="N",
                   help="use seeded N x N crops of the images instead of whole images; images smaller "
                        "than N are left out")
    p.add_argument("--crops-per-image", type=_int_at_least(1), default=1, metavar="K",
                   help="crops per image with --crop (default: 1)")
    p.add_argument("--splits", type=_int_at_least(1), default=10, metavar="N",
                   help="random 50/50 splits by source image (default: 10)")
    p.add_argument("--seed", type=_seed, default=0, metavar="S",
                   help="seed of crops, embeddings, splits and detectors (default: 0)")
    p.add_argument("--learners", type=_count_or_auto(1), default=DEFAULT_LEARNERS, metavar="N|auto",
                   help="base learners of the ensemble, or auto: until its out-of-bag error settles "
                        f"(default: {DEFAULT_LEARNERS})")
    p.add_argument("--subspace", type=_count_or_auto(1), default=DEFAULT_SUBSPACE, metavar="D|auto",
                   help="subspace dimension of each base learner (at most the feature dimension), or auto "
                        f"for the ensemble's search (default: {DEFAULT_SUBSPACE}); the search trains an ensemble "
                        "for each dimension it tries")
    _add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="go on after an interruption; finished work is always taken from REPORT_DIR's cache")
    p.add_argument("--figure", type=_name_list, default=("png",), metavar="FMT,...",
                   help="formats of the P_E figure: png, pdf, svg (default: png)")
    _add_engine_options(p)
    _add_gray_option(p)
    p.set_defaults(func=cmd_evaluate)


def _version() -> str:
    try:
        from importlib.metadata import version

        return version("velmora-core")
    except Exception:
        return "unknown"


# --- helpers --------------------------------------------------------------------
def _err(command: str, message: str) -> None:
    print(f"{PROG} {command}: {message}", file=sys.stderr, flush=True)


def _read(command: str, path: str, gray: bool) -> npt.NDArray[np.uint8]:
    image, note = read_gray(path, gray)
    if note is not None:
        _err(command, f"{path}: {note}")
    return image


def _load_details(path: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64], str]:
    """coords_y, coords_x and the third array of a details file, checked for
    shape, and that array's name: "payload" (velmora) or "delta" (a
    baseline)."""
    with open(path, "rb") as f:
        if f.read(4) != b"PK\x03\x04":
            raise ValueError(f"{path}: not a .npz details file (embed --details writes them)")
    try:
        with np.load(path, allow_pickle=False) as data:
            third = "delta" if "delta" in data.files and "payload" not in data.files else "payload"
            missing = [k for k in ("coords_y", "coords_x", third) if k not in data.files]
            if missing:
                raise ValueError(f"{path}: missing {', '.join(missing)} (not written by embed --details?)")
            ys, xs, values = data["coords_y"], data["coords_x"], data[third]
    except (OSError, EOFError) as e:
        raise ValueError(f"{path}: cannot read the details file: {e}") from None
    for name, a in (("coords_y", ys), ("coords_x", xs), (third, values)):
        if a.ndim != 1 or not np.issubdtype(a.dtype, np.integer):
            raise ValueError(f"{path}: {name} must be a 1-D integer array, got {a.dtype} {a.shape}")
    if not (ys.size == xs.size == values.size):
        raise ValueError(
            f"{path}: coords_y, coords_x and {third} differ in length ({ys.size}, {xs.size}, {values.size})"
        )
    return ys.astype(np.int64), xs.astype(np.int64), values.astype(np.int64), third


def check_changes(
    cover: npt.NDArray[np.uint8],
    stego: npt.NDArray[np.uint8],
    coords_y: npt.NDArray[np.int64],
    coords_x: npt.NDArray[np.int64],
    delta: npt.NDArray[np.int64],
) -> tuple[bool, str]:
    """(passed, message) for verify with a baseline's details: the stego image
    differs from the cover exactly at the listed pixels, by their delta."""
    if cover.shape != stego.shape:
        return False, f"cover is {cover.shape[0]}x{cover.shape[1]} but stego is {stego.shape[0]}x{stego.shape[1]}"
    h, w = cover.shape
    if coords_y.size and (coords_y.min() < 0 or coords_y.max() >= h or coords_x.min() < 0 or coords_x.max() >= w):
        return False, f"a listed coordinate lies outside the {h}x{w} image"
    expected = np.zeros((h, w), np.int64)
    expected[coords_y, coords_x] = delta
    diff = stego.astype(np.int64) - cover.astype(np.int64)
    wrong = diff != expected
    if wrong.any():
        y, x = np.argwhere(wrong)[0]
        return False, (f"{int(wrong.sum())} pixel(s) differ from the listed changes, first at ({y}, {x}): "
                       f"cover {cover[y, x]}, stego {stego[y, x]}, listed change {expected[y, x]:+d}")
    p = psnr(cover, stego)
    quality = "identical images" if math.isinf(p) else f"PSNR {p:.2f} dB"
    return True, f"{coords_y.size} listed change(s) of at most one grey level and no other ({quality})"


def check_embedding(
    cover: npt.NDArray[np.uint8],
    stego: npt.NDArray[np.uint8],
    coords_y: npt.NDArray[np.int64],
    coords_x: npt.NDArray[np.int64],
    payload: npt.NDArray[Any],
) -> tuple[bool, str]:
    """(passed, message) for verify: see ``velmora verify --help``."""
    if cover.shape != stego.shape:
        return False, f"cover is {cover.shape[0]}x{cover.shape[1]} but stego is {stego.shape[0]}x{stego.shape[1]}"
    h, w = cover.shape
    n = coords_y.size
    if n and (coords_y.min() < 0 or coords_y.max() >= h or coords_x.min() < 0 or coords_x.max() >= w):
        bad = np.flatnonzero((coords_y < 0) | (coords_y >= h) | (coords_x < 0) | (coords_x >= w))[0]
        return False, f"listed coordinate ({coords_y[bad]}, {coords_x[bad]}) lies outside the {h}x{w} image"
    payload = np.asarray(payload)
    if n and (payload.min() < 0 or payload.max() > 1):
        bad = np.flatnonzero((payload < 0) | (payload > 1))[0]
        return False, f"payload entry {bad} is {payload[bad]}, not a bit"
    diff = stego.astype(np.int16) - cover.astype(np.int16)
    too_far = np.abs(diff) > 1
    if too_far.any():
        y, x = np.argwhere(too_far)[0]
        return False, (
            f"{int(too_far.sum())} pixel(s) differ by more than one grey level, first at ({y}, {x}): "
            f"cover {cover[y, x]}, stego {stego[y, x]}"
        )
    listed = np.zeros((h, w), dtype=bool)
    listed[coords_y, coords_x] = True
    unlisted = (diff != 0) & ~listed
    if unlisted.any():
        y, x = np.argwhere(unlisted)[0]
        return False, (
            f"{int(unlisted.sum())} changed pixel(s) are not listed in the details, first at ({y}, {x}): "
            f"cover {cover[y, x]}, stego {stego[y, x]}"
        )
    # Each listed pixel must carry its bit; for a pixel listed twice the last
    # entry is the one that counts.
    linear = coords_y * w + coords_x
    _, first_in_reversed = np.unique(linear[::-1], return_index=True)
    last = np.sort(n - 1 - first_in_reversed)
    ys, xs, bits = coords_y[last], coords_x[last], payload[last].astype(np.int64)
    carried = (stego[ys, xs] & 1).astype(np.int64)
    wrong = np.flatnonzero(carried != bits)
    if wrong.size:
        i = wrong[0]
        return False, (
            f"{wrong.size} listed pixel(s) do not carry their payload bit, first at ({ys[i]}, {xs[i]}): "
            f"bit {bits[i]}, stego {stego[ys[i], xs[i]]}"
        )
    changed = int(np.count_nonzero(diff))
    p = psnr(cover, stego)
    quality = "identical images" if math.isinf(p) else f"PSNR {p:.2f} dB"
    return True, (
        f"{last.size} listed pixel(s) carry their payload bits; {changed} changed by one grey level, "
        f"no other pixel changed ({quality})"
    )


# --- commands -------------------------------------------------------------------
def cmd_demo(args: argparse.Namespace) -> int:
    import velmora_core

    from ._api import embed
    from ._example import example_image
    from ._plot import new_figure, plot_embedding, plot_pool, save_figure

    outdir = args.output
    os.makedirs(outdir, exist_ok=True)
    cover = example_image(args.size)
    h, w = cover.shape
    bits = args.payload.bits_for(h, w)
    if bits < 1:
        raise UsageError(f"a payload of {args.payload} rounds to 0 bits for a {h}x{w} image")
    try:
        result = embed(cover, bits, seed=args.seed, colony_size=args.colony_size,
                       max_iter=args.max_iter, min_block=args.min_block)
    except ValueError as e:
        _err("demo", str(e))
        return 1
    stego, ms, pool_size = result.stego, result.elapsed_ms, result.pool_size
    ys, xs, payload = result.coords_y, result.coords_x, result.payload
    changed = result.changes
    quality = psnr(cover, stego)

    paths = {name: os.path.join(outdir, name) for name in ("cover.png", "stego.png", "pool.png", "embedding.png")}
    details = details_path_for(paths["stego.png"])
    save_lossless(paths["cover.png"], cover)
    save_lossless(paths["stego.png"], stego)
    save_npz(details, coords_y=ys, coords_x=xs, payload=payload)
    pool = velmora_core.get_quadtree_sparse_map(cover, args.min_block)
    fig, (ax,) = new_figure(cover.shape, 1)
    plot_pool(cover, pool, ax)
    save_figure(fig, paths["pool.png"])
    save_figure(plot_embedding(cover, stego, ys, xs), paths["embedding.png"])

    seeded = "" if args.seed is None else f", seed {args.seed}"
    print(f"velmora demo: {h}x{w} example image, payload {args.payload}{seeded}")
    rows = [
        ("pool size", f"{pool_size} pixels ({100.0 * pool_size / cover.size:.1f}% of the image)"),
        ("payload", f"{bits} bits"),
        ("bits per pixel", f"{bits / cover.size:.4f}"),
        ("elapsed", f"{ms:.2f} ms"),
        ("pixels changed", f"{changed} ({100.0 * changed / bits:.1f}% of the payload bits)"),
        ("PSNR", "inf (identical)" if math.isinf(quality) else f"{quality:.2f} dB"),
    ]
    for label, value in rows:
        print(f"  {label:<15} {value}")
    print("wrote:")
    described = [
        (paths["cover.png"], "the example image (cover)"),
        (paths["stego.png"], "the cover with the payload hidden"),
        (details, "chosen coordinates and payload bits"),
        (paths["pool.png"], "the quadtree pool over the cover"),
        (paths["embedding.png"], "cover | chosen coordinates | changed pixels"),
    ]
    width = max(len(p) for p, _ in described)
    for p, what in described:
        print(f"  {p:<{width}}  {what}")
    print(f"check it: {PROG} verify {paths['cover.png']} {paths['stego.png']} --details {details}")
    return 0


def cmd_embed(args: argparse.Namespace) -> int:
    if args.method != "velmora" and (args.colony_size, args.max_iter, args.min_block) != (30, 50, 4):
        raise UsageError("--colony-size, --max-iter and --min-block are velmora's: they do not apply to "
                         f"--method {args.method}")
    jobs = collect_jobs(args.inputs, args.output, args.format)
    settings = Settings(
        payload=args.payload,
        colony_size=args.colony_size,
        max_iter=args.max_iter,
        min_block=args.min_block,
        gray=args.gray,
        details=args.details,
        seed=args.seed,
        method=args.method,
    )
    workers = args.jobs or (os.cpu_count() or 1)
    run = BatchRun(jobs, settings, args.output, workers, args.resume, cluster=args.cluster)
    summary = run.run()
    csv_path = os.path.join(args.output, CSV_NAME)
    parts = [f"{summary.ok} embedded", f"{summary.failed} failed"]
    if summary.skipped:
        parts.append(f"{summary.skipped} skipped as done before")
    if summary.converted:
        parts.append(f"{summary.converted} converted to grayscale")
    if summary.stopped_by is not None:
        name = signal.Signals(summary.stopped_by).name
        _err(
            "embed",
            f"stopped by {name} with {summary.ok + summary.failed} of "
            f"{summary.total - summary.skipped} image(s) done: {', '.join(parts)}. Finished rows are "
            f"in {csv_path}; run the same command with --resume to finish.",
        )
    else:
        print(f"{summary.total} image(s): {', '.join(parts)}; log: {csv_path}")
    return exit_code(summary)


def cmd_pool(args: argparse.Namespace) -> int:
    import velmora_core

    from ._plot import new_figure, plot_pool, save_figure

    image = _read("pool", args.image, args.gray)
    pool = velmora_core.get_quadtree_sparse_map(image, args.min_block)
    fig, (ax,) = new_figure(image.shape, 1, args.zoom)
    plot_pool(image, pool, ax)
    save_figure(fig, args.output)
    print(f"{args.image}: pool of {len(pool)} of {image.size} pixels "
          f"({100.0 * len(pool) / image.size:.1f}%); wrote {args.output}")
    return 0


def cmd_show(args: argparse.Namespace) -> int:
    from ._plot import plot_embedding, save_figure

    cover = _read("show", args.cover, args.gray)
    stego = _read("show", args.stego, False)
    ys, xs, _, _ = _load_details(args.details)
    fig = plot_embedding(cover, stego, ys, xs, zoom=args.zoom)
    save_figure(fig, args.output)
    print(f"wrote {args.output}")
    return 0


def cmd_verify(args: argparse.Namespace) -> int:
    try:
        cover = _read("verify", args.cover, args.gray)
        stego = _read("verify", args.stego, False)
        ys, xs, values, kind = _load_details(args.details)
        check = check_embedding if kind == "payload" else check_changes
        ok, message = check(cover, stego, ys, xs, values)
    except (ValueError, OSError) as e:
        ok, message = False, describe_error(e)
    print(f"{'OK' if ok else 'FAIL'}: {message}", flush=True)
    return 0 if ok else 1


def cmd_features(args: argparse.Namespace) -> int:
    from ._featurebatch import FeatureRun, exit_code
    from .features import MATRIX_NAME, dimension

    workers = args.jobs or (os.cpu_count() or 1)
    run = FeatureRun(args.inputs, args.output, args.features, args.gray, workers, args.resume,
                     cluster=args.cluster)
    summary = run.run()
    parts = [f"{summary.ok} extracted", f"{summary.skipped} skipped"]
    if summary.before:
        earlier = f" ({summary.skipped_before} of them skipped)" if summary.skipped_before else ""
        parts.append(f"{summary.before} done before{earlier}")
    if summary.converted:
        parts.append(f"{summary.converted} converted to grayscale")
    if summary.stopped_by is not None:
        done = summary.before + summary.ok + summary.skipped
        _err("features", f"stopped by {signal.Signals(summary.stopped_by).name} with {done} of "
                         f"{summary.total} image(s) done: {', '.join(parts)}. The rows done are kept in "
                         f"{args.output}; run the same command with --resume to finish.")
    else:
        matrix = os.path.join(args.output, MATRIX_NAME)
        print(f"{summary.total} image(s): {', '.join(parts)}; wrote {matrix} "
              f"({summary.rows} x {dimension(args.features)} float32, {args.features})")
    return exit_code(summary)


def cmd_evaluate(args: argparse.Namespace) -> int:
    from ._executor import Interrupted, StopRequest, signal_name
    from .evaluation.run import evaluate
    from .evaluation.settings import Stopped

    if args.resume and not os.path.exists(os.path.join(args.output, "cache", "index.jsonl")):
        raise UsageError(f"--resume: {args.output} holds no earlier run to go on with")
    command = shlex.join(["velmora", *sys.argv[1:]]) if sys.argv[1:2] == ["evaluate"] else None
    try:
        with StopRequest("velmora evaluate") as stop:
            rows = evaluate(
                args.inputs, args.output, payloads=args.payload, methods=args.methods, features=args.features,
                crop=args.crop, crops_per_image=args.crops_per_image, splits=args.splits, seed=args.seed,
                learners=args.learners, subspace=args.subspace, colony_size=args.colony_size,
                max_iter=args.max_iter, min_block=args.min_block, gray=args.gray, jobs=args.jobs,
                figure_formats=args.figure, stop=stop, command=command, cluster=args.cluster,
            )
    except (Stopped, Interrupted) as e:
        _err("evaluate", f"stopped by {signal_name(e.signum)}; finished work is kept in "
                         f"{os.path.join(args.output, 'cache')}: run the same command again to go on")
        return 128 + e.signum
    print(f"{'method':<10} {'bpp':>6} {'pairs':>6} {'left out':>8} {'test pairs':>10} {'P_E':>14}")
    for r in rows:
        pe = "n/a" if math.isnan(r["pe_mean"]) else f"{r['pe_mean']:.3f} \u00b1 {r['pe_std']:.3f}"
        test = "n/a" if math.isnan(r["test_pairs"]) else f"{r['test_pairs']:.1f}"
        print(f"{r['method']:<10} {r['payload_bpp']:>6g} {r['pairs']:>6} {r['left_out']:>8} {test:>10} {pe:>14}")
    print(f"wrote {os.path.join(args.output, 'report.md')}, results.csv, results-splits.csv, splits.csv and "
          f"{', '.join('pe.' + f for f in args.figure)}")
    unusable = getattr(rows, "unusable", {})
    if unusable:
        _err("evaluate", f"{len(unusable)} cover(s) or image(s) could not be used and were left out "
                         "(named above and in report.md)")
        return 1
    return 0


# --- entry point ----------------------------------------------------------------
def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    parser = build_parser()
    args = parser.parse_args(argv)
    # SIGTERM unwinds like Ctrl-C, so that no temporary file outlives it
    # (embed installs its own handlers while images are being processed).
    previous = signal.signal(signal.SIGTERM, _exit_on_sigterm)
    try:
        return int(args.func(args))
    except UsageError as e:
        _err(args.command, f"error: {e}")
        return 2
    except ModuleNotFoundError as e:
        if e.name and e.name.split(".")[0] in ("PIL", "tqdm", "matplotlib"):
            _err(args.command, f"error: {e.name.split('.')[0]} is not installed; {EXTRA_HINT}")
            return 2
        if e.name and e.name.split(".")[0] in ("distributed", "dask"):
            _err(args.command, f"error: --cluster {CLUSTER_HINT}")
            return 2
        raise
    except ClusterError as e:
        _err(args.command, f"error: {e}")
        return 2
    except (ValueError, OSError) as e:
        _err(args.command, f"error: {describe_error(e)}")
        return 1
    except KeyboardInterrupt:
        _err(args.command, "interrupted")
        return 130
    finally:
        signal.signal(signal.SIGTERM, previous)


def _exit_on_sigterm(signum: int, frame: object) -> None:
    raise SystemExit(128 + signum)


if __name__ == "__main__":
    sys.exit(main())
