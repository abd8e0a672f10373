"""What float32 arithmetic would do to velmora.ensemble's FLD learners, on
SRM features of real images: the measurement behind the choice of precision
that the module's documentation states.

    OMP_NUM_THREADS=1 python bench/ensemble_precision.py

For the same subspaces and bootstrap samples (the ensemble's own draws) it
trains each learner four ways:

- ``f64``: features as extracted (float64), all arithmetic in float64
- ``f32 data``: features rounded to float32 (as the ensemble stores them, and
  as ``velmora features`` writes them), arithmetic in float64 (the ensemble)
- ``f32 gemm``: as ``f32 data`` but the scatter (or Gram) matrix by a float32
  GEMM, solved in float64
- ``f32 all``: as ``f32 gemm`` and solved in float32 too

and prints, against ``f64``, the share of test decisions that each learner
changes (mean over learners) and the test error of the majority vote, in two
regimes: fewer distinct training vectors than subspace dimensions (the
learners solve the dual, Gram, system) and more (the primal one).
"""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import numpy.typing as npt

sys.path.insert(0, str(Path(__file__).resolve().parent))

import stego_pairs  # noqa: E402

from velmora import ensemble as E  # noqa: E402

LEARNERS = 10
SEED = 1
Array = npt.NDArray[np.float64]


def weights(block: Array, diff: Array, gemm: type, solve: type) -> Array:
    """The FLD weights as the ensemble computes them, with the GEMM and the
    solve in the given float types."""
    b = block.astype(gemm)
    size, samples = block.shape
    reg = E.REGULARIZATION
    if samples >= size:
        scatter = (b @ b.T).astype(solve)
        scatter[np.diag_indices(size)] += reg
        return np.linalg.solve(scatter, diff.astype(solve)).astype(np.float64)
    gram = (b.T @ b).astype(solve)
    gram[np.diag_indices(samples)] += reg
    inner = np.linalg.solve(gram, (block.T @ diff).astype(solve)).astype(np.float64)
    return (diff - block @ inner) / reg


def learner(xc: Array, xs: Array, features: npt.NDArray[np.intp], counts: npt.NDArray[np.intp],
            gemm: type, solve: type) -> tuple[Array, float]:
    inbag = np.flatnonzero(counts)
    share = counts[inbag] / counts.sum()
    root = np.sqrt(counts[inbag].astype(np.float64))
    cover, stego = xc[np.ix_(inbag, features)].T, xs[np.ix_(inbag, features)].T
    mean_c, mean_s = cover @ share, stego @ share
    block = np.hstack([(cover - mean_c[:, None]) * root, (stego - mean_s[:, None]) * root]) / np.sqrt(counts.sum())
    w = weights(block, mean_s - mean_c, gemm, solve)
    threshold, orientation = E._threshold(w @ cover, w @ stego, counts[inbag].astype(np.float64))
    return orientation * w, orientation * threshold


def main() -> None:
    cover, stego = stego_pairs.pairs("srm")
    rng = np.random.default_rng(SEED)
    order = rng.permutation(len(cover))
    variants = {
        "f64": (False, np.float64, np.float64),
        "f32 data": (True, np.float64, np.float64),
        "f32 gemm": (True, np.float32, np.float64),
        "f32 all": (True, np.float32, np.float32),
    }
    for train_pairs, size in ((800, 2000), (1200, 1200), (1200, 600)):
        train, test = order[:train_pairs], order[train_pairs:]
        print(f"\n{train_pairs} training pairs, subspace {size}, {LEARNERS} learners, "
              f"{len(test)} test pairs")
        votes: dict[str, list[Array]] = {name: [] for name in variants}
        for index in range(LEARNERS):
            features = E._subspace(SEED, index, cover.shape[1], size)
            counts = E._bootstrap_counts(SEED, index, train_pairs)
            for name, (round32, gemm, solve) in variants.items():
                xc, xs = cover[train], stego[train]
                tc, ts = cover[test], stego[test]
                if round32:
                    xc, xs, tc, ts = (a.astype(np.float32).astype(np.float64) for a in (xc, xs, tc, ts))
                w, b = learner(xc, xs, features, counts, gemm, solve)
                votes[name].append(np.sign(np.concatenate([tc[:, features] @ w, ts[:, features] @ w]) - b))
        reference = np.array(votes["f64"])
        truth = np.r_[-np.ones(len(test)), np.ones(len(test))]
        for name, v in votes.items():
            each = np.array(v)
            changed = float(np.mean(each != reference))
            majority = np.sum(each, axis=0)
            error = float(np.mean(np.where(majority > 0, 1.0, -1.0) != truth))
            print(f"  {name:9s} learner decisions changed {changed:8.4%}   ensemble test error {error:.4f}")


if __name__ == "__main__":
    main()
