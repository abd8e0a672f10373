"""Conversion of the `image` and `pool` arguments, and reference hygiene on failure."""

import collections
import gc
import sys
import warnings

import numpy as np
import pytest

import velmora_core
from support import (
    FUNCTION_NAMES,
    Index,
    NoIndex,
    call_past_conversion,
    checkerboard,
    flat_image,
    noise_image,
    type_error_with_cause,
    valid_arguments,
)

# ---------------------------------------------------------------------------
# image
# ---------------------------------------------------------------------------

REFUSED_IMAGES = [
    pytest.param(np.zeros((4, 4), np.float64), id="float64"),
    pytest.param(np.zeros((4, 4), np.float32), id="float32"),
    pytest.param(np.zeros((4, 4), np.int8), id="int8"),
    pytest.param(np.zeros((4, 4), np.bool_), id="bool"),
    pytest.param(np.zeros((4, 4), np.uint16), id="uint16"),
    pytest.param(np.zeros((4, 4), np.int64), id="int64"),
    pytest.param(np.zeros((4, 4), "S1"), id="bytes1"),
    pytest.param(np.zeros((4, 4), [("v", np.uint8)]), id="structured-u1"),
    pytest.param(np.zeros(16, np.uint8), id="1-D"),
    pytest.param(np.zeros((4, 4, 1), np.uint8), id="3-D"),
    pytest.param(np.zeros((4, 4, 3), np.uint8), id="3-D-rgb"),
    pytest.param(np.array(5, np.uint8), id="0-D"),
    pytest.param(np.uint8(5), id="numpy-scalar"),
    pytest.param([[0, 1], [2, 3]], id="nested-list"),
    pytest.param(((0, 1), (2, 3)), id="nested-tuple"),
    pytest.param(memoryview(bytearray(16)).cast("B", (4, 4)), id="memoryview"),
    pytest.param(bytearray(16), id="bytearray"),
    pytest.param(None, id="None"),
    pytest.param(7, id="int"),
]


class ArrayLike:
    """Exposes an array through __array__ but is not an array itself."""

    def __init__(self, arr):
        self.arr = arr

    def __array__(self, dtype=None, copy=None):
        return self.arr


@pytest.mark.parametrize("image", REFUSED_IMAGES + [pytest.param(ArrayLike(np.zeros((4, 4), np.uint8)), id="__array__")])
@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_image_that_is_not_a_2d_uint8_array_is_refused(name, image):
    kwargs = valid_arguments(name)
    kwargs["image"] = image
    with pytest.raises(TypeError) as info:
        getattr(velmora_core, name)(**kwargs)
    assert type(info.value) is TypeError
    assert str(info.value).startswith("argument 'image': ")


class ImageSubclass(np.ndarray):
    pass


def _read_only(arr):
    arr = arr.copy()
    arr.flags.writeable = False
    return arr


def _as_matrix(arr):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", PendingDeprecationWarning)
        return np.asmatrix(arr)


def _base():
    return noise_image(9, 11, seed=3)


ACCEPTED_VIEWS = [
    pytest.param(lambda a: a, id="contiguous"),
    pytest.param(_read_only, id="read-only"),
    pytest.param(lambda a: np.frombuffer(a.tobytes(), np.uint8).reshape(a.shape), id="read-only-buffer"),
    pytest.param(lambda a: a[::-1], id="rows-reversed"),
    pytest.param(lambda a: a[:, ::-1], id="columns-reversed"),
    pytest.param(lambda a: a[::-1, ::-1], id="both-reversed"),
    pytest.param(lambda a: a.T, id="transposed"),
    pytest.param(lambda a: a[::2, 1::3], id="step-sliced"),
    pytest.param(lambda a: a[::-2, ::3].T, id="reversed-sliced-transposed"),
    pytest.param(lambda a: np.asfortranarray(a), id="fortran-order"),
    pytest.param(lambda a: np.broadcast_to(a[3], (7, a.shape[1])), id="broadcast-rows"),
    pytest.param(lambda a: np.broadcast_to(a[:, 2:3], (a.shape[0], 6)), id="broadcast-columns"),
    pytest.param(lambda a: a.view(ImageSubclass), id="ndarray-subclass"),
    pytest.param(_as_matrix, id="np.matrix"),
    pytest.param(lambda a: a.astype(np.dtype("B")), id="dtype-B"),
    pytest.param(lambda a: a.astype(np.dtype(np.uint8, metadata={"tag": 1})), id="dtype-with-metadata"),
    pytest.param(lambda a: np.ascontiguousarray(a[:, :10]).view(np.uint16).view(np.uint8), id="re-viewed-as-uint8"),
    pytest.param(lambda a: a[:0], id="empty-0xN"),
    pytest.param(lambda a: a[:, :0], id="empty-Nx0"),
    pytest.param(lambda a: a[:0, :0], id="empty-0x0"),
]


