"""Exact and accurate reductions of arrays of doubles.

Every function takes numpy arrays (any real dtype and layout), array.array, any buffer of
numbers, lists or other iterables of real numbers, and returns the library's double to
the bit. Inputs that are not real numbers raise TypeError; two arrays of different
lengths raise ValueError. The interpreter lock is released while the library works on
long inputs, so threads summing different arrays run in parallel.

The exact reductions (sum(x, "exact"), dot(x, y, "exact"), mean, var, std and the
Accumulator) depend only on the values, never on their order or on how they are split:
arrays of another dtype or layout are read in bounded blocks, never copied whole.

    >>> import sela
    >>> sela.fsum([0.1] * 10)
    1.0
    >>> sela.sum([1e100, 1.0, -1e100])
    1.0
    >>> sela.mean([1e308, 1e308, 1e308])
    1e+308
    >>> float(sela.cumsum([0.1] * 10)[-1])
    1.0
"""

from __future__ import annotations

import math
import operator
import warnings
from typing import TYPE_CHECKING, Optional, SupportsIndex, Tuple, Union

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

if TYPE_CHECKING:
    import numpy

    from ._sela import ArrayLike

Axis = Union[None, SupportsIndex, Tuple[SupportsIndex, ...]]

# The methods of sum() and dot(), from the one table the command-line tool reads too: the
# same names give the same bits there ("k" is the K-fold, as k=... or "k:N"; aliases
# such as "oro" for "sum2" are accepted as well).
SUM_METHODS = _sela._method_names("sum")
DOT_METHODS = _sela._method_names("dot")
_SUM_EXACT = SUM_METHODS.index("exact")
_DOT_EXACT = DOT_METHODS.index("exact")


def sum(a: ArrayLike, method: str = "exact", *, axis: Axis = None,
        k: Optional[SupportsIndex] = None) -> Union[float, numpy.ndarray]:
    """Sum of a with the given method (one of SUM_METHODS; "k" needs k=, or write "k:3").

    The default, "exact", is the exact sum correctly rounded (nearest, ties to even): an
    infinity only where the exact sum lies beyond the float range, nan for inf - inf. It
    depends only on the values, never on their order or chunking (unlike fsum, which
    raises where math.fsum raises).

    axis=None sums all elements in C order and returns a float. With numpy installed,
    axis (an int or a tuple of ints, negative counting from the end) sums along those
    axes and returns an ndarray (a numpy float64 when every axis is reduced), as
    numpy.sum does; the result is always float64. The exact method reads any dtype and
    layout in bounded blocks; the others convert the array to float64 first.
    """
    number, order = _sela._find_method("sum", method, k)
    if axis is None:
        if number == _SUM_EXACT:
            return sum_exact(a)
        return _sela._sum(number, a, order)
    if number == _SUM_EXACT:
        return _reduce(a, axis, False, _exact_rows)
    return _sum_axis(a, number, axis, order)


def dot(x: ArrayLike, y: ArrayLike, method: str = "exact", *,
        k: Optional[SupportsIndex] = None) -> float:
    """Dot product of x and y with the given method (one of DOT_METHODS; "k" needs k=)."""
    number, order = _sela._find_method("dot", method, k)
    if number == _DOT_EXACT:
        return dot_exact(x, y)
    return _sela._dot(number, x, y, order)


def _numpy(what):
    try:
        import numpy as np
    except ImportError:
        raise ModuleNotFoundError(f"{what} needs numpy") from None
    return np


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


def _as_real_array(a, np):
    a = np.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"expected real numbers, got an array of dtype {a.dtype}")
    return a


def _reduce(a, axis, keepdims, rows_fn):
    """An axis reduction: a (any real dtype and layout, never copied) seen with the kept
    axes first and the reduced ones last; rows_fn(moved, nkept, count) gives one float64
    per combination of the kept axes, reducing `count` elements each."""
    np = _numpy("axis=")
    a = _as_real_array(a, np)
    axes = tuple(range(a.ndim)) if axis is None else _normalize_axes(axis, a.ndim, np)
    kept = [d for d in range(a.ndim) if d not in axes]
    moved = np.transpose(a, kept + list(axes))  # a view
    count = 1
    for d in axes:
        count *= a.shape[d]
    out = rows_fn(moved, len(kept), count)
    if keepdims:
        out = out.reshape(tuple(1 if d in axes else a.shape[d] for d in range(a.ndim)))
    else:
        out = out.reshape(tuple(a.shape[d] for d in kept))
    return out[()] if out.ndim == 0 else out


def _rows_out(moved, nkept):
    import numpy as np
    rows = 1
    for s in moved.shape[:nkept]:
        rows *= s
    return np.empty(rows, dtype=np.float64)


def _exact_rows(moved, nkept, count):
    out = _rows_out(moved, nkept)
    _sela._reduce_rows(moved, nkept, out, 0, None)
    return out


def _mean_rows(moved, nkept, count):
    out = _rows_out(moved, nkept)
    if count == 0:
        _empty_warning("Mean of empty slice")
        out.fill(math.nan)
    else:
        _sela._reduce_rows(moved, nkept, out, count, None)
    return out


def _var_rows(ddof):
    def rows(moved, nkept, count):
        means = _mean_rows(moved, nkept, count)
        out = _rows_out(moved, nkept)
        if count == 0:
            out.fill(math.nan)
        elif count > ddof:
            _sela._reduce_rows(moved, nkept, out, count - ddof, means)
        else:
            _empty_warning("Degrees of freedom <= 0 for slice")
            _sela._reduce_rows(moved, nkept, out, 0, means)
            out[:] = [math.inf if v > 0 else math.nan for v in out.tolist()]
        return out
    return rows


