"""dabc_select_coords: the seeded colony search over a caller's pool."""

import json
import os
import random
import re
import subprocess
import sys
import textwrap
from collections import Counter

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import velmora_core
from colony_model import ZERO_SEED_STATE, EmptyRange, Rng, run_colony, score_table, select_coords
from support import assert_interrupted, checkerboard, flat_image, interrupt_long_call, noise_image

select = velmora_core.dabc_select_coords
quadtree = velmora_core.get_quadtree_sparse_map

U64_MAX = 2**64 - 1


def textured(h=16, w=16, seed=0):
    return noise_image(h, w, seed)


def all_pixels(h, w):
    return [(y, x) for y in range(h) for x in range(w)]


def run_python(code, stdin_text, env=None):
    """Run `code` in a fresh interpreter and return its stdout."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    done = subprocess.run(
        [sys.executable, "-c", code],
        input=stdin_text,
        capture_output=True,
        text=True,
        timeout=60,
        env=full_env,
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


# ---------------------------------------------------------------------------
# The reference model itself
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "seed, state, outputs",
    [
        (
            0,
            (0x45CDB581F973F2EC, 0xAD6CAD067346F087, 0x67E71733E3A3D0D0, 0xFE7D8AD772EA9BF2),
            (0x7283E4C96896188C, 0x706B7F2DE031BF37, 0xFAD96EA1180D0E12),
        ),
        (
            42,
            (0x0A3D32587BA18FA4, 0xB8140169CCA1B8EA, 0x54F7B41875C88C2B, 0xF220DFE4A16E448D),
            (0x28CBBA42949FBEAD,),
        ),
    ],
)
def test_model_seed_expansion_and_first_words(seed, state, outputs):
    rng = Rng.from_seed(seed)
    assert tuple(rng.s) == state
    assert tuple(rng.next_u64() for _ in outputs) == outputs


def test_model_replaces_all_zero_entropy_by_the_fixed_state():
    rng = Rng.from_bytes(bytes(32))
    assert tuple(rng.s) == ZERO_SEED_STATE
    assert [rng.next_u64() for _ in range(3)] == [
        0x53175D61490B23DF,
        0x61DA6F3DC380D507,
        0x5C0FDF91EC9A7BFC,
    ]


def test_model_reads_entropy_as_little_endian_words():
    raw = bytes(range(1, 33))
    assert Rng.from_bytes(raw).s == [int.from_bytes(raw[i : i + 8], "little") for i in (0, 8, 16, 24)]


@pytest.mark.parametrize(
    "length, amount, method",
    [
        (1000, 12, "floyd-insert"),
        (300, 12, "inplace"),
        (1000, 60, "inplace"),
        (100000, 60, "floyd-append"),
        (500000, 200, "rejection"),
        (40000, 200, "inplace"),
        (10, 0, "empty"),
    ],
)
def test_model_picks_the_sampling_method_by_its_thresholds(length, amount, method):
    assert Rng._sample_method(length, amount) == method


def test_model_local_variance_examples():
    # Five 255s and four 0s around an interior pixel; a corner with 0, 0, 0, 4.
    img = np.zeros((4, 4), dtype=np.uint8)
    img[0:3, 0:3] = [[255, 0, 255], [0, 255, 0], [255, 0, 255]]
    assert score_table(img, [(1, 1)]) == [pytest.approx(16055.555555555555, abs=0)]
    corner = np.array([[0, 0], [0, 4]], dtype=np.uint8)
    assert score_table(corner, [(0, 0)]) == [3.0]


# ---------------------------------------------------------------------------
# Reproducibility
# ---------------------------------------------------------------------------

REPRO_CASES = [
    # (image seed, payload_size, colony_size, max_iter, seed)
    (0, 20, 30, 50, 0),
    (1, 1, 2, 7, 12345),
    (2, 40, 7, 3, U64_MAX),
    (3, 100, 10, 20, 2**63),
]


@pytest.mark.parametrize("image_seed, payload, colony, iters, seed", REPRO_CASES)
def test_same_arguments_give_the_same_list_in_repeated_calls(image_seed, payload, colony, iters, seed):
    img = textured(seed=image_seed)
    pool = quadtree(img)
    first = select(img, pool, payload, colony, iters, seed)
    for _ in range(3):
        assert select(img, pool, payload, colony, iters, seed) == first


def test_same_arguments_give_the_same_list_in_another_process():
    img = textured(20, 20, seed=4)
    pool = quadtree(img)
    cases = [(payload, colony, iters, seed) for (_, payload, colony, iters, seed) in REPRO_CASES]
    here = [select(img, pool, *case) for case in cases]
    code = textwrap.dedent(
        """
        import json, sys
        import numpy as np
        import velmora_core
        data = json.load(sys.stdin)
        img = np.array(data["image"], dtype=np.uint8)
        pool = [tuple(p) for p in data["pool"]]
        out = [velmora_core.dabc_select_coords(img, pool, *case) for case in data["cases"]]
        json.dump(out, sys.stdout)
        """
    )
    payload = json.dumps({"image": img.tolist(), "pool": pool, "cases": cases})
    # Different hash seeds: the membership sets must not influence the result.
    for hash_seed in ("0", "4242"):
        there = json.loads(run_python(code, payload, {"PYTHONHASHSEED": hash_seed}))
        assert [[tuple(c) for c in result] for result in there] == here


def test_another_seed_generally_gives_another_list():
    img = textured()
    pool = quadtree(img)
    results = {tuple(select(img, pool, 20, 10, 5, seed)) for seed in range(8)}
    assert len(results) >= 7


# ---------------------------------------------------------------------------
# Shape of the result
# ---------------------------------------------------------------------------


def assert_positions_from_pool(result, pool):
    """Every result entry is a pool entry, using each pool position at most once."""
    available = Counter(tuple(p) for p in pool)
    used = Counter(result)
    for coord, times in used.items():
        assert times <= available[coord], coord


@pytest.mark.parametrize("payload", [1, 7, 64, 200])
def test_result_is_a_list_of_plain_int_pairs_from_the_pool(payload):
    img = textured()
    pool = quadtree(img)
    result = select(img, pool, payload, 12, 6, 99)
    assert type(result) is list
    assert len(result) == payload
    for entry in result:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is int and type(entry[1]) is int
    assert len(set(result)) == payload  # the quadtree pool has no duplicates
    assert set(result) <= set(pool)


def test_duplicated_pool_entries_can_be_chosen_once_per_position():
    img = textured(8, 8)
    base = [(1, 1), (2, 5), (6, 3)]
    pool = base * 10
    result = select(img, pool, 25, 8, 10, 3)
    assert len(result) == 25
    assert_positions_from_pool(result, pool)
    # 25 picks out of 3 coordinates: they must repeat, but never beyond their copies.
    assert set(result) <= set(base)


def test_a_coordinate_listed_once_appears_at_most_once():
    img = textured(10, 10)
    pool = [(y, x) for y in range(10) for x in range(10)] + [(4, 4), (4, 4), (7, 2)]
    for seed in range(5):
        result = select(img, pool, 80, 6, 8, seed)
        assert_positions_from_pool(result, pool)
        counts = Counter(result)
        assert all(n == 1 for c, n in counts.items() if c not in ((4, 4), (7, 2)))


@pytest.mark.parametrize("k", [2, 3, 9, 40])
def test_pool_one_larger_than_the_payload_leaves_out_exactly_one_position(k):
    img = textured(12, 12)
    pool = all_pixels(12, 12)[:k]
    result = select(img, pool, k - 1, 6, 12, k)
    assert len(result) == k - 1
    assert len(set(result)) == k - 1
    assert set(result) < set(pool)


def test_whole_pool_minus_one_with_duplicates():
    img = textured(6, 6)
    pool = [(0, 0), (0, 0), (3, 3), (5, 5), (5, 5), (2, 1)]
    result = select(img, pool, 5, 4, 5, 8)
    missing = Counter(pool) - Counter(result)
    assert sum(missing.values()) == 1
    assert not Counter(result) - Counter(pool)


# ---------------------------------------------------------------------------
# Pool-size check and argument ranges
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    "pool_len, payload",
    [(5, 5), (0, 0), (0, 1), (3, 10), (5, U64_MAX)],
)
def test_pool_not_larger_than_payload_is_refused(pool_len, payload):
    img = textured(6, 6)
    pool = all_pixels(6, 6)[:pool_len]
    with pytest.raises(ValueError) as info:
        select(img, pool, payload, 4, 2, 1)
    assert str(info.value) == f"Quadtree pool ({pool_len}) <= payload_size ({payload})."


def test_pool_check_message_for_five_entries():
    with pytest.raises(ValueError, match=r"^Quadtree pool \(5\) <= payload_size \(5\)\.$"):
        select(textured(), [(0, 0), (0, 1), (0, 2), (0, 3), (0, 4)], 5, 30, 50, 0)


def test_empty_pool_with_empty_payload_is_refused():
    with pytest.raises(ValueError, match=r"^Quadtree pool \(0\) <= payload_size \(0\)\.$"):
        select(textured(), [], 0, 30, 0, 0)


def test_max_iter_zero_returns_a_selection():
    img = textured()
    pool = quadtree(img)
    result = select(img, pool, 15, 8, 0, 5)
    assert len(result) == 15 and len(set(result)) == 15 and set(result) <= set(pool)


@pytest.mark.parametrize("same, as_", [((0, 1, 2, 3), 1), ((30, 31), 30), ((4, 5), 4)])
def test_colony_size_is_halved_and_rounded_down(same, as_):
    # 0..3 all give one food source, 30 and 31 give fifteen: the same draws, the same list.
    img = textured()
    pool = quadtree(img)
    expected = select(img, pool, 12, as_, 6, 77)
    for colony in same:
        assert select(img, pool, 12, colony, 6, 77) == expected


@pytest.mark.parametrize("seed", [0, 1, 2**32, U64_MAX, np.uint64(U64_MAX), True])
def test_whole_seed_range_is_accepted(seed):
    img = textured()
    pool = quadtree(img)
    result = select(img, pool, 5, 4, 2, seed)
    assert result == select(img, pool, 5, 4, 2, int(seed))


@pytest.mark.parametrize("seed", [-1, 2**64])
@pytest.mark.parametrize("pool_len", [0, 3, 50])
def test_seed_out_of_range_is_overflow_error_even_for_a_too_small_pool(seed, pool_len):
    img = textured()
    pool = all_pixels(16, 16)[:pool_len]
    with pytest.raises(OverflowError):
        select(img, pool, 3, 4, 2, seed)


def test_quadtree_pool_is_accepted_unchanged():
    img = checkerboard(12, 12)
    img[6:, 6:] = 100
    pool = quadtree(img)
    before = list(pool)
    result = select(img, pool, len(pool) - 3, 8, 5, 21)
    assert pool == before
    assert set(result) <= set(pool) and len(set(result)) == len(pool) - 3


def test_bool_and_numpy_integers_in_the_pool_come_back_as_ints():
    img = textured(6, 6)
    odd = [
        (True, np.int64(3)),
        (np.uint8(2), False),
        (np.uint64(4), np.int32(5)),
        (np.int16(0), True),
        (False, False),
    ]
    plain = [(int(y), int(x)) for y, x in odd]
    result = select(img, odd, 4, 4, 3, 13)
    assert result == select(img, plain, 4, 4, 3, 13)
    for y, x in result:
        assert type(y) is int and type(x) is int


# ---------------------------------------------------------------------------
# Which pixels matter
# ---------------------------------------------------------------------------


def test_image_need_not_be_the_one_the_pool_came_from():
    source = textured(8, 8, seed=1)
    pool = quadtree(source)
    other = noise_image(30, 20, seed=2)
    result = select(other, pool, 10, 6, 4, 3)
    assert len(result) == 10 and set(result) <= set(pool)
    assert result == select_coords(other, pool, 10, 6, 4, 3)


def _corner_pool_case():
    img = noise_image(14, 14, seed=8)
    pool = [(y, x) for y in range(1, 5) for x in range(1, 5)]  # windows cover rows/cols 0..5
    return img, pool


@pytest.mark.parametrize("pixel", [(6, 0), (0, 6), (13, 13), (6, 6), (10, 2)])
def test_pixels_outside_every_window_do_not_matter(pixel):
    img, pool = _corner_pool_case()
    expected = select(img, pool, 6, 8, 10, 4)
    changed = img.copy()
    changed[pixel] ^= 0xFF
    assert select(changed, pool, 6, 8, 10, 4) == expected


def test_replacing_everything_outside_the_windows_does_not_matter():
    img, pool = _corner_pool_case()
    expected = select(img, pool, 6, 8, 10, 4)
    changed = noise_image(14, 14, seed=99)
    changed[0:6, 0:6] = img[0:6, 0:6]
    assert select(changed, pool, 6, 8, 10, 4) == expected


def test_a_pixel_in_a_window_can_change_the_selection():
    img = flat_image(10, 10, value=50)
    pool = [(2, 2), (2, 6), (6, 2), (6, 6), (4, 4)]
    before = select(img, pool, 1, 8, 10, 6)
    changed = img.copy()
    changed[7, 7] = 250  # only (6, 6) has this pixel in its window
    after = select(changed, pool, 1, 8, 10, 6)
    assert after == [(6, 6)]
    assert before != after
    assert before == select_coords(img, pool, 1, 8, 10, 6)
    assert after == select_coords(changed, pool, 1, 8, 10, 6)


# ---------------------------------------------------------------------------
# Empty selections
# ---------------------------------------------------------------------------


def test_empty_payload_without_iterations_gives_an_empty_list():
    img = textured()
    assert select(img, quadtree(img), 0, 30, 0, 1) == []
    assert select(img, [(0, 0)], 0, 1, 0, 0) == []


@pytest.mark.parametrize("max_iter", [1, 50])
@pytest.mark.parametrize("colony", [0, 30])
def test_empty_payload_with_iterations_cannot_move(max_iter, colony):
    img = textured()
    with pytest.raises(RuntimeError) as info:
        select(img, quadtree(img), 0, colony, max_iter, 1)
    assert type(info.value) is RuntimeError
    assert str(info.value) == "cannot sample empty range"


# ---------------------------------------------------------------------------
# Pool entries beyond the image
# ---------------------------------------------------------------------------

H, W = 10, 12


def assert_names_outside_entry(message, position, entry):
    """The message names the entry's pool position, its (y, x) and the image shape."""
    assert not message.startswith("Quadtree pool"), message
    assert re.search(rf"(?<!\d){position}(?!\d)", message), message
    assert re.search(rf"(?<!\d){entry[0]}\D+{entry[1]}(?!\d)", message), message
    assert re.search(rf"(?<!\d){H}\D+{W}(?!\d)", message), message


