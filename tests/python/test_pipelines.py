"""run_velmora_engine, embed_with_details and velmora._native.embed_seeded:
the whole embedding pipeline.

The first two seed themselves from operating-system entropy, so these tests
check the properties every result must have; exact results for fixed entropy
are checked in test_fixed_entropy.py, and those of the seeded pipeline in
test_seeded.py.
"""

import gc
import os
import sys
import time
import weakref

import numpy as np
import pytest

import velmora_core
from velmora import _native
from support import assert_interrupted, checkerboard, flat_image, interrupt_long_call, noise_image

run = velmora_core.run_velmora_engine
details = velmora_core.embed_with_details
quadtree = velmora_core.get_quadtree_sparse_map



def seeded(image, payload_size, *rest, **kwargs):
    """embed_seeded with a fixed seed, called like embed_with_details."""
    return _native.embed_seeded(image, payload_size, 2024, *rest, **kwargs)


PIPELINES = {"run_velmora_engine": run, "embed_with_details": details, "embed_seeded": seeded}
pipelines = pytest.mark.parametrize("pipeline", list(PIPELINES.values()), ids=list(PIPELINES))
entropy_pipelines = pytest.mark.parametrize("pipeline", [run, details], ids=["run_velmora_engine", "embed_with_details"])

U64_MAX = 2**64 - 1
OWNER_TYPE = "PySliceContainer"


