"""``velmora embed``: hide random bits in image files or folders of images, or change
them as a baseline method or an ablation would."""

from __future__ import annotations

import argparse
import os
import signal
import textwrap
from typing import Any

from .._batch import CSV_NAME, EMBED_METHODS, BatchRun, Settings, UsageError, collect_jobs, exit_code
from ._common import (
    add_engine_options,
    add_gray_option,
    add_workers_options,
    err,
    out_format,
    payload_arg,
    seed_arg,
)


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "embed", help="hide random bits in image files or folders of images",
        description=textwrap.fill(
            "Hide a random payload in each image and write the stego images, losslessly "
            "and in the input's format (PNG for lossy inputs such as JPEG), under OUTDIR, "
            "keeping the layout of folders. Each image gets a row in "
            f"OUTDIR/{CSV_NAME}, written as it finishes. Exit code 0 when every image "
            "succeeded, 1 when any failed (the others are still done).",
            width=79,
            break_on_hyphens=False,
        ),
        formatter_class=argparse.RawDescriptionHelpFormatter,
        epilog="Folders are searched recursively for .png, .pgm, .ppm, .pnm, .tif, .tiff and .bmp "
               "files;\nfiles named explicitly may be in any format Pillow reads.\n"
               "With --seed S, the image found as REL (its path under the input folder, or its file\n"
               "name when named itself) is embedded with the seed velmora.derive_seed(S, 'embed', REL):\n"
               "the first 8 bytes, big-endian, of the SHA-256 of the JSON text [S, \"embed\", \"REL\"]\n"
               "(its top 32 bits for --method mipod, whose generator takes no more).\n"
               "A baseline method hides no bits: it changes pixels as the method would, at the payload's\n"
               "rate (bits / pixels for a number of bits).\n"
               "Ctrl-C (or SIGTERM) finishes the images in progress and stops (exit code 130 or 143);\n"
               "a second one stops at once. No partial image is left behind either way: run the\n"
               "same command with --resume to finish.",
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="image files or folders")
    p.add_argument("-o", "--output", required=True, metavar="OUTDIR",
                   help="folder for the stego images and the CSV (created if missing)")
    p.add_argument("--payload", type=payload_arg, required=True, metavar="N|RATEbpp",
                   help="bits to hide per image: a count such as 1000, or a rate such as 0.1bpp "
                        "(round(rate x height x width) bits)")
    p.add_argument("--method", choices=EMBED_METHODS, default="velmora", metavar="METHOD",
                   help="velmora (this system, the default); an ablation of velmora.ablations, "
                        "the same pool and LSB matching without the colony: velmora-random "
                        "(coordinates drawn uniformly from the pool), velmora-greedy (the pool's "
                        "highest colony scores); or a baseline of velmora.baselines to build a data "
                        "set to compare with: lsbm (LSB matching at random positions), hill, "
                        "suniward, wow, mipod (pixel for pixel conseal's simulators)")
    add_engine_options(p)
    p.add_argument("--details", action="store_true",
                   help="also write IMAGE.npz beside each stego image with coords_y, coords_x and "
                        "payload (velmora and its ablations), or coords_y, coords_x and delta, the pixels changed and "
                        "by how much (baselines); for show and verify")
    p.add_argument("--seed", type=seed_arg, default=None, metavar="S",
                   help="reproducible run: each image is embedded with its own seed derived from S "
                        "(0 ... 2**64 - 1) and its path relative to the input it was found under, "
                        "written to the CSV's seed column; the same S gives byte-identical results "
                        "whatever --jobs, the order of the inputs or --resume (default: fresh "
                        "entropy for every image)")
    add_workers_options(p)
    p.add_argument("--resume", action="store_true",
                   help="skip images that the existing CSV lists as done and whose output exists")
    p.add_argument("--format", type=out_format, default=None, metavar="FORMAT",
                   help="write every stego image as png, tiff, bmp or pgm instead of the input's "
                        "format (JPEG is refused)")
    add_gray_option(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    if args.method.startswith("velmora-") and (args.colony_size, args.max_iter) != (30, 50):
        raise UsageError("--colony-size and --max-iter are the colony's: they do not apply to "
                         f"--method {args.method}, which has none")
    if not args.method.startswith("velmora") and (args.colony_size, args.max_iter, args.min_block) != (30, 50, 4):
        raise UsageError("--colony-size, --max-iter and --min-block are velmora's: they do not apply to "
                         f"--method {args.method}")
    jobs = collect_jobs(args.inputs, args.output, args.format)
    settings = Settings(
        payload=args.payload,
        colony_size=args.colony_size,
        max_iter=args.max_iter,
        min_block=args.min_block,
        gray=args.gray,
        details=args.details,
        seed=args.seed,
        method=args.method,
    )
    workers = args.jobs or (os.cpu_count() or 1)
    run = BatchRun(jobs, settings, args.output, workers, args.resume, cluster=args.cluster)
    summary = run.run()
    csv_path = os.path.join(args.output, CSV_NAME)
    parts = [f"{summary.ok} embedded", f"{summary.failed} failed"]
    if summary.skipped:
        parts.append(f"{summary.skipped} skipped as done before")
    if summary.converted:
        parts.append(f"{summary.converted} converted to grayscale")
    if summary.stopped_by is not None:
        name = signal.Signals(summary.stopped_by).name
        err(
            "embed",
            f"stopped by {name} with {summary.ok + summary.failed} of "
            f"{summary.total - summary.skipped} image(s) done: {', '.join(parts)}. Finished rows are "
            f"in {csv_path}; run the same command with --resume to finish.",
        )
    else:
        print(f"{summary.total} image(s): {', '.join(parts)}; log: {csv_path}")
    return exit_code(summary)