@pytest.mark.parametrize(
    "entry",
    [(H + 2, 0), (0, W + 2), (H + 2, W + 2), (123, 5), (3, 4567), (U64_MAX, 0), (0, 2**63), (H + 1, W + 2)],
)
@pytest.mark.parametrize("position", [0, 7, 20])
def test_entry_too_far_outside_is_refused_naming_it(entry, position):
    img = noise_image(H, W, seed=3)
    pool = all_pixels(H, W)[:20]
    pool.insert(position, entry)
    with pytest.raises(ValueError) as info:
        select(img, pool, 5, 4, 2, 1)
    assert_names_outside_entry(str(info.value), position, entry)


def test_too_small_pool_is_reported_before_an_outside_entry():
    img = noise_image(H, W, seed=3)
    with pytest.raises(ValueError, match=r"^Quadtree pool \(3\) <= payload_size \(3\)\.$"):
        select(img, [(0, 0), (99, 99), (1, 1)], 3, 4, 2, 1)


def test_bad_seed_is_reported_before_an_outside_entry():
    img = noise_image(H, W, seed=3)
    with pytest.raises(OverflowError):
        select(img, [(0, 0), (99, 99), (1, 1)], 1, 4, 2, -1)


@pytest.mark.parametrize(
    "payload, colony, max_iter",
    [(0, 4, 1), (1, U64_MAX, 2), (1, 2**50, 0), (2, 4, 3)],
    ids=["empty-payload", "huge-colony", "large-colony", "plain"],
)
def test_outside_entry_is_refused_before_any_work(payload, colony, max_iter):
    img = noise_image(H, W, seed=3)
    pool = [(0, 0), (1, 1), (2, 2), (H + 5, 1)]
    with pytest.raises(ValueError) as info:
        select(img, pool, payload, colony, max_iter, 1)
    assert_names_outside_entry(str(info.value), 3, (H + 5, 1))


