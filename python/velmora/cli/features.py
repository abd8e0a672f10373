"""``velmora features``: the steganalysis features of a collection of images, as one matrix."""

from __future__ import annotations

import argparse
import os
import signal
import textwrap
from typing import Any

from .._batch import UsageError
from ..baselines import MAX_ALPHA
from ..selection import METHODS
from ._common import add_gray_option, add_workers_options, err, feature_kind, payload_list


def add_parser(sub: Any) -> None:
    from .. import features

    sizes = ", ".join(f"{k} {features.dimension(k)} ({features.min_side(k)}x{features.min_side(k)})"
                      for k in features.KINDS)
    p = sub.add_parser(
        "features", help="extract the steganalysis features of a collection of images into one matrix",
        description=textwrap.fill(
            "Extract the SPAM, spatial rich model or maxSRM features of every image with velmora's native "
            "extractor and write them as one float32 matrix, a row per image in the sorted order of the "
            "images' paths: the usual input of a classifier. OUT/features.npy holds the matrix and "
            "OUT/index.json each row's image path, the submodels of the columns and the images "
            "skipped. Rows are written as images finish, so memory stays small however many there "
            "are. Exit code 0 when every image has a row, 1 when any was skipped (the others are "
            "still done).",
            width=79,
            break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog=textwrap.dedent(f"""\
            Folders are searched recursively for .png, .pgm, .ppm, .pnm, .tif, .tiff and .bmp files;
            files named explicitly may be in any format Pillow reads. A row is named by its image's
            path relative to the input it was found under (its file name when named itself).

            feature sets, dimensions (smallest image): {sizes}
            Unreadable images, colour images without --gray and images smaller than the feature set
            takes are reported and get no row. maxsrm weighs each image with the change probabilities
            that --channel METHOD at --payload ALPHA gives it, estimated from the image itself as an
            attacker who knows the method and payload (not the key) would: velmora.selection.estimate.

            OUT/features.npy   rows x dimension, float32: numpy.load(path, mmap_mode="r") maps it
            OUT/index.json     kind, extractor, submodels [[name, dimension], ...] in column order,
                               paths (one per row), skipped {{path: reason}}, status
            In Python, velmora.features.load(OUT) returns all of it, the matrix memory-mapped.

            Ctrl-C (or SIGTERM) finishes the images in progress and stops (exit code 130 or 143); a
            second one stops at once. The rows done are kept either way (in OUT/features.partial.npy
            and OUT/progress.jsonl until the run is complete): run the same command with --resume to
            finish without extracting any image twice."""),
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUT",
                   help="folder for the matrix and its index (created if missing)")
    p.add_argument("--features", type=feature_kind, required=True, metavar="SET",
                   help=f"feature set: {', '.join(features.KINDS)}")
    p.add_argument("--channel", type=str.lower, default=None, metavar="METHOD",
                   help="for maxsrm: the method whose change probabilities weigh each image, estimated "
                        "from the image itself (velmora.selection.estimate with its defaults): "
                        f"{', '.join(METHODS)}")
    p.add_argument("--payload", type=payload_list, default=None, metavar="ALPHA",
                   help="for maxsrm: the payload of --channel in bits per pixel")
    add_gray_option(p)
    add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="go on with a stopped run in OUT: images with a row or skipped before are not "
                        "extracted again; refused when OUT was written with other inputs, another "
                        "--features or --gray")
    p.set_defaults(func=run)


def _channel(args: argparse.Namespace) -> tuple[str, float] | None:
    """(method, payload) of --channel and --payload, checked; None when
    neither is given."""
    if args.channel is None and args.payload is None:
        return None
    if args.channel is None or args.payload is None:
        raise UsageError("--channel METHOD and --payload ALPHA go together")
    if args.channel not in METHODS:
        raise UsageError(f"unknown method {args.channel!r} for --channel: choose from {', '.join(METHODS)}")
    if len(args.payload) != 1:
        raise UsageError("--payload takes one payload here")
    alpha = args.payload[0]
    top = MAX_ALPHA if args.channel in ("hill", "suniward", "wow", "mipod") else 1.0
    if not 0.0 < alpha <= top:
        raise UsageError(f"--payload {alpha:g} is outside (0, {top:g}] bits per pixel for {args.channel}")
    return args.channel, alpha


def run(args: argparse.Namespace) -> int:
    from .._featurebatch import FeatureRun, exit_code
    from ..features import MATRIX_NAME, dimension

    workers = args.jobs or (os.cpu_count() or 1)
    run = FeatureRun(args.inputs, args.output, args.features, args.gray, workers, args.resume,
                     cluster=args.cluster, channel=_channel(args))
    summary = run.run()
    parts = [f"{summary.ok} extracted", f"{summary.skipped} skipped"]
    if summary.before:
        earlier = f" ({summary.skipped_before} of them skipped)" if summary.skipped_before else ""
        parts.append(f"{summary.before} done before{earlier}")
    if summary.converted:
        parts.append(f"{summary.converted} converted to grayscale")
    if summary.stopped_by is not None:
        done = summary.before + summary.ok + summary.skipped
        err("features", f"stopped by {signal.Signals(summary.stopped_by).name} with {done} of "
                         f"{summary.total} image(s) done: {', '.join(parts)}. The rows done are kept in "
                         f"{args.output}; run the same command with --resume to finish.")
    else:
        matrix = os.path.join(args.output, MATRIX_NAME)
        print(f"{summary.total} image(s): {', '.join(parts)}; wrote {matrix} "
              f"({summary.rows} x {dimension(args.features)} float32, {args.features})")
    return exit_code(summary)
