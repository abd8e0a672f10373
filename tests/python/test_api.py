"""velmora.embed, velmora.simulate, velmora.capacity and velmora.derive_seed."""

import dataclasses
import hashlib

import numpy as np
import pytest

import velmora
import velmora_core as vc
from photos import photograph
from support import flat_image, noise_image

U64_MAX = 2**64 - 1


class Sub(np.ndarray):
    pass


def _broadcast():
    row = noise_image(1, 48, seed=6)
    return np.broadcast_to(row, (40, 48))


def _readonly():
    a = noise_image(40, 48, seed=7)
    a.flags.writeable = False
    return a


# Every layout the module accepts.
LAYOUTS = {
    "C": lambda: noise_image(40, 48, seed=1),
    "Fortran": lambda: np.asfortranarray(noise_image(40, 48, seed=2)),
    "transposed": lambda: noise_image(48, 40, seed=3).T,
    "reversed": lambda: noise_image(40, 48, seed=4)[::-1, ::-1],
    "step-sliced": lambda: noise_image(80, 144, seed=5)[::2, 1::3],
    "broadcast": _broadcast,
    "read-only": _readonly,
    "subclass": lambda: noise_image(40, 48, seed=8).view(Sub),
    "photograph": lambda: photograph("coins")[::-1],
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_embed_simulate_and_capacity_on_every_layout(layout):
    cover = LAYOUTS[layout]()
    before = np.array(cover)
    contiguous = np.ascontiguousarray(cover).view(np.ndarray)
    pool = vc.get_quadtree_sparse_map(contiguous)
    assert velmora.capacity(cover) == len(pool) - 1
    bits = min(300, len(pool) - 1)

    e = velmora.embed(cover, bits, seed=11)
    reference = velmora.embed(contiguous, bits, seed=11)
    assert np.array_equal(e.stego, reference.stego)
    assert np.array_equal(e.coords_y, reference.coords_y) and np.array_equal(e.payload, reference.payload)
    assert np.array_equal(np.asarray(cover), before)  # the cover is only read

    assert e.pool_size == len(pool) and e.payload_bits == bits and e.seed == 11
    assert e.changes == int(np.count_nonzero(e.stego != before))
    assert e.change_rate == e.changes / before.size
    assert np.array_equal(e.stego[e.coords_y, e.coords_x] & 1, e.payload)

    rate = bits / before.size
    assert np.array_equal(velmora.simulate(cover, rate, seed=11), e.stego)
    fresh = velmora.embed(cover, bits)  # from entropy
    assert fresh.seed is None and fresh.pool_size == e.pool_size and fresh.payload_bits == bits


def test_embed_with_a_seed_is_the_seeded_selector_and_its_bits():
    cover = photograph("camera")
    e = velmora.embed(cover, 5000, seed=2024, colony_size=12, max_iter=30, min_block=8)
    pool = vc.get_quadtree_sparse_map(cover, 8)
    assert list(zip(e.coords_y.tolist(), e.coords_x.tolist())) == vc.dabc_select_coords(cover, pool, 5000, 12, 30, 2024)
    again = velmora.embed(cover, 5000, seed=2024, colony_size=12, max_iter=30, min_block=8)
    assert np.array_equal(e.stego, again.stego) and np.array_equal(e.payload, again.payload)
    other = velmora.embed(cover, 5000, seed=2025, colony_size=12, max_iter=30, min_block=8)
    assert not np.array_equal(e.stego, other.stego)


def test_embedding_is_frozen_and_typed():
    e = velmora.embed(noise_image(16, 16), 20, seed=1)
    with pytest.raises(dataclasses.FrozenInstanceError):
        e.seed = 2  # type: ignore[misc]
    assert e.stego.dtype == np.uint8 and e.payload.dtype == np.uint8
    assert e.coords_y.dtype == e.coords_x.dtype == np.int64
    assert type(e.pool_size) is int and type(e.elapsed_ms) is float and type(e.changes) is int


def test_simulate_rounds_the_payload_from_bits_per_pixel():
    cover = noise_image(30, 50, seed=9)  # 1500 pixels
    for alpha, bits in [(0.1, 150), (0.0101, 15), (0.001, 2), (1e-9, 0)]:
        assert np.array_equal(velmora.simulate(cover, alpha, seed=3), velmora.embed(cover, bits, seed=3).stego)
    assert np.array_equal(velmora.simulate(cover, 0.0), cover)


def test_zero_bits_embeds_nothing():
    cover = photograph("coins")
    e = velmora.embed(cover, 0, seed=5)
    assert np.array_equal(e.stego, cover) and e.changes == 0 and e.change_rate == 0.0
    assert e.coords_y.size == e.payload.size == 0
    assert velmora.embed(cover, 0).changes == 0


def test_capacity_is_the_most_that_embed_takes():
    cover = photograph("text")
    cap = velmora.capacity(cover, min_block=2)
    velmora.embed(cover, cap, seed=1, min_block=2, max_iter=2)
    with pytest.raises(velmora.CapacityError) as info:
        velmora.embed(cover, cap + 1, seed=1, min_block=2)
    e = info.value
    assert isinstance(e, ValueError)
    assert (e.pool_size, e.payload_bits, e.capacity) == (cap + 1, cap + 1, cap)
    assert str(e) == f"Quadtree pool ({cap + 1}) <= payload_size ({cap + 1}): the cover takes at most {cap} bits"
    assert velmora.capacity(flat_image()) == 0
    assert velmora.capacity(np.zeros((0, 9), np.uint8)) == 0
    with pytest.raises(velmora.CapacityError) as flat:
        velmora.embed(flat_image(), 1)  # from entropy too
    assert flat.value.capacity == 0 and flat.value.pool_size == 0


@pytest.mark.parametrize(
    "call, error, match",
    [
        (lambda: velmora.embed([[1, 2]], 1), TypeError, "cover must be a 2-D numpy.ndarray of dtype uint8, got list"),
        (lambda: velmora.embed(np.zeros((4, 4)), 1), TypeError, "dtype float64 with shape"),
        (lambda: velmora.embed(np.zeros((4, 4, 3), np.uint8), 1), TypeError, r"shape \(4, 4, 3\)"),
        (lambda: velmora.embed(noise_image(8, 8), -1), ValueError, "payload_bits must not be negative"),
        (lambda: velmora.embed(noise_image(8, 8), 2.5), TypeError, "payload_bits must be an integer"),
        (lambda: velmora.embed(noise_image(8, 8), 1, seed=-1), ValueError, r"seed must be in 0 \.\.\. 2\*\*64 - 1"),
        (lambda: velmora.embed(noise_image(8, 8), 1, seed=2**64), ValueError, "got 18446744073709551616"),
        (lambda: velmora.embed(noise_image(8, 8), 1, seed="7"), TypeError, "seed must be an integer or None, got str"),
        (lambda: velmora.embed(noise_image(8, 8), 1, seed=True), TypeError, "got bool"),
        (lambda: velmora.embed(noise_image(8, 8), 1, colony_size=-3), ValueError, "colony_size must not be negative"),
        (lambda: velmora.embed(noise_image(8, 8), 1, min_block=None), TypeError, "min_block must be an integer"),
        (lambda: velmora.simulate(noise_image(8, 8), 1.5), ValueError, r"alpha must be in \[0, 1\]"),
        (lambda: velmora.simulate(noise_image(8, 8), -0.1), ValueError, r"alpha must be in \[0, 1\]"),
        (lambda: velmora.simulate(noise_image(8, 8), float("nan")), ValueError, "alpha must be in"),
        (lambda: velmora.simulate(noise_image(8, 8), "0.1"), TypeError, "alpha must be a number"),
        (lambda: velmora.simulate(noise_image(8, 8), 0.1, payload=3), TypeError, "unexpected keyword"),
        (lambda: velmora.capacity(np.zeros(5, np.uint8)), TypeError, "cover must be"),
        (lambda: velmora.capacity(noise_image(8, 8), -1), ValueError, "min_block must not be negative"),
    ],
)
def test_argument_errors(call, error, match):
    with pytest.raises(error, match=match):
        call()


def test_seeds_accept_numpy_integers_and_the_whole_range():
    cover = noise_image(20, 20, seed=2)
    a = velmora.embed(cover, 30, seed=np.uint64(U64_MAX))
    b = velmora.embed(cover, 30, seed=U64_MAX)
    assert a.seed == U64_MAX and np.array_equal(a.stego, b.stego)
    assert velmora.embed(cover, 30, seed=0).seed == 0


def test_derive_seed_is_the_documented_digest():
    def reference(*items):
        import json

        return int.from_bytes(hashlib.sha256(json.dumps(list(items)).encode()).digest()[:8], "big")

    assert velmora.derive_seed(7, "embed", "2024/a.png") == reference(7, "embed", "2024/a.png")
    assert velmora.derive_seed(7, "embed", "2024/a.png") == int(
        hashlib.sha256(b'[7, "embed", "2024/a.png"]').hexdigest()[:16], 16
    )
    seeds = {velmora.derive_seed(s, "embed", p) for s in (0, 1, U64_MAX) for p in ("a.png", "b.png", "\u00e9.png")}
    assert len(seeds) == 9 and all(0 <= s <= U64_MAX for s in seeds)
    with pytest.raises(ValueError):
        velmora.derive_seed(-1, "x")
