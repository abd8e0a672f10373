"""Arbitrary objects and extreme integers at every parameter of every function.

Whatever it is given, a call either returns a well-formed result or raises one
of the documented exception types with the documented message shape (or,
unchanged, the exception that a caller's own object raised). It never crashes,
hangs or raises anything else.

The number of examples per test comes from VELMORA_FUZZ_EXAMPLES (default 400;
the long run in the README uses far more).
"""

import os
import re

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import velmora_core as vc

EXAMPLES = int(os.environ.get("VELMORA_FUZZ_EXAMPLES", "400"))
fuzz = settings(
    max_examples=EXAMPLES,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


class CallerError(Exception):
    """Raised by the test's own objects; must come back unchanged."""


class IndexRaises:
    def __init__(self, exc):
        self.exc = exc

    def __index__(self):
        raise self.exc


class IndexReturnsFloat:
    def __index__(self):
        return 1.5


class IntSubclass(int):
    pass


class SequenceRaisingMidway:
    def __init__(self, items, fail_at, exc):
        self.items, self.fail_at, self.exc = items, fail_at, exc

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.exc
        return self.items[i]


class LenRaises(list):
    def __len__(self):
        raise CallerError("len")


EXTREME_INTS = [0, 1, 2, 3, 2**31, 2**32 - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64, 2**100,
                -1, -(2**63), -(2**64)]
caller_exceptions = st.sampled_from([CallerError("x"), TypeError("t"), ValueError("v"),
                                     OverflowError("o"), KeyError("k")])

weird_objects = st.one_of(
    st.none(),
    st.floats(allow_nan=True),
    st.text(max_size=5),
    st.binary(max_size=5),
    st.lists(st.integers(0, 3), max_size=3),
    st.builds(object),
    st.just(np.float64(1.0)),
    st.just(np.array([1, 2])),
    st.just(1j),
    caller_exceptions.map(IndexRaises),
    st.just(IndexReturnsFloat()),
)

# Integer parameters that run quickly whatever the other arguments are.
small_counts = st.one_of(
    st.integers(0, 12),
    st.sampled_from(EXTREME_INTS),
    st.booleans(),
    st.integers(0, 12).map(np.uint8),
    st.integers(-3, 12).map(np.int64),
    st.sampled_from([np.uint64(2**64 - 1), np.int32(-1)]),
    st.integers(0, 12).map(IntSubclass),
    weird_objects,
)
# Iteration counts: never a huge valid count, which would just take long.
iteration_counts = st.one_of(
    st.integers(0, 6),
    st.sampled_from([-1, 2**64, 2**70, -(2**64)]),
    st.booleans(),
    st.integers(0, 6).map(np.int16),
    weird_objects,
)
# Colony sizes: small, or so large that the colony cannot be held.
colony_sizes = st.one_of(
    st.integers(0, 9),
    st.sampled_from([2**45, 2**62, 2**63, 2**64 - 1, 2**64, -1]),
    st.booleans(),
    weird_objects,
)


@st.composite
def uint8_images(draw):
    h = draw(st.integers(0, 14))
    w = draw(st.integers(0, 14))
    kind = draw(st.sampled_from(["noise", "flat", "stripes"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    if kind == "noise":
        base = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    elif kind == "flat":
        base = np.full((h, w), draw(st.integers(0, 255)), dtype=np.uint8)
    else:
        base = (np.indices((h, w)).sum(axis=0) % 2 * 255).astype(np.uint8)
    view = draw(st.sampled_from(["c", "f", "t", "rev", "step", "readonly", "broadcast", "matrix"]))
    if view == "f":
        return np.asfortranarray(base)
    if view == "t":
        return np.ascontiguousarray(base.T).T
    if view == "rev":
        return base[::-1, ::-1]
    if view == "step":
        return np.repeat(np.repeat(base, 2, axis=0), 3, axis=1)[::2, ::3]
    if view == "readonly":
        base.flags.writeable = False
        return base
    if view == "broadcast":
        return np.broadcast_to(base[:1], (h, w)) if h else base
    if view == "matrix":
        return base.view(type("UInt8Subclass", (np.ndarray,), {}))
    return base


images = st.one_of(
    uint8_images(),
    uint8_images().map(lambda a: a.astype(np.int8)),
    uint8_images().map(lambda a: a.astype(np.float32)),
    uint8_images().map(lambda a: a[None]),
    uint8_images().map(lambda a: a.ravel()),
    uint8_images().map(lambda a: a.tolist()),
    weird_objects,
)

coordinates = st.one_of(st.integers(0, 16), st.sampled_from(EXTREME_INTS), st.booleans(),
                        st.integers(0, 16).map(np.int32), weird_objects)
pool_entries = st.one_of(
    st.tuples(st.integers(0, 15), st.integers(0, 15)),
    st.tuples(coordinates, coordinates),
    st.tuples(st.integers(0, 3)),
    st.tuples(st.integers(0, 3), st.integers(0, 3), st.integers(0, 3)),
    st.lists(st.integers(0, 3), min_size=2, max_size=2),
    weird_objects,
)
pools = st.one_of(
    st.lists(st.tuples(st.integers(0, 15), st.integers(0, 15)), max_size=40),
    st.lists(pool_entries, max_size=8),
    st.lists(st.tuples(st.integers(0, 15), st.integers(0, 15)), max_size=8).map(tuple),
    st.builds(SequenceRaisingMidway,
              st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), min_size=3, max_size=6),
              st.integers(0, 2), caller_exceptions),
    st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=4).map(LenRaises),
    st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=4).map(set),
    st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=4).map(iter),
    st.just(np.zeros((3, 2), dtype=np.int64)),
    st.text(max_size=4),
    weird_objects,
)

