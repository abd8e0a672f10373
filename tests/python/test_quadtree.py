"""get_quadtree_sparse_map: the adaptive quadtree pool as seen from Python."""

import gc
import math
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import velmora_core
from support import Index, checkerboard, flat_image, noise_image

quadtree = velmora_core.get_quadtree_sparse_map


# ---------------------------------------------------------------------------
# A plain recursive model of the pool
# ---------------------------------------------------------------------------


def welford(pixels):
    """Running mean and population variance, updated in exactly this order."""
    mean = 0.0
    m2 = 0.0
    n = 1
    for p in pixels:
        p = float(p)
        d = p - mean
        mean = mean + d / float(n)
        m2 = m2 + (p - mean) * d
        n += 1
    count = len(pixels)
    return mean, (m2 / float(count) if count else 0.0)


class Model:
    def __init__(self, image):
        self.rows = np.asarray(image).tolist()
        self.h, self.w = image.shape
        mean, var = welford([p for row in self.rows for p in row])
        t = mean * 0.1 + math.sqrt(var) * 0.6
        self.threshold = t if t > 8.0 else 8.0
        self._variance = {}

    def block_variance(self, y, x, h, w):
        key = (y, x, h, w)
        if key not in self._variance:
            pixels = [p for row in self.rows[y : y + h] for p in row[x : x + w]]
            self._variance[key] = welford(pixels)[1]
        return self._variance[key]

    def pool(self, min_block):
        out = []
        self._recurse(0, 0, self.h, self.w, min_block, out)
        return out

    def _recurse(self, y, x, h, w, min_block, out):
        if h == 0 or w == 0:
            return
        if self.threshold > self.block_variance(y, x, h, w):
            return
        if h > min_block and w > min_block:
            hh, hw = h // 2, w // 2
            self._recurse(y, x, hh, hw, min_block, out)
            self._recurse(y, x + hw, hh, w - hw, min_block, out)
            self._recurse(y + hh, x, h - hh, hw, min_block, out)
            self._recurse(y + hh, x + hw, h - hh, w - hw, min_block, out)
        else:
            out.extend((r, c) for r in range(y, y + h) for c in range(x, x + w))


def block(y, x, h, w):
    """The pixels of one block in row-major order."""
    return [(r, c) for r in range(y, y + h) for c in range(x, x + w)]


MIN_BLOCKS = list(range(10))


def assert_matches_model(image, min_blocks=MIN_BLOCKS):
    model = Model(image)
    for min_block in min_blocks:
        got = quadtree(image, min_block)
        assert got == model.pool(min_block), (image.tolist(), min_block)


# ---------------------------------------------------------------------------
# Worked examples
# ---------------------------------------------------------------------------


def test_two_by_two_diagonal():
    image = np.array([[0, 255], [255, 0]], np.uint8)
    assert quadtree(image) == [(0, 0), (0, 1), (1, 0), (1, 1)]
    assert quadtree(image, 2) == [(0, 0), (0, 1), (1, 0), (1, 1)]
    assert quadtree(image, 1) == []


def test_one_by_five_ramp_is_raised_to_the_threshold_floor():
    image = np.array([[0, 3, 6, 9, 12]], np.uint8)
    assert quadtree(image) == [(0, 0), (0, 1), (0, 2), (0, 3), (0, 4)]
    assert quadtree(image.T) == [(0, 0), (1, 0), (2, 0), (3, 0), (4, 0)]
    assert quadtree(image, 0) == []


def test_textured_8x8_splits_once_into_four_blocks_in_pre_order():
    image = checkerboard(8, 8)
    expected = block(0, 0, 4, 4) + block(0, 4, 4, 4) + block(4, 0, 4, 4) + block(4, 4, 4, 4)
    assert quadtree(image, 4) == expected
    assert quadtree(image, 8) == block(0, 0, 8, 8)