@pytest.mark.parametrize(
    "entries",
    [[(H, 3)], [(H + 1, 3)], [(4, W)], [(4, W + 1)], [(H, W)], [(H + 1, W + 1)], [(H, W + 1), (H + 1, 0), (0, W)]],
)
def test_entries_just_past_the_edge_are_scored_over_their_clipped_window(entries):
    img = noise_image(H, W, seed=5)
    pool = all_pixels(H, W)[::7] + entries
    for seed in (1, 2, 3):
        result = select(img, pool, 6, 6, 8, seed)
        assert result == select_coords(img, pool, 6, 6, 8, seed)


def test_entries_one_past_the_far_edge_score_nothing():
    # On a flat image every entry scores 0; an entry at y = H + 1 or x = W + 1
    # sees no pixels at all and must score the same 0, not fail.
    img = flat_image(H, W, value=9)
    img[0, 0] = 200  # only (0, 0) and (1, 1)'s windows see it
    pool = [(H + 1, 0), (0, W + 1), (H + 1, W + 1), (1, 1)]
    assert select(img, pool, 1, 8, 10, 2) == [(1, 1)]


# ---------------------------------------------------------------------------
# Memory exhaustion and interruption
# ---------------------------------------------------------------------------


def test_colony_too_large_to_size_is_memory_error():
    img = textured()
    pool = quadtree(img)
    with pytest.raises(MemoryError) as info:
        select(img, pool, 5, U64_MAX, 2, 1)
    assert str(info.value) == "capacity overflow"
    with pytest.raises(MemoryError):
        select(img, pool, 5, U64_MAX, 0, 1)


