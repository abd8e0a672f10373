"""Training time and test error of velmora.ensemble.FLDEnsemble against the
field's implementation, sealwatch's FldEnsembleTrainer, on the same features
and split, BLAS limited to one thread for both.

    python bench/bench_ensemble.py                      # needs sealwatch and scikit-image
    python bench/bench_ensemble.py --pairs 1000 --no-search   # quicker

1. Fixed sizes, the field's reference point: 20 learners of subspace 2,000 on
   2,000 pairs of SRM features (34,671 dimensions; sealwatch in float64 took
   some 17 s there). The features are those of 64 x 64 crops of the
   photographs that scikit-image ships, on a grid fine enough to give the
   pairs asked for (neighbouring crops overlap), and of their stego images
   by simulated LSB matching at 0.4 bits per pixel; stored as float32, as
   ``velmora features`` writes them.
2. Both searches (``n_learners="auto"``, ``subspace="auto"`` against
   ``L="automatic"``, ``d_sub="automatic"``) on SPAM features of 1,000 pairs,
   over a few splits: the searches train many ensembles, so the smaller
   features keep this part to minutes.

Each line gives the training time, the test error (P_FA + P_MD) / 2 of the
majority vote on the held-out pairs, and the sizes each implementation used.
With ``--memory`` each fit of the fixed-size part runs once more under
tracemalloc (untimed), for the peak of the memory it allocated beyond its
input arrays.
"""

from __future__ import annotations

import os

# One BLAS thread, set before NumPy loads its BLAS, so that the comparison
# is of the algorithms and not of how many cores each keeps busy.
for _name in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS"):
    os.environ[_name] = "1"

import argparse  # noqa: E402
import logging  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
import tracemalloc  # noqa: E402
from pathlib import Path  # noqa: E402
from typing import Any  # noqa: E402

import numpy as np  # noqa: E402
import numpy.typing as npt  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parent))

import stego_pairs  # noqa: E402

from velmora.ensemble import FLDEnsemble  # noqa: E402

Features = npt.NDArray[np.float32]


def features(kind: str, count: int) -> tuple[Features, Features]:
    """At least ``count`` pairs of ``kind`` features of 64 x 64 crops."""
    stride = 32
    while len(stego_pairs.crops(64, stride)) < count and stride > 4:
        stride -= 2
    start = time.perf_counter()
    cover, stego = stego_pairs.pairs(kind, 64, stride, 0.4)
    print(f"{kind}: {len(cover)} pairs of {cover.shape[1]} features (crops every {stride} pixels) "
          f"in {time.perf_counter() - start:.0f} s")
    return cover.astype(np.float32), stego.astype(np.float32)


def train_ours(train: tuple[Features, Features], learners: Any, subspace: Any, seed: int) -> Any:
    return FLDEnsemble(learners, subspace, seed=seed).fit(*train)


def train_sealwatch(train: tuple[Features, Features], learners: Any, subspace: Any, seed: int) -> Any:
    from sealwatch.ensemble_classifier import FldEnsembleTrainer  # type: ignore[import-untyped]

    logging.getLogger("fld_ensemble_trainer.py").setLevel(logging.WARNING)
    trainer = FldEnsembleTrainer(train[0], train[1], seed=seed, verbose=0,
                                 L="automatic" if learners == "auto" else learners,
                                 d_sub="automatic" if subspace == "auto" else subspace)
    return trainer.train()[0]


def evaluate_ours(model: Any, test: tuple[Features, Features]) -> tuple[float, int, int]:
    return model.error(*test), model.n_learners_, model.subspace_


def evaluate_sealwatch(classifier: Any, test: tuple[Features, Features]) -> tuple[float, int, int]:
    xc, xs = (x.astype(np.float64) for x in test)
    error = (np.mean(classifier.predict(xc) == 1) + np.mean(classifier.predict(xs) == -1)) / 2
    return float(error), classifier.num_base_learners, int(classifier.d_sub)


IMPLEMENTATIONS = {"velmora": (train_ours, evaluate_ours), "sealwatch": (train_sealwatch, evaluate_sealwatch)}


