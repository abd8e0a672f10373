"""What the commands of the command line share: argument types, the
options that several commands take, and messages."""

from __future__ import annotations

import argparse
import sys
from typing import Any

import numpy as np
import numpy.typing as npt

from .._api import SEED_MAX
from .._batch import FORMAT_SUFFIXES, Payload
from .._imageio import LUMA_NOTE, read_gray

PROG = "velmora"
EXTRA_HINT = "install the command line's dependencies with: pip install 'velmora-core[cli]'"
CLUSTER_HINT = "needs the cluster extra: pip install 'velmora-core[cluster]'"


# --- argument types -------------------------------------------------------------
def payload_arg(text: str) -> Payload:
    try:
        return Payload.parse(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def int_at_least(low: int) -> Any:
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


def out_format(text: str) -> str:
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


def add_engine_options(p: argparse.ArgumentParser) -> None:
    """--colony-size, --max-iter and --min-block: velmora's engine options."""
    g = p.add_argument_group("engine")
    g.add_argument("--colony-size", type=int_at_least(1), default=30, metavar="N",
                   help="food sources (bees) in the colony (default: 30)")
    g.add_argument("--max-iter", type=int_at_least(0), default=50, metavar="N",
                   help="colony search iterations (default: 50)")
    g.add_argument("--min-block", type=int_at_least(1), default=4, metavar="N",
                   help="smallest quadtree block side in pixels (default: 4)")


def seed_arg(text: str) -> int:
    try:
        value = int(text, 0)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if not 0 <= value <= SEED_MAX:
        raise argparse.ArgumentTypeError(f"must be in 0 ... 2**64 - 1, got {value}")
    return value


def payload_list(text: str) -> tuple[float, ...]:
    values = []
    for part in text.split(","):
        t = part.strip().lower().removesuffix("bpp")
        try:
            value = float(t)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected bits per pixel such as 0.05,0.1,0.2, got {text!r}") from None
        values.append(value)  # the range is checked with the other settings
    return tuple(values)


def name_list(text: str) -> tuple[str, ...]:
    return tuple(p.strip().lower() for p in text.split(",") if p.strip())


def count_or_auto(low: int) -> Any:
    number = int_at_least(low)

    def convert(text: str) -> int | None:
        return None if text.strip().lower() in ("auto", "automatic") else int(number(text))

    convert.__name__ = "count"
    return convert


def add_workers_options(p: argparse.ArgumentParser) -> None:
    g = p.add_mutually_exclusive_group()
    g.add_argument("--jobs", "-j", type=int_at_least(0), default=1, metavar="N",
                   help="worker processes (default: 1; 0 means one per CPU)")
    g.add_argument("--cluster", default=None, metavar="ADDRESS",
                   help="run on a Dask cluster instead: tcp://HOST:PORT of a running scheduler, or "
                        "local:N to start N local worker processes for the run; inputs and outputs "
                        f"must be on a file system that every worker sees ({CLUSTER_HINT})")


def add_gray_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--gray", action="store_true",
                   help=f"convert colour, palette and grayscale+alpha images to grayscale with the {LUMA_NOTE} "
                        "(otherwise they are refused)")


def add_zoom_option(p: argparse.ArgumentParser) -> None:
    p.add_argument("--zoom", type=int_at_least(1), default=None, metavar="N",
                   help="draw every image pixel as N x N figure pixels (default: enough for the "
                        "longer side to reach 256 pixels, at least 1)")


def feature_kind(text: str) -> str:
    from ..features import KINDS

    kind = text.strip().lower()
    if kind not in KINDS:
        raise argparse.ArgumentTypeError(
            f"unknown feature set {text!r}: choose {', '.join(KINDS[:-1])} or {KINDS[-1]}")
    return kind


# --- messages and files ---------------------------------------------------------
def version() -> str:
    try:
        from importlib.metadata import version

        return version("velmora-core")
    except Exception:
        return "unknown"


def err(command: str, message: str) -> None:
    print(f"{PROG} {command}: {message}", file=sys.stderr, flush=True)


def read(command: str, path: str, gray: bool) -> npt.NDArray[np.uint8]:
    image, note = read_gray(path, gray)
    if note is not None:
        err(command, f"{path}: {note}")
    return image


def load_details(path: str) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64], npt.NDArray[np.int64], str]:
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


