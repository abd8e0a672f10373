"""``velmora demo``: embed into a built-in example image and write the results to a folder."""

from __future__ import annotations

import argparse
import math
import os
from typing import Any

from .._batch import UsageError, details_path_for
from .._imageio import psnr, save_lossless, save_npz
from ._common import PROG, add_engine_options, err, int_at_least, payload_arg, seed_arg
from .._batch import Payload


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "demo", help="embed into a built-in example image and write the results to a folder",
        description="Embed a random payload into a synthetic example image, print the figures "
                    "(pool size, payload, bits per pixel, time, pixels changed, PSNR) and write "
                    "cover.png, stego.png, stego.png.npz, pool.png and embedding.png into DIR.",
    )
    p.add_argument("-o", "--output", default="velmora-demo", metavar="DIR",
                   help="folder for the results (default: ./velmora-demo)")
    p.add_argument("--payload", type=payload_arg, default=Payload(rate=0.1), metavar="N|RATEbpp",
                   help="bits to hide, e.g. 20000, or a rate such as 0.1bpp (default: 0.1bpp)")
    p.add_argument("--size", type=int_at_least(16), default=512, metavar="N",
                   help="side of the square example image in pixels (default: 512)")
    p.add_argument("--seed", type=seed_arg, default=None, metavar="S",
                   help="embed reproducibly with seed S (0 ... 2**64 - 1): the same S gives the "
                        "same stego image every time (default: fresh entropy)")
    add_engine_options(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    import velmora_core

    from .._api import embed
    from .._example import example_image
    from .._plot import new_figure, plot_embedding, plot_pool, save_figure

    outdir = args.output
    os.makedirs(outdir, exist_ok=True)
    cover = example_image(args.size)
    h, w = cover.shape
    bits = args.payload.bits_for(h, w)
    if bits < 1:
        raise UsageError(f"a payload of {args.payload} rounds to 0 bits for a {h}x{w} image")
    try:
        result = embed(cover, bits, seed=args.seed, colony_size=args.colony_size,
                       max_iter=args.max_iter, min_block=args.min_block)
    except ValueError as e:
        err("demo", str(e))
        return 1
    stego, ms, pool_size = result.stego, result.elapsed_ms, result.pool_size
    ys, xs, payload = result.coords_y, result.coords_x, result.payload
    changed = result.changes
    quality = psnr(cover, stego)

    paths = {name: os.path.join(outdir, name) for name in ("cover.png", "stego.png", "pool.png", "embedding.png")}
    details = details_path_for(paths["stego.png"])
    save_lossless(paths["cover.png"], cover)
    save_lossless(paths["stego.png"], stego)
    save_npz(details, coords_y=ys, coords_x=xs, payload=payload)
    pool = velmora_core.get_quadtree_sparse_map(cover, args.min_block)
    fig, (ax,) = new_figure(cover.shape, 1)
    plot_pool(cover, pool, ax)
    save_figure(fig, paths["pool.png"])
    save_figure(plot_embedding(cover, stego, ys, xs), paths["embedding.png"])

    seeded = "" if args.seed is None else f", seed {args.seed}"
    print(f"velmora demo: {h}x{w} example image, payload {args.payload}{seeded}")
    rows = [
        ("pool size", f"{pool_size} pixels ({100.0 * pool_size / cover.size:.1f}% of the image)"),
        ("payload", f"{bits} bits"),
        ("bits per pixel", f"{bits / cover.size:.4f}"),
        ("elapsed", f"{ms:.2f} ms"),
        ("pixels changed", f"{changed} ({100.0 * changed / bits:.1f}% of the payload bits)"),
        ("PSNR", "inf (identical)" if math.isinf(quality) else f"{quality:.2f} dB"),
    ]
    for label, value in rows:
        print(f"  {label:<15} {value}")
    print("wrote:")
    described = [
        (paths["cover.png"], "the example image (cover)"),
        (paths["stego.png"], "the cover with the payload hidden"),
        (details, "chosen coordinates and payload bits"),
        (paths["pool.png"], "the quadtree pool over the cover"),
        (paths["embedding.png"], "cover | chosen coordinates | changed pixels"),
    ]
    width = max(len(p) for p, _ in described)
    for p, what in described:
        print(f"  {p:<{width}}  {what}")
    print(f"check it: {PROG} verify {paths['cover.png']} {paths['stego.png']} --details {details}")
    return 0