def peak_mb(train: Any, *args: Any) -> float:
    """The peak of the memory allocated while training (NumPy's included)."""
    tracemalloc.start()
    try:
        train(*args)
        return tracemalloc.get_traced_memory()[1] / 2**20
    finally:
        tracemalloc.stop()


def run(cover: Features, stego: Features, pairs: int, tests: int, learners: Any, subspace: Any,
        splits: int, memory: bool = False) -> None:
    print(f"{'split':>5} {'':10} {'train s':>8} {'test error':>10} {'L':>4} {'d_sub':>6}")
    totals = {"velmora": [0.0, 0.0], "sealwatch": [0.0, 0.0]}
    for split in range(splits):
        order = np.random.default_rng(100 + split).permutation(len(cover))
        train_rows, test_rows = order[:pairs], order[pairs : pairs + tests]
        train = (np.ascontiguousarray(cover[train_rows]), np.ascontiguousarray(stego[train_rows]))
        test = (cover[test_rows], stego[test_rows])
        for name, (fit, evaluate) in IMPLEMENTATIONS.items():
            start = time.perf_counter()
            model = fit(train, learners, subspace, split + 1)
            seconds = time.perf_counter() - start
            error, used_learners, used_subspace = evaluate(model, test)
            del model
            totals[name][0] += seconds
            totals[name][1] += error
            peak = f"  peak {peak_mb(fit, train, learners, subspace, split + 1):.0f} MB" if memory else ""
            print(f"{split:>5} {name:10} {seconds:8.2f} {error:10.4f} {used_learners:>4} {used_subspace:>6}{peak}",
                  flush=True)
    (ours_s, ours_e), (ref_s, ref_e) = totals["velmora"], totals["sealwatch"]
    print(f" mean velmora {ours_s / splits:.2f} s, error {ours_e / splits:.4f}; sealwatch {ref_s / splits:.2f} s, "
          f"error {ref_e / splits:.4f}; velmora takes {ours_s / ref_s:.2f} of sealwatch's time")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--kind", default="srm", help="features of the fixed-size part (default srm)")
    parser.add_argument("--pairs", type=int, default=2000, help="training pairs of the fixed-size part")
    parser.add_argument("--test", type=int, default=1000, help="test pairs of the fixed-size part")
    parser.add_argument("--learners", type=int, default=20)
    parser.add_argument("--subspace", type=int, default=2000)
    parser.add_argument("--splits", type=int, default=1, help="splits of the fixed-size part")
    parser.add_argument("--no-search", action="store_true", help="skip the part with both searches")
    parser.add_argument("--memory", action="store_true", help="peak allocations of the fixed-size fits")
    parser.add_argument("--search-kind", default="spam")
    parser.add_argument("--search-pairs", type=int, default=1000)
    parser.add_argument("--search-splits", type=int, default=3)
    args = parser.parse_args()
    try:
        import sealwatch  # noqa: F401  # type: ignore[import-untyped]
        import skimage  # noqa: F401  # type: ignore[import-untyped]
    except ImportError as error:
        print(f"bench_ensemble needs sealwatch and scikit-image: {error}", file=sys.stderr)
        return 2
    try:
        from threadpoolctl import threadpool_info

        print("BLAS:", ", ".join(f"{p['internal_api']} {p['version']} x{p['num_threads']}" for p in threadpool_info()))
    except ImportError:
        pass

    cover, stego = features(args.kind, args.pairs + args.test)
    print(f"\nfixed sizes: {args.learners} learners of subspace {args.subspace}, {args.pairs} training pairs")
    run(cover, stego, args.pairs, args.test, args.learners, args.subspace, args.splits, args.memory)
    del cover, stego
    if not args.no_search:
        cover, stego = features(args.search_kind, args.search_pairs + 600)
        print(f"\nboth searches: {args.search_pairs} training pairs")
        run(cover, stego, args.search_pairs, 600, "auto", "auto", args.search_splits)
    return 0


if __name__ == "__main__":
    sys.exit(main())