@pytest.mark.parametrize("make", ACCEPTED_VIEWS)
@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_any_2d_uint8_array_is_accepted(name, make):
    image = make(_base())
    assert image.ndim == 2 and image.dtype == np.uint8
    before = np.array(image, copy=True)
    kwargs = valid_arguments(name)
    kwargs["image"] = image
    call_past_conversion(getattr(velmora_core, name), **kwargs)
    np.testing.assert_array_equal(np.asarray(image), before)


@pytest.mark.parametrize("make", ACCEPTED_VIEWS)
def test_inspector_reads_the_logical_pixels_of_any_view(make):
    image = make(_base())
    contiguous = np.ascontiguousarray(image)
    assert velmora_core.get_quadtree_sparse_map(image, 2) == velmora_core.get_quadtree_sparse_map(contiguous, 2)


@pytest.mark.parametrize("name", FUNCTION_NAMES)
def test_input_image_is_left_unchanged_and_writeable(name):
    image = checkerboard(16, 16)
    keep = image.copy()
    kwargs = valid_arguments(name)
    kwargs["image"] = image
    call_past_conversion(getattr(velmora_core, name), **kwargs)
    kwargs["image"] = image
    kwargs[list(kwargs)[-1]] = -1
    with pytest.raises(OverflowError):
        getattr(velmora_core, name)(**kwargs)
    np.testing.assert_array_equal(image, keep)
    assert image.flags.writeable
    image[0, 0] = 3  # still writeable: no borrow is left behind


# ---------------------------------------------------------------------------
# pool (converted by dabc_select_coords before anything else happens)
# ---------------------------------------------------------------------------


def select(pool, payload_size=None, seed=1):
    """Run the selector so that it stops right after conversion (pool-size check)."""
    if payload_size is None:
        payload_size = 2**64 - 1
    return call_past_conversion(
        velmora_core.dabc_select_coords, flat_image(), pool, payload_size, 4, 2, seed
    )


def pool_error(pool, exc_type):
    with pytest.raises(exc_type) as info:
        velmora_core.dabc_select_coords(flat_image(), pool, 2**64 - 1, 4, 2, 1)
    assert type(info.value) is exc_type
    return info.value


Point = collections.namedtuple("Point", "y x")


class TupleSubclass(tuple):
    pass


class ListSubclass(list):
    pass


