"""The selection-channel-aware rich model: the authors' release's recorded
outputs bit for bit, what a map of ones and a map of zeros must give, and
the rules for the map."""

from __future__ import annotations

from pathlib import Path

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

from photos import photograph
from velmora import features

DATA = Path(__file__).resolve().parent.parent / "data"
RECORDED = np.load(DATA / "maxsrm-reference.npz")
CASES = sorted({key.split("/")[0] for key in RECORDED.files})


def strided(a: np.ndarray) -> np.ndarray:
    """The same values as a view with a row stride and a negative column
    stride into a larger array."""
    big = np.zeros((a.shape[0] * 2, a.shape[1] * 3), a.dtype)
    big[::2, 3 * a.shape[1] - 2 :: -3][:, : a.shape[1]] = a
    view = big[::2, 3 * a.shape[1] - 2 :: -3][:, : a.shape[1]]
    assert not view.flags.c_contiguous and np.array_equal(view, a)
    return view


@pytest.mark.parametrize("case", CASES)
def test_the_release_recorded_outputs_bit_for_bit(case):
    image, beta = RECORDED[f"{case}/image"], RECORDED[f"{case}/map"]
    expected = RECORDED[f"{case}/features"]
    for im, m in ((image, beta), (strided(image), strided(beta))):
        values = features.extract(im, "maxsrm", beta=m)
        assert values.shape == expected.shape and values.dtype == np.float64
        # float32 sums in the release: ours must round-trip to the same bits.
        assert np.array_equal(values.astype(np.float32), expected)
        assert np.array_equal(values, values.astype(np.float32))


def test_maps_of_ones_and_zeros():
    rng = np.random.default_rng(11)
    for image in (photograph("camera")[100:164, 200:264], rng.integers(0, 256, (40, 40), dtype=np.uint8)):
        # With every weight 1, the bins count the tuples: the rich model, up
        # to how exact quantization ties round. The first- and third-order
        # residuals are integers and their first steps 1 and 3: no ties.
        ones = features.extract(image, "maxsrm", beta=np.ones(image.shape))
        srm = features.extract(image, "srm")
        at, tied = 0, 0
        for name, dim in features.submodels("srm"):
            ours, theirs = ones[at : at + dim], srm[at : at + dim]
            at += dim
            if name.startswith(("s1_", "s3_")) and name.endswith("_q1"):
                np.testing.assert_allclose(ours, theirs, rtol=1e-6, atol=1e-9, err_msg=name)
            else:
                tied += not np.allclose(ours, theirs, rtol=1e-6, atol=1e-9)
        assert tied > 0
        assert not features.extract(image, "maxsrm", beta=np.zeros(image.shape)).any()


def test_map_rules():
    image = photograph("camera")[:32, :40]
    good = np.full(image.shape, 0.5)
    for kind in ("spam", "srmq1", "srm"):
        with pytest.raises(ValueError, match=f"^{kind} features take no change-probability map"):
            features.extract(image, kind, beta=good)
    with pytest.raises(ValueError, match="^maxsrm features need the image's change probabilities"):
        features.extract(image, "maxsrm")
    shape = r"the map must have the image's shape \(32, 40\), got "
    with pytest.raises(ValueError, match=shape + r"\(40, 32\)$"):
        features.extract(image, "maxsrm", beta=good.T)
    with pytest.raises(ValueError, match=shape + "a 1-D array$"):
        features.extract(image, "maxsrm", beta=good.ravel())
    for value in (np.nan, -0.0001, 1.0001, np.inf):
        bad = good.copy()
        bad[3, 7] = value
        with pytest.raises(ValueError, match=r"must lie in \[0, 1\], found .* at \(3, 7\)$"):
            features.extract(image, "maxsrm", beta=bad)
    for bad in (np.ones(image.shape, np.int64), good.tolist(), good.astype(np.complex128)):
        with pytest.raises(TypeError, match="^argument 'beta': expected a numpy.ndarray of a floating dtype"):
            features.extract(image, "maxsrm", beta=bad)  # type: ignore[arg-type]
    # Any real float dtype is taken as its values; -0.0 and the ends are in.
    edge = good.astype(np.float16)
    edge[0, 0], edge[0, 1], edge[0, 2] = -0.0, 0.0, 1.0
    assert np.array_equal(features.extract(image, "maxsrm", beta=edge),
                          features.extract(image, "maxsrm", beta=edge.astype(np.float64)))


@settings(max_examples=25, deadline=None)
@given(arrays(np.uint8, st.tuples(st.integers(16, 40), st.integers(16, 40))), st.floats(0.5, 1.0),
       st.integers(0, 2**32 - 1))
def test_every_submodel_is_normalized_by_its_truncated_sum(image, low, seed):
    # Weights of at least 1/2 make every submodel's truncated sum large
    # enough to normalize: each min/max submodel then sums to at least 4 and
    # each half of a spam submodel to at least 2, a little more as each bin
    # lost its fraction to the truncation.
    beta = np.random.default_rng(seed).uniform(low, 1.0, image.shape)
    values = features.extract(image, "maxsrm", beta=beta)
    assert np.isfinite(values).all() and (values >= 0).all()
    at = 0
    for name, dim in features.submodels("maxsrm"):
        part = values[at : at + dim]
        at += dim
        halves = [part] if "minmax" in name else [part[:169], part[169:]]
        for half in halves:
            floor = 4.0 if "minmax" in name else 2.0
            windows = 2 * (image.shape[0] - 4) * (image.shape[1] - 7)  # fewest tuples of any part
            assert floor * (1 - 1e-6) <= half.sum() <= floor * (1 + half.size / (low * windows)), name