def test_textured_9x9_gives_the_smaller_halves_to_the_top_and_left():
    image = checkerboard(9, 9)
    expected = (
        block(0, 0, 4, 4)
        + block(0, 4, 4, 5)
        + block(4, 0, 5, 4)
        # the 5x5 bottom-right child splits again
        + block(4, 4, 2, 2)
        + block(4, 6, 2, 3)
        + block(6, 4, 3, 2)
        + block(6, 6, 3, 3)
    )
    assert quadtree(image, 4) == expected


def test_only_the_textured_quadrant_contributes():
    image = np.zeros((8, 8), np.uint8)
    image[0:4, 4:8] = checkerboard(4, 4)
    assert quadtree(image, 4) == block(0, 4, 4, 4)


def test_long_thin_block_is_emitted_whole_once_one_side_is_small():
    image = checkerboard(3, 40)
    assert quadtree(image, 4) == block(0, 0, 3, 40)
    assert quadtree(image.T, 4) == block(0, 0, 40, 3)


@pytest.mark.parametrize("value", [0, 7, 128, 255])
@pytest.mark.parametrize("shape", [(1, 1), (1, 9), (9, 1), (16, 16), (5, 23)])
def test_flat_image_gives_an_empty_pool(shape, value):
    image = np.full(shape, value, np.uint8)
    for min_block in (0, 1, 4, 2**64 - 1):
        assert quadtree(image, min_block) == []


@pytest.mark.parametrize("shape", [(0, 0), (0, 5), (5, 0), (0, 1000)])
def test_empty_image_gives_an_empty_pool(shape):
    image = np.zeros(shape, np.uint8)
    assert quadtree(image) == []
    assert quadtree(image, 0) == []


@pytest.mark.parametrize(
    "image",
    [checkerboard(2, 2), checkerboard(9, 9), checkerboard(1, 50), noise_image(24, 24), noise_image(3, 17)],
    ids=["2x2", "9x9", "1x50", "noise-24", "noise-3x17"],
)
def test_min_block_zero_always_gives_an_empty_pool(image):
    assert quadtree(image, 0) == []


def test_huge_min_block_emits_a_textured_image_whole():
    image = noise_image(13, 7)
    assert quadtree(image, 2**64 - 1) == block(0, 0, 13, 7)
    assert quadtree(image, 2**63) == block(0, 0, 13, 7)


def test_block_with_variance_equal_to_the_threshold_is_textured():
    # [0, 4, 4, 8]: mean 4, variance exactly 8.0, and the threshold is its floor 8.0
    image = np.array([[0, 4], [4, 8]], np.uint8)
    assert quadtree(image) == block(0, 0, 2, 2)
    one_row = np.array([[0, 0, 6]], np.uint8)  # variance exactly 8.0 as well
    assert quadtree(one_row) == block(0, 0, 1, 3)


def test_block_with_variance_just_below_the_threshold_is_smooth():
    image = np.array([[0, 4], [4, 7]], np.uint8)
    assert quadtree(image) == []


def test_variance_is_accumulated_in_row_major_order():
    # The exact variance of these eight values is 8.0, the threshold floor.
    # Visited row by row the running computation lands one ulp below 8.0
    # (smooth); visited column by column it lands just above (textured).
    image = np.array([[12, 6, 11, 7], [7, 9, 5, 3]], np.uint8)
    assert Model(image).block_variance(0, 0, 2, 4) < 8.0
    assert Model(image.T).block_variance(0, 0, 4, 2) > 8.0
    assert quadtree(image) == []
    assert quadtree(np.asfortranarray(image)) == []
    assert quadtree(image.T) == block(0, 0, 4, 2)
    assert quadtree(np.ascontiguousarray(image.T)) == block(0, 0, 4, 2)


