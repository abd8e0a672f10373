"""Test hooks around velmora._native's feature extractor, for the test
process and every Python process it starts (``sitecustomize.py`` beside this
file runs ``install()`` in each of them; conftest puts this folder on
PYTHONPATH).

- While the native module has no ``extract_features`` yet, a slow pure-NumPy
  stand-in takes its place, with the same names, arguments, dimensions and
  errors. SPAM is computed for real (as in Pevny, Bas and Fridrich's paper);
  the rich models come from sealwatch where it is installed and are a
  deterministic placeholder of the right dimension otherwise. Once the native
  functions exist, this part does nothing.
- ``VELMORA_TEST_STOP_AFTER="N:SIGINT"`` makes each process send that signal
  to the run's main process once it has extracted N images: a run stopped
  after some of its images at a known point, without timing anything.
"""

from __future__ import annotations

import os
import signal
from typing import Any

import numpy as np

_MIN_SIDE = {"spam": 4, "srmq1": 8, "srm": 8}

# The rich models' submodels: the first-quantization ones, and which of them
# also come at quantizations 1.5 and 2.
_Q1 = (
    "s1_minmax22h s1_minmax22v s1_minmax24 s1_minmax34h s1_minmax34v s1_minmax41 s1_minmax34 "
    "s1_minmax48h s1_minmax48v s1_minmax54 s1_spam14hv s2_minmax21 s2_minmax41 s2_minmax32 "
    "s2_minmax24h s2_minmax24v s2_spam12hv s3_minmax22h s3_minmax22v s3_minmax34h s3_minmax34v "
    "s3_minmax24 s3_minmax41 s3_minmax34 s3_minmax48h s3_minmax48v s3_minmax54 s3_spam14hv "
    "s3x3_minmax24 s3x3_minmax22h s3x3_minmax22v s3x3_minmax41 s3x3_spam14hv s5x5_minmax24 "
    "s5x5_minmax22h s5x5_minmax22v s5x5_minmax41 s35_spam11 s5x5_spam14hv"
).split()


def _rich(quantizations: tuple[str, ...]) -> list[tuple[str, int]]:
    out = []
    for q in quantizations:
        for name in _Q1:
            if q == "q15" and name.startswith("s1_"):
                continue
            out.append((f"{name}_{q}", 338 if "spam" in name else 325))
    return out


_SUBMODELS = {
    "spam": [("straight", 343), ("diagonal", 343)],
    "srmq1": _rich(("q1",)),
    "srm": _rich(("q1", "q15", "q2")),
}


def _check_kind(kind: object) -> str:
    if not isinstance(kind, str):
        raise TypeError(f"argument 'kind': expected str, got {type(kind).__name__}")
    if kind not in _SUBMODELS:
        raise ValueError(f"unknown feature set {kind!r}: choose spam, srmq1 or srm")
    return kind


def feature_submodels(kind: str) -> list[tuple[str, int]]:
    return list(_SUBMODELS[_check_kind(kind)])


def feature_min_side(kind: str) -> int:
    return _MIN_SIDE[_check_kind(kind)]


def _cooccurrences(d: np.ndarray, step: tuple[int, int], t: int = 3) -> np.ndarray:
    """The two normalised 3-D co-occurrence matrices of the differences ``d``
    clipped to [-t, t], three in a row along ``step`` and against it, summed;
    laid out as sealwatch's SPAM lays them out (Fortran order)."""
    dy, dx = step
    h, w = d.shape
    side = 2 * t + 1
    total = np.zeros(side**3)
    for sign in (1, -1):
        e = np.clip(sign * d, -t, t) + t
        a = e[: h - 2 * dy, : w - 2 * dx]
        b = e[dy : h - dy, dx : w - dx]
        c = e[2 * dy :, 2 * dx :]
        first, last = (c, a) if sign == 1 else (a, c)
        counts = np.bincount((first + side * b + side * side * last).ravel(), minlength=side**3)
        total += counts / counts.sum()
    return total


def _spam(x: np.ndarray) -> np.ndarray:
    x = x.astype(np.int64)
    horizontal = _cooccurrences(x[:, :-1] - x[:, 1:], (0, 1))
    vertical = _cooccurrences(x[:-1, :] - x[1:, :], (1, 0))
    diagonal = _cooccurrences(x[:-1, :-1] - x[1:, 1:], (1, 1))
    minor = _cooccurrences(np.flipud(x[1:, :-1] - x[:-1, 1:]), (1, 1))
    return np.concatenate([(horizontal + vertical) / 4, (diagonal + minor) / 4])


def _rich_features(x: np.ndarray, kind: str) -> np.ndarray:
    try:
        import sealwatch as sw  # type: ignore[import-not-found, import-untyped, unused-ignore]
    except ImportError:
        sw = None
    if sw is not None:
        grouped = sw.srm.srmq1.extract(x) if kind == "srmq1" else sw.srm.extract(x)
        return np.concatenate([np.ravel(grouped[name]) for name, _ in _SUBMODELS[kind]])
    # A placeholder of the right dimension that depends on every pixel.
    dim = sum(d for _, d in _SUBMODELS[kind])
    histogram = np.bincount(x.ravel(), minlength=256).astype(np.float64) / x.size
    residual = np.bincount(np.clip(x[:, 1:].astype(np.int64) - x[:, :-1] + 8, 0, 16).ravel(), minlength=17)
    seed = np.concatenate([histogram, residual / residual.sum()])
    return np.resize(seed, dim) * (1.0 + np.arange(dim) % 7)


def extract_features(image: Any, kind: str) -> np.ndarray:
    if not isinstance(image, np.ndarray):
        raise TypeError(f"argument 'image': expected a numpy.ndarray, got {type(image).__name__}")
    if image.dtype != np.uint8 or image.ndim != 2:
        raise TypeError(f"argument 'image': expected a 2-D uint8 array, got {image.ndim}-D {image.dtype}")
    kind = _check_kind(kind)
    h, w = image.shape
    side = _MIN_SIDE[kind]
    if h < side or w < side:
        raise ValueError(f"{kind} features need an image of at least {side}x{side} pixels, got {h}x{w}")
    x = np.ascontiguousarray(image)
    return _spam(x) if kind == "spam" else _rich_features(x, kind)


_extracted = 0


def _stopping(extract: Any, count: int, signum: int, pid: int) -> Any:
    def extract_then_maybe_stop(image: Any, kind: str) -> Any:
        global _extracted
        result = extract(image, kind)
        _extracted += 1
        if _extracted == count:
            os.kill(pid, signum)
        return result

    return extract_then_maybe_stop


def install() -> None:
    from velmora import _native

    if not hasattr(_native, "extract_features"):
        _native.extract_features = extract_features  # type: ignore[attr-defined]
        _native.feature_submodels = feature_submodels  # type: ignore[attr-defined]
        _native.feature_min_side = feature_min_side  # type: ignore[attr-defined]
    stop = os.environ.get("VELMORA_TEST_STOP_AFTER")
    if stop:
        # The first process to install the hooks is the run's main process;
        # the processes it starts inherit its pid.
        pid = int(os.environ.setdefault("VELMORA_TEST_STOP_PID", str(os.getpid())))
        count, name = stop.split(":")
        _native.extract_features = _stopping(  # type: ignore[attr-defined]
            _native.extract_features, int(count), signal.Signals[name], pid)
