"""Exact and accurate reductions of arrays of doubles.

Every function takes numpy arrays (any real dtype and layout), array.array, any buffer of
numbers, lists or other iterables of real numbers, and returns the library's double to
the bit. Inputs that are not real numbers raise TypeError; two arrays of different
lengths raise ValueError. The interpreter lock is released while the library works on
long inputs, so threads summing different arrays run in parallel.

    >>> import sela
    >>> sela.fsum([0.1] * 10)
    1.0
    >>> sela.sum([1e100, 1.0, -1e100])
    1.0
"""

import operator

from ._sela import (
    Accumulator,
    __version__,
    centered_cosine_similarity,
    centered_cross_product,
    centered_projection_coefficient,
    centered_sum_squares,
    condition_number,
    dot2,
    dot_exact,
    dot_k,
    dot_naive,
    fsum,
    mean_scaled,
    norm_scaled,
    sum_acc,
    sum_exact,
    sum_k,
    sum_kahan,
    sum_klein,
    sum_naive,
    sum_near,
    sum_neumaier,
    sum_oro,
    sum_pairwise,
    sum_pairwise_iterative,
    sum_shewchuk,
    two_sum,
)
from . import _sela
from .gensum import gensum

# The methods of sum() and dot(), from the one table the command-line tool reads too: the
# same names give the same bits there ("k" is the K-fold, as k="..." or "k:N"; aliases
# such as "oro" for "sum2" are accepted as well).
SUM_METHODS = _sela._method_names("sum")
DOT_METHODS = _sela._method_names("dot")


def sum(a, method="exact", *, axis=None, k=None):
    """Sum of a with the given method (one of SUM_METHODS; "k" needs k=, or write "k:3").

    axis=None sums all elements in C order and returns a float. With numpy installed,
    axis (an int or a tuple of ints, negative counting from the end) sums along those
    axes and returns an ndarray (a numpy float64 when every axis is reduced), as
    numpy.sum does; the result is always float64.
    """
    number, order = _sela._find_method("sum", method, k)
    if axis is None:
        return _sela._sum(number, a, order)
    return _sum_axis(a, number, axis, order)


def dot(x, y, method="exact", *, k=None):
    """Dot product of x and y with the given method (one of DOT_METHODS; "k" needs k=)."""
    number, order = _sela._find_method("dot", method, k)
    return _sela._dot(number, x, y, order)


def _normalize_axes(axis, ndim, np):
    axes = axis if isinstance(axis, tuple) else (axis,)
    axis_error = getattr(np, "AxisError", None) or np.exceptions.AxisError
    out = []
    for ax in axes:
        ax = operator.index(ax)
        if not -ndim <= ax < ndim:
            raise axis_error(ax, ndim)
        out.append(ax % ndim)
    if len(set(out)) != len(out):
        raise ValueError("duplicate value in 'axis'")
    return tuple(out)


def _sum_axis(a, method_number, axis, order):
    try:
        import numpy as np
    except ImportError:
        raise ModuleNotFoundError("sum(..., axis=...) needs numpy") from None
    a = np.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"expected real numbers, got an array of dtype {a.dtype}")
    axes = _normalize_axes(axis, a.ndim, np)
    kept = [d for d in range(a.ndim) if d not in axes]
    out_shape = tuple(a.shape[d] for d in kept)
    moved = np.transpose(a, kept + list(axes))
    rows = 1
    for s in out_shape:
        rows *= s
    cols = 1
    for d in axes:
        cols *= a.shape[d]
    # numpy converts to float64 here, exactly as astype does.
    src = np.ascontiguousarray(moved, dtype=np.float64).reshape(rows, cols)
    out = np.empty(rows, dtype=np.float64)
    _sela._sum_rows(method_number, src, out, order)
    out = out.reshape(out_shape)
    return out[()] if out.ndim == 0 else out


__all__ = [
    "__version__", "Accumulator", "sum", "dot", "fsum", "gensum", "SUM_METHODS", "DOT_METHODS",
    "sum_naive", "sum_pairwise", "sum_pairwise_iterative", "sum_kahan", "sum_neumaier",
    "sum_klein", "sum_shewchuk", "sum_exact", "sum_oro", "sum_k", "sum_acc", "sum_near",
    "condition_number", "dot_exact", "dot_naive", "dot2", "dot_k", "norm_scaled",
    "mean_scaled", "centered_sum_squares", "centered_cross_product",
    "centered_cosine_similarity", "centered_projection_coefficient", "two_sum",
]
