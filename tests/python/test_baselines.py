"""velmora.baselines without a reference: the draws against NumPy's own
generators, the probabilities against the payload they must carry, and the
arguments a caller can get wrong. (Against conseal itself:
test_baselines_reference.py, in the cross-check environment.)"""

from __future__ import annotations

import math
import subprocess
import sys

import numpy as np
import pytest

from photos import photograph
from velmora import baselines

COVER = np.ascontiguousarray(photograph("camera")[150:246, 200:290])  # 96 x 90
SEEDS = (0, 7, 2**32 - 1, 2**32, 2**63 + 12345, 2**64 - 1)


def ternary_draw(cover: np.ndarray, p_plus: np.ndarray, p_minus: np.ndarray, seed: int) -> np.ndarray:
    """conseal's _ternary.simulate, written with NumPy's generator."""
    u = np.random.default_rng(seed).random(cover.shape)
    delta = np.zeros(cover.shape, np.int8)
    delta[u < p_plus] = 1
    delta[(u >= p_plus) & (u < p_plus + p_minus)] = -1
    return cover + delta.astype(np.uint8)


def mipod_draw(cover: np.ndarray, beta: np.ndarray, seed: int) -> np.ndarray:
    """MiPOD's draw, written with NumPy's RandomState: column-major, Matlab's
    rounding of a second uniform picks the direction, the range's ends
    pushed back."""
    rng = np.random.RandomState(seed)
    modify = rng.random_sample(cover.size) < 2 * beta.flatten(order="F")
    r = rng.random_sample(cover.size)[modify]
    up = (r >= 0.5) | np.isclose(r, 0.5)
    x = cover.flatten(order="F").astype(int)
    x[modify] += np.where(up & (r > 0), 1, -1)
    x = x.reshape(cover.shape, order="F")
    x[x > 255] = 254
    x[x < 0] = 1
    return x.astype(np.uint8)


@pytest.mark.parametrize("method", baselines.METHODS)
def test_stego_images_are_numpys_draws_from_the_probabilities(method: str) -> None:
    prepared = baselines.prepare(COVER, method)
    for alpha in (0.05, 0.4):
        p_plus, p_minus = prepared.change_probabilities(alpha)
        assert p_plus.shape == COVER.shape
        assert p_plus.dtype == (np.float32 if method == "hill" else np.float64)
        for seed in SEEDS if method != "mipod" else (0, 7, 2**32 - 1):
            stego = prepared.simulate(alpha, seed=seed)
            expected = (mipod_draw(COVER, p_plus, seed) if method == "mipod"
                        else ternary_draw(COVER, p_plus, p_minus, seed))
            np.testing.assert_array_equal(stego, expected, err_msg=f"{method} {alpha} {seed}")


def ternary_entropy_bits(p_plus: np.ndarray, p_minus: np.ndarray) -> float:
    p = np.stack([p_plus, p_minus, 1 - (p_plus + p_minus)]).astype(np.float64)
    p = p[p > 0]
    return float(-(p * np.log2(p)).sum())


@pytest.mark.parametrize("method", baselines.METHODS)
def test_probabilities_carry_the_payload(method: str) -> None:
    cover = np.ascontiguousarray(photograph("astronaut")[::3, ::3])  # 171 x 171, saturated areas
    n = cover.size
    prepared = baselines.prepare(cover, method)
    for alpha in (0.01, 0.1, 0.5):
        p_plus, p_minus = prepared.change_probabilities(alpha)
        # Never a change out of the range (MiPOD's draw pushes those back).
        if method != "mipod":
            assert not p_plus[cover == 255].any() and not p_minus[cover == 0].any()
        carried = ternary_entropy_bits(p_plus, p_minus)
        if method == "lsbm":  # embedding efficiency 2: half the payload's bits change
            rate = math.ceil(math.ceil(alpha * n) / 2) / n
            np.testing.assert_allclose(p_plus + p_minus, rate)
        elif method == "mipod":  # MiPOD's search stops within 1e-4 nats
            assert p_plus is not p_minus and np.array_equal(p_plus, p_minus)
            assert abs(carried - alpha * n) < 1e-3
        else:  # conseal's search stops within alpha / 1000 per pixel (and float32 for HILL)
            assert abs(carried - round(alpha * n)) <= alpha * n / 1000 + 1e-3 * n * (method == "hill")
    assert not any(p.any() for p in prepared.change_probabilities(0.0))