@pytest.mark.parametrize(
    "values, textured",
    [
        ([8, 7, 1, 6, 9, 8, 12, 9, 9], True),  # running variance 8.000000000000002
        ([10, 12, 10, 3, 10, 9], False),  # running variance 7.999999999999999
        ([6, 5, 0, 7, 3, 10, 4, 4, 10, 7, 8, 8], False),
        ([6, 1, 9, 7, 3, 5, 5, 0], True),
    ],
)
def test_threshold_comparison_uses_the_running_variance(values, textured):
    # Each of these has an exact variance of 8.0; only the running (Welford)
    # result decides, and it differs from 8.0 in the last bit.
    image = np.array([values], np.uint8)
    expected = block(0, 0, 1, len(values)) if textured else []
    assert quadtree(image) == expected


def test_threshold_comes_from_the_whole_image():
    # The same 4x4 block is textured inside a calm image but smooth inside a
    # busy one, because the busy image raises the threshold above its variance.
    patch = checkerboard(4, 4, 0, 10)  # variance 25
    calm = np.zeros((8, 8), np.uint8)  # threshold stays at its floor 8.0
    calm[0:4, 0:4] = patch
    assert quadtree(calm, 4) == block(0, 0, 4, 4)
    busy = checkerboard(8, 8)
    busy[0:4, 0:4] = patch
    assert (0, 0) not in quadtree(busy, 4)
    assert quadtree(busy, 4)[:16] == block(0, 4, 4, 4)


# ---------------------------------------------------------------------------
# Shape and type of the result
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("min_block", [0, 1, 2, 4, 7])
def test_result_is_a_list_of_distinct_int_pairs_inside_the_image(seed, min_block):
    rng = np.random.default_rng(seed)
    h, w = rng.integers(1, 30, size=2)
    image = rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    pool = quadtree(image, min_block)
    assert type(pool) is list
    for entry in pool:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is int and type(entry[1]) is int
        assert 0 <= entry[0] < h and 0 <= entry[1] < w
    assert len(set(pool)) == len(pool)
    assert len(pool) <= h * w


def test_each_call_returns_a_new_list():
    image = noise_image(8, 8)
    first = quadtree(image)
    second = quadtree(image)
    assert first == second and first is not second
    first.append((99, 99))
    assert quadtree(image) == second


def assert_equal_ints_are_one_object(pool):
    seen = {}
    for entry in pool:
        for value in entry:
            assert seen.setdefault(value, value) is value


def test_large_pool_shares_its_ints_and_only_the_list_is_tracked():
    # More entries than the collector is settled for, and coordinates beyond
    # the interpreter's own small ints.
    pool = quadtree(noise_image(300, 700, seed=5), 4)
    assert len(pool) > 2**16
    assert max(x for _, x in pool) > 600
    assert all(type(entry) is tuple and type(entry[0]) is int and type(entry[1]) is int for entry in pool)
    assert_equal_ints_are_one_object(pool)
    assert gc.is_tracked(pool)
    assert not any(gc.is_tracked(entry) for entry in pool)


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("side", [8, 300])
def test_collector_is_left_on_or_off_as_it_was(enabled, side):
    image = noise_image(side, side, seed=6)
    was_enabled = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        pool = quadtree(image)
        assert gc.isenabled() is enabled
        assert gc.is_tracked(pool)
        assert pool == quadtree(image)
    finally:
        gc.enable() if was_enabled else gc.disable()


def test_wide_image_with_few_textured_pixels_far_to_the_right():
    # One leaf of 1 x 12,000 pixels at x = 84,000 to 95,999: a pool whose
    # coordinates are large against its length.
    image = np.zeros((8, 96_000), np.uint8)
    image[7, -2000::2] = 255
    pool = quadtree(image, 1)
    assert pool == block(7, 84_000, 1, 12_000)
    assert_equal_ints_are_one_object(pool)
    assert all(type(x) is int for _, x in pool)
    assert pool == Model(image).pool(1)


