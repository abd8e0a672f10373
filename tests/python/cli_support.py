"""Helpers for the command line tests: running ``velmora`` in a subprocess and
writing the image files it works on."""

from __future__ import annotations

import csv
import os
import struct
import subprocess
import sys
from pathlib import Path

import numpy as np

CSV_NAME = "velmora-embed.csv"

# Figures are laid out pixel for pixel: n panels of an H x W image magnified
# `zoom` times are n*W*zoom + 8*(n+1) pixels wide and H*zoom + 24 + 16 high;
# without --zoom the magnification is ceil(256 / max(H, W)), at least 1.
MARGIN, TITLE = 8, 24


def figure_pixels(h: int, w: int, panels: int, zoom: int) -> tuple[int, int]:
    return panels * w * zoom + (panels + 1) * MARGIN, h * zoom + TITLE + 2 * MARGIN


def run_velmora(*args: object, cwd: Path | None = None, timeout: float = 120,
                env: dict[str, str] | None = None) -> subprocess.CompletedProcess[str]:
    """`python -m velmora ARGS` with stdin closed, and `env` added to the
    environment; output captured as text."""
    return subprocess.run(
        [sys.executable, "-m", "velmora", *map(str, args)],
        cwd=cwd,
        env=None if env is None else {**os.environ, **env},
        stdin=subprocess.DEVNULL,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def start_velmora(*args: object, cwd: Path | None = None) -> subprocess.Popen[str]:
    return subprocess.Popen(
        [sys.executable, "-m", "velmora", *map(str, args)],
        cwd=cwd,
        stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def read_rows(outdir: Path) -> list[dict[str, str]]:
    with open(outdir / CSV_NAME, newline="", encoding="utf-8") as f:
        return list(csv.DictReader(f))


def rows_by_path(outdir: Path) -> dict[str, dict[str, str]]:
    """The CSV rows keyed by the input path's file name."""
    return {Path(r["path"]).name: r for r in read_rows(outdir)}


def png_size(path: Path) -> tuple[int, int]:
    """(width, height) from a PNG's header, after checking its signature."""
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is not a PNG"
    assert head[12:16] == b"IHDR"
    return struct.unpack(">II", head[16:24])


def leftovers(folder: Path) -> list[str]:
    """Hidden or temporary files anywhere under `folder`."""
    found = []
    for root, _dirs, files in os.walk(folder):
        for name in files:
            if name.startswith(".") or "tmp" in name:
                found.append(os.path.join(root, name))
    return found


def textured(h: int, w: int, seed: int) -> np.ndarray:
    """Noise over a gradient, with a flat band: a pool of roughly two thirds of the pixels."""
    rng = np.random.default_rng(seed)
    img = np.add.outer(np.arange(h) * 0.5, np.arange(w) * 0.8) + rng.integers(0, 90, (h, w))
    img[:, : w // 3] = 100
    return np.clip(img, 0, 255).astype(np.uint8)


def write_image(path: Path, array: np.ndarray, **kwargs: object) -> Path:
    from PIL import Image

    path.parent.mkdir(parents=True, exist_ok=True)
    Image.fromarray(array).save(path, **kwargs)
    return path


def read_image(path: Path) -> np.ndarray:
    from PIL import Image

    with Image.open(path) as im:
        assert im.mode == "L", f"{path}: mode {im.mode}"
        return np.asarray(im).copy()
