"""``velmora verify``: check a stego image against its cover and details file."""

from __future__ import annotations

import argparse
import math
from typing import Any

import numpy as np
import numpy.typing as npt

from .._imageio import describe_error, psnr
from ._common import add_gray_option, load_details, read

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


def add_parser(sub: Any) -> None:
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
    add_gray_option(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    try:
        cover = read("verify", args.cover, args.gray)
        stego = read("verify", args.stego, False)
        ys, xs, values, kind = load_details(args.details)
        check = check_embedding if kind == "payload" else check_changes
        ok, message = check(cover, stego, ys, xs, values)
    except (ValueError, OSError) as e:
        ok, message = False, describe_error(e)
    print(f"{'OK' if ok else 'FAIL'}: {message}", flush=True)
    return 0 if ok else 1