@pytest.mark.parametrize("colony", [2**50, 2**62])
def test_colony_too_large_to_allocate_is_memory_error(colony):
    img = textured()
    pool = quadtree(img)
    with pytest.raises(MemoryError):
        select(img, pool, 5, colony, 1, 1)
    # The module is still usable afterwards.
    assert len(select(img, pool, 5, 4, 1, 1)) == 5


def test_ctrl_c_interrupts_a_long_search():
    assert_interrupted(interrupt_long_call("velmora_core.dabc_select_coords(img, pool, 5000, 30, {iters}, 7)"))


# ---------------------------------------------------------------------------
# Exact agreement with the reference model
# ---------------------------------------------------------------------------


def _image(kind, h, w, seed):
    rng = np.random.default_rng(seed)
    if kind == "noise":
        return rng.integers(0, 256, size=(h, w), dtype=np.uint8)
    if kind == "levels":
        return rng.choice(np.array([0, 255], dtype=np.uint8), size=(h, w))
    if kind == "flat":
        return np.full((h, w), 77, dtype=np.uint8)
    return (rng.integers(0, 4, size=(h, w)) * 3).astype(np.uint8)


def assert_matches_model(img, pool, payload, colony, max_iter, seed):
    try:
        expected = select_coords(img, pool, payload, colony, max_iter, seed)
    except EmptyRange:
        with pytest.raises(RuntimeError, match="^cannot sample empty range$"):
            select(img, pool, payload, colony, max_iter, seed)
        return
    assert select(img, pool, payload, colony, max_iter, seed) == expected


