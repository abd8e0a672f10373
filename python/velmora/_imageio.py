"""Reading 8-bit grayscale images, writing them losslessly, and image quality."""

from __future__ import annotations

import math
import os
import struct
import tempfile
from collections.abc import Iterable, Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import IO, Any, cast

import numpy as np
import numpy.typing as npt

StrPath = str | os.PathLike[str]

# ITU-R BT.601 luma weights, in thousandths.
_LUMA_R, _LUMA_G, _LUMA_B = 299, 587, 114
LUMA_NOTE = "ITU-R 601 luma L = 0.299 R + 0.587 G + 0.114 B, rounded"

# Suffixes of lossless formats that save_lossless writes, and the Pillow
# format name for each.
_LOSSLESS_FORMATS = {
    ".png": "PNG",
    ".tif": "TIFF",
    ".tiff": "TIFF",
    ".bmp": "BMP",
    ".pgm": "PPM",
    ".pnm": "PPM",
}
_JPEG_SUFFIXES = {".jpg", ".jpeg", ".jpe", ".jfif", ".jif"}

# Suffix of the temporary files that atomic writes leave behind only while
# they run; batch runs sweep them away after an interruption.
TEMP_SUFFIX = ".velmora-tmp"

_COLOUR_MODES = {"RGB", "RGBA", "RGBX", "RGBa", "CMYK", "YCbCr", "LAB", "HSV", "P", "PA"}
_DEEP_MODES = {"I", "I;16", "I;16L", "I;16B", "I;16N", "F"}


def _colour_error(path: StrPath, what: str) -> ValueError:
    return ValueError(
        f"{os.fspath(path)}: {what}, but velmora needs 8-bit grayscale. Convert it: --gray on "
        f"the command line, load_gray(..., gray=True) in Python ({LUMA_NOTE})."
    )


def _deep_error(path: StrPath, what: str) -> ValueError:
    return ValueError(
        f"{os.fspath(path)}: {what}, but velmora needs 8-bit grayscale. Reduce it to 8 bits "
        f"first, e.g. with ImageMagick: convert IN -depth 8 OUT.png"
    )


def _stored_bits_per_sample(path: StrPath, im: Any) -> int | None:
    """The sample depth recorded in the file, for formats that Pillow reduces
    to 8 bits silently when it reads them (16-bit colour PNG, PPM, TIFF)."""
    fmt = im.format
    try:
        if fmt == "PNG":
            with open(path, "rb") as f:
                head = f.read(26)
            if len(head) == 26 and head[12:16] == b"IHDR":
                return head[24]
        elif fmt == "TIFF":
            bits = im.tag_v2.get(258)
            if isinstance(bits, tuple):
                return max(int(b) for b in bits) if bits else None
            return int(bits) if bits is not None else None
        elif fmt == "PPM":
            maxval = _pnm_maxval(path)
            if maxval is not None:
                return 8 if maxval < 256 else 16
    except (OSError, ValueError, struct.error):
        return None
    return None


def _pnm_maxval(path: StrPath) -> int | None:
    """The maximum sample value in the header of a P2/P3/P5/P6 file."""
    with open(path, "rb") as f:
        data = f.read(512)
    if len(data) < 2 or data[:1] != b"P" or data[1:2] not in b"2356":
        return None
    tokens: list[bytes] = []
    i = 2
    while len(tokens) < 3 and i < len(data):
        c = data[i : i + 1]
        if c == b"#":
            while i < len(data) and data[i : i + 1] not in (b"\n", b"\r"):
                i += 1
        elif c.isspace():
            i += 1
        else:
            j = i
            while j < len(data) and not data[j : j + 1].isspace() and data[j : j + 1] != b"#":
                j += 1
            tokens.append(data[i:j])
            i = j
    return int(tokens[2]) if len(tokens) == 3 else None


def _luma(rgb: npt.NDArray[np.uint8]) -> npt.NDArray[np.uint8]:
    """ITU-R 601 luma of an (H, W, 3) uint8 array, rounded half up, exactly."""
    r = rgb[..., 0].astype(np.uint32)
    g = rgb[..., 1].astype(np.uint32)
    b = rgb[..., 2].astype(np.uint32)
    luma: npt.NDArray[np.uint8] = ((_LUMA_R * r + _LUMA_G * g + _LUMA_B * b + 500) // 1000).astype(
        np.uint8
    )
    return luma


