"""Exact reductions of xarray objects: `import sela.xarray` registers `.sela`.

    import xarray as xr
    import sela.xarray  # noqa: F401

    field = xr.DataArray(np.full((128, 128, 128), 1.9), dims=("x", "y", "z"))
    field.chunk({"x": 16}).sela.sum()    # the same bits for every chunking
    ds.sela.mean(dim="time")             # on every numeric variable of a Dataset

DataArray.sela and Dataset.sela offer sum, mean, var and std (dim=None: all dimensions;
a name or a sequence of names), on numpy-backed data through sela.sum/mean/var/std and on
dask-backed data through sela.dask, lazily. They keep the coordinates and names as
xarray's own reductions do (they are xarray reductions, DataArray.reduce and
Dataset.reduce, with sela's functions), and their results depend only on the values,
never on the chunks: the exact sum correctly rounded, the exact mean, the exact variance
(see sela.var) and its square root.

Needs xarray (Debian: python3-xarray), and dask for chunked data (python3-dask).
"""

from __future__ import annotations

from typing import Any, Callable, Hashable, Iterable, Optional, Union

try:
    import xarray as xr
except ImportError as e:  # pragma: no cover - depends on the machine
    raise ImportError(f"sela.xarray needs xarray (Debian: python3-xarray): {e}") from e

import sela

__all__ = ["DataArrayAccessor", "DatasetAccessor"]

Dims = Union[None, Hashable, Iterable[Hashable]]


def _is_dask(data: Any) -> bool:
    module = type(data).__module__
    return module.startswith("dask.")


def _reducer(name: str, **fixed: Any) -> Callable[..., Any]:
    """A function of (data, axis=None) for DataArray.reduce: sela's numpy reduction, or
    sela.dask's for dask arrays."""
    def reduce(data: Any, axis: Any = None, **kwargs: Any) -> Any:
        # Dataset.reduce also passes the variables that lack the dimensions reduced, with no
        # axes: their values are their own sums and means (kept as they are, as xarray's
        # own reductions keep them, whatever their type).
        if axis == () and (name in ("sum", "mean") or getattr(data, "dtype", None) is None
                           or data.dtype.kind not in "biuf"):
            return data
        if _is_dask(data):
            from . import dask as sela_dask
            return getattr(sela_dask, name)(data, axis=axis, **fixed, **kwargs)
        if name == "sum":
            return sela.sum(data, "exact", axis=axis if axis is not None else tuple(range(data.ndim)))
        return getattr(sela, name)(data, axis=axis if axis is not None else tuple(range(data.ndim)),
                                   **fixed, **kwargs)
    reduce.__name__ = name
    return reduce


class _Accessor:
    def __init__(self, obj: Any) -> None:
        self._obj = obj

    def _reduce(self, name: str, dim: Dims, keep_attrs: Optional[bool], **fixed: Any) -> Any:
        raise NotImplementedError

    def sum(self, dim: Dims = None, *, keep_attrs: Optional[bool] = None) -> Any:
        """The exact sum over dim (all dimensions by default), correctly rounded."""
        return self._reduce("sum", dim, keep_attrs)

    def mean(self, dim: Dims = None, *, keep_attrs: Optional[bool] = None) -> Any:
        """The exact mean over dim: the exact sum divided by the count, rounded once."""
        return self._reduce("mean", dim, keep_attrs)

    def var(self, dim: Dims = None, *, ddof: int = 0, keep_attrs: Optional[bool] = None) -> Any:
        """The exact variance over dim (see sela.var)."""
        return self._reduce("var", dim, keep_attrs, ddof=ddof)

    def std(self, dim: Dims = None, *, ddof: int = 0, keep_attrs: Optional[bool] = None) -> Any:
        """The square root of the exact variance over dim."""
        return self._reduce("std", dim, keep_attrs, ddof=ddof)


@xr.register_dataarray_accessor("sela")
class DataArrayAccessor(_Accessor):
    """Exact reductions of a DataArray: da.sela.sum(dim), mean, var, std."""

    def _reduce(self, name: str, dim: Dims, keep_attrs: Optional[bool], **fixed: Any) -> Any:
        return self._obj.reduce(_reducer(name, **fixed), dim=dim, keep_attrs=keep_attrs)


@xr.register_dataset_accessor("sela")
class DatasetAccessor(_Accessor):
    """Exact reductions of every numeric variable of a Dataset: ds.sela.sum(dim), ..."""

    def _reduce(self, name: str, dim: Dims, keep_attrs: Optional[bool], **fixed: Any) -> Any:
        return self._obj.reduce(_reducer(name, **fixed), dim=dim, keep_attrs=keep_attrs,
                                numeric_only=True)
