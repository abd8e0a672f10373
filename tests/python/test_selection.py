"""The informed attacker's selection channels and the colony's ablations:
on stego images of real photographs each map covers what the method changed
and sums to what it changes; the ablations embed as velmora does, with the
selection step replaced, and the selection gain tells them apart."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st
from hypothesis.extra.numpy import arrays

import velmora
from photos import ALL, photograph
from velmora import ablations, baselines, selection
from velmora.selection import _capped


def crops():
    for i, name in enumerate(ALL[:6]):
        image = photograph(name)
        y, x = (image.shape[0] - 128) // 2, (image.shape[1] - 128) // 2 + 8 * i
        yield name, np.ascontiguousarray(image[y : y + 128, x : x + 128])


def stego_of(method, cover, alpha, seed):
    if method == "velmora":
        return velmora.simulate(cover, alpha, seed=seed)
    if method in ablations.METHODS:
        return ablations.simulate(cover, alpha, method, seed=seed)
    return baselines.simulate(cover, alpha, method, seed=seed)


CHANNELS = [("velmora", 0.2, {"model": m}) for m in selection.MODELS] + [
    ("velmora-random", 0.2, {}), ("velmora-greedy", 0.2, {}), ("lsbm", 0.2, {}), ("hill", 0.4, {}),
    ("suniward", 0.4, {}), ("wow", 0.4, {}), ("mipod", 0.4, {}),
]


@pytest.mark.parametrize("method,alpha,options", CHANNELS, ids=[f"{m}-{o.get('model', '')}" for m, _, o in CHANNELS])
def test_maps_of_stego_images_cover_and_count_the_changes(method, alpha, options):
    covered, mass, changes = [], 0.0, 0
    for seed, (name, cover) in enumerate(crops()):
        if method.startswith("velmora") and velmora.capacity(cover) < round(alpha * cover.size):
            continue
        stego = stego_of(method, cover, alpha, seed)
        beta = selection.estimate(stego, alpha, method, **options)
        assert beta.shape == cover.shape and beta.dtype == np.float64
        assert (beta >= 0).all() and (beta <= 1).all()
        changed = stego != cover
        covered.append(np.count_nonzero(beta[changed] > 0) / max(np.count_nonzero(changed), 1))
        mass += beta.sum()
        changes += np.count_nonzero(changed)
        # Each image's map is within 15% of its own changes.
        assert beta.sum() == pytest.approx(np.count_nonzero(changed), rel=0.15), name
    assert len(covered) >= 4
    if method.startswith("velmora"):
        assert min(covered) >= 0.95
    assert mass == pytest.approx(changes, rel=0.05)
    # The attacker needs no stego image: the cover's map counts the same.
    cover = next(crops())[1]
    assert selection.estimate(cover, alpha, method, **options).sum() == pytest.approx(beta.sum(), rel=0.15)


def test_ablations_embed_with_velmora_s_pool_and_lsb_matching():
    cover = np.ascontiguousarray(photograph("coffee")[100:228, 200:328])
    ys, xs, scores = selection.scored_pool(cover)
    pool = set(zip(ys.tolist(), xs.tolist()))
    n = 3000
    gains = {}
    for method in ablations.METHODS:
        a = ablations.embed(cover, n, method, seed=11)
        b = ablations.embed(cover, n, method, seed=11)
        assert np.array_equal(a.stego, b.stego) and np.array_equal(a.coords_y, b.coords_y)
        chosen = list(zip(a.coords_y.tolist(), a.coords_x.tolist()))
        assert len(set(chosen)) == n and set(chosen) <= pool and a.pool_size == len(pool)
        assert np.array_equal(a.stego[a.coords_y, a.coords_x] & 1, a.payload)
        diff = a.stego.astype(int) - cover
        assert np.abs(diff).max() == 1 and np.count_nonzero(diff) == a.changes
        assert not diff[~np.isin(np.arange(cover.size), np.ravel_multi_index((a.coords_y, a.coords_x),
                                                                                cover.shape)).reshape(cover.shape)].any()
        gains[method] = np.mean([selection.selection_gain(cover, e.coords_y, e.coords_x) for e in
                                 (ablations.embed(cover, n, method, seed=s) for s in range(8))])
    # A random subset scores the pool's mean on average; the greedy choice is
    # the best, and velmora's colony lies in between.
    assert abs(gains["velmora-random"]) < 0.05 and gains["velmora-greedy"] == 1.0
    colony = velmora.embed(cover, n, seed=11)
    assert -0.05 < selection.selection_gain(cover, colony.coords_y, colony.coords_x) < 1.0
    top = np.argsort(-scores, kind="stable")[:n]
    greedy = ablations.embed(cover, n, "velmora-greedy", seed=1)
    assert np.array_equal(greedy.coords_y, ys[top]) and np.array_equal(greedy.coords_x, xs[top])
    with pytest.raises(velmora.CapacityError, match=r"^Quadtree pool \(\d+\) <= payload_size \(99999\)"):
        ablations.embed(cover, 99999, "velmora-random", seed=1)
    with pytest.raises(ValueError, match="unknown method 'velmora'"):
        ablations.embed(cover, 10, "velmora")


def test_lsb_matching_at_the_ends_of_the_grey_scale():
    cover = np.array([[0, 255, 0, 255, 7, 8]] * 4, np.uint8)
    ys, xs = np.indices(cover.shape)
    ys, xs = ys.ravel(), xs.ravel()
    bits = 1 - (cover.ravel() & 1)  # every pixel must move
    stego = ablations.lsb_matching(cover, ys, xs, bits, np.random.default_rng(0))
    flat = stego.ravel()
    assert (flat[cover.ravel() == 0] == 1).all() and (flat[cover.ravel() == 255] == 254).all()
    assert set(np.abs(stego.astype(int) - cover).ravel()) == {1}


@given(arrays(np.float64, st.integers(1, 60), elements=st.floats(0, 1e4)), st.floats(0.0, 1.0))
def test_capped_weights(weights, fraction):
    total = fraction * weights.size / 2
    out = _capped(weights, total)
    assert out.shape == weights.shape and (out >= 0).all() and (out <= 0.5 + 1e-12).all()
    assert out.sum() == pytest.approx(total, rel=1e-9, abs=1e-9)
    # Larger weights never get less.
    order = np.argsort(weights, kind="stable")
    assert (np.diff(out[order]) >= -1e-12).all() or np.count_nonzero(weights) <= 2 * total


def test_estimate_rules():
    image = np.ascontiguousarray(photograph("camera")[:64, :64])
    assert not selection.estimate(image, 0.3, "none").any()
    assert np.ptp(lsbm := selection.estimate(image, 0.3, "lsbm")) == 0 and lsbm[0, 0] == pytest.approx(0.15, rel=0.01)
    with pytest.raises(ValueError, match="unknown method 'HILL'"):
        selection.estimate(image, 0.1, "HILL")
    with pytest.raises(ValueError, match="unknown model 'best'"):
        selection.estimate(image, 0.1, "velmora", model="best")
    with pytest.raises(ValueError, match=r"alpha must be in \[0, 1\]"):
        selection.estimate(image, 1.5, "velmora")
    with pytest.raises(TypeError, match="cover must be a 2-D numpy.ndarray of dtype uint8"):
        selection.estimate(image.astype(float), 0.1, "hill")  # type: ignore[arg-type]
    image = np.ascontiguousarray(photograph("camera")[200:264, 200:264])
    ys, xs, _ = selection.scored_pool(image)
    assert 0 < ys.size < image.size
    outside = np.argwhere(~np.isin(np.arange(image.size), ys * 64 + xs).reshape(64, 64))[0]
    with pytest.raises(ValueError, match="not in the image's quadtree pool"):
        selection.selection_gain(image, [outside[0]], [outside[1]])
