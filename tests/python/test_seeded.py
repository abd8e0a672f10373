"""velmora._native: the embedding pipeline seeded from a caller's number, the
pool size alone, and the instrumented calls; their agreement with velmora_core."""

import hashlib
import json
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import velmora_core as vc
from photos import ALL, photograph
from support import Index, flat_image, noise_image
from velmora import _native

U64_MAX = 2**64 - 1
FIXTURE = Path(__file__).resolve().parents[1] / "data" / "seeded_pipeline.txt"


def assert_embedded_at(cover, result, payload_size):
    """The stego image differs from the cover only at the listed coordinates,
    by one grey level, and each listed pixel carries its bit."""
    stego, _ms, _pool, ys, xs, bits = result
    assert ys.size == xs.size == bits.size == payload_size
    assert len(set(zip(ys.tolist(), xs.tolist()))) == payload_size
    diff = stego.astype(np.int16) - cover.astype(np.int16)
    listed = np.zeros(cover.shape, bool)
    listed[ys, xs] = True
    assert not diff[~listed].any()
    assert np.abs(diff[listed]).max(initial=0) <= 1
    assert np.array_equal(stego[ys, xs] & 1, bits)


# ---------------------------------------------------------------------------
# The colony search is the generator's first user in both functions
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("name", ALL)
def test_coordinates_are_those_of_the_seeded_selector_on_photographs(name):
    cover = photograph(name)
    for payload, seed, colony, iters, block in [(2000, 7, 30, 50, 4), (500, U64_MAX, 9, 20, 8)]:
        pool = vc.get_quadtree_sparse_map(cover, block)
        payload = min(payload, len(pool) - 1)
        result = _native.embed_seeded(cover, payload, seed, colony, iters, block)
        assert result[2] == len(pool)
        chosen = vc.dabc_select_coords(cover, pool, payload, colony, iters, seed)
        assert list(zip(result[3].tolist(), result[4].tolist())) == chosen
        assert_embedded_at(cover, result, payload)


@given(
    shape=st.tuples(st.integers(2, 24), st.integers(2, 24)),
    image_seed=st.integers(0, 2**32 - 1),
    seed=st.integers(0, U64_MAX),
    colony=st.integers(0, 12),
    iters=st.integers(0, 12),
    block=st.integers(1, 6),
    share=st.floats(0.0, 1.0),
)
def test_coordinates_are_those_of_the_seeded_selector_on_random_images(
    shape, image_seed, seed, colony, iters, block, share
):
    cover = noise_image(*shape, seed=image_seed)
    pool = vc.get_quadtree_sparse_map(cover, block)
    if not pool:
        return
    payload = int(share * (len(pool) - 1)) or (1 if len(pool) > 1 else 0)
    if payload == 0:
        iters = 0  # nothing to move: see test_pipelines for the refusal otherwise
    result = _native.embed_seeded(cover, payload, seed, colony, iters, block)
    chosen = vc.dabc_select_coords(cover, pool, payload, colony, iters, seed)
    assert list(zip(result[3].tolist(), result[4].tolist())) == chosen
    assert_embedded_at(cover, result, payload)


def read_fixture():
    cases, case = [], {}
    for line in FIXTURE.read_text().splitlines():
        key, _, value = line.partition(" ")
        if key == "end":
            cases.append(case)
            case = {}
        else:
            case[key] = value
    return cases


def test_recorded_results_are_reproduced():
    # The engine's C++ tests reproduce the same file with run_pipeline.
    cases = read_fixture()
    assert len(cases) == 7
    for case in cases:
        h, w = map(int, case["shape"].split())
        payload, seed, colony, iters, block = map(int, case["params"].split())
        image = np.frombuffer(bytes.fromhex(case["image"]), np.uint8).reshape(h, w)
        assert _native.pool_size(image, block) == int(case["pool_size"])
        if case["embedded"] == "0":
            with pytest.raises(ValueError):
                _native.embed_seeded(image, payload, seed, colony, iters, block)
            continue
        stego, _, pool, ys, xs, bits = _native.embed_seeded(image, payload, seed, colony, iters, block)
        coords = np.array(case["coords"].split(), dtype=np.int64).reshape(-1, 2) if payload else np.zeros((0, 2))
        assert np.array_equal(ys, coords[:, 0]) and np.array_equal(xs, coords[:, 1]), case["case"]
        assert "".join(map(str, bits.tolist())) == case.get("bits", "")
        assert stego.tobytes().hex() == case["stego"]


