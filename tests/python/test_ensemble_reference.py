"""velmora.ensemble against the field's implementation, sealwatch's
FldEnsembleTrainer, on real steganalysis features: SPAM features of 64 x 64
crops of the photographs that scikit-image ships (on a grid of 32 pixels, so
neighbouring crops overlap) and of their stego images by simulated LSB
matching at 0.4 bits per pixel. Both train on the same ten random splits
(1,000 training pairs, 600 test pairs) with seeds of their own, so they agree
only on average. Runs where sealwatch is installed (the environment of the
eval extra); some two minutes, most of it sealwatch's searches."""

from __future__ import annotations

import functools
import logging

import numpy as np
import pytest

from photos import ALL, photograph
from velmora import features
from velmora.ensemble import FLDEnsemble

ensemble_classifier = pytest.importorskip("sealwatch.ensemble_classifier")

SPLITS = 10
TRAIN, TEST = 1000, 600


@functools.cache
def pairs() -> tuple[np.ndarray, np.ndarray]:
    rng = np.random.default_rng(1)
    cover, stego = [], []
    for name in ALL:
        image = photograph(name)
        for y in range(0, image.shape[0] - 63, 32):
            for x in range(0, image.shape[1] - 63, 32):
                crop = image[y : y + 64, x : x + 64].astype(np.int16)
                change = (rng.random(crop.shape) < 0.4) & (rng.random(crop.shape) < 0.5)
                step = np.where(crop == 0, 1, np.where(crop == 255, -1, rng.choice([-1, 1], crop.shape)))
                cover.append(features.extract(crop.astype(np.uint8), "spam"))
                stego.append(features.extract((crop + change * step).astype(np.uint8), "spam"))
    assert len(cover) >= TRAIN + TEST
    return np.array(cover), np.array(stego)


def compare(n_learners: int | str, subspace: int | str) -> dict[str, float]:
    """Mean test errors (P_FA + P_MD) / 2 and OOB estimates over the splits."""
    logging.getLogger("fld_ensemble_trainer.py").setLevel(logging.WARNING)
    cover, stego = pairs()
    results: dict[str, list[float]] = {"ours": [], "theirs": [], "ours_oob": [], "theirs_oob": []}
    for split in range(SPLITS):
        order = np.random.default_rng(100 + split).permutation(len(cover))
        train, test = order[:TRAIN], order[TRAIN : TRAIN + TEST]
        model = FLDEnsemble(n_learners, subspace, seed=split).fit(cover[train], stego[train])  # type: ignore[arg-type]
        results["ours"].append(model.error(cover[test], stego[test]))
        results["ours_oob"].append(model.oob_error_)
        auto = "automatic"
        trainer = ensemble_classifier.FldEnsembleTrainer(
            cover[train], stego[train], seed=split + 1, verbose=0,
            L=auto if n_learners == "auto" else n_learners, d_sub=auto if subspace == "auto" else subspace)
        classifier, records = trainer.train()
        false_alarms = np.mean(classifier.predict(cover[test]) == 1)
        missed = np.mean(classifier.predict(stego[test]) == -1)
        results["theirs"].append(float(false_alarms + missed) / 2)
        results["theirs_oob"].append(min(r["oob_error"] for r in records))
    return {key: float(np.mean(values)) for key, values in results.items()}


def test_fixed_sizes_agree_with_sealwatch() -> None:
    means = compare(51, 200)
    assert abs(means["ours"] - means["theirs"]) <= 0.01, means
    assert abs(means["ours_oob"] - means["theirs_oob"]) <= 0.01, means
    assert 0.15 < means["ours"] < 0.35, means  # the features detect LSB matching, imperfectly


def test_searches_agree_with_sealwatch() -> None:
    means = compare("auto", "auto")
    assert abs(means["ours"] - means["theirs"]) <= 0.02, means
    # The OOB estimate of the chosen ensemble predicts its test error.
    assert abs(means["ours_oob"] - means["ours"]) <= 0.02, means