class IndexedOnly:
    """A sequence known only through __getitem__; its length cannot be read."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, i):
        return self.items[i]


class LengthFails:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        raise RuntimeError("no length")

    def __getitem__(self, i):
        return self.items[i]


ACCEPTED_POOLS = [
    pytest.param([], 0, id="empty-list"),
    pytest.param((), 0, id="empty-tuple"),
    pytest.param([(1, 2)], 1, id="one-entry"),
    pytest.param(((1, 2), (3, 4)), 2, id="tuple-of-tuples"),
    pytest.param([(True, False), (np.int64(3), np.uint8(4))], 2, id="bool-and-numpy-ints"),
    pytest.param([(Index(1), Index(2))], 1, id="__index__-entries"),
    pytest.param([(2**64 - 1, 2**64 - 1)], 1, id="largest-values"),
    pytest.param([(5, 5)] * 4, 4, id="duplicates"),
    pytest.param([Point(1, 2), TupleSubclass((3, 4))], 2, id="tuple-subclasses"),
    pytest.param(ListSubclass([(1, 2), (3, 4), (5, 6)]), 3, id="list-subclass"),
    pytest.param(IndexedOnly([(1, 2), (3, 4)]), 2, id="getitem-only"),
    pytest.param(LengthFails([(1, 2)]), 1, id="len-raises"),
    pytest.param(collections.deque([(1, 2)]), 1, id="deque"),
    pytest.param(range(0), 0, id="empty-range"),
]


@pytest.mark.parametrize("pool, size", ACCEPTED_POOLS)
def test_pool_accepted(pool, size):
    outcome = select(pool)
    if outcome is not None:
        assert outcome == (size, 2**64 - 1)


def test_pool_entries_far_outside_the_image_are_not_checked_during_conversion():
    assert select([(10**6, 10**6), (2**64 - 1, 0)]) in (None, (2, 2**64 - 1))


NOT_TUPLE_ENTRIES = [
    pytest.param([[1, 2]], id="list-entry"),
    pytest.param([(1, 2), [3, 4]], id="second-entry-list"),
    pytest.param(np.array([[1, 2], [3, 4]], np.int64), id="numpy-Kx2"),
    pytest.param(np.array([[1, 2]], np.uint64), id="numpy-1x2"),
    pytest.param([1, 2], id="flat-ints"),
    pytest.param([None], id="None-entry"),
    pytest.param(b"ab", id="bytes"),
    pytest.param([{1: 2, 3: 4}], id="dict-entry"),
]


@pytest.mark.parametrize("pool", NOT_TUPLE_ENTRIES)
def test_pool_entry_that_is_not_a_tuple_is_type_error(pool):
    exc = pool_error(pool, TypeError)
    assert str(exc).startswith("argument 'pool': ")


def _gen():
    yield (1, 2)


NOT_SEQUENCES = [
    pytest.param(_gen(), id="generator"),
    pytest.param(iter([(1, 2)]), id="iterator"),
    pytest.param({(1, 2)}, id="set"),
    pytest.param(frozenset(), id="empty-frozenset"),
    pytest.param({(1, 2): 0}, id="dict"),
    pytest.param({}, id="empty-dict"),
    pytest.param(5, id="int"),
    pytest.param(None, id="None"),
    pytest.param(3.5, id="float"),
]


@pytest.mark.parametrize("pool", NOT_SEQUENCES)
def test_pool_that_is_not_a_sequence_is_type_error(pool):
    exc = pool_error(pool, TypeError)
    assert str(exc).startswith("argument 'pool': ")


class StrSubclass(str):
    pass


@pytest.mark.parametrize("pool", ["ab", "", StrSubclass("xy")], ids=["str", "empty-str", "str-subclass"])
def test_pool_given_as_a_string(pool):
    exc = pool_error(pool, TypeError)
    assert str(exc) == "argument 'pool': Can't extract `str` to `Vec`"


@pytest.mark.parametrize(
    "pool, length",
    [
        ([(1, 2, 3)], 3),
        ([()], 0),
        ([(1,)], 1),
        ([(1, 2), (3, 4), (5, 6, 7, 8)], 4),
        ([Point(1, 2), TupleSubclass((1, 2, 3, 4, 5))], 5),
    ],
)
def test_pool_entry_of_wrong_length_is_value_error(pool, length):
    exc = pool_error(pool, ValueError)
    assert str(exc) == f"expected tuple of length 2, but got tuple of length {length}"


@pytest.mark.parametrize(
    "pool", [[(1, -2)], [(-1, 2)], [(2**64, 0)], [(0, 2**64)], [(1, 2), (np.int64(-1), 0)]]
)
def test_pool_number_out_of_range_is_overflow_error(pool):
    exc = pool_error(pool, OverflowError)
    assert "argument" not in str(exc)


@pytest.mark.parametrize("pool", [[(1.0, 2)], [(1, "2")], [(None, None)], [(1, 2.5)]])
def test_pool_number_that_is_not_an_integer_is_type_error(pool):
    exc = pool_error(pool, TypeError)
    assert str(exc).startswith("argument 'pool': ")


def test_pool_y_is_converted_before_x():
    y = Index(exc=ValueError("y first"))
    x = Index(exc=TypeError("x second"))
    exc = pool_error([(y, x)], ValueError)
    assert str(exc) == "y first"
    assert x.calls == 0


def test_pool_entries_after_a_bad_one_are_not_examined():
    later = Index(exc=RuntimeError("not reached"))
    pool_error([(1, 2), (1, 2, 3), (later, later)], ValueError)
    assert later.calls == 0


class Breaks:
    """A sequence whose iteration raises after two good entries."""

    def __init__(self, exc):
        self.exc = exc
        self.served = 0

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i == 2:
            raise self.exc
        self.served += 1
        return (i, i)


class PoolIterationError(Exception):
    pass


def test_error_while_iterating_the_pool_propagates_unchanged():
    exc = PoolIterationError("broke at 2")
    with pytest.raises(PoolIterationError) as info:
        velmora_core.dabc_select_coords(flat_image(), Breaks(exc), 2**64 - 1, 4, 2, 1)
    assert info.value is exc


def test_type_error_while_iterating_the_pool_names_the_argument():
    exc, inner = type_error_with_cause("bad item")
    with pytest.raises(TypeError) as info:
        velmora_core.dabc_select_coords(flat_image(), Breaks(exc), 2**64 - 1, 4, 2, 1)
    assert str(info.value) == "argument 'pool': bad item"
    assert info.value.__cause__ is inner


def test_pool_iteration_ends_at_index_error():
    # the classic sequence protocol: IndexError means "no more items"
    assert select(IndexedOnly([(1, 2)] * 3)) in (None, (3, 2**64 - 1))


def test_pool_is_iterated_not_indexed_by_length():
    class Iterates(list):
        def __iter__(self):
            return iter([(7, 7)] * 6)

    assert select(Iterates([(1, 1)])) in (None, (6, 2**64 - 1))


def test_pool_numbers_are_converted_as_unsigned_64_bit():
    assert select([(Index(2**64 - 1), True)]) in (None, (1, 2**64 - 1))
    with pytest.raises(OverflowError):
        select([(Index(2**64), 0)])


# ---------------------------------------------------------------------------
# references are released on every way out
# ---------------------------------------------------------------------------


def _failing_calls(image, index, pool, entry):
    img2 = flat_image()
    return [
        (lambda: velmora_core.get_quadtree_sparse_map(image, -1), OverflowError),
        (lambda: velmora_core.get_quadtree_sparse_map(image, 4.0), TypeError),
        (lambda: velmora_core.get_quadtree_sparse_map(image, index), TypeError),
        (lambda: velmora_core.run_velmora_engine(image, None), TypeError),
        (lambda: velmora_core.run_velmora_engine(image, 3, min_block=index), TypeError),
        (lambda: velmora_core.embed_with_details(image, 3, 2, 2**64), OverflowError),
        (lambda: velmora_core.embed_with_details(image, 3, 2, 2, index), TypeError),
        (lambda: velmora_core.dabc_select_coords(image, "ab", 1, 1, 1, 1), TypeError),
        (lambda: velmora_core.dabc_select_coords(image, pool, 1, 1, 1, -1), OverflowError),
        (lambda: velmora_core.dabc_select_coords(image, pool, 1, 1, 1, index), TypeError),
        (lambda: velmora_core.dabc_select_coords(image, [entry, (1, 2, 3)], 1, 1, 1, 1), ValueError),
        (lambda: velmora_core.dabc_select_coords(image, [entry, (1, -1)], 1, 1, 1, 1), OverflowError),
        (lambda: velmora_core.dabc_select_coords(image, [entry, [1, 1]], 1, 1, 1, 1), TypeError),
        (lambda: velmora_core.dabc_select_coords(img2, pool, index, 1, 1, 1), TypeError),
        (lambda: velmora_core.run_velmora_engine(image, 1, 2, 3, 4, 5), TypeError),
        (lambda: velmora_core.get_quadtree_sparse_map(image, bogus=1), TypeError),
    ]


def test_failing_calls_release_every_reference():
    image = noise_image(10, 10)
    index = NoIndex()
    entry = (Index(1), Index(2))
    pool = [entry, entry]
    watched = [image, index, pool, entry, entry[0], entry[1]]
    calls = _failing_calls(image, index, pool, entry)
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        for call, exc_type in calls:
            try:
                call()
            except exc_type:
                pass
            else:  # pragma: no cover
                pytest.fail("the call was expected to fail")
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


def test_calls_that_convert_release_every_reference():
    image = noise_image(10, 10)
    entry = (Index(1), Index(2))
    pool = [entry] * 3
    watched = [image, pool, entry, entry[0]]
    gc.collect()
    before = [sys.getrefcount(obj) for obj in watched]
    for _ in range(200):
        velmora_core.get_quadtree_sparse_map(image)
        velmora_core.get_quadtree_sparse_map(image, 1)
        call_past_conversion(velmora_core.dabc_select_coords, image, pool, 5, 4, 2, 9)
        call_past_conversion(velmora_core.run_velmora_engine, flat_image(), 3)
    gc.collect()
    after = [sys.getrefcount(obj) for obj in watched]
    assert after == before


# ---------------------------------------------------------------------------
# the selector's coordinate list result
# ---------------------------------------------------------------------------


def test_selector_returns_plain_int_tuples_from_the_pool():
    image = noise_image(8, 8, seed=4)
    pool = [(True, np.uint8(3)), (np.int64(2), Index(4)), (5, 5), (np.uint16(6), False)]
    as_ints = {(1, 3), (2, 4), (5, 5), (6, 0)}
    result = velmora_core.dabc_select_coords(image, pool, 3, 4, 3, 17)
    assert type(result) is list and len(result) == 3
    for entry in result:
        assert type(entry) is tuple and len(entry) == 2
        assert type(entry[0]) is int and type(entry[1]) is int
        assert entry in as_ints
    assert len(set(result)) == 3
    assert velmora_core.dabc_select_coords(image, pool, 3, 4, 3, 17) == result


def test_selector_result_far_from_the_origin_shares_equal_ints():
    image = noise_image(3, 100_000, seed=9)
    pool = [(y, x) for y in range(3) for x in range(99_950, 99_990)]
    result = velmora_core.dabc_select_coords(image, pool, 60, 4, 3, 5)
    assert len(result) == 60 and set(result) <= set(pool)
    seen = {}
    for entry in result:
        assert type(entry) is tuple and type(entry[0]) is int and type(entry[1]) is int
        for value in entry:
            assert seen.setdefault(value, value) is value


@pytest.mark.parametrize(
    "pool_length, payload_size",
    [(0, 0), (0, 7), (5, 5), (3, 2**64 - 1)],
)
def test_selector_pool_size_check_message(pool_length, payload_size):
    pool = [(1, 1)] * pool_length
    with pytest.raises(ValueError) as info:
        velmora_core.dabc_select_coords(noise_image(4, 4), pool, payload_size, 4, 2, 0)
    assert type(info.value) is ValueError
    assert str(info.value) == f"Quadtree pool ({pool_length}) <= payload_size ({payload_size})."


def test_selector_with_nothing_to_select_returns_an_empty_list():
    assert velmora_core.dabc_select_coords(noise_image(4, 4), [(0, 0), (1, 1)], 0, 4, 0, 3) == []
