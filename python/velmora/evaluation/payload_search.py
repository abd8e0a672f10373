"""conseal's searches for the Lagrange multiplier of a payload, with the
same arithmetic in fewer passes.

A payload-limited simulator searches for the lambda at which the entropy of
the change probabilities equals the payload: some 25 to 60 evaluations of
that entropy over the whole image per payload, which is most of what a
baseline costs once the cover's costs are kept. conseal evaluates it through
general helpers (lists of arrays stacked into new ones, range checks, NaN
replacement on a copy); the classes here compute every element with the same
floating-point operations in the same order, reuse their buffers, compute
each exponential and logarithm that the helpers compute twice only once, and
sum over an array of the same shape and order as conseal does, so that every
entropy, and hence the lambda found and every stego image, is bit for bit
conseal's. ``tests/python/test_baselines.py`` checks the entropies, the
change rates and the stego images against conseal's own functions.

- ``TernaryObjective``: ``conseal.simulate._optim.average_payload`` for the
  +1 and -1 costs of HILL, S-UNIWARD and WOW, passed to conseal's own search
  (``_ternary.probability(..., objective=...)``).
- ``mipod_change_rates``: ``conseal.mipod._defs.ternary_probs``, the search
  over the Fisher information and the lookup-table inversion of
  ``x log(x - 2)``, written out: conseal has no hook for its entropy.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

FloatArray = npt.NDArray[np.float64]

# ternary_probs's bracket expansion halves or doubles an end until the payload
# lies between the two; a payload above the ternary entropy's maximum (log 3
# nats per pixel) is never bracketed, so conseal's loop would not end. Real
# payloads take a few steps; a thousand halvings reach the smallest doubles.
_MAX_BRACKET_STEPS = 1000


def _sum_entropy_terms(terms: FloatArray) -> Any:
    """``np.nansum`` of the stacked terms, as conseal's ``_entropy`` ends."""
    nan = np.isnan(terms)
    if nan.any():
        terms[nan] = 0.0
    return np.sum(terms)


class TernaryObjective:
    """``average_payload(lbda=..., rhos=...)`` of conseal for two cost maps
    (q = 3: the change probabilities p+ and p- and no change, whose entropy
    in bits is the payload); returns ``((p_plus, p_minus), H)``.

    Every operation with a scalar is written as conseal writes it, so that
    NumPy picks the same precision for it (HILL's costs are float32, the
    others' float64); operations between arrays of one type reuse buffers.
    """

    def __init__(self, rhos: tuple[npt.NDArray[Any], ...]) -> None:
        rho_p, rho_m = rhos
        if rho_p.shape != rho_m.shape:
            raise ValueError("the +1 and -1 cost maps differ in shape")
        self.rhos = (rho_p, rho_m)
        self._stack: npt.NDArray[Any] | None = None
        self._terms: npt.NDArray[Any] | None = None

    def _buffers(self, like: npt.NDArray[Any]) -> tuple[npt.NDArray[Any], npt.NDArray[Any]]:
        if self._stack is None or self._terms is None or self._stack.dtype != like.dtype:
            self._stack = np.empty((3, *like.shape), like.dtype)
            self._terms = np.empty_like(self._stack)
        return self._stack, self._terms

    def __call__(self, *, lbda: float, rhos: Any = None,
                 **unused: Any) -> tuple[tuple[npt.NDArray[Any], npt.NDArray[Any]], Any]:
        rho_p, rho_m = self.rhos
        e_p = np.exp(-lbda * rho_p)
        e_m = np.exp(-lbda * rho_m)
        # get_p: the denominator 1 + exp(-l rho_i) + exp(-l rho_j), the
        # change's own term first; it is at least 1, never the 0 that
        # get_p replaces.
        d = 1 + e_p
        d += e_m
        p_plus = e_p / d
        d = 1 + e_m
        d += e_p
        p_minus = e_m / d
        # entropy(p+, p-): the stack (p+, p-, 1 - (p+ + p-)), values <= 0
        # taken as 1, then -(p log2 p) summed over the stack.
        stack, terms = self._buffers(p_plus)
        stack[0] = p_plus
        stack[1] = p_minus
        np.add(p_plus, p_minus, out=stack[2])
        stack[2] = 1 - stack[2]
        np.copyto(stack, 1, where=stack <= 0)
        np.log2(stack, out=terms)
        np.multiply(stack, terms, out=terms)
        np.negative(terms, out=terms)
        return (p_plus, p_minus), _sum_entropy_terms(terms)


