"""``velmora pool``: draw the quadtree pool of an image."""

from __future__ import annotations

import argparse
from typing import Any

from ._common import add_gray_option, add_zoom_option, int_at_least, read


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "pool", help="draw the quadtree pool of an image",
        description="Draw IMAGE with the pixels of its quadtree pool (the candidates for "
                    "embedding) tinted orange, and save the figure (PNG, or by suffix PDF/SVG).",
    )
    p.add_argument("image", metavar="IMAGE")
    p.add_argument("-o", "--output", required=True, metavar="FIGURE", help="figure file to write")
    p.add_argument("--min-block", type=int_at_least(1), default=4, metavar="N",
                   help="smallest quadtree block side in pixels (default: 4)")
    add_zoom_option(p)
    add_gray_option(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    import velmora_core

    from .._plot import new_figure, plot_pool, save_figure

    image = read("pool", args.image, args.gray)
    pool = velmora_core.get_quadtree_sparse_map(image, args.min_block)
    fig, (ax,) = new_figure(image.shape, 1, args.zoom)
    plot_pool(image, pool, ax)
    save_figure(fig, args.output)
    print(f"{args.image}: pool of {len(pool)} of {image.size} pixels "
          f"({100.0 * len(pool) / image.size:.1f}%); wrote {args.output}")
    return 0