def read_gray(path: StrPath, gray: bool = False) -> tuple[npt.NDArray[np.uint8], str | None]:
    """load_gray, also returning a note that says how the image was converted
    (None when it was 8-bit grayscale already)."""
    from PIL import Image, UnidentifiedImageError

    try:
        im = Image.open(path)
    except (FileNotFoundError, IsADirectoryError, PermissionError):
        raise
    except UnidentifiedImageError:
        raise ValueError(f"{os.fspath(path)}: not an image file that Pillow can read") from None
    except (OSError, SyntaxError, ValueError, EOFError, struct.error) as e:
        raise ValueError(f"{os.fspath(path)}: not an image file that Pillow can read ({e})") from None
    with im:
        try:
            im.load()
        except (OSError, SyntaxError, ValueError) as e:
            raise ValueError(f"{os.fspath(path)}: cannot decode the image: {e}") from None
        frames = getattr(im, "n_frames", 1)
        if frames > 1:
            raise ValueError(
                f"{os.fspath(path)}: holds {frames} frames; velmora reads single images only"
            )
        mode = im.mode
        # The depth stored in the file first: Pillow reads some 16-bit images
        # as 32-bit mode I, and 16-bit colour as 8-bit RGB.
        depth = _stored_bits_per_sample(path, im)
        if depth is not None and depth > 8:
            raise _deep_error(path, f"{depth}-bit image (mode {mode})")
        if mode in _DEEP_MODES:
            bits = "16-bit" if "16" in mode else "floating-point" if mode == "F" else "32-bit"
            raise _deep_error(path, f"{bits} image (mode {mode})")
        if mode == "L":
            return np.asarray(im, dtype=np.uint8).copy(), None
        if mode == "1":
            # Bilevel: black and white, read as grey levels 0 and 255.
            return np.asarray(im.convert("L"), dtype=np.uint8).copy(), None
        if mode == "LA":
            if not gray:
                raise _colour_error(path, "a grayscale image with an alpha channel")
            return np.asarray(im.getchannel("L"), dtype=np.uint8).copy(), "dropped the alpha channel"
        if mode in _COLOUR_MODES or len(im.getbands()) >= 3:
            what = "a palette image" if mode in ("P", "PA") else f"a colour image (mode {mode})"
            if not gray:
                raise _colour_error(path, what)
            rgb = np.asarray(im.convert("RGB"), dtype=np.uint8)
            note = f"converted {what} to grayscale with the {LUMA_NOTE}"
            if "A" in im.getbands():
                note += "; dropped the alpha channel"
            return _luma(rgb), note
        raise ValueError(f"{os.fspath(path)}: unsupported image mode {mode}")


def load_gray(path: StrPath, *, gray: bool = False) -> npt.NDArray[np.uint8]:
    """Read an image file as a 2-D uint8 array of grey levels.

    8-bit grayscale images (and black-and-white ones, read as 0 and 255) are
    returned as they are. Colour and palette images, and grayscale images with
    an alpha channel, raise ValueError unless ``gray=True``, which converts them
    with the ITU-R 601 luma weights L = 0.299 R + 0.587 G + 0.114 B (rounded;
    any alpha channel is dropped). Images with 16-bit or deeper samples always
    raise ValueError, as do files that Pillow cannot decode.
    """
    return read_gray(path, gray)[0]


def describe_error(e: BaseException) -> str:
    """A one-line message for `e`: "path: reason" for file system errors."""
    if isinstance(e, OSError) and e.strerror and e.filename is not None:
        return f"{os.fsdecode(e.filename)}: {e.strerror}"
    return str(e) or type(e).__name__


def _check_gray_array(array: Any, name: str = "array") -> npt.NDArray[np.uint8]:
    a = np.asarray(array)
    if a.ndim != 2 or a.dtype != np.uint8:
        raise ValueError(f"{name} must be a 2-D uint8 array, got {a.dtype} with shape {a.shape}")
    return a


def lossless_format(path: StrPath) -> str:
    """Pillow's name of the lossless format for `path`'s suffix.

    Raises ValueError for JPEG (lossy: it would destroy the least significant
    bits that carry the payload) and for suffixes of other formats.
    """
    suffix = Path(path).suffix.lower()
    if suffix in _JPEG_SUFFIXES:
        raise ValueError(
            f"{os.fspath(path)}: refusing to write JPEG: its lossy compression destroys the "
            f"least significant bits that carry the payload. Use .png, .tif, .bmp or .pgm."
        )
    try:
        return _LOSSLESS_FORMATS[suffix]
    except KeyError:
        raise ValueError(
            f"{os.fspath(path)}: cannot tell a lossless format from the suffix "
            f"{suffix or '(none)'!r}; use .png, .tif, .bmp or .pgm"
        ) from None