def _empty_warning(message):
    warnings.warn(message, RuntimeWarning, stacklevel=4)


def _ddof(ddof):
    try:
        return operator.index(ddof)
    except TypeError:
        raise TypeError(f"ddof must be an integer, not {type(ddof).__name__}") from None


def mean(a: ArrayLike, axis: Axis = None, *, keepdims: bool = False) -> Union[float, numpy.ndarray]:
    """The exact mean: the exact sum divided by the count, rounded once (nearest, ties to
    even), even where the sum itself lies beyond the float range (the mean of three
    1e308 is 1e308).

    It depends only on the values, never on their order or on how they are chunked, so a
    dask or xarray reduction of the same values gives the same bits (sela.dask,
    sela.xarray). A NaN gives nan, +inf and -inf together nan, one infinity that
    infinity. axis and keepdims as numpy.mean has them (axis needs numpy); the result is
    float64 (a float for axis=None). An empty input gives nan with a RuntimeWarning, as
    numpy does.
    """
    if axis is None and not keepdims:
        value, n = _sela._mean(a)
        if n == 0:
            _empty_warning("Mean of empty slice")
        return value
    return _reduce(a, axis, keepdims, _mean_rows)


def var(a: ArrayLike, axis: Axis = None, *, ddof: SupportsIndex = 0,
        keepdims: bool = False) -> Union[float, numpy.ndarray]:
    """The exact variance: with m the exact mean (rounded once), the exact sum of the
    squares of the rounded differences x - m, divided by n - ddof and rounded once.

    Each square keeps every bit of weight 2**-1075 and above, as dot_exact keeps products.
    The result depends only on the values, never on their order or on how they are
    chunked. ddof is an integer; where n - ddof <= 0 the result is inf (nan for zero
    squares) with a RuntimeWarning, and an empty input gives nan, as numpy does. A result
    beyond the float range is inf. axis and keepdims as numpy.var has them (axis needs
    numpy); the result is float64 (a float for axis=None).
    """
    ddof = _ddof(ddof)
    if axis is None and not keepdims:
        value, n = _sela._var(a, ddof)
        if n == 0:
            _empty_warning("Mean of empty slice")
        elif n <= ddof:
            _empty_warning("Degrees of freedom <= 0 for slice")
        return value
    return _reduce(a, axis, keepdims, _var_rows(ddof))


def std(a: ArrayLike, axis: Axis = None, *, ddof: SupportsIndex = 0,
        keepdims: bool = False) -> Union[float, numpy.ndarray]:
    """The square root of var(a, axis, ddof=ddof): the exact variance rounded once, then
    its square root rounded once. Like var it depends only on the values, never on their
    order or chunking; inf where the variance lies beyond the float range.
    """
    v = var(a, axis, ddof=ddof, keepdims=keepdims)
    if type(v) is float:
        return math.sqrt(v) if v == v else v
    import numpy as np
    return np.sqrt(v)


def cumsum(a: ArrayLike, axis: Optional[SupportsIndex] = None) -> Union[numpy.ndarray, list]:
    """The running exact sums: element i is the exact sum of the elements up to and
    including i, correctly rounded (nearest, ties to even), bit for bit sum(prefix) with
    the default method.

    So no round-off accumulates along the series, and the result depends only on the
    values: a series cut into chunks (sela.dask.cumsum) gives the same bits. A NaN gives
    nan from there on, +inf and -inf together nan, one infinity that infinity; a prefix
    beyond the float range is +-inf, and later elements may bring the running value back.

    As numpy.cumsum: axis=None runs over all elements in C order and returns a
    one-dimensional array; an int axis (negative counting from the end) runs along that
    axis of an n-dimensional array and returns an array of its shape. Any real dtype and
    layout is read in bounded blocks; the result is always float64. Without numpy, an
    input with axis=None gives a list of floats.
    """
    try:
        import numpy as np
    except ImportError:
        if axis is not None:
            raise ModuleNotFoundError("cumsum(..., axis=...) needs numpy") from None
        return _sela._cumsum_list(a)
    if axis is None and not isinstance(a, np.ndarray) and not _is_buffer(a):
        # Lists and other iterables, their items read as float() reads them.
        return np.array(_sela._cumsum_list(a), dtype=np.float64)
    a = _as_real_array(a, np)
    if axis is None:
        out = np.empty(a.size, dtype=np.float64)
        if a.size:
            _sela._cumsum_rows(a, 0, out, None)
        return out
    (ax,) = _normalize_axes(operator.index(axis), a.ndim, np)
    out = np.empty(a.shape, dtype=np.float64)
    if out.size:
        _sela._cumsum_rows(np.moveaxis(a, ax, -1), a.ndim - 1, np.moveaxis(out, ax, -1), None)
    return out


def _is_buffer(a):
    try:
        memoryview(a)
    except TypeError:
        return False
    return True


def _sum_axis(a, method_number, axis, order):
    np = _numpy("sum(..., axis=...)")
    a = _as_real_array(a, np)
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


# `from sela import *` brings the library's names without replacing built-ins: sum stays
# reachable as sela.sum.
__all__ = [
    "__version__", "Accumulator", "cumsum", "dot", "fsum", "gensum", "mean", "var", "std",
    "SUM_METHODS", "DOT_METHODS",
    "sum_naive", "sum_pairwise", "sum_pairwise_iterative", "sum_kahan", "sum_neumaier",
    "sum_klein", "sum_shewchuk", "sum_exact", "sum_oro", "sum_k", "sum_acc", "sum_near",
    "condition_number", "dot_exact", "dot_naive", "dot2", "dot_k", "norm_scaled",
    "mean_scaled", "centered_sum_squares", "centered_cross_product",
    "centered_cosine_similarity", "centered_projection_coefficient", "two_sum",
]