@pytest.mark.parametrize("method", baselines.COST_METHODS)
def test_costs_are_wet_out_of_the_range(method: str) -> None:
    cover = np.ascontiguousarray(photograph("astronaut")[::4, ::4])
    rho_plus, rho_minus = baselines.costs(cover, method)
    wet = 1e10 if method == "hill" else 1e8
    assert rho_plus.dtype == (np.float32 if method == "hill" else np.float64)
    assert (rho_plus[cover == 255] == wet).all() and (rho_minus[cover == 0] == wet).all()
    inside = (cover > 0) & (cover < 255)
    assert (rho_plus[inside] == rho_minus[inside]).all()
    assert (rho_plus > 0).all() and (rho_plus <= wet).all()
    # Strides and copies: the same costs from a transposed copy's transpose.
    again = baselines.costs(np.ascontiguousarray(cover.T).T, method)
    np.testing.assert_array_equal(again[0], rho_plus)


def test_a_prepared_cover_is_a_copy_and_the_same_for_every_payload() -> None:
    cover = COVER.copy()
    prepared = baselines.prepare(cover, "wow")
    first = prepared.simulate(0.2, seed=3)
    cover[:] = 0  # the caller's array changes; the prepared cover does not
    np.testing.assert_array_equal(prepared.simulate(0.2, seed=3), first)
    np.testing.assert_array_equal(baselines.simulate(COVER, 0.2, "wow", seed=3), first)
    assert prepared.shape == COVER.shape and "wow" in repr(prepared)
    np.testing.assert_array_equal(prepared.simulate(0, seed=1), COVER)
    (fisher,) = baselines.prepare(COVER, "mipod").costs
    assert fisher.shape == COVER.shape and (fisher > 0).all()
    assert baselines.prepare(COVER, "lsbm").costs == ()
    assert baselines.simulate(COVER, 0.1, "hill", seed=None).shape == COVER.shape


@pytest.mark.parametrize("call, error, message", [
    (lambda: baselines.simulate(COVER, 0.1, "f5", seed=1), ValueError, "unknown method"),
    (lambda: baselines.simulate(COVER.astype(np.int16), 0.1, "hill", seed=1), TypeError, "dtype uint8"),
    (lambda: baselines.simulate(np.zeros((4, 4, 3), np.uint8), 0.1, "hill", seed=1), TypeError, "2-dim"),
    (lambda: baselines.simulate(np.zeros((0, 4), np.uint8), 0.1, "hill", seed=1), ValueError, "empty"),
    (lambda: baselines.simulate(COVER, -0.1, "hill", seed=1), ValueError, "between 0 and log2"),
    (lambda: baselines.simulate(COVER, 1.6, "wow", seed=1), ValueError, "between 0 and log2"),
    (lambda: baselines.simulate(COVER, float("nan"), "wow", seed=1), ValueError, "between 0"),
    (lambda: baselines.simulate(COVER, 1.2, "lsbm", seed=1), ValueError, "at most one bit"),
    (lambda: baselines.simulate(COVER, "0.1", "hill", seed=1), TypeError, "real number"),  # type: ignore[arg-type]
    (lambda: baselines.simulate(COVER, 0.1, "hill", seed=-1), OverflowError, None),
    (lambda: baselines.simulate(COVER, 0.1, "hill", seed=1.5), TypeError, "seed"),  # type: ignore[arg-type]
    (lambda: baselines.simulate(COVER, 0.1, "mipod", seed=2**32), ValueError, "below 2\\*\\*32"),
    (lambda: baselines.costs(COVER, "mipod"), ValueError, "no cost map"),
    # A white cover: 1.5 bits per pixel only by a +1 at 255, which the wet cost forbids.
    (lambda: baselines.simulate(np.full((32, 32), 255, np.uint8), 1.5, "hill", seed=1), ValueError,
     "cannot carry"),
    (lambda: baselines.change_probabilities(COVER[:24, :24], math.log2(3), "mipod"), ValueError,
     "cannot carry"),
])
def test_bad_arguments_are_refused_clearly(call, error, message) -> None:
    with pytest.raises(error, match=message):
        call()


def test_import_needs_no_reference_library() -> None:
    code = ("import sys, velmora.baselines, velmora.evaluation.tasks; "
            "sys.exit(any(m in sys.modules for m in ('conseal', 'scipy')))")
    assert subprocess.run([sys.executable, "-c", code]).returncode == 0
