"""Writes the two constant tables of MiPOD that the engine embeds, from
conseal (the field's reference implementation, which the differential tests
compare with):

- src/baselines/data/ixlnx3.f64: the lookup table of x log(x - 2) that
  conseal.mipod._defs.load_lookup_table() loads (ixlnx3.mat, from the MiPOD
  authors' Matlab release), 100,001 doubles;
- src/baselines/data/mipod_projection.f64: the 81 x 81 projection
  I - G (G'G)^-1 G' onto the residual space of the 45 two-dimensional DCT
  basis vectors of a 9 x 9 block, as conseal.mipod._costmap.estimate_variance
  computes it (P_G_orth), row-major.

Both are raw little-endian float64. Run once, with conseal installed:

    python tools/make_mipod_tables.py
"""

from __future__ import annotations

import os
import sys

import numpy as np


def projection() -> np.ndarray:
    from conseal import tools

    block_size, degree = 9, 9
    q = degree * (degree + 1) // 2
    base = np.zeros((block_size, block_size))
    base[0, 0] = 1
    G = np.zeros((block_size**2, q))
    k = 0
    for xshift in range(degree):
        for yshift in range(degree - xshift):
            G[:, k] = tools.dct.idct2(np.roll(base, shift=(xshift, yshift), axis=(0, 1))).flatten(order="F")
            k += 1
    x = np.linalg.solve(G.T @ G, G.T)
    return np.eye(block_size**2) - (G @ x)


def main() -> int:
    from conseal.mipod import _defs

    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "src", "baselines", "data")
    table = np.ascontiguousarray(_defs.load_lookup_table(), dtype="<f8")
    assert table.shape == (100001,)
    table.tofile(os.path.join(out, "ixlnx3.f64"))
    p = np.ascontiguousarray(projection(), dtype="<f8")
    assert p.shape == (81, 81)
    p.tofile(os.path.join(out, "mipod_projection.f64"))
    print(f"wrote {out}/ixlnx3.f64 and mipod_projection.f64")
    return 0


if __name__ == "__main__":
    sys.exit(main())
