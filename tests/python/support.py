"""Helpers shared by the velmora_core Python tests.

Many boundary tests only need a call to get past argument binding and
conversion. Their default arguments are arranged so that the call then ends
at the pool-size check (a flat image, or a caller pool that is not larger than
`payload_size`), which is cheap and reports what was converted.
"""


import re

import numpy as np
import pytest

import velmora_core

FUNCTION_NAMES = (
    "run_velmora_engine",
    "embed_with_details",
    "get_quadtree_sparse_map",
    "dabc_select_coords",
)

PARAMETERS = {
    "run_velmora_engine": ("image", "payload_size", "colony_size", "max_iter", "min_block"),
    "embed_with_details": ("image", "payload_size", "colony_size", "max_iter", "min_block"),
    "get_quadtree_sparse_map": ("image", "min_block"),
    "dabc_select_coords": ("image", "pool", "payload_size", "colony_size", "max_iter", "seed"),
}

UNSIGNED_PARAMETERS = [
    (name, param)
    for name in FUNCTION_NAMES
    for param in PARAMETERS[name]
    if param not in ("image", "pool")
]

# Ends of the two pool-size messages; the numbers are K and payload_size.
_POOL_CHECK = (
    re.compile(
        r"^Quadtree sparse pool \((\d+) pixels\) is \u2264 payload_size \((\d+) bits\)\. "
        r"Try a more textured image or reduce payload_size\.$"
    ),
    re.compile(r"^Quadtree pool \((\d+)\) <= payload_size \((\d+)\)\.$"),
)


def flat_image(h=6, w=6, value=7):
    """An image without texture: its quadtree pool is empty."""
    return np.full((h, w), value, dtype=np.uint8)


def checkerboard(h, w, low=0, high=255):
    """A high-contrast image in which every block of two or more pixels is textured."""
    yy, xx = np.indices((h, w))
    return np.where((yy + xx) % 2 == 0, low, high).astype(np.uint8)


def noise_image(h, w, seed=0):
    return np.random.default_rng(seed).integers(0, 256, size=(h, w), dtype=np.uint8)


def valid_arguments(name):
    """Keyword arguments that convert cleanly and then fail the pool-size check."""
    if name == "get_quadtree_sparse_map":
        return {"image": noise_image(12, 12), "min_block": 4}
    if name == "dabc_select_coords":
        return {
            "image": flat_image(),
            "pool": [],
            "payload_size": 3,
            "colony_size": 4,
            "max_iter": 2,
            "seed": 11,
        }
    return {"image": flat_image(), "payload_size": 3, "colony_size": 4, "max_iter": 2, "min_block": 4}


def call_past_conversion(func, *args, **kwargs):
    """Call func with arguments that must convert, and report how it ended.

    Returns the function's result when it succeeds, or (K, payload_size) read
    from the message when the call ends at the pool-size check.
    """
    try:
        result = func(*args, **kwargs)
    except ValueError as exc:
        for pattern in _POOL_CHECK:
            match = pattern.match(str(exc))
            if match:
                return int(match.group(1)), int(match.group(2))
        raise
    return result



def type_error_with_cause(message):
    """A TypeError raised `from` another exception; returns (error, cause)."""
    try:
        raise KeyError("inner")
    except KeyError as exc:
        cause = exc
    try:
        raise TypeError(message) from cause
    except TypeError as exc:
        return exc, cause


class NoIndex:
    """An object whose __index__ raises a fresh TypeError on every call."""

    def __index__(self):
        raise TypeError("no index")


class Index:
    """An object that is not an int but has an integer index (or fails to give one)."""

    def __init__(self, value=None, exc=None):
        self.value = value
        self.exc = exc
        self.calls = 0

    def __index__(self):
        self.calls += 1
        if self.exc is not None:
            raise self.exc
        return self.value

    def __repr__(self):
        return f"Index({self.value!r}, {self.exc!r})"