def patchy(h=24, w=40, seed=0):
    """Noise with one smooth quadrant, so the pool is a strict part of the image."""
    img = noise_image(h, w, seed)
    img[: h // 2, w // 2 :] = 120
    return img


def stego_of(result):
    return result[0]


def pool_message(pipeline, k, payload):
    if pipeline is run:
        return (
            f"Quadtree sparse pool ({k} pixels) is \u2264 payload_size ({payload} bits). "
            "Try a more textured image or reduce payload_size."
        )
    return f"Quadtree pool ({k}) <= payload_size ({payload})."


def assert_owned_by_container(array):
    assert isinstance(array, np.ndarray)
    assert array.flags.writeable
    assert not array.flags.owndata
    assert type(array.base).__name__ == OWNER_TYPE


def changed_pixels(before, after):
    diff = after.astype(np.int16) - before.astype(np.int16)
    return {(int(y), int(x)): int(diff[y, x]) for y, x in zip(*np.nonzero(diff))}


# ---------------------------------------------------------------------------
# What comes back
# ---------------------------------------------------------------------------


@pipelines
def test_result_tuple(pipeline):
    img = patchy()
    result = pipeline(img, 30)
    assert type(result) is tuple
    assert len(result) == (3 if pipeline is run else 6)
    stego, elapsed, pool_size = result[:3]
    assert type(stego) is np.ndarray and stego.dtype == np.uint8 and stego.shape == img.shape
    assert type(elapsed) is float and elapsed > 0.0
    assert type(pool_size) is int and pool_size == len(quadtree(img))


@pipelines
def test_stego_is_a_new_writeable_array_with_an_owner(pipeline):
    img = patchy()
    stego = stego_of(pipeline(img, 30))
    assert_owned_by_container(stego)
    assert stego.base is not img
    assert not np.shares_memory(stego, img)
    stego[0, 0] ^= 1  # writeable in practice, not just by flag


@pytest.mark.parametrize("payload", [1, 37, 300])
def test_detail_arrays(payload):
    img = patchy()
    stego, _, _, ys, xs, bits = details(img, payload)
    for arr, dtype, stride in ((ys, np.int64, 8), (xs, np.int64, 8), (bits, np.uint8, 1)):
        assert_owned_by_container(arr)
        assert arr.dtype == dtype
        assert arr.ndim == 1 and arr.shape == (payload,)
        assert arr.strides == (stride,)
        assert arr.flags.c_contiguous
    assert set(np.unique(bits)) <= {0, 1}


def test_embedding_changes_only_the_chosen_pixels_by_one_level():
    img = patchy()
    for payload in (1, 50, 400):
        for min_block in (2, 4, 7):
            stego, _, pool_size, ys, xs, bits = details(img, payload, min_block=min_block)
            coords = list(zip(ys.tolist(), xs.tolist()))
            pool = quadtree(img, min_block)
            assert pool_size == len(pool)
            assert len(set(coords)) == payload
            assert set(coords) <= set(pool)
            changes = changed_pixels(img, stego)
            assert set(changes) <= set(coords)
            assert all(abs(d) == 1 for d in changes.values())
            assert (stego[ys, xs] & 1).tolist() == bits.tolist()
            # A pixel whose bit already matched is left alone.
            for (y, x), bit in zip(coords, bits.tolist()):
                assert ((y, x) in changes) == ((img[y, x] & 1) != bit)


@pytest.mark.parametrize("payload", [1, 60, 500])
def test_primary_pipeline_changes_at_most_payload_pool_pixels(payload):
    img = patchy()
    stego, _, pool_size = run(img, payload)
    changes = changed_pixels(img, stego)
    assert len(changes) <= payload
    assert set(changes) <= set(quadtree(img))
    assert all(abs(d) == 1 for d in changes.values())
    assert pool_size == len(quadtree(img))


def test_saturated_pixels_move_inwards():
    img = checkerboard(16, 16, low=0, high=255)
    stego, _, _, ys, xs, bits = details(img, 200)
    for y, x, bit in zip(ys.tolist(), xs.tolist(), bits.tolist()):
        before, after = int(img[y, x]), int(stego[y, x])
        if (before & 1) == bit:
            assert after == before
        else:
            assert after == (1 if before == 0 else 254)


def test_mismatching_pixels_move_up_or_down_at_random():
    rng = np.random.default_rng(3)
    img = rng.integers(60, 200, size=(32, 32), dtype=np.uint8)
    directions = set()
    for _ in range(3):
        directions |= set(changed_pixels(img, run(img, 300)[0]).values())
    assert directions == {-1, 1}


@pipelines
@pytest.mark.parametrize("min_block", [1, 3, 4, 6, 100])
def test_pool_size_matches_the_inspector(pipeline, min_block):
    img = patchy(30, 30, seed=min_block)
    k = len(quadtree(img, min_block))
    assert k > 1
    assert pipeline(img, 1, min_block=min_block)[2] == k


@pipelines
@pytest.mark.parametrize("colony_size", [0, 1, 2, 3, 31, 64])
def test_any_colony_size_is_accepted(pipeline, colony_size):
    img = patchy()
    result = pipeline(img, 20, colony_size, 4)
    assert len(changed_pixels(img, stego_of(result))) <= 20


# ---------------------------------------------------------------------------
# Memory layout of the stego image
# ---------------------------------------------------------------------------

H, W = 20, 28


def _base():
    return patchy(H, W, seed=9)


def _wide():
    big = np.zeros((H, 2 * W), dtype=np.uint8)
    big[:, ::2] = _base()
    return big


def _tall():
    big = np.zeros((2 * H, W), dtype=np.uint8)
    big[::2] = _base()
    return big


def _readonly():
    img = _base()
    img.flags.writeable = False
    return img


def _one_row_window():
    big = noise_image(6, 3 * W, seed=4)
    return big[2:3, 10 : 10 + W]


def _one_column_window():
    big = noise_image(H, 9, seed=4)
    return big[:, 3:4]


# name -> (make input, expected output strides or None for "same as the input")
LAYOUTS = {
    "c-order": (_base, (W, 1)),
    "read-only": (_readonly, (W, 1)),
    "fortran-order": (lambda: np.asfortranarray(_base()), (1, H)),
    "transposed": (lambda: np.ascontiguousarray(_base().T).T, (1, H)),
    "rows-reversed": (lambda: _base()[::-1], (-W, 1)),
    "columns-reversed": (lambda: _base()[:, ::-1], (W, -1)),
    "both-reversed": (lambda: _base()[::-1, ::-1], (-W, -1)),
    "fortran-reversed": (lambda: np.asfortranarray(_base())[::-1], (-1, H)),
    "every-second-column": (lambda: _wide()[:, ::2], (W, 1)),
    "every-second-row": (lambda: _tall()[::2], (W, 1)),
    "broadcast-row": (lambda: np.broadcast_to(_base()[3], (H, W)), (W, 1)),
    "broadcast-column": (lambda: np.broadcast_to(_base()[:, 3:4], (H, W)), (W, 1)),
    "one-row-window": (_one_row_window, None),
    "one-column-window": (_one_column_window, (1, 1)),
}


@pipelines
@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_output_layout_follows_the_input(pipeline, layout):
    make, expected = LAYOUTS[layout]
    img = make()
    snapshot = np.array(img, copy=True)
    k = len(quadtree(img))
    assert k > 8
    result = pipeline(img, 8, 6, 5)
    stego = stego_of(result)
    assert stego.shape == img.shape
    assert stego.strides == (img.strides if expected is None else expected)
    assert_owned_by_container(stego)
    assert not np.shares_memory(stego, img)
    assert np.array_equal(img, snapshot)  # the input is untouched
    changes = changed_pixels(img, stego)
    assert len(changes) <= 8 and all(abs(d) == 1 for d in changes.values())
    assert set(changes) <= set(quadtree(img))
    assert result[2] == k
    if pipeline is not run:
        ys, xs, bits = result[3:]
        assert (stego[ys, xs] & 1).tolist() == bits.tolist()
        assert set(changes) <= set(zip(ys.tolist(), xs.tolist()))


def test_c_and_fortran_outputs_are_flagged_so():
    img = _base()
    assert run(img, 10)[0].flags.c_contiguous
    assert run(np.asfortranarray(img), 10)[0].flags.f_contiguous


@pipelines
def test_input_is_not_modified(pipeline):
    img = patchy()
    snapshot = img.copy()
    for payload in (1, 100, 399):
        pipeline(img, payload)
    assert np.array_equal(img, snapshot)


# ---------------------------------------------------------------------------
# Pool-size check and empty payloads
# ---------------------------------------------------------------------------


@pipelines
@pytest.mark.parametrize(
    "case",
    ["flat", "flat-empty-payload", "pool-equals-payload", "payload-above-pool", "min-block-zero", "huge-payload"],
)
def test_pool_not_larger_than_payload_is_refused(pipeline, case):
    img = patchy()
    k = len(quadtree(img))
    image, payload, kwargs, shown_k = {
        "flat": (flat_image(), 3, {}, 0),
        "flat-empty-payload": (flat_image(), 0, {}, 0),
        "pool-equals-payload": (img, k, {}, k),
        "payload-above-pool": (img, k + 1, {}, k),
        "min-block-zero": (img, 0, {"min_block": 0}, 0),
        "huge-payload": (img, U64_MAX, {}, k),
    }[case]
    with pytest.raises(ValueError) as info:
        pipeline(image, payload, **kwargs)
    assert str(info.value) == pool_message(pipeline, shown_k, payload)


@pipelines
def test_pool_one_larger_than_the_payload_uses_all_but_one_coordinate(pipeline):
    img = noise_image(8, 8, seed=2)
    pool = quadtree(img)
    k = len(pool)
    result = pipeline(img, k - 1, 10, 5)
    assert result[2] == k
    changes = changed_pixels(img, stego_of(result))
    assert set(changes) <= set(pool)
    if pipeline is not run:
        coords = set(zip(result[3].tolist(), result[4].tolist()))
        assert len(coords) == k - 1 and coords < set(pool)


@pipelines
def test_empty_payload_without_iterations_returns_the_image_unchanged(pipeline):
    img = patchy()
    result = pipeline(img, 0, 30, 0)
    stego, elapsed, pool_size = result[:3]
    assert np.array_equal(stego, img)
    assert_owned_by_container(stego)
    assert pool_size == len(quadtree(img))
    assert type(elapsed) is float and elapsed >= 0.0
    if pipeline is not run:
        for arr, dtype in zip(result[3:], (np.int64, np.int64, np.uint8)):
            assert arr.dtype == dtype and arr.shape == (0,) and arr.strides == (0,)
            assert arr.flags.writeable


@pipelines
@pytest.mark.parametrize("max_iter", [1, 50])
def test_empty_payload_with_iterations_cannot_move(pipeline, max_iter):
    with pytest.raises(RuntimeError) as info:
        pipeline(patchy(), 0, 30, max_iter)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "cannot sample empty range"


@pipelines
def test_colony_too_large_is_memory_error(pipeline):
    img = patchy()
    with pytest.raises(MemoryError) as info:
        pipeline(img, 5, U64_MAX)
    assert str(info.value) == "capacity overflow"
    with pytest.raises(MemoryError):
        pipeline(img, 5, 2**50, 1)
    assert stego_of(pipeline(img, 5)).shape == img.shape


def test_ctrl_c_interrupts_a_long_embedding():
    assert_interrupted(interrupt_long_call("velmora_core.run_velmora_engine(img, 5000, 30, {iters})"))


# ---------------------------------------------------------------------------
# Timing and fresh entropy
# ---------------------------------------------------------------------------


@pipelines
def test_elapsed_ms_is_a_positive_part_of_the_call(pipeline):
    img = noise_image(64, 64)
    start = time.perf_counter()
    elapsed = pipeline(img, 200)[1]
    outer_ms = (time.perf_counter() - start) * 1000.0
    assert type(elapsed) is float
    assert 0.0 < elapsed <= outer_ms


@entropy_pipelines
def test_two_calls_generally_differ_but_share_the_pool_size(pipeline):
    img = patchy()
    results = [pipeline(img, 100) for _ in range(3)]
    assert len({r[2] for r in results}) == 1
    stegos = {stego_of(r).tobytes() for r in results}
    assert len(stegos) >= 2


def test_two_detailed_calls_generally_choose_differently():
    img = patchy()
    picks = {tuple(details(img, 100)[3].tolist()) for _ in range(3)}
    bits = {tuple(details(img, 100)[5].tolist()) for _ in range(3)}
    assert len(picks) >= 2 and len(bits) >= 2


# ---------------------------------------------------------------------------
# Lifetime and independence of the returned arrays
# ---------------------------------------------------------------------------


@pipelines
def test_stego_array_and_its_owner_are_released(pipeline):
    stego = stego_of(pipeline(patchy(), 20))
    owner = stego.base
    array_ref = weakref.ref(stego)
    before = sys.getrefcount(owner)
    del stego
    gc.collect()
    assert array_ref() is None
    assert sys.getrefcount(owner) == before - 1
    # Only our own reference (plus getrefcount's argument) keeps the owner alive now.
    assert sys.getrefcount(owner) == 2


def test_detail_array_owners_hold_one_reference_each():
    result = details(patchy(), 20)
    for arr in (result[0], *result[3:]):
        owner = arr.base
        assert sys.getrefcount(owner) == 3  # the array, `owner`, the call's argument


def _resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc/self/statm")
@pytest.mark.skipif(
    os.environ.get("VELMORA_UNDER_SANITIZER") == "1",
    reason="the sanitizer's quarantine holds freed memory",
)
def test_returned_buffers_are_freed_with_their_arrays():

    img = noise_image(1000, 1000, seed=5)
    for _ in range(3):
        details(img, 100000, 2, 0)
    gc.collect()
    start = _resident_bytes()
    for _ in range(40):
        result = details(img, 100000, 2, 0)  # a 1 MB image and 2 MB of lists each time
        del result
    gc.collect()
    assert _resident_bytes() - start < 30 * 2**20


def test_returned_arrays_are_independent():
    img = patchy()
    first = details(img, 50)
    second = details(img, 50)
    arrays = [first[0], *first[3:], second[0], *second[3:]]
    for i, a in enumerate(arrays):
        for b in arrays[i + 1 :]:
            assert not np.shares_memory(a, b)
            assert a.base is not b.base
    stego, ys, xs, bits = first[0], first[3], first[4], first[5]
    snapshot = [a.copy() for a in (second[0], xs, bits, *second[3:])]
    stego[...] = 0
    ys[...] = -1
    assert np.array_equal(img, patchy())
    for a, b in zip((second[0], xs, bits, *second[3:]), snapshot):
        assert np.array_equal(a, b)
