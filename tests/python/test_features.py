"""The native feature extractors through the module boundary, without the
reference extractor: what the definitions fix whatever the image (sums of
every submodel, symmetries of the image), the image rules of the module,
and the catalogue of submodels."""

from __future__ import annotations

import csv
from pathlib import Path

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from photos import GRAY, photograph
from velmora import _native

KINDS = ("spam", "srmq1", "srm")
DATA = Path(__file__).resolve().parent.parent / "data"
# The first- and third-order spam submodels are co-occurrences of the right
# and the upper residual only: no mirror or transposition maps them onto
# themselves.
ORIENTED = {f"s{order}_spam14hv_q{q}" for order in (1, 3) for q in ("1", "15", "2")}


def split(kind: str, values: np.ndarray) -> dict[str, np.ndarray]:
    out, offset = {}, 0
    for name, dim in _native.feature_submodels(kind):
        out[name] = values[offset : offset + dim]
        offset += dim
    assert offset == values.size
    return out


# Every co-occurrence is normalized to sum 1 before the merges: a spam half
# averages four of them; a rich-model submodel adds two normalized stacks for
# each of min and max (min/max submodels) or for each of its two halves.
SUBMODEL_SUM = {"spam": 1.0, "srm": 4.0}


@given(arrays(np.uint8, st.tuples(st.integers(8, 40), st.integers(8, 40))))
def test_every_submodel_sums_to_its_number_of_normalized_cooccurrences(image):
    for kind in ("spam", "srm"):
        values = _native.extract_features(image, kind)
        assert values.dtype == np.float64 and values.shape == (sum(d for _, d in _native.feature_submodels(kind)),)
        assert np.isfinite(values).all() and (values >= 0).all()
        for name, part in split(kind, values).items():
            # Single-precision merges: a few units in the last place of 4.
            assert part.sum() == pytest.approx(SUBMODEL_SUM[kind], abs=1e-5), name


def images():
    rng = np.random.default_rng(2)
    yield "noise", rng.integers(0, 256, (41, 36), dtype=np.uint8)
    for name in GRAY[:3]:
        yield name, photograph(name)[40:103, 60:130]


@pytest.mark.parametrize("label,image", list(images()), ids=[i[0] for i in images()])
def test_transposition_and_mirrors_map_the_rich_model_onto_itself(label, image):
    base = split("srm", _native.extract_features(image, "srm"))
    transposed = split("srm", _native.extract_features(image.T, "srm"))
    for name, part in base.items():
        if name not in ORIENTED:
            # Rows and columns swap roles, and so do the horizontal and
            # vertical co-occurrences that each submodel adds up.
            np.testing.assert_array_equal(transposed[name], part, err_msg=name)
    for mirrored in (image[:, ::-1], image[::-1]):
        other = split("srm", _native.extract_features(mirrored, "srm"))
        for name, part in base.items():
            if name not in ORIENTED:
                # The same counts, merged in another order in single precision.
                np.testing.assert_allclose(other[name], part, rtol=0, atol=4e-6, err_msg=name)
    spam = split("spam", _native.extract_features(image, "spam"))
    # A mirror swaps each straight direction with its opposite, whose sum comes
    # first either way; the other symmetries reorder a sum of four.
    np.testing.assert_array_equal(split("spam", _native.extract_features(image[:, ::-1], "spam"))["straight"],
                                  spam["straight"])
    for other in (image[:, ::-1], image[::-1], image.T):
        np.testing.assert_allclose(_native.extract_features(other, "spam"),
                                   np.concatenate(list(spam.values())), rtol=0, atol=1e-15)


def test_views_give_the_features_of_their_contiguous_copies():
    base = np.random.default_rng(4).integers(0, 256, (50, 61), dtype=np.uint8)
    kept = base.copy()
    readonly = base.copy()
    readonly.flags.writeable = False
    views = [base.T, base[::-1, ::-1], base[1::2, ::3], np.asfortranarray(base), readonly,
             np.broadcast_to(base[:1], (9, 61))]
    for kind in KINDS:
        for view in views:
            np.testing.assert_array_equal(_native.extract_features(view, kind),
                                          _native.extract_features(np.ascontiguousarray(view), kind))
    np.testing.assert_array_equal(base, kept)


def test_results_are_new_arrays_that_own_their_memory():
    image = np.random.default_rng(5).integers(0, 256, (16, 16), dtype=np.uint8)
    a, b = (_native.extract_features(image, "spam") for _ in range(2))
    assert a.flags.writeable and a.flags.c_contiguous and not np.shares_memory(a, b)
    assert type(a.base).__name__ == "PySliceContainer"


@pytest.mark.parametrize("kind", KINDS)
def test_image_rules_and_the_smallest_size(kind):
    side = _native.feature_min_side(kind)
    assert side == (4 if kind == "spam" else 8)
    rng = np.random.default_rng(6)
    _native.extract_features(rng.integers(0, 256, (side, side), dtype=np.uint8), kind)
    for shape in ((side - 1, 50), (50, side - 1), (0, 0)):
        with pytest.raises(ValueError, match=rf"^{kind} features need an image of at least {side}x{side} pixels, "
                                             rf"got {shape[0]}x{shape[1]}$"):
            _native.extract_features(np.zeros(shape, np.uint8), kind)
    for bad in (np.zeros((20, 20), np.int8), np.zeros((20, 20, 1), np.uint8), [[1] * 20] * 20):
        with pytest.raises(TypeError, match="^argument 'image': "):
            _native.extract_features(bad, kind)


def test_kind_must_name_a_feature_set():
    image = np.zeros((20, 20), np.uint8)
    with pytest.raises(ValueError, match="^unknown feature set 'SRM': choose spam, srmq1, srm or maxsrm$"):
        _native.extract_features(image, "SRM")
    with pytest.raises(TypeError, match="^argument 'kind': expected str, got 'NoneType'$"):
        _native.extract_features(image, None)
    with pytest.raises(TypeError, match=r"extract_features\(\) missing 1 required positional argument: 'kind'"):
        _native.extract_features(image)
    with pytest.raises(ValueError, match="unknown feature set"):
        _native.feature_submodels("hugo")


def test_submodels_come_in_the_order_of_the_original_extractor():
    with open(DATA / "srm-submodels.tsv", newline="", encoding="utf-8") as f:
        rows = [r for r in csv.reader(f, delimiter="\t") if r and not r[0].startswith("#")]
    reference = [(name, int(dim)) for name, dim in rows[1:]]
    assert _native.feature_submodels("srm") == reference
    assert _native.feature_submodels("srmq1") == [r for r in reference if r[0].endswith("_q1")]
    assert _native.feature_submodels("spam") == [("straight", 343), ("diagonal", 343)]
    assert [sum(d for _, d in _native.feature_submodels(k)) for k in KINDS] == [686, 12753, 34671]
