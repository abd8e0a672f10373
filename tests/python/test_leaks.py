"""Reference counts and memory: no call, successful or failing, may leak.

Every scenario is run many times; the reference counts of the objects passed
in, and of the objects the results depend on, must come back to where they
were, Python-level allocations must not grow, and the memory behind returned
arrays must be given back when the arrays die.
"""

import ctypes
import gc
import os
import sys
import tracemalloc
import weakref

import numpy as np
import pytest

import velmora_core as vc
from velmora import _native

UNDER_SANITIZER = os.environ.get("VELMORA_UNDER_SANITIZER") == "1"


class RaisingIndex:
    def __index__(self):
        raise TypeError("no index here")


class BrokenSequence:
    """A sequence whose iteration fails after the first item."""

    def __len__(self):
        return 3

    def __getitem__(self, i):
        if i == 0:
            return (1, 1)
        raise KeyError("broken")


def textured(h=24, w=24, seed=0):
    return np.random.default_rng(seed).integers(0, 256, size=(h, w), dtype=np.uint8)


IMG = textured()
FLAT = np.full((8, 8), 9, dtype=np.uint8)
POOL = vc.get_quadtree_sparse_map(IMG)
PREPARED = _native.baseline_prepare(IMG, "mipod")
SMALL_POOL = [(1, 1), (2, 2), (3, 3)]