# ---------------------------------------------------------------------------
# Reproducibility
# ---------------------------------------------------------------------------

_DIGEST_SCRIPT = """
import hashlib, json, sys
import numpy as np
from velmora import _native
cover = np.random.default_rng(3).integers(0, 256, (96, 80), dtype=np.uint8)
out = {}
for seed in json.loads(sys.argv[1]):
    h = hashlib.sha256()
    for a in _native.embed_seeded(cover, 1500, seed)[3:]:
        h.update(a.tobytes())
    h.update(_native.embed_seeded(cover, 1500, seed)[0].tobytes())
    out[str(seed)] = h.hexdigest()
print(json.dumps(out))
"""


def test_same_seed_gives_identical_arrays_in_separate_processes():
    seeds = [0, 1, 2024, U64_MAX]
    runs = []
    for _ in range(2):
        done = subprocess.run([sys.executable, "-c", _DIGEST_SCRIPT, json.dumps(seeds)],
                              capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        runs.append(json.loads(done.stdout))
    assert runs[0] == runs[1]
    assert len(set(runs[0].values())) == len(seeds)  # different seeds differ

    cover = np.random.default_rng(3).integers(0, 256, (96, 80), dtype=np.uint8)
    h = hashlib.sha256()
    for a in _native.embed_seeded(cover, 1500, 2024)[3:]:
        h.update(a.tobytes())
    h.update(_native.embed_seeded(cover, 1500, 2024)[0].tobytes())
    assert h.hexdigest() == runs[0]["2024"]


def test_different_seeds_choose_and_draw_differently():
    cover = photograph("camera")
    results = [_native.embed_seeded(cover, 3000, seed) for seed in (1, 2, 3)]
    assert len({r[3].tobytes() for r in results}) == 3
    assert len({r[5].tobytes() for r in results}) == 3
    assert len({r[2] for r in results}) == 1


# ---------------------------------------------------------------------------
# Errors: those of embed_with_details
# ---------------------------------------------------------------------------


def embed_seeded(image, payload_size, seed, colony_size=30, max_iter=50, min_block=4):
    raise AssertionError("bound successfully")


def outcome(call):
    try:
        call()
    except BaseException as e:  # noqa: BLE001 - the point is to compare them
        return type(e), str(e).replace("embed_with_details", "NAME").replace("embed_seeded", "NAME")
    return None


IMG = noise_image(24, 24, seed=4)
K = vc.get_quadtree_sparse_map(IMG).__len__()

# (positional arguments after image and payload_size, keywords): each must
# fail the same way in both functions.
FAULTS = {
    "image list": ([[1, 2]], 3, (), {}),
    "image float": (np.zeros((4, 4)), 3, (), {}),
    "image 3-D": (np.zeros((4, 4, 3), np.uint8), 3, (), {}),
    "payload float": (IMG, 3.0, (), {}),
    "payload negative": (IMG, -1, (), {}),
    "payload 2**64": (IMG, 2**64, (), {}),
    "payload index error": (IMG, Index(exc=TypeError("no")), (), {}),
    "colony None": (IMG, 3, (), {"colony_size": None}),
    "max_iter negative": (IMG, 3, (), {"max_iter": -2}),
    "min_block str": (IMG, 3, (), {"min_block": "4"}),
    "unknown keyword": (IMG, 3, (), {"colony": 4}),
    "flat image": (flat_image(), 3, (), {}),
    "pool equals payload": (IMG, K, (), {}),
    "pool below payload": (IMG, U64_MAX, (), {}),
    "min_block 0": (IMG, 0, (), {"min_block": 0}),
    "empty payload with iterations": (IMG, 0, (), {"max_iter": 3}),
    "colony too large": (IMG, 5, (), {"colony_size": U64_MAX}),
}


@pytest.mark.parametrize("fault", list(FAULTS))
def test_errors_and_messages_match_embed_with_details(fault):
    image, payload, rest, kwargs = FAULTS[fault]
    expected = outcome(lambda: vc.embed_with_details(image, payload, *rest, **kwargs))
    assert expected is not None
    assert outcome(lambda: _native.embed_seeded(image, payload, 99, *rest, **kwargs)) == expected


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((IMG, 3), {}),
        ((IMG,), {"seed": 1}),
        ((IMG, 3, 1, 2, 3, 4, 5), {}),
        ((IMG, 3, 1), {"seed": 1}),
        ((IMG, 3, 1), {"sead": 1}),
        ((), {}),
    ],
)
def test_binding_errors_read_like_a_python_function(args, kwargs):
    with pytest.raises(TypeError) as python:
        embed_seeded(*args, **kwargs)
    with pytest.raises(TypeError) as native:
        _native.embed_seeded(*args, **kwargs)
    assert str(native.value) == str(python.value)


