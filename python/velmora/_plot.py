"""Figures: the quadtree pool and an embedding drawn over the cover image.

Figures made here without a caller's Axes are laid out pixel for pixel: every
image pixel becomes a `zoom` x `zoom` square of the figure, so single changed
pixels stay visible. A figure of n panels of an H x W image is

    width  = n * W * zoom + (n + 1) * MARGIN
    height = H * zoom + TITLE + 2 * MARGIN

pixels, with `zoom` = max(1, ceil(ZOOM_TARGET / max(H, W))) unless given.
They use Matplotlib's object interface with the Agg canvas: no window opens
and pyplot's global state is left alone.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Literal, cast

import numpy as np
import numpy.typing as npt

from ._imageio import StrPath, _check_gray_array, atomic_write

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

MARGIN = 8  # pixels around and between panels
TITLE = 24  # pixels above the panels for their titles
ZOOM_TARGET = 256  # smaller images are magnified until their longer side reaches this
DPI = 100

POOL_COLOUR = (1.0, 0.55, 0.0)  # pool pixels
CHOSEN_COLOUR = (0.0, 0.85, 1.0)  # coordinates the selection chose
PLUS_COLOUR = (0.9, 0.0, 0.0)  # pixels raised by one grey level
MINUS_COLOUR = (0.1, 0.3, 1.0)  # pixels lowered by one grey level


def auto_zoom(shape: tuple[int, ...]) -> int:
    """The magnification used for an image of `shape` when none is given."""
    longest = max(int(shape[0]), int(shape[1]), 1)
    return max(1, math.ceil(ZOOM_TARGET / longest))


def figure_size(shape: tuple[int, ...], panels: int, zoom: int | None = None) -> tuple[int, int]:
    """(width, height) in pixels of a figure of `panels` panels of an image of `shape`."""
    z = auto_zoom(shape) if zoom is None else int(zoom)
    h, w = int(shape[0]), int(shape[1])
    return panels * w * z + (panels + 1) * MARGIN, h * z + TITLE + 2 * MARGIN


def new_figure(shape: tuple[int, ...], panels: int, zoom: int | None = None) -> tuple[Figure, list[Axes]]:
    """A figure with `panels` image axes laid out pixel for pixel (see the module docs)."""
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    z = auto_zoom(shape) if zoom is None else int(zoom)
    if z < 1:
        raise ValueError(f"zoom must be at least 1, got {z}")
    h, w = int(shape[0]), int(shape[1])
    fw, fh = figure_size(shape, panels, z)
    # A quarter pixel more keeps the rendered size from rounding down.
    fig = Figure(figsize=((fw + 0.25) / DPI, (fh + 0.25) / DPI), dpi=DPI)
    FigureCanvasAgg(fig)
    W, H = fw + 0.25, fh + 0.25
    axes = []
    for i in range(panels):
        left = MARGIN + i * (w * z + MARGIN)
        ax = fig.add_axes((left / W, MARGIN / H, w * z / W, h * z / H))
        ax._velmora_exact = True  # type: ignore[attr-defined]
        axes.append(ax)
    return fig, axes


def _prepare_axes(ax: Axes, title: str) -> None:
    ax.set_axis_off()
    ax.set_title(title, fontsize=9, pad=4)


def _aspect(ax: Axes) -> Literal["auto", "equal"]:
    # Axes of new_figure already have the image's proportions; a caller's keep square pixels.
    return "auto" if getattr(ax, "_velmora_exact", False) else "equal"


def _show_gray(ax: Axes, image: npt.NDArray[np.uint8], dim: float = 1.0) -> None:
    shown = image if dim == 1.0 else (image.astype(np.float64) * dim + 255.0 * (1.0 - dim))
    ax.imshow(shown, cmap="gray", vmin=0, vmax=255, interpolation="nearest", aspect=_aspect(ax))


def _show_mask(ax: Axes, mask: npt.NDArray[np.bool_], colour: tuple[float, float, float], alpha: float) -> None:
    rgba = np.zeros(mask.shape + (4,), dtype=np.float32)
    rgba[mask] = (*colour, alpha)
    ax.imshow(rgba, interpolation="nearest", aspect=_aspect(ax))


def _mask_of(shape: tuple[int, ...], ys: npt.ArrayLike, xs: npt.ArrayLike, what: str) -> npt.NDArray[np.bool_]:
    ys = np.asarray(ys, dtype=np.int64).reshape(-1)
    xs = np.asarray(xs, dtype=np.int64).reshape(-1)
    if ys.shape != xs.shape:
        raise ValueError(f"{what}: {ys.size} rows but {xs.size} columns")
    h, w = shape[0], shape[1]
    if ys.size and (ys.min() < 0 or ys.max() >= h or xs.min() < 0 or xs.max() >= w):
        raise ValueError(f"{what}: a coordinate lies outside the {h}x{w} image")
    mask = np.zeros((h, w), dtype=bool)
    mask[ys, xs] = True
    return mask


def plot_pool(
    image: npt.ArrayLike,
    pool: Sequence[tuple[int, int]] | npt.ArrayLike,
    ax: Axes | None = None,
    *,
    zoom: int | None = None,
) -> Axes:
    """Draw `image` in grey with the pixels of `pool` (the (y, x) pairs that
    velmora_core.get_quadtree_sparse_map returns) tinted orange.

    Draws into `ax` when given, otherwise into a new one-panel figure laid out
    pixel for pixel (magnified `zoom` times). Returns the Axes; its figure is
    ``ax.figure``.
    """
    img = _check_gray_array(image, "image")
    pts = np.asarray(pool, dtype=np.int64).reshape(-1, 2)
    mask = _mask_of(img.shape, pts[:, 0], pts[:, 1], "pool")
    if ax is None:
        _, (ax,) = new_figure(img.shape, 1, zoom)
    k = int(mask.sum())
    _show_gray(ax, img)
    _show_mask(ax, mask, POOL_COLOUR, 0.45)
    _prepare_axes(ax, f"quadtree pool: {k} of {img.size} pixels ({100.0 * k / img.size:.1f}%)")
    return ax


def plot_embedding(
    cover: npt.ArrayLike,
    stego: npt.ArrayLike,
    coords_y: npt.ArrayLike,
    coords_x: npt.ArrayLike,
    ax: Axes | Sequence[Axes] | None = None,
    *,
    zoom: int | None = None,
) -> Figure:
    """Draw an embedding: the cover, the chosen coordinates and the changed pixels.

    `coords_y`, `coords_x` are the rows and columns that embed_with_details
    returns. With ``ax=None`` a new three-panel figure is made (pixel for pixel,
    magnified `zoom` times): the cover; the chosen coordinates in cyan over the
    faded cover; the pixels that the stego image changes, red where raised and
    blue where lowered. A sequence of three Axes receives those panels; a
    single Axes receives them as one overlay. Returns the Figure.
    """
    c = _check_gray_array(cover, "cover")
    s = _check_gray_array(stego, "stego")
    if c.shape != s.shape:
        raise ValueError(f"cover and stego differ in shape: {c.shape} and {s.shape}")
    chosen = _mask_of(c.shape, coords_y, coords_x, "coordinates")
    diff = s.astype(np.int16) - c.astype(np.int16)
    n_chosen = int(chosen.sum())
    n_up, n_down = int((diff > 0).sum()), int((diff < 0).sum())
    changed_title = f"changed pixels: {n_up + n_down} (red +, blue \u2212)"

    if ax is None:
        fig, axes = new_figure(c.shape, 3, zoom)
    elif not hasattr(ax, "imshow"):  # a sequence or array of Axes, as from plt.subplots(1, 3)
        axes = list(np.asarray(ax, dtype=object).ravel())
        if len(axes) != 3:
            raise ValueError(f"ax: expected one Axes or three, got {len(axes)}")
        fig = cast("Figure", axes[0].figure)
    else:
        one = cast("Axes", ax)
        _show_gray(one, c, dim=0.6)
        _show_mask(one, chosen, CHOSEN_COLOUR, 0.6)
        _show_mask(one, diff > 0, PLUS_COLOUR, 1.0)
        _show_mask(one, diff < 0, MINUS_COLOUR, 1.0)
        _prepare_axes(one, f"{n_chosen} chosen (cyan); " + changed_title)
        return cast("Figure", one.figure)

    _show_gray(axes[0], c)
    _prepare_axes(axes[0], f"cover {c.shape[0]}x{c.shape[1]}")
    _show_gray(axes[1], c, dim=0.45)
    _show_mask(axes[1], chosen, CHOSEN_COLOUR, 0.9)
    _prepare_axes(axes[1], f"chosen coordinates: {n_chosen}")
    _show_gray(axes[2], c, dim=0.2)
    _show_mask(axes[2], diff > 0, PLUS_COLOUR, 1.0)
    _show_mask(axes[2], diff < 0, MINUS_COLOUR, 1.0)
    _prepare_axes(axes[2], changed_title)
    return fig


def save_figure(fig: Figure, path: StrPath) -> None:
    """Save `fig` atomically; the format follows the suffix (PNG without one)."""
    path = os.fspath(path)
    fmt = os.path.splitext(path)[1].lstrip(".").lower() or "png"
    if fmt not in fig.canvas.get_supported_filetypes():
        raise ValueError(
            f"{path}: Matplotlib cannot write .{fmt} figures; use .png, .pdf or .svg"
        )
    with atomic_write(path) as f:
        fig.savefig(f, format=fmt, dpi=DPI, facecolor="white")


__all__ = ["auto_zoom", "figure_size", "new_figure", "plot_embedding", "plot_pool", "save_figure"]