def _tiny_cases(count, seed):
    rnd = random.Random(seed)
    cases = []
    for _ in range(count):
        kind = rnd.choice(["noise", "levels", "flat", "low"])
        h, w = rnd.randint(1, 8), rnd.randint(1, 8)
        k = rnd.randint(2, 40)
        pool = [(rnd.randint(0, h + 1), rnd.randint(0, w + 1)) for _ in range(k)]
        cases.append(
            (kind, h, w, rnd.getrandbits(16), pool, rnd.randint(1, k - 1), rnd.randint(0, 8), rnd.randint(0, 10), rnd.getrandbits(64))
        )
    return cases


@pytest.mark.parametrize("kind, h, w, image_seed, pool, payload, colony, max_iter, seed", _tiny_cases(40, 2024))
def test_matches_model_on_tiny_random_cases(kind, h, w, image_seed, pool, payload, colony, max_iter, seed):
    assert_matches_model(_image(kind, h, w, image_seed), pool, payload, colony, max_iter, seed)


@st.composite
def tiny_cases(draw):
    h = draw(st.integers(1, 7))
    w = draw(st.integers(1, 7))
    img = np.array(draw(st.lists(st.lists(st.integers(0, 255), min_size=w, max_size=w), min_size=h, max_size=h)), dtype=np.uint8)
    coord = st.tuples(st.integers(0, h + 1), st.integers(0, w + 1))
    pool = draw(st.lists(coord, min_size=1, max_size=40))
    payload = draw(st.integers(0, len(pool) - 1))
    return img, pool, payload, draw(st.integers(0, 8)), draw(st.integers(0, 10)), draw(st.integers(0, U64_MAX))