@pytest.mark.parametrize(
    "min_block, same_as",
    [(True, 1), (False, 0), (np.uint8(3), 3), (np.int64(5), 5), (Index(2), 2), (2**64 - 1, 10**6)],
    ids=["True", "False", "np.uint8", "np.int64", "__index__", "max"],
)
def test_min_block_accepts_integer_like_values(min_block, same_as):
    image = noise_image(21, 19, seed=8)
    assert quadtree(image, min_block) == quadtree(image, same_as)
    assert quadtree(image, min_block=min_block) == quadtree(image, same_as)


def test_negative_min_block_is_the_interpreters_overflow_error():
    with pytest.raises(OverflowError) as info:
        quadtree(noise_image(4, 4), -1)
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")
    assert "min_block" not in str(info.value)
    with pytest.raises(OverflowError):
        quadtree(noise_image(4, 4), min_block=2**64)


@pytest.mark.parametrize("min_block", [4.0, None, "4", np.float32(4)], ids=["float", "None", "str", "np.float32"])
def test_non_integer_min_block_is_type_error_naming_it(min_block):
    with pytest.raises(TypeError) as info:
        quadtree(noise_image(4, 4), min_block)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'min_block': ")


def test_bad_image_is_reported_before_bad_min_block():
    with pytest.raises(TypeError) as info:
        quadtree(np.zeros((4, 4), np.float64), -1)
    assert str(info.value).startswith("argument 'image': ")


# ---------------------------------------------------------------------------
# Memory layout never changes the pool
# ---------------------------------------------------------------------------

VIEWS = [
    pytest.param(lambda a: a.T, id="transposed"),
    pytest.param(lambda a: a[::-1], id="rows-reversed"),
    pytest.param(lambda a: a[:, ::-1], id="columns-reversed"),
    pytest.param(lambda a: a[::-1, ::-1].T, id="reversed-transposed"),
    pytest.param(lambda a: a[1::2, ::3], id="step-sliced"),
    pytest.param(lambda a: a[-2::-3, 1:], id="negative-step-sliced"),
    pytest.param(lambda a: np.asfortranarray(a), id="fortran-order"),
    pytest.param(lambda a: np.broadcast_to(a[5], (17, a.shape[1])), id="broadcast-rows"),
    pytest.param(lambda a: np.broadcast_to(a[:, 4:5], (a.shape[0], 12)), id="broadcast-columns"),
    pytest.param(lambda a: np.broadcast_to(a[2, 3], (6, 6)), id="broadcast-scalar"),
]


def _patchy(seed):
    rng = np.random.default_rng(seed)
    image = np.full((23, 19), 90, np.uint8)
    image[3:15, 5:17] = rng.integers(0, 256, size=(12, 12))
    image[16:, :7] = rng.integers(80, 100, size=(7, 7))
    return image


@pytest.mark.parametrize("make", VIEWS)
@pytest.mark.parametrize("seed", range(3))
def test_pool_is_independent_of_strides(make, seed):
    view = make(_patchy(seed))
    contiguous = np.ascontiguousarray(view)
    for min_block in (0, 1, 2, 3, 4, 6):
        assert quadtree(view, min_block) == quadtree(contiguous, min_block)
    assert_matches_model(view, (1, 2, 4))


# ---------------------------------------------------------------------------
# The module against the model
# ---------------------------------------------------------------------------