@pytest.mark.parametrize(
    "seed, error, message",
    [
        (-1, OverflowError, None),
        (2**64, OverflowError, None),
        (1.5, TypeError, "argument 'seed': "),
        (None, TypeError, "argument 'seed': "),
    ],
)
def test_seed_is_converted_after_payload_size_and_before_the_options(seed, error, message):
    index = Index(7)
    with pytest.raises(error) as info:
        _native.embed_seeded(flat_image(), 3, seed, index)
    assert type(info.value) is error
    if message:
        assert str(info.value).startswith(message)
    else:
        assert "seed" not in str(info.value)
    assert index.calls == 0  # colony_size comes after seed
    with pytest.raises(OverflowError):  # payload_size comes before it
        _native.embed_seeded(flat_image(), -1, None)


def test_seeds_across_the_whole_range_are_accepted():
    results = {s: _native.embed_seeded(IMG, 10, s)[3].tolist() for s in (0, True, np.uint64(U64_MAX), U64_MAX)}
    assert results[True] == _native.embed_seeded(IMG, 10, 1)[3].tolist()
    assert results[np.uint64(U64_MAX)] == results[U64_MAX]


def test_results_are_new_arrays_with_their_own_owners():
    result = _native.embed_seeded(IMG, 40, 5)
    for a in (result[0], *result[3:]):
        assert a.flags.writeable and not a.flags.owndata
        assert type(a.base).__name__ == "PySliceContainer"
        assert type(a.base).__module__ == "velmora._native"


# ---------------------------------------------------------------------------
# pool_size and the instrumented calls
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("block", [0, 1, 2, 4, 9])
def test_pool_size_is_the_length_of_the_pool(block):
    for image in (photograph("coins"), photograph("camera").T[::-1], flat_image(), np.zeros((0, 5), np.uint8)):
        assert _native.pool_size(image, block) == len(vc.get_quadtree_sparse_map(image, block))
    assert _native.pool_size(photograph("coins")) == len(vc.get_quadtree_sparse_map(photograph("coins")))


def test_pool_size_argument_errors_are_those_of_the_inspector():
    for args in [([[1]],), (IMG, -1), (IMG, 4.0), (IMG, 4, 5), ()]:
        expected = outcome(lambda: vc.get_quadtree_sparse_map(*args))
        got = outcome(lambda: _native.pool_size(*args))
        assert got is not None and expected is not None
        assert got[0] is expected[0]
        assert got[1] == expected[1].replace("get_quadtree_sparse_map", "pool_size")


def test_timed_calls_return_the_results_of_the_untimed_ones():
    cover = photograph("moon")
    pool, engine_ms, output_ms = _native.timed_sparse_map(cover, 4)
    assert pool == vc.get_quadtree_sparse_map(cover, 4)
    assert engine_ms >= 0.0 and output_ms >= 0.0
    coords, *times = _native.timed_select_coords(cover, pool, 300, 10, 10, 3)
    assert coords == vc.dabc_select_coords(cover, pool, 300, 10, 10, 3)
    assert all(type(t) is float and t >= 0.0 for t in times)
    with pytest.raises(ValueError, match=r"^Quadtree pool \(0\) <= payload_size \(0\)\.$"):
        _native.timed_select_coords(cover, [], 0, 1, 1, 1)


# ---------------------------------------------------------------------------
# The pool boundary's fast paths change nothing
# ---------------------------------------------------------------------------