class _MipodEntropy:
    """The ternary entropy in nats, minus the payload, of the change rates
    ``beta = 1 / x`` with ``x log(x - 2) = lambda I`` for the flattened
    Fisher information ``I``, as ternary_probs evaluates it."""

    def __init__(self, fisher_flat: FloatArray, table: FloatArray, excess_iterations: int) -> None:
        self.fisher = fisher_flat
        self.table = table
        self.excess_iterations = excess_iterations
        n = fisher_flat.size
        self._y = np.empty(n)
        self._stack = np.empty((3, n))
        self._terms = np.empty((3, n))
        self._log_base = np.log(np.e)

    def change_rates(self, lbda: float) -> FloatArray:
        """invxlnx3_fast(lbda * I) inverted: the change rate of each pixel."""
        y = np.multiply(self.fisher, lbda, out=self._y)
        large = y > 1000
        small = y <= 1000
        y_small = y[small]
        left = np.floor(y_small / 0.01).astype(int)
        right = left + 1
        right[right > 100000] = 100000
        f = self.table
        x = np.zeros_like(y)
        x[small] = f[left] + (y_small - left * 0.01) * (f[right] - f[left])
        # Beyond the table, the fixed-point iteration z = y / log(z - 2).
        y_large = y[large]
        z = np.subtract(y_large, 2)
        np.log(z, out=z)
        np.divide(y_large, z, out=z)
        step = np.empty_like(z)
        for _ in range(self.excess_iterations):
            np.subtract(z, 2, out=step)
            np.log(step, out=step)
            np.divide(y_large, step, out=z)
        x[large] = z
        return np.divide(1.0, x, out=x)

    def __call__(self, lbda: float, payload: float) -> Any:
        beta = self.change_rates(lbda)
        # entropy(beta, beta, base=e): the stack (beta, beta, 1 - 2 beta),
        # values <= 0 taken as 1, then -(p ln p / ln e) summed over it.
        stack = self._stack
        stack[0] = beta
        stack[1] = beta
        np.add(beta, beta, out=stack[2])
        np.subtract(1.0, stack[2], out=stack[2])
        np.copyto(stack, 1.0, where=stack <= 0)
        terms = self._terms
        np.log(stack[0], out=terms[0])
        np.multiply(stack[0], terms[0], out=terms[0])
        np.divide(terms[0], self._log_base, out=terms[0])
        terms[1] = terms[0]
        np.log(stack[2], out=terms[2])
        np.multiply(stack[2], terms[2], out=terms[2])
        np.divide(terms[2], self._log_base, out=terms[2])
        np.negative(terms, out=terms)
        return _sum_entropy_terms(terms) - payload


def mipod_change_rates(fisher_information: FloatArray, payload: float, table: FloatArray,
                       max_num_iterations: int = 60, excess_values_num_iter: int = 20) -> FloatArray:
    """``ternary_probs(fisher_information, payload, ...)`` of conseal's MiPOD:
    the change rate of each pixel (of +1 and of -1 alike), flattened in
    column-major order; ``table`` is conseal's ``load_lookup_table()``.

    A payload that no lambda reaches (above log 3 nats per pixel, or with the
    whole image wet) raises ``ValueError``, where conseal's loop never ends.
    """
    entropy = _MipodEntropy(np.asarray(fisher_information, dtype=np.float64).flatten(order="F"),
                            np.asarray(table, dtype=np.float64), excess_values_num_iter)
    lo: float = 10**3
    hi: float = 10**6
    f_lo = entropy(lo, payload)
    f_hi = entropy(hi, payload)
    steps = 0
    while f_lo * f_hi > 0:
        steps += 1
        if steps > _MAX_BRACKET_STEPS or lo == 0:
            raise ValueError(f"MiPOD cannot reach a payload of {payload / np.log(2):g} bits in this cover")
        if f_lo > 0:
            hi = 2 * hi
            f_hi = entropy(hi, payload)
        else:
            lo = lo / 2
            f_lo = entropy(lo, payload)
    i = 0
    f_mid: Any = 1
    history = np.zeros((max_num_iterations, 2))
    mid = lo
    while np.abs(f_mid) > 0.0001 and i < max_num_iterations:
        mid = (lo + hi) / 2
        f_mid = entropy(mid, payload)
        if f_lo * f_mid < 0:
            hi, f_hi = mid, f_mid
        else:
            lo, f_lo = mid, f_mid
        history[i, 0] = f_mid
        history[i, 1] = mid
        i += 1
    if i == max_num_iterations:
        mid = history[np.argmin(np.abs(history[:, 0])), 1]
    return entropy.change_rates(mid).copy()
