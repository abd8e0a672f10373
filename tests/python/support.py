"""Helpers shared by the velmora_core Python tests.

Many boundary tests only need a call to get past argument binding and
conversion. Their default arguments are arranged so that the call then ends
at the pool-size check (a flat image, or a caller pool that is not larger than
`payload_size`), which is cheap and reports what was converted.
"""


import json
import re
import subprocess
import sys

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


_INTERRUPT_SCRIPT = """
import json, os, signal, subprocess, time
import numpy as np
import velmora_core

img = np.random.default_rng(0).integers(0, 256, size=(300, 300), dtype=np.uint8)
pool = velmora_core.get_quadtree_sparse_map(img)

def call(iters):
    return CALL

def summary(result):
    # The selector's list is reproducible; a pipeline's stego image is not,
    # so keep only its shape and the pool size.
    return result if isinstance(result, list) else [list(result[0].shape), result[2]]

before = summary(call(3))

# Time shorter runs to size a call that would take about six seconds,
# leaving out the fixed cost of a call without iterations.
start = time.perf_counter()
call(0)
fixed = time.perf_counter() - start
iters = 500
while True:
    start = time.perf_counter()
    call(iters)
    took = time.perf_counter() - start - fixed
    if took >= 0.25:
        break
    iters *= 4
per_iter = took / iters
iters = int(6.0 / per_iter)

# SIGINT comes from another process, as Ctrl-C comes from the terminal: a
# thread of this interpreter could not run while the call holds the GIL.
start = time.perf_counter()
outcome = "finished"
try:
    killer = subprocess.Popen(["/bin/sh", "-c", f"sleep 0.3; kill -INT {os.getpid()}"])
    try:
        call(iters)
    except KeyboardInterrupt:
        outcome = "interrupted"
    elapsed = time.perf_counter() - start
    killer.wait()
except KeyboardInterrupt:
    # The signal was only acted upon once the call had returned.
    outcome = "interrupted after returning"
    elapsed = time.perf_counter() - start
print(json.dumps({
    "outcome": outcome,
    "elapsed": elapsed,
    "expected": per_iter * iters,
    "again_ok": summary(call(3)) == before,
}))
"""


def interrupt_long_call(call):
    """Interrupt a long-running call with SIGINT, in a child interpreter.

    `call` is an expression using `img` (a 300x300 noise image), `pool` (its
    quadtree pool) and `{iters}` (the iteration count).  The child sizes the
    call to take about six seconds, has another process send it SIGINT 0.3 s
    into it, and reports how the call ended, how long it ran, and whether the
    same call with 3 iterations still works afterwards.  Running it in a child
    keeps a stray KeyboardInterrupt away from the test session.

    """
    script = _INTERRUPT_SCRIPT.replace("CALL", call.format(iters="iters"))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def assert_interrupted(report):
    """The call ended with KeyboardInterrupt well before it would have finished."""
    assert report["outcome"] == "interrupted", report
    assert report["elapsed"] < min(3.0, report["expected"] / 3), report
    assert report["again_ok"], report