POOL_SIZE = [
    re.compile(r"^Quadtree sparse pool \(\d+ pixels\) is \u2264 payload_size \(\d+ bits\)\. "
               r"Try a more textured image or reduce payload_size\.$"),
    re.compile(r"^Quadtree pool \(\d+\) <= payload_size \(\d+\)\.$"),
]
OTHER_VALUE_ERRORS = [
    re.compile(r"^expected tuple of length 2, but got tuple of length \d+$"),
    re.compile(r"^pool entry \d+, \(y, x\) = \(\d+, \d+\), lies outside the image of shape"),
]
OVERFLOW = re.compile(r"^(can't convert negative int to unsigned|int too big to convert)$")


def check_outcome(func, call):
    """Run call(); the outcome must be a result of `func`'s shape or a documented error."""
    name = func.__name__
    try:
        result = call()
    except CallerError:
        return  # a caller's own exception type passes unchanged
    except TypeError as exc:
        text = str(exc)
        assert text.startswith(f"{name}() ") or text.startswith("argument '"), text
        return
    except OverflowError as exc:
        # The interpreter's message, not naming the argument; or a caller's
        # own OverflowError from __index__.
        assert OVERFLOW.match(str(exc)) or str(exc) == "o", str(exc)
        return
    except ValueError as exc:
        text = str(exc)
        assert any(p.match(text) for p in POOL_SIZE + OTHER_VALUE_ERRORS) or text == "v", text
        return
    except KeyError as exc:
        assert exc.args == ("k",)
        return
    except RuntimeError as exc:
        assert str(exc) == "cannot sample empty range"
        return
    except MemoryError as exc:
        assert str(exc) in ("", "capacity overflow")
        return
    check_result(name, result)


def check_result(name, result):
    if name in ("get_quadtree_sparse_map", "dabc_select_coords"):
        assert type(result) is list
        for entry in result:
            assert type(entry) is tuple and len(entry) == 2
            assert all(type(v) is int and v >= 0 for v in entry)
        return
    assert type(result) is tuple and len(result) == (3 if name == "run_velmora_engine" else 6)
    stego, elapsed, pool_size = result[:3]
    assert isinstance(stego, np.ndarray) and stego.dtype == np.uint8 and stego.ndim == 2
    assert stego.flags.writeable and type(stego.base).__name__ == "PySliceContainer"
    assert type(elapsed) is float and elapsed >= 0.0
    assert type(pool_size) is int and pool_size >= 0
    if name == "embed_with_details":
        ys, xs, bits = result[3:]
        assert ys.dtype == np.int64 and xs.dtype == np.int64 and bits.dtype == np.uint8
        assert len(ys) == len(xs) == len(bits)
        assert set(np.unique(bits)) <= {0, 1}


@fuzz
@given(image=images, payload=small_counts, colony=colony_sizes, iters=iteration_counts,
       min_block=small_counts, use_keywords=st.booleans())
@pytest.mark.parametrize("func", [vc.run_velmora_engine, vc.embed_with_details])
def test_pipelines(func, image, payload, colony, iters, min_block, use_keywords):
    if use_keywords:
        check_outcome(func, lambda: func(image=image, payload_size=payload, colony_size=colony,
                                         max_iter=iters, min_block=min_block))
    else:
        check_outcome(func, lambda: func(image, payload, colony, iters, min_block))


@fuzz
@given(image=images, min_block=small_counts)
def test_pool_inspector(image, min_block):
    check_outcome(vc.get_quadtree_sparse_map, lambda: vc.get_quadtree_sparse_map(image, min_block))


@fuzz
@given(image=images, pool=pools, payload=small_counts, colony=colony_sizes, iters=iteration_counts,
       seed=st.one_of(st.sampled_from(EXTREME_INTS), st.integers(), weird_objects))
def test_selector(image, pool, payload, colony, iters, seed):
    check_outcome(vc.dabc_select_coords,
                  lambda: vc.dabc_select_coords(image, pool, payload, colony, iters, seed))


arguments = st.one_of(images, small_counts, pools)


@fuzz
@given(name=st.sampled_from(vc.__all__),
       args=st.lists(arguments, max_size=8),
       kwargs=st.dictionaries(st.sampled_from(["image", "pool", "payload_size", "colony_size",
                                               "max_iter", "min_block", "seed", "bogus", "Image"]),
                              arguments, max_size=4))
def test_any_argument_list(name, args, kwargs):
    func = getattr(vc, name)
    # Keep valid calls short: a huge iteration count could legitimately run long.
    for key in ("max_iter",):
        if isinstance(kwargs.get(key), int) and kwargs[key] > 6:
            kwargs[key] = 6
    if name != "get_quadtree_sparse_map" and len(args) > 3 and isinstance(args[3], int):
        args[3] = min(args[3], 6) if args[3] >= 0 else args[3]
    if name == "dabc_select_coords" and len(args) > 4 and isinstance(args[4], int):
        args[4] = min(args[4], 6) if args[4] >= 0 else args[4]
    check_outcome(func, lambda: func(*args, **kwargs))
