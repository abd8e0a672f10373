"""The covers of a run: image files or seeded crops of them, and the random
halves by source image that the detectors are trained and tested on."""

from __future__ import annotations

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .._api import derive_seed
from .._batch import UsageError, find_images
from .._imageio import describe_error, read_gray
from ..features import min_side
from .settings import EvalSettings


@dataclass(frozen=True)
class Cover:
    """One cover: an image file, or an N x N crop of it."""

    source: str  # the path to read
    rel: str  # the source image's path relative to its input: the split group
    gray: bool = False  # convert colour images (--gray)
    crop: tuple[int, int, int] | None = None  # (y, x, side)

    @property
    def id(self) -> str:
        if self.crop is None:
            return self.rel
        y, x, n = self.crop
        return f"{self.rel}@{y},{x}+{n}"

    def read(self) -> npt.NDArray[np.uint8]:
        image, _note = read_gray(self.source, self.gray)
        if self.crop is not None:
            y, x, n = self.crop
            image = image[y : y + n, x : x + n]
        return np.ascontiguousarray(image)


@dataclass
class CoverSet:
    covers: list[Cover]
    sources: int  # source images that gave at least one cover
    unusable: dict[str, str] = field(default_factory=dict)  # source or cover id -> reason
    too_small: list[str] = field(default_factory=list)  # sources smaller than the crop, with their size
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
    """The covers of the images named by ``inputs``. Every image is read
    whole here, as the workers will read it, so that one that cannot be used
    (unreadable, truncated, colour without --gray, 16-bit, too small) is
    known, and named, before any work starts."""
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
    side = max(min_side(f) for f in settings.features)
    for source, rel_path in found:
        rel = rel_path.as_posix()
        try:
            st = os.stat(source)
            h, w = read_gray(source, settings.gray)[0].shape
        except (ValueError, OSError) as e:  # an image that cannot be used: reported, the others go on
            text = describe_error(e).removeprefix(f"{source}: ")
            result.unusable[rel] = text if isinstance(e, ValueError) else f"cannot be read: {text}"
            continue
        result.stats[rel] = {"size": st.st_size, "mtime_ns": st.st_mtime_ns}
        if settings.crop is None:
            if min(h, w) < side:
                result.unusable[rel] = f"{h}x{w} is too small for {' and '.join(settings.features)} features"
                continue
            result.covers.append(Cover(source, rel, settings.gray))
        else:
            n = settings.crop
            if h < n or w < n:
                result.too_small.append(f"{rel} ({h}x{w})")
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
