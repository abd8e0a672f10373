"""``velmora show``: the cover, the chosen coordinates and the changed pixels side by side."""

from __future__ import annotations

import argparse
from typing import Any

from ._common import add_gray_option, add_zoom_option, load_details, read


def add_parser(sub: Any) -> None:
    p = sub.add_parser(
        "show", help="draw the cover, the chosen coordinates and the changed pixels side by side",
        description="Draw three panels: the cover, the coordinates listed in the details file "
                    "(cyan), and the pixels the stego image changes (red +1, blue -1).",
    )
    p.add_argument("cover", metavar="COVER")
    p.add_argument("stego", metavar="STEGO")
    p.add_argument("--details", required=True, metavar="FILE.npz",
                   help="the .npz that embed --details wrote for STEGO")
    p.add_argument("-o", "--output", required=True, metavar="FIGURE", help="figure file to write")
    add_zoom_option(p)
    add_gray_option(p)
    p.set_defaults(func=run)


def run(args: argparse.Namespace) -> int:
    from .._plot import plot_embedding, save_figure

    cover = read("show", args.cover, args.gray)
    stego = read("show", args.stego, False)
    ys, xs, _, _ = load_details(args.details)
    fig = plot_embedding(cover, stego, ys, xs, zoom=args.zoom)
    save_figure(fig, args.output)
    print(f"wrote {args.output}")
    return 0
