"""``velmora evaluate``: how detectable each method is, by the blind and the informed
detector, against the field's baselines."""

from __future__ import annotations

import argparse
import math
import os
import shlex
import sys
import textwrap
from typing import Any

from .._batch import UsageError
from ._common import (
    add_engine_options,
    add_gray_option,
    add_workers_options,
    count_or_auto,
    err,
    int_at_least,
    name_list,
    payload_list,
    seed_arg,
)


def add_parser(sub: Any) -> None:
    from ..evaluation.settings import DEFAULT_FEATURES, DEFAULT_LEARNERS, DEFAULT_SUBSPACE, METHODS
    from ..features import KINDS, dimension
    from ..selection import DEFAULT_MODEL, DEFAULT_RUNS, MODELS

    p = sub.add_parser(
        "evaluate", help="measure how detectable the embedding is, against baseline methods",
        description=textwrap.fill(
            "Embed every cover with each method at each payload, extract steganalysis features "
            "from covers and stego images, and train an FLD ensemble on the paired features of "
            "half of the source images and score its decisions on the other half, over random "
            "splits, with each feature set: the blind detector (srm, the default) and, with "
            "--features srm,maxsrm, the informed one beside it (maxsrm weighs each image with the "
            "change probabilities that an attacker who knows the method and the payload estimates "
            "from it). Writes REPORT_DIR/results.csv, "
            "results-splits.csv, report.md, splits.csv and pe.png (P_E against payload, a panel per "
            "feature set). Everything is seeded from --seed, and finished work is "
            "cached in REPORT_DIR/cache: a second run with more methods, payloads or splits "
            "computes only what is new. Needs the eval extra: pip install 'velmora-core[eval]'.",
            width=79, break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=textwrap.dedent(f"""\
            methods: velmora (this system, seeded velmora.embed), velmora-random and velmora-greedy
              (velmora.ablations: the same pool and LSB matching with the colony replaced by a
              uniform draw from the pool, or by the pool's highest scores), lsbm (LSB matching at
              random positions), hill, suniward, wow, mipod (velmora.baselines: conseal's
              simulators, native, each cover's costs computed once for all payloads), none (the
              cover unchanged: a control, whose P_E is chance)
            features: {', '.join(f'{k} ({dimension(k)})' for k in KINDS)} dimensions, from velmora's native
              extractor, kept as matrices in REPORT_DIR/cache/features; detector: velmora.ensemble.
              An informed set's maps are velmora.selection.estimate(image, payload, method) on
              each image, cover and stego alike; velmora's colony is modelled by --channel.
            results.csv has a row per feature set, method and payload; selection_gain (the
              methods that select from velmora's pool) is (mean colony score of the chosen pixels
              - the pool's mean) / (mean of the n best - the pool's mean): 0 random, 1 the best.

            P_E = (P_FA + P_MD) / 2 of the trained detector's own decisions (its majority vote at
            the threshold training fixed) on the test half, mean and standard deviation over the
            splits; a split can give more than 0.5. When velmora is among the methods, a cover whose
            quadtree pool is not larger than a payload is left out of that payload for every method,
            so that all methods are compared on the same covers. Ctrl-C finishes the work in
            progress and stops; run the same command again (or with --resume) to go on."""),
    )
    p.add_argument("inputs", nargs="+", metavar="COVERS", help="cover image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="REPORT_DIR", help="folder for the report and its cache")
    p.add_argument("--payload", type=payload_list, default=(0.05, 0.1, 0.2), metavar="BPP,...",
                   help="payloads in bits per pixel (default: 0.05,0.1,0.2)")
    p.add_argument("--methods", type=name_list, default=("velmora", "lsbm", "hill"), metavar="M,...",
                   help=f"methods to compare, of {', '.join(METHODS)} (default: velmora,lsbm,hill)")
    p.add_argument("--features", type=name_list, default=DEFAULT_FEATURES, metavar="SET,...",
                   help=f"feature sets, each scored on the same covers and splits: of {', '.join(KINDS)} "
                        f"(default: {','.join(DEFAULT_FEATURES)})")
    p.add_argument("--channel", type=str.lower, default=DEFAULT_MODEL, metavar="MODEL",
                   help=f"the informed attacker's model of velmora's colony within the recomputed pool: "
                        f"{', '.join(MODELS)} (default: {DEFAULT_MODEL}; see velmora.selection)")
    p.add_argument("--channel-runs", type=int_at_least(1), default=DEFAULT_RUNS, metavar="N",
                   help=f"seeded colony runs of the frequency model (default: {DEFAULT_RUNS})")
    p.add_argument("--crop", type=int_at_least(1), default=None, metavar="N",
                   help="use seeded N x N crops of the images instead of whole images; images smaller "
                        "than N are left out")
    p.add_argument("--crops-per-image", type=int_at_least(1), default=1, metavar="K",
                   help="crops per image with --crop (default: 1)")
    p.add_argument("--splits", type=int_at_least(1), default=10, metavar="N",
                   help="random 50/50 splits by source image (default: 10)")
    p.add_argument("--seed", type=seed_arg, default=0, metavar="S",
                   help="seed of crops, embeddings, splits and detectors (default: 0)")
    p.add_argument("--learners", type=count_or_auto(1), default=DEFAULT_LEARNERS, metavar="N|auto",
                   help="base learners of the ensemble, or auto: until its out-of-bag error settles "
                        f"(default: {DEFAULT_LEARNERS})")
    p.add_argument("--subspace", type=count_or_auto(1), default=DEFAULT_SUBSPACE, metavar="D|auto",
                   help="subspace dimension of each base learner (at most the feature dimension), or auto "
                        f"for the ensemble's search (default: {DEFAULT_SUBSPACE}); the search trains an ensemble "
                        "for each dimension it tries")
    add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="go on after an interruption; finished work is always taken from REPORT_DIR's cache")
    p.add_argument("--figure", type=name_list, default=("png",), metavar="FMT,...",
                   help="formats of the P_E figure: png, pdf, svg (default: png)")
    add_engine_options(p)
    add_gray_option(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from .._executor import Interrupted, StopRequest, signal_name
    from ..evaluation.run import evaluate
    from ..evaluation.settings import Stopped

    if args.resume and not os.path.exists(os.path.join(args.output, "cache", "index.jsonl")):
        raise UsageError(f"--resume: {args.output} holds no earlier run to go on with")
    command = shlex.join(["velmora", *sys.argv[1:]]) if sys.argv[1:2] == ["evaluate"] else None
    try:
        with StopRequest("velmora evaluate") as stop:
            rows = evaluate(
                args.inputs, args.output, payloads=args.payload, methods=args.methods, features=args.features,
                crop=args.crop, crops_per_image=args.crops_per_image, splits=args.splits, seed=args.seed,
                learners=args.learners, subspace=args.subspace, colony_size=args.colony_size,
                max_iter=args.max_iter, min_block=args.min_block, gray=args.gray, channel=args.channel,
                channel_runs=args.channel_runs, jobs=args.jobs,
                figure_formats=args.figure, stop=stop, command=command, cluster=args.cluster,
            )
    except (Stopped, Interrupted) as e:
        err("evaluate", f"stopped by {signal_name(e.signum)}; finished work is kept in "
                         f"{os.path.join(args.output, 'cache')}: run the same command again to go on")
        return 128 + e.signum
    print(f"{'method':<15} {'bpp':>6} {'features':>8} {'pairs':>6} {'left out':>8} {'test pairs':>10} {'P_E':>14}")
    for r in rows:
        pe = "n/a" if math.isnan(r["pe_mean"]) else f"{r['pe_mean']:.3f} \u00b1 {r['pe_std']:.3f}"
        test = "n/a" if math.isnan(r["test_pairs"]) else f"{r['test_pairs']:.1f}"
        print(f"{r['method']:<15} {r['payload_bpp']:>6g} {r['features']:>8} {r['pairs']:>6} {r['left_out']:>8} "
              f"{test:>10} {pe:>14}")
    print(f"wrote {os.path.join(args.output, 'report.md')}, results.csv, results-splits.csv, splits.csv and "
          f"{', '.join('pe.' + f for f in args.figure)}")
    unusable = getattr(rows, "unusable", {})
    if unusable:
        err("evaluate", f"{len(unusable)} cover(s) or image(s) could not be used and were left out "
                         "(named above and in report.md)")
        return 1
    return 0