@settings(max_examples=150)
@given(tiny_cases())
def test_matches_model_on_generated_cases(case):
    assert_matches_model(*case)


_GRID = [(y, x) for y in range(20) for x in range(20)]


def _spread_pool(k):
    """k entries cycling through a 20x20 grid (so larger pools repeat coordinates)."""
    return [_GRID[(i * 7) % 400] for i in range(k)]


@pytest.mark.parametrize(
    "k, payload, colony, max_iter, sample_method, move_method",
    [
        (40, 5, 6, 5, "floyd-insert", "move:rejection"),
        (40, 12, 6, 5, "inplace", "move:rejection"),
        (1000, 12, 4, 4, "floyd-insert", "move:rejection"),
        (1000, 60, 4, 4, "inplace", "move:rejection"),
        (4600, 50, 4, 3, "floyd-append", "move:rejection"),
        (4600, 49, 4, 3, "floyd-insert", "move:rejection"),
        (54001, 200, 4, 3, "rejection", "move:rejection"),
        (40000, 200, 4, 3, "inplace", "move:rejection"),
        (500000, 2000, 2, 2, "rejection", "move:rejection"),
        (8, 6, 8, 10, "floyd-insert", "move:rejection"),
        (8, 7, 8, 10, "floyd-insert", "move:scan"),
        (30, 29, 6, 12, "inplace", "move:scan"),
        (3, 2, 4, 10, "floyd-insert", "move:rejection"),
    ],
)
def test_matches_model_for_each_sampling_and_move_method(k, payload, colony, max_iter, sample_method, move_method):
    img = noise_image(20, 20, seed=k)
    pool = _spread_pool(k)
    seed = k * 1000 + payload
    rng = Rng.from_seed(seed)
    expected_indices = run_colony(score_table(img, pool), payload, colony, max_iter, rng)
    assert rng.used["sample:" + sample_method] > 0, rng.used
    assert rng.used[move_method] > 0, rng.used
    assert select(img, pool, payload, colony, max_iter, seed) == [pool[i] for i in expected_indices]


@pytest.mark.parametrize("colony", [0, 1, 2, 3, 30, 31])
@pytest.mark.parametrize("max_iter", [0, 1, 2, 25])
def test_matches_model_on_a_quadtree_pool(colony, max_iter):
    img = noise_image(24, 24, seed=6)
    img[12:, :12] = 40  # a smooth quadrant, left out of the pool
    pool = quadtree(img)
    assert_matches_model(img, pool, 30, colony, max_iter, colony * 100 + max_iter)


@pytest.mark.parametrize("max_iter", [0, 3, 40])
def test_matches_model_when_every_score_is_zero(max_iter):
    # All fitness values tie at 0: uniform onlooker probabilities and the
    # tie-breaks between equally good food sources decide the result.
    img = flat_image(9, 9, value=3)
    pool = all_pixels(9, 9)
    for seed in range(4):
        assert_matches_model(img, pool, 10, 8, max_iter, seed)
