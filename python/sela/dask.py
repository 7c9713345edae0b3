"""Exact reductions of dask arrays: the same bits for every chunking and scheduler.

    import dask.array as da
    import sela.dask

    x = da.from_array(data, chunks=1000)
    sela.dask.sum(x).compute()        # == sela.sum(data, "exact"), to the bit
    sela.dask.mean(x, axis=0)         # lazy: a dask array, like dask's own reductions

sum, mean, var, std and dot are tree reductions of exact accumulators: each chunk's
elements go into one accumulator per output element, whose record (1088 bytes) travels
between tasks, processes and machines as bytes and merges exactly, and the merged record
is rounded once at the end. The result depends only on the values, never on the chunks,
the tree of merges or the scheduler: .compute() gives the bits sela.sum, mean, var, std
and dot give for the computed numpy array. Methods whose result depends on the order of
the elements are refused, since their bits would change with the chunking.

cumsum carries records along the axis instead: each chunk's running sums continue from
the merged records of the chunks before it, so every element is its prefix's exact sum
rounded once, the bits of sela.cumsum of the computed array.

Needs dask (Debian: python3-dask); imported only on request, never by `import sela`.
"""

from __future__ import annotations

import functools
import math
import operator
import warnings
from typing import Any, Optional, SupportsIndex, Tuple, Union

try:
    import dask.array as da
    import numpy as np
except ImportError as e:  # pragma: no cover - depends on the machine
    raise ImportError(f"sela.dask needs dask and numpy (Debian: python3-dask): {e}") from e

from . import _sela

# sum is left out, as in the sela package: `from sela.dask import *` keeps the built-in.
__all__ = ["mean", "var", "std", "dot", "cumsum", "RECORD"]

Axis = Union[None, SupportsIndex, Tuple[SupportsIndex, ...]]

# One accumulator record per element of an intermediate array.
RECORD = np.dtype((np.void, len(bytes(_sela.Accumulator()))))
_FLOAT = np.dtype(np.float64)


def _refuse_order_dependent(what: str, method: object) -> None:
    if method != "exact":
        raise ValueError(
            f"sela.dask.{what}: method {method!r} gives a result that depends on the order in "
            "which the elements are added, so its bits would change with the chunking and the "
            "tree of the reduction; only method='exact' is offered for dask arrays")


def _as_dask(a: Any, what: str) -> da.Array:
    a = da.asarray(a)
    if a.dtype.kind not in "biuf":
        raise TypeError(f"sela.dask.{what}: expected real numbers, got an array of dtype {a.dtype}")
    return a


def _axes(axis: Axis, ndim: int) -> Tuple[int, ...]:
    if axis is None:
        return tuple(range(ndim))
    axes = axis if isinstance(axis, tuple) else (axis,)
    out = []
    for ax in axes:
        ax = operator.index(ax)
        if not -ndim <= ax < ndim:
            raise np.AxisError(ax, ndim)
        out.append(ax % ndim)
    if len(set(out)) != len(out):
        raise ValueError("duplicate value in 'axis'")
    return tuple(sorted(out))


def _moved(x: np.ndarray, axis: Tuple[int, ...]) -> Tuple[np.ndarray, list, int, int]:
    """x with the kept axes first (a view), the kept axes, rows and elements per row."""
    kept = [d for d in range(x.ndim) if d not in axis]
    moved = np.transpose(x, kept + list(axis))
    rows = math.prod(x.shape[d] for d in kept)
    return moved, kept, rows, math.prod(x.shape[d] for d in axis)


def _keepdims_shape(shape: Tuple[int, ...], axis: Tuple[int, ...]) -> Tuple[int, ...]:
    return tuple(1 if d in axis else s for d, s in enumerate(shape))


# ---- Task functions (module level, so that every scheduler can pickle them) -----------

def _chunk_records(x: np.ndarray, axis: Tuple[int, ...], keepdims: bool = True,
                   **kwargs: Any) -> np.ndarray:
    """One record per output element holding the chunk's elements along `axis`."""
    moved, kept, rows, _ = _moved(x, axis)
    out = np.empty(rows, dtype=RECORD)
    if rows:
        _sela._reduce_rows(moved, len(kept), out.view(np.uint8), 0, None)
    return out.reshape(_keepdims_shape(x.shape, axis))


def _square_records(x: np.ndarray, means: np.ndarray, axis: Tuple[int, ...]) -> np.ndarray:
    """One record per output element holding the squares of the rounded differences of
    the chunk's elements from their mean (means has the reduced axes of length 1)."""
    moved, kept, rows, _ = _moved(x, axis)
    centers = np.ascontiguousarray(np.broadcast_to(means, _keepdims_shape(x.shape, axis)),
                                   dtype=np.float64).reshape(-1)
    out = np.empty(rows, dtype=RECORD)
    if rows:
        _sela._reduce_rows(moved, len(kept), out.view(np.uint8), 0, centers)
    return out.reshape(_keepdims_shape(x.shape, axis))