_UMASK: int | None = None


def _umask() -> int:
    global _UMASK
    if _UMASK is None:
        current = os.umask(0o022)
        os.umask(current)
        _UMASK = current
    return _UMASK


def _remove_quietly(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass


@contextmanager
def atomic_write(path: StrPath) -> Iterator[IO[bytes]]:
    """Write a file through a temporary file in the same folder that replaces
    `path` only once it is complete; on any error or interruption the
    temporary file is removed and `path` is left as it was."""
    path = os.fspath(path)
    folder, name = os.path.split(os.path.abspath(path))
    if os.path.isdir(path):
        raise IsADirectoryError(f"{path}: is a folder")
    fd, tmp = tempfile.mkstemp(prefix=f".{name}.", suffix=TEMP_SUFFIX, dir=folder)
    try:
        with os.fdopen(fd, "wb") as f:
            yield f
            f.flush()
            os.fsync(f.fileno())
        os.chmod(tmp, 0o666 & ~_umask())
        os.replace(tmp, path)
    except BaseException:
        _remove_quietly(tmp)
        raise


def remove_temp_files(paths: Iterable[StrPath]) -> None:
    """Remove the temporary files that interrupted atomic writes of any of
    ``paths`` left behind (a write whose process was killed), reading each
    folder once."""
    by_folder: dict[str, set[str]] = {}
    for p in paths:
        folder, name = os.path.split(os.path.abspath(os.fspath(p)))
        by_folder.setdefault(folder, set()).add(name)
    for folder, names in by_folder.items():
        try:
            entries = os.listdir(folder)
        except OSError:
            continue
        for e in entries:
            if e.startswith(".") and e.endswith(TEMP_SUFFIX) and e[1:].rsplit(".", 2)[0] in names:
                _remove_quietly(os.path.join(folder, e))


def save_lossless(path: StrPath, array: npt.ArrayLike) -> None:
    """Write a 2-D uint8 array as an 8-bit grayscale image, losslessly and atomically.

    The format follows the suffix: .png, .tif/.tiff, .bmp, .pgm/.pnm. JPEG is
    refused with ValueError because its lossy compression destroys the least
    significant bits. The image is written to a temporary file in the same
    folder, which then replaces `path` in one step (``os.replace``), so `path`
    never holds a partial image.
    """
    from PIL import Image

    fmt = lossless_format(path)
    a = np.ascontiguousarray(_check_gray_array(array))
    im = Image.fromarray(a)  # a 2-D uint8 array becomes mode "L"
    # zlib level 3 writes PNGs about three times faster than Pillow's default
    # level 6, for files some ten per cent larger.
    options = {"compress_level": 3} if fmt == "PNG" else {}
    with atomic_write(path) as f:
        im.save(f, format=fmt, **options)


def save_npz(path: StrPath, **arrays: npt.ArrayLike) -> None:
    """np.savez, written atomically."""
    with atomic_write(path) as f:
        # Typed loosely: NumPy's stubs for savez differ between 1.x and 2.x.
        savez = cast(Any, np.savez)
        savez(f, **arrays)




def psnr(cover: npt.ArrayLike, stego: npt.ArrayLike) -> float:
    """Peak signal-to-noise ratio of `stego` against `cover` in decibels,
    for 8-bit images (peak 255): 10 log10(255^2 / MSE); inf when identical."""
    c = np.asarray(cover)
    s = np.asarray(stego)
    if c.shape != s.shape:
        raise ValueError(f"images differ in shape: {c.shape} and {s.shape}")
    if c.size == 0:
        raise ValueError("images are empty")
    mse = float(np.mean((c.astype(np.float64) - s.astype(np.float64)) ** 2))
    if mse == 0.0:
        return math.inf
    return 10.0 * math.log10(255.0**2 / mse)


# Exposed for the command line.
__all__ = [
    "LUMA_NOTE",
    "TEMP_SUFFIX",
    "atomic_write",
    "describe_error",
    "load_gray",
    "lossless_format",
    "psnr",
    "read_gray",
    "save_lossless",
    "save_npz",
]
