"""velmora.baselines against conseal (2025.11, with SciPy 1.16 or later), the
field's reference implementation of the baseline methods: cost maps bit for
bit (MiPOD's Fisher information within 1e-14), change probabilities within a
few units in the last place (NumPy's exp and log differ by processor), stego
images pixel for pixel, on photographs whole and cropped, odd sizes, flat and
saturated covers, payloads from 0.01 to 0.5 and seeds up to 2**64 - 1.

conseal is slow (seconds per 512x512 call), so two photographs are taken
whole and the others cropped. Runs where conseal is installed (the
cross-check environment)."""

from __future__ import annotations

import warnings
from typing import Any

import numpy as np
import pytest

from photos import ALL, photograph
from velmora import baselines

cl = pytest.importorskip("conseal")
scipy = pytest.importorskip("scipy")

# Probabilities may differ from conseal's by what NumPy's vectorized exp,
# log and log2 differ from correctly rounded ones, through a few operations.
MAX_ULPS = 4


def saturated() -> np.ndarray:
    """Black and white fields (wet for one direction, flat for MiPOD's
    variance) beside a strip of a photograph."""
    image = np.zeros((60, 70), np.uint8)
    image[:, 35:] = 255
    image[40:, :] = photograph("coins")[100:120, 100:170]
    return image


def crop(name: str, h: int, w: int) -> np.ndarray:
    p = photograph(name)
    y, x = (p.shape[0] - h) // 3, (p.shape[1] - w) // 2
    return np.ascontiguousarray(p[y:y + h, x:x + w])


COVERS = {
    **{f"{name}-crop": crop(name, 96, 80) for name in ALL},
    "odd-37x53": crop("astronaut", 37, 53),
    "odd-5x3": crop("camera", 5, 3),
    "noise": np.random.default_rng(4).integers(0, 256, (48, 40), dtype=np.uint8),
    "saturated": saturated(),
    "flat": np.full((24, 30), 117, np.uint8),
}
WHOLE = ("camera", "astronaut")
PAYLOADS = (0.01, 0.1, 0.5)
SEEDS = (7, 2**32 - 1, 2**63 + 99)  # MiPOD's generator takes the first two only


def conseal_costs(cover: np.ndarray, method: str) -> tuple[np.ndarray, ...]:
    if method == "hill":
        return tuple(cl.hill.compute_cost_adjusted(x0=cover, wet_cost=10**10))
    if method == "suniward":
        return tuple(cl.suniward.compute_cost_adjusted(x0=cover, sigma=1, wet_cost=10**8))
    if method == "wow":
        return tuple(cl.wow.compute_cost_adjusted(x0=cover, p=-1, wet_cost=10**8))
    return (cl.mipod.compute_cost(x0=cover),)


def conseal_probabilities(cover: np.ndarray, method: str, alpha: float, rhos: Any) -> tuple[np.ndarray, ...]:
    if method == "lsbm":
        ps, _ = cl.lsb._costmap.probability(cover, alpha, modify=cl.LSB_MATCHING)
    elif method == "mipod":
        ps, _ = cl.mipod.probability(cover, alpha)
    else:
        ps, _ = cl.simulate._ternary.probability(rhos=rhos, alpha=alpha, n=cover.size)
    return tuple(np.asarray(p) for p in ps)


def conseal_stego(cover: np.ndarray, method: str, alpha: float, seed: int) -> np.ndarray:
    if method == "lsbm":
        return np.asarray(cl.lsb.simulate(cover, alpha, modify=cl.LSB_MATCHING, seed=seed))
    return np.asarray(getattr(cl, method).simulate_single_channel(cover, alpha, seed=seed))


def ulps(a: np.ndarray, b: np.ndarray) -> int:
    assert a.dtype == b.dtype and a.shape == b.shape
    ints = np.int32 if a.dtype == np.float32 else np.int64
    return int(np.abs(a.view(ints).astype(np.int64) - b.view(ints).astype(np.int64)).max())


def entropy_bits(ps: tuple[np.ndarray, ...]) -> float:
    p = np.stack([*ps, 1 - (ps[0] + ps[1])]).astype(np.float64)
    p = p[p > 0]
    return float(-(p * np.log2(p)).sum())


def compare(name: str, cover: np.ndarray, method: str, payloads=PAYLOADS, seeds=SEEDS) -> None:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # conseal's notes on flat areas and unconverged searches
        prepared = baselines.prepare(cover, method)
        rhos = conseal_costs(cover, method) if method != "lsbm" else None
        if method in baselines.COST_METHODS:
            for ours, theirs in zip(prepared.costs, rhos):
                assert ours.dtype == theirs.dtype
                np.testing.assert_array_equal(ours, theirs, err_msg=f"{method} costs of {name}")
        elif method == "mipod":
            (fisher,) = prepared.costs
            np.testing.assert_allclose(fisher, rhos[0], rtol=1e-14, atol=0, err_msg=f"Fisher information of {name}")
        for alpha in payloads:
            try:
                ours = prepared.change_probabilities(alpha)
            except ValueError as e:
                # Where velmora refuses, conseal's own probabilities fall short
                # of the payload or change 255 to 0 (and 0 to 255).
                assert "cannot carry" in str(e)
                theirs = conseal_probabilities(cover, method, alpha, rhos)
                short = entropy_bits(theirs) < round(alpha * cover.size) * (1 - alpha / 1000) - 1
                wraps = theirs[0][cover == 255].any() or theirs[1][cover == 0].any()
                assert short or wraps, f"{method} {name} {alpha}: refused what conseal carries"
                continue
            theirs = conseal_probabilities(cover, method, alpha, rhos)
            for a, b in zip(ours, theirs):
                assert ulps(a, b.astype(a.dtype)) <= MAX_ULPS, f"{method} {name} {alpha}"
            for seed in seeds:
                if method == "mipod" and seed >= 2**32:
                    continue
                np.testing.assert_array_equal(prepared.simulate(alpha, seed=seed),
                                              conseal_stego(cover, method, alpha, seed),
                                              err_msg=f"{method} {name} alpha={alpha} seed={seed}")


@pytest.mark.parametrize("method", baselines.METHODS)
@pytest.mark.parametrize("name", COVERS)
def test_small_covers_equal_conseal(method: str, name: str) -> None:
    compare(name, COVERS[name], method)


@pytest.mark.parametrize("method", baselines.METHODS)
@pytest.mark.parametrize("name", WHOLE)
def test_whole_photographs_equal_conseal(method: str, name: str) -> None:
    compare(name, np.ascontiguousarray(photograph(name)), method, payloads=(0.05, 0.4), seeds=(11,))


def test_scipy_is_one_that_sums_in_groups_of_four() -> None:
    # The cost maps are SciPy's from 1.16 on; older releases add the taps
    # in another order (HILL's map then differs in its last bits).
    major, minor = (int(v) for v in scipy.__version__.split(".")[:2])
    assert (major, minor) >= (1, 16)