# (label, function, positional args, keyword args, expected exception or None)
SCENARIOS = [
    ("engine ok", vc.run_velmora_engine, (IMG, 20), {}, None),
    ("details ok", vc.embed_with_details, (IMG, 20), {"max_iter": 5}, None),
    ("details empty", vc.embed_with_details, (IMG, 0), {"max_iter": 0}, None),
    ("quadtree ok", vc.get_quadtree_sparse_map, (IMG,), {"min_block": 2}, None),
    ("selector ok", vc.dabc_select_coords, (IMG, POOL, 30, 6, 5, 1), {}, None),
    ("too many positional", vc.get_quadtree_sparse_map, (IMG, 4, 5), {}, TypeError),
    ("unexpected keyword", vc.run_velmora_engine, (IMG, 3), {"bogus": 1}, TypeError),
    ("multiple values", vc.run_velmora_engine, (IMG, 3), {"image": IMG}, TypeError),
    ("missing", vc.dabc_select_coords, (IMG,), {}, TypeError),
    ("image list", vc.get_quadtree_sparse_map, ([[1, 2]],), {}, TypeError),
    ("image float", vc.run_velmora_engine, (IMG.astype(float), 3), {}, TypeError),
    ("payload float", vc.run_velmora_engine, (IMG, 3.0), {}, TypeError),
    ("payload negative", vc.embed_with_details, (IMG, -1), {}, OverflowError),
    ("payload huge", vc.embed_with_details, (IMG, 2**64), {}, OverflowError),
    ("index raises", vc.get_quadtree_sparse_map, (IMG, RaisingIndex()), {}, TypeError),
    ("pool str", vc.dabc_select_coords, (IMG, "ab", 1, 2, 3, 4), {}, TypeError),
    ("pool set", vc.dabc_select_coords, (IMG, {(1, 1)}, 1, 2, 3, 4), {}, TypeError),
    ("pool list item", vc.dabc_select_coords, (IMG, [[1, 2]], 1, 2, 3, 4), {}, TypeError),
    ("pool triple", vc.dabc_select_coords, (IMG, [(1, 2, 3)], 1, 2, 3, 4), {}, ValueError),
    ("pool negative", vc.dabc_select_coords, (IMG, [(1, -2)], 1, 2, 3, 4), {}, OverflowError),
    ("pool broken", vc.dabc_select_coords, (IMG, BrokenSequence(), 1, 2, 3, 4), {}, KeyError),
    ("seed negative", vc.dabc_select_coords, (IMG, SMALL_POOL, 1, 2, 3, -1), {}, OverflowError),
    ("selector pool size", vc.dabc_select_coords, (IMG, SMALL_POOL, 3, 2, 3, 4), {}, ValueError),
    ("engine pool size", vc.run_velmora_engine, (FLAT, 0), {}, ValueError),
    ("details pool size", vc.embed_with_details, (FLAT, 1), {}, ValueError),
    ("empty range", vc.dabc_select_coords, (IMG, POOL, 0, 4, 1, 1), {}, RuntimeError),
    ("engine empty range", vc.run_velmora_engine, (IMG, 0), {"max_iter": 1}, RuntimeError),
    ("outside entry", vc.dabc_select_coords, (IMG, [(0, 0), (99, 0)], 1, 2, 3, 4), {}, ValueError),
    ("capacity overflow", vc.dabc_select_coords, (IMG, POOL, 5, 2**64 - 1, 3, 4), {}, MemoryError),
    ("colony too large", vc.run_velmora_engine, (IMG, 5), {"colony_size": 2**50}, MemoryError),
    # velmora._native, on the same boundary code
    ("seeded ok", _native.embed_seeded, (IMG, 20, 7), {"max_iter": 5}, None),
    ("seeded pool size", _native.embed_seeded, (FLAT, 1, 7), {}, ValueError),
    ("seeded bad seed", _native.embed_seeded, (IMG, 20, -7), {}, OverflowError),
    ("seeded seed type", _native.embed_seeded, (IMG, 20, RaisingIndex()), {}, TypeError),
    ("seeded binding", _native.embed_seeded, (IMG, 20), {"sed": 1}, TypeError),
    ("pool size", _native.pool_size, (IMG,), {"min_block": 2}, None),
    ("pool size bad block", _native.pool_size, (IMG, RaisingIndex()), {}, TypeError),
    ("timed map", _native.timed_sparse_map, (IMG,), {}, None),
    ("timed select", _native.timed_select_coords, (IMG, POOL, 10, 4, 3, 1), {}, None),
    ("timed select pool", _native.timed_select_coords, (IMG, BrokenSequence(), 1, 2, 3, 4), {}, KeyError),
    ("features ok", _native.extract_features, (IMG, "srmq1"), {}, None),
    ("features spam", _native.extract_features, (IMG[::-1].T,), {"kind": "spam"}, None),
    ("features too small", _native.extract_features, (IMG[:7], "srm"), {}, ValueError),
    ("features unknown kind", _native.extract_features, (IMG, "srm2"), {}, ValueError),
    ("features kind type", _native.extract_features, (IMG, b"srm"), {}, TypeError),
    ("features image", _native.extract_features, (IMG.astype(np.int16), "srm"), {}, TypeError),
    ("maxsrm ok", _native.extract_features, (IMG, "maxsrm", np.full(IMG.shape, 0.25, np.float32)), {}, None),
    ("maxsrm map range", _native.extract_features, (IMG, "maxsrm", np.full(IMG.shape, 2.0)), {}, ValueError),
    ("maxsrm map shape", _native.extract_features, (IMG, "maxsrm"), {"beta": np.zeros(IMG.size)},
     ValueError),
    ("maxsrm map type", _native.extract_features, (IMG, "maxsrm", np.zeros(IMG.shape, int)), {}, TypeError),
    ("submodels", _native.feature_submodels, ("srm",), {}, None),
    ("submodels binding", _native.feature_submodels, (), {"kinds": "srm"}, TypeError),
    ("min side", _native.feature_min_side, ("spam",), {}, None),
    ("baseline prepare", _native.baseline_prepare, (IMG, "hill"), {}, None),
    ("baseline method", _native.baseline_prepare, (IMG, "f5"), {}, ValueError),
    ("baseline image", _native.baseline_prepare, (IMG.astype(float), "wow"), {}, TypeError),
    ("baseline simulate", _native.baseline_simulate, (PREPARED, 0.2, 2**31), {}, None),
    ("baseline mipod seed", _native.baseline_simulate, (PREPARED, 0.2, 2**63), {}, ValueError),
    ("baseline alpha", _native.baseline_simulate, (PREPARED, 2.0, 1), {}, ValueError),
    ("baseline seed", _native.baseline_simulate, (PREPARED, 0.2, RaisingIndex()), {}, TypeError),
    ("baseline probabilities", _native.baseline_probabilities, (PREPARED,), {"alpha": 0.1}, None),
    ("baseline capsule", _native.baseline_costs, (IMG,), {}, TypeError),
    ("baseline costs", _native.baseline_costs, (PREPARED,), {}, None),
]


def run(func, args, kwargs, expected):
    if expected is None:
        return func(*args, **kwargs)
    with pytest.raises(expected):
        func(*args, **kwargs)
    return None


def tracked_objects(args, kwargs):
    """Everything whose reference count a call must leave unchanged.

    Small ints and other interpreter-wide singletons are left out: any code
    running meanwhile (the test runner included) moves their counts.
    """
    objs = list(args) + list(kwargs.values())
    for a in list(objs):
        if isinstance(a, list):
            objs.extend(a)
            for item in a:
                if isinstance(item, tuple):
                    objs.append(item)
                    objs.extend(item)
    objs = [o for o in objs if not (type(o) is int and -5 <= o <= 256) and o is not None]
    objs += [np.dtype(np.uint8), np.dtype(np.int64)]
    return objs