def _tiles(rng, h, w):
    # every aligned 2x2 block has variance exactly 8.0, the threshold floor
    tile = np.array([[0, 4], [4, 8]], np.uint8)
    image = np.tile(tile, ((h + 1) // 2, (w + 1) // 2))[:h, :w]
    if rng.random() < 0.5:
        image = image + np.uint8(rng.integers(0, 240))
    if rng.random() < 0.3:
        y, x = rng.integers(0, h), rng.integers(0, w)
        image[y, x] = rng.integers(0, 256)
    return image


def _random_image(rng, kind, h, w):
    if kind == "flat":
        return np.full((h, w), rng.integers(0, 256), np.uint8)
    if kind == "noise":
        return rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    if kind == "low-contrast":
        base = rng.integers(0, 240)
        return (base + rng.integers(0, rng.integers(1, 24), size=(h, w))).astype(np.uint8)
    if kind == "patchy":
        image = np.full((h, w), rng.integers(0, 256), np.uint8)
        for _ in range(rng.integers(1, 4)):
            y0, x0 = rng.integers(0, h), rng.integers(0, w)
            y1, x1 = rng.integers(y0, h) + 1, rng.integers(x0, w) + 1
            lo = rng.integers(0, 200)
            image[y0:y1, x0:x1] = rng.integers(lo, lo + rng.integers(1, 56), size=(y1 - y0, x1 - x0))
        return image
    if kind == "tiles":
        return _tiles(rng, h, w)
    if kind == "gradient":
        yy, xx = np.indices((h, w))
        return ((yy * rng.integers(0, 12) + xx * rng.integers(0, 12)) % 256).astype(np.uint8)
    raise AssertionError(kind)


KINDS = ["flat", "noise", "low-contrast", "patchy", "tiles", "gradient"]


@pytest.mark.parametrize("kind", KINDS)
def test_matches_model_on_seeded_random_images(kind):
    rng = np.random.default_rng(sum(map(ord, kind)))
    shapes = [(1, 1), (1, 2), (2, 1), (1, 17), (17, 1), (1, 24), (24, 1), (2, 2), (3, 3), (24, 24)]
    shapes += [tuple(rng.integers(1, 25, size=2)) for _ in range(60)]
    for h, w in shapes:
        assert_matches_model(_random_image(rng, kind, int(h), int(w)))


def test_matches_model_for_tiles_of_exact_threshold_variance():
    rng = np.random.default_rng(2024)
    for h in range(1, 19):
        for w in range(1, 19):
            tile = np.array([[0, 4], [4, 8]], np.uint8)
            image = np.tile(tile, ((h + 1) // 2, (w + 1) // 2))[:h, :w]
            assert_matches_model(image)
            assert_matches_model(_tiles(rng, h, w), (1, 2, 3, 4))


@st.composite
def images(draw):
    h = draw(st.integers(1, 24))
    w = draw(st.integers(1, 24))
    lo = draw(st.integers(0, 255))
    hi = draw(st.integers(lo, min(255, lo + draw(st.sampled_from([0, 3, 8, 20, 255])))))
    image = draw(hnp.arrays(np.uint8, (h, w), elements=st.integers(lo, hi), fill=st.nothing()))
    layout = draw(st.sampled_from(["c", "T", "rev", "fortran"]))
    if layout == "T":
        image = image.T
    elif layout == "rev":
        image = image[::-1, ::-1]
    elif layout == "fortran":
        image = np.asfortranarray(image)
    return image


@settings(max_examples=300)
@given(images())
def test_matches_model_on_generated_images(image):
    assert_matches_model(image)


@settings(max_examples=60)
@given(
    hnp.arrays(
        np.uint8,
        hnp.array_shapes(min_dims=2, max_dims=2, min_side=1, max_side=24),
        elements=st.sampled_from([0, 4, 8, 12, 100, 104, 108]),
        fill=st.nothing(),
    )
)
def test_matches_model_on_generated_few_level_images(image):
    assert_matches_model(image)


def test_pool_is_the_same_from_several_threads():
    image = _patchy(7)
    expected = quadtree(image, 2)
    results = []

    def work():
        for _ in range(50):
            results.append(quadtree(image, 2))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert len(results) == 200
    assert all(r == expected for r in results)


def test_image_is_not_modified():
    image = _patchy(3)
    keep = image.copy()
    for min_block in range(6):
        quadtree(image, min_block)
    np.testing.assert_array_equal(image, keep)


def test_flat_image_helper_is_smooth():
    # guard for the other test files, which rely on an empty pool here
    assert quadtree(flat_image(), 0) == quadtree(flat_image()) == []