def _product_records(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    acc = _sela.Accumulator()
    acc.add_products(x, y)
    return np.frombuffer(bytes(acc), dtype=RECORD).copy()


def _identity(x: np.ndarray, axis: Tuple[int, ...], keepdims: bool = True, **kwargs: Any) -> np.ndarray:
    return x


def _merge(x: np.ndarray, axis: Tuple[int, ...]) -> np.ndarray:
    """The records of x merged along `axis`, one per remaining element (C order)."""
    moved, kept, rows, k = _moved(x, axis)
    src = np.ascontiguousarray(moved)
    out = np.empty(rows, dtype=RECORD)
    if rows and k:
        _sela._merge_rows(src.view(np.uint8), k, out.view(np.uint8))
    elif rows:
        out[:] = np.frombuffer(bytes(_sela.Accumulator()), dtype=RECORD)[0]
    return out


def _combine(x: np.ndarray, axis: Tuple[int, ...], keepdims: bool = True, **kwargs: Any) -> np.ndarray:
    return _merge(x, axis).reshape(_keepdims_shape(x.shape, axis))


def _finish(x: np.ndarray, axis: Tuple[int, ...], keepdims: bool = False, divisor: int = 0,
            empty: Optional[str] = None, zero_dof: Optional[str] = None, root: bool = False,
            **kwargs: Any) -> np.ndarray:
    """The merged records rounded (divided by divisor unless it is 0). `empty` warns and
    gives nan when there were no elements; `zero_dof` warns when the divisor is not
    positive (numpy's values: inf, or nan for zero squares)."""
    merged = _merge(x, axis)
    out = np.empty(merged.shape[0], dtype=np.float64)
    if empty is not None:
        warnings.warn(empty, RuntimeWarning, stacklevel=2)
        out.fill(math.nan)
    elif zero_dof is not None:
        warnings.warn(zero_dof, RuntimeWarning, stacklevel=2)
        _sela._round_records(merged.view(np.uint8), out, 0)
        out[:] = np.where(out > 0, math.inf, math.nan)
    else:
        _sela._round_records(merged.view(np.uint8), out, divisor)
    if root:
        out = np.sqrt(out)
    shape = _keepdims_shape(x.shape, axis) if keepdims else tuple(
        s for d, s in enumerate(x.shape) if d not in axis)
    return out.reshape(shape)


def _merged_pair(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """The records of a, each merged with the record of b at the same place."""
    out = np.ascontiguousarray(a).copy()
    if out.size:
        _sela._merge_into(out.view(np.uint8), np.ascontiguousarray(b).view(np.uint8))
    return out


def _empty_records(x: np.ndarray, axis: int) -> np.ndarray:
    """One empty record for each row of x along axis (axis of length 1)."""
    shape = tuple(1 if d == axis else s for d, s in enumerate(x.shape))
    out = np.empty(shape, dtype=RECORD)
    out[...] = np.frombuffer(bytes(_sela.Accumulator()), dtype=RECORD)[0]
    return out


def _chunk_cumsum(x: np.ndarray, starts: np.ndarray, axis: int) -> np.ndarray:
    """The running sums of x along axis, each row continued from its record in starts."""
    out = np.empty(x.shape, dtype=np.float64)
    if out.size:
        records = np.ascontiguousarray(np.moveaxis(starts, axis, -1)).reshape(-1)
        _sela._cumsum_rows(np.moveaxis(x, axis, -1), x.ndim - 1, np.moveaxis(out, axis, -1),
                           records.view(np.uint8))
    return out


# ---- The reductions ------------------------------------------------------------------

def _tree(records: da.Array, axis: Tuple[int, ...], keepdims: bool, name: str, **finish: Any) -> da.Array:
    """Merges a dask array of records along `axis` in a tree and rounds at the root."""
    out_ndim = records.ndim if keepdims else records.ndim - len(axis)
    return da.reduction(records, _identity, functools.partial(_finish, **finish), axis=axis,
                        keepdims=keepdims, dtype=_FLOAT, combine=_combine, concatenate=True,
                        meta=np.empty((0,) * out_ndim, dtype=_FLOAT), name="sela-" + name)


def _records(a: da.Array, axis: Tuple[int, ...]) -> da.Array:
    chunks = tuple((1,) * len(c) if d in axis else c for d, c in enumerate(a.chunks))
    return da.map_blocks(_chunk_records, a, axis=axis, dtype=RECORD, chunks=chunks,
                         meta=np.empty((0,) * a.ndim, dtype=RECORD), name="sela-records")


def _count(a: da.Array, axis: Tuple[int, ...]) -> int:
    n = math.prod(a.shape[d] for d in axis)
    if n != n:  # unknown chunk sizes
        raise ValueError("sela.dask needs arrays of known shape (call compute_chunk_sizes())")
    return int(n)


def sum(a: Any, axis: Axis = None, method: str = "exact", *, keepdims: bool = False) -> da.Array:
    """The exact sum along axis (all axes by default), correctly rounded, as a lazy dask
    array; .compute() gives the bits of sela.sum(computed array, "exact", axis=axis)."""
    _refuse_order_dependent("sum", method)
    a = _as_dask(a, "sum")
    axes = _axes(axis, a.ndim)
    return _tree(_records(a, axes), axes, keepdims, name="sum")


def mean(a: Any, axis: Axis = None, *, keepdims: bool = False) -> da.Array:
    """The exact mean along axis: the exact sum divided by the count, rounded once; the
    bits of sela.mean of the computed array (nan with a RuntimeWarning when empty)."""
    a = _as_dask(a, "mean")
    axes = _axes(axis, a.ndim)
    n = _count(a, axes)
    empty = "Mean of empty slice" if n == 0 else None
    return _tree(_records(a, axes), axes, keepdims, divisor=n, empty=empty, name="mean")


def _var(a: Any, axis: Axis, ddof: SupportsIndex, keepdims: bool, root: bool, what: str) -> da.Array:
    a = _as_dask(a, what)
    ddof = operator.index(ddof)
    axes = _axes(axis, a.ndim)
    n = _count(a, axes)
    means = mean(a, axes, keepdims=True)
    chunks = tuple((1,) * len(c) if d in axes else c for d, c in enumerate(a.chunks))
    squares = da.map_blocks(_square_records, a, means, axis=axes, dtype=RECORD, chunks=chunks,
                            meta=np.empty((0,) * a.ndim, dtype=RECORD), name="sela-squares")
    empty = "Mean of empty slice" if n == 0 else None
    zero_dof = "Degrees of freedom <= 0 for slice" if n and n <= ddof else None
    return _tree(squares, axes, keepdims, divisor=n - ddof if n > ddof else 0, empty=empty,
                 zero_dof=zero_dof, root=root, name=what)


def var(a: Any, axis: Axis = None, *, ddof: SupportsIndex = 0, keepdims: bool = False) -> da.Array:
    """The exact variance along axis (the mean first, then the exact sum of the squares of
    the rounded differences divided by n - ddof, rounded once); the bits of sela.var of
    the computed array."""
    return _var(a, axis, ddof, keepdims, False, "var")


def std(a: Any, axis: Axis = None, *, ddof: SupportsIndex = 0, keepdims: bool = False) -> da.Array:
    """The square root of var; the bits of sela.std of the computed array."""
    return _var(a, axis, ddof, keepdims, True, "std")


def dot(a: Any, b: Any, method: str = "exact") -> da.Array:
    """The exact dot product of two one-dimensional arrays of equal length, rounded once;
    the bits of sela.dot of the computed arrays."""
    _refuse_order_dependent("dot", method)
    a, b = _as_dask(a, "dot"), _as_dask(b, "dot")
    if a.ndim != 1 or b.ndim != 1:
        raise ValueError("sela.dask.dot takes one-dimensional arrays")
    if a.shape != b.shape:
        raise ValueError(f"x and y have different lengths ({a.shape[0]} and {b.shape[0]})")
    b = b.rechunk(a.chunks)
    records = da.map_blocks(_product_records, a, b, dtype=RECORD, chunks=((1,) * a.numblocks[0],),
                            meta=np.empty((0,), dtype=RECORD), name="sela-products")
    return _tree(records, (0,), False, name="dot")


def cumsum(a: Any, axis: Optional[SupportsIndex] = None) -> da.Array:
    """The running exact sums along axis (all elements in C order, flattened, for None),
    as a lazy dask array; .compute() gives the bits of sela.cumsum(computed array, axis)
    for any chunking and scheduler.

    Each chunk's rows continue from the merged records of the chunks before it along the
    axis: one record per row and chunk, an exclusive scan of merges along the axis (a
    chain of small tasks), then each chunk's running sums from its starting records.
    """
    a = _as_dask(a, "cumsum")
    if axis is None:
        a = a.reshape(-1)
        axis = 0
    (axis,) = _axes(operator.index(axis), a.ndim)
    if any(c != c for c in a.chunks[axis]):
        raise ValueError("sela.dask needs arrays of known shape (call compute_chunk_sizes())")
    records = _records(a, (axis,))
    offsets = [0]
    for c in a.chunks[axis]:
        offsets.append(offsets[-1] + c)

    def along(x: da.Array, j: int, k: int) -> da.Array:
        return x[tuple(slice(j, k) if d == axis else slice(None) for d in range(x.ndim))]

    meta = np.empty((0,) * a.ndim, dtype=RECORD)
    start = da.map_blocks(_empty_records, along(records, 0, 1), axis=axis, dtype=RECORD, meta=meta,
                          name="sela-cumsum-start")
    parts = []
    for j in range(len(a.chunks[axis])):
        if j > 0:
            start = da.map_blocks(_merged_pair, start, along(records, j - 1, j), dtype=RECORD, meta=meta,
                                  name="sela-cumsum-carry")
        parts.append(da.map_blocks(_chunk_cumsum, along(a, offsets[j], offsets[j + 1]), start, axis=axis,
                                   dtype=_FLOAT, meta=np.empty((0,) * a.ndim, dtype=_FLOAT),
                                   name="sela-cumsum"))
    return da.concatenate(parts, axis=axis) if parts else a.astype(_FLOAT)