@pytest.mark.parametrize("label,func,args,kwargs,expected", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_reference_counts_come_back(label, func, args, kwargs, expected):
    run(func, args, kwargs, expected)  # warm caches (interned names, dtypes)
    objs = tracked_objects(args, kwargs)
    gc.collect()
    before = [sys.getrefcount(o) for o in objs]
    for _ in range(100):
        result = run(func, args, kwargs, expected)
        del result
    gc.collect()
    after = [sys.getrefcount(o) for o in objs]
    assert after == before


@pytest.mark.parametrize("label,func,args,kwargs,expected", SCENARIOS, ids=[s[0] for s in SCENARIOS])
def test_python_allocations_do_not_grow(label, func, args, kwargs, expected):
    for _ in range(20):
        run(func, args, kwargs, expected)
    gc.collect()
    tracemalloc.start()
    try:
        for _ in range(50):
            run(func, args, kwargs, expected)
        gc.collect()
        first, _ = tracemalloc.get_traced_memory()
        for _ in range(300):
            run(func, args, kwargs, expected)
        gc.collect()
        second, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    # 300 more calls: a leak of even one small object per call would show.
    assert second - first < 8 * 1024


class ArenaAllocator(ctypes.Structure):
    _fields_ = [("ctx", ctypes.c_void_p), ("alloc", ctypes.c_void_p), ("free", ctypes.c_void_p)]


def arena_allocator():
    """The small-object allocator's arena allocator: (ctx, alloc, free)."""
    allocator = ArenaAllocator()
    ctypes.pythonapi.PyObject_GetArenaAllocator(ctypes.byref(allocator))
    return allocator.ctx, allocator.alloc, allocator.free


def test_large_lists_leave_the_arena_allocator_as_it_was():
    image = textured(300, 300, seed=2)
    before = arena_allocator()
    pool = vc.get_quadtree_sparse_map(image)
    assert len(pool) >= 2**16
    assert arena_allocator() == before
    coords = vc.dabc_select_coords(image, pool, 2**16, 2, 0, 1)
    assert len(coords) == 2**16
    assert arena_allocator() == before


def test_returned_arrays_release_their_buffers():
    stego, _, _, ys, xs, bits = vc.embed_with_details(IMG, 40)
    owners = [weakref.ref(a.base) for a in (stego, ys, xs, bits)]
    assert {type(a.base).__name__ for a in (stego, ys, xs, bits)} == {"PySliceContainer"}
    assert len({id(a.base) for a in (stego, ys, xs, bits)}) == 4
    assert all(o() is not None for o in owners)
    # A view keeps the owner (and so the memory) alive.
    view = stego[2:5]
    del stego
    assert owners[0]() is not None
    assert view.base.base is owners[0]() or view.base is owners[0]()
    del view, ys, xs, bits
    assert all(o() is None for o in owners)


def test_results_do_not_share_memory():
    a = vc.embed_with_details(IMG, 40)
    b = vc.embed_with_details(IMG, 40)
    arrays = [x for x in a + b if isinstance(x, np.ndarray)]
    for i, x in enumerate(arrays):
        for y in arrays[i + 1 :]:
            assert not np.shares_memory(x, y)
        assert not np.shares_memory(x, IMG)


def current_rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_resident_memory_stays_flat_over_many_large_calls():
    big = textured(1024, 1024, seed=3)
    for _ in range(5):
        vc.embed_with_details(big, 200, max_iter=2)
    gc.collect()
    start = current_rss()
    for _ in range(150):
        vc.embed_with_details(big, 200, max_iter=2)
        vc.get_quadtree_sparse_map(big[:256, :256])
    gc.collect()
    # Each call returns a 1 MiB stego image: a leaked buffer per call would
    # add 150 MiB.
    assert current_rss() - start < 40 * 2**20


@pytest.mark.skipif(UNDER_SANITIZER, reason="the sanitizer's quarantine holds freed memory")
@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="needs /proc")
def test_prepared_baseline_covers_are_freed_with_their_capsules():
    big = textured(512, 512, seed=4)

    def round_trip():
        prepared = _native.baseline_prepare(big, "suniward")  # 4 MiB of costs and more
        _native.baseline_probabilities(prepared, 0.3)
        _native.baseline_simulate(prepared, 0.3, 5)

    for _ in range(3):
        round_trip()
    gc.collect()
    start = current_rss()
    for _ in range(40):
        round_trip()
    gc.collect()
    # Each prepared cover holds some 20 MiB while it lives.
    assert current_rss() - start < 40 * 2**20