def test_pool_lists_are_tracked_by_the_collector_and_their_tuples_are_not():
    import gc

    pool = vc.get_quadtree_sparse_map(photograph("camera"))
    assert gc.is_tracked(pool) and not any(gc.is_tracked(t) for t in pool[:1000])
    cycle = [pool]
    pool.append(cycle)  # the list can still take part in a cycle, and be collected
    del pool, cycle
    assert gc.collect() >= 1
    coords = vc.dabc_select_coords(IMG, [(1, 1), (2, 2), (3, 3)], 2, 4, 3, 1)
    assert gc.is_tracked(coords) and not gc.is_tracked(coords[0])


def test_large_results_leave_the_collector_as_the_caller_set_it():
    import gc

    events = []

    def record(phase, info):
        events.append((phase, info["generation"]))

    big = noise_image(400, 400, seed=9)  # a pool of 160,000 entries
    gc.callbacks.append(record)
    try:
        gc.disable()
        try:
            pool = vc.get_quadtree_sparse_map(big)
            during = list(events)
            still_disabled = not gc.isenabled()
        finally:
            gc.enable()
        assert during == [] and still_disabled
        assert gc.is_tracked(pool) and len(pool) == 160000
        gc.collect()
        events.clear()
        pool = vc.get_quadtree_sparse_map(big)
        # Enabled, the youngest generation is collected (by the call on 3.12 and
        # later, by the interpreter itself during the allocations on 3.11).
        assert ("start", 0) in events
    finally:
        gc.callbacks.remove(record)
    assert pool == vc.get_quadtree_sparse_map(np.ascontiguousarray(big))


class Shrinking:
    """An integer whose conversion empties the list it is found in."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __index__(self):
        del self.target[1:]
        return self.value


class Growing:
    def __init__(self, target, value):
        self.target, self.value = target, value

    def __index__(self):
        self.target.append((9, 9))
        return self.value


def test_a_list_changed_while_it_is_converted_is_read_as_its_iterator_reads_it():
    def converted(pool):
        # With payload_size K the call ends at the pool-size check, naming K.
        with pytest.raises(ValueError) as info:
            vc.dabc_select_coords(IMG, pool, 10**6, 1, 0, 1)
        return int(str(info.value).split("(")[1].split(")")[0])

    pool = [(1, 1), (2, 2), (3, 3), (4, 4)]
    pool[0] = (Shrinking(pool, 1), 1)
    assert converted(pool) == 1 and len(pool) == 1
    pool = [(1, 1), (2, 2)]
    pool[1] = (Growing(pool, 2), 2)
    assert converted(pool) == 3  # the entry appended during the conversion is read too
    reference = [(1, 1), (2, 2), (9, 9)]
    assert vc.dabc_select_coords(IMG, reference, 1, 2, 3, 4) == vc.dabc_select_coords(
        IMG, [(1, 1), (Index(2), 2), (9, 9)], 1, 2, 3, 4
    )
    # Large, negative, bool and subclass numbers take the general path with the same results.
    with pytest.raises(ValueError, match=r"^pool entry 1, \(y, x\) = \(1099511627776, 0\)"):
        vc.dabc_select_coords(IMG, [(True, 1), (2**40, 0)], 0, 1, 0, 1)
    assert vc.dabc_select_coords(IMG, ((True, np.int64(1)), (2, 2)), 1, 1, 0, 1) in ([(1, 1)], [(2, 2)])
    with pytest.raises(OverflowError):
        vc.dabc_select_coords(IMG, [(1, 1), (1, -1)], 0, 1, 0, 1)


def test_module_surface():
    assert vc.__all__ == ["run_velmora_engine", "embed_with_details", "get_quadtree_sparse_map", "dabc_select_coords"]
    assert not hasattr(vc, "embed_seeded")
    assert _native.__name__ == "velmora._native"
    assert _native.__all__ == ["embed_seeded", "pool_size", "pool_scores", "timed_sparse_map", "timed_select_coords",
                               "extract_features", "feature_submodels", "feature_min_side",
                               "baseline_prepare", "baseline_costs", "baseline_probabilities",
                               "baseline_simulate"]
    assert _native.embed_seeded.__text_signature__ == (
        "(image, payload_size, seed, colony_size=30, max_iter=50, min_block=4)"
    )
    assert _native.embed_seeded.__module__ == "velmora._native"
