"""The .sela accessor of xarray: exact at every chunking (xarray issue 2902's constant
field), coordinates and names kept as xarray's own reductions keep them."""

import unittest
from fractions import Fraction

import sela
from support import NUMPY_MISSING, numpy as np, same

try:
    import xarray as xr
    import sela.xarray  # noqa: F401
except ImportError:
    xr = None
XARRAY_MISSING = "xarray is not installed for this interpreter (Debian: python3-xarray)"
try:
    import dask.array as da
except ImportError:
    da = None
DASK_MISSING = "dask is not installed for this interpreter (Debian: python3-dask)"


@unittest.skipIf(np is None, NUMPY_MISSING)
@unittest.skipIf(xr is None, XARRAY_MISSING)
class Accessor(unittest.TestCase):
    def field(self):
        rng = np.random.default_rng(6)
        data = rng.uniform(-1, 1, (6, 7, 8)) * 2.0 ** rng.integers(-40, 40, (6, 7, 8))
        return xr.DataArray(
            data, dims=("time", "lat", "lon"), name="temperature",
            coords={"time": np.arange(6), "lat": np.linspace(-60, 60, 7), "lon": np.arange(8) * 45.0,
                    "station": ("lat", [f"s{i}" for i in range(7)]), "run": 3},
            attrs={"units": "K"})

    def test_coordinates_and_names_as_xarray_keeps_them(self):
        a = self.field()
        for dim in (None, "time", "lat", ["lat", "lon"], ("time", "lon")):
            for name in ("sum", "mean", "var", "std"):
                ours = getattr(a.sela, name)(dim=dim)
                theirs = getattr(a, name)(dim=dim)
                self.assertEqual(ours.dims, theirs.dims)
                self.assertEqual(ours.name, theirs.name)
                self.assertEqual(set(ours.coords), set(theirs.coords), (dim, name))
                for c in ours.coords:
                    self.assertTrue(ours[c].equals(theirs[c]))
                axis = None if dim is None else tuple(a.get_axis_num(dim if not isinstance(dim, str) else [dim]))
                want = sela.sum(a.values, "exact", axis=axis) if name == "sum" else getattr(sela, name)(a.values, axis=axis)
                self.assertTrue(same(ours.values, want), (dim, name))
                self.assertTrue(np.allclose(ours.values, theirs.values, rtol=1e-9))
        self.assertEqual(a.sela.mean("time", keep_attrs=True).attrs, {"units": "K"})
        self.assertEqual(a.sela.mean("time").attrs, {})
        self.assertTrue(same(a.sela.var("time", ddof=1).values, sela.var(a.values, axis=0, ddof=1)))

    def test_dataset(self):
        a = self.field()
        ds = xr.Dataset({"t": a, "count": a.astype(np.int64) * 0 + 2, "label": ("lat", list("abcdefg"))})
        ours = ds.sela.sum(dim="time")
        theirs = ds.sum(dim="time")
        self.assertEqual(set(ours.data_vars), set(theirs.data_vars))
        self.assertEqual(set(ours.coords), set(theirs.coords))
        self.assertTrue(same(ours["t"].values, sela.sum(a.values, axis=0)))
        self.assertTrue(same(ours["count"].values, np.full((7, 8), 12.0)))
        self.assertTrue(same(ds.sela.mean()["t"].values, sela.mean(a.values)))

    @unittest.skipIf(da is None, DASK_MISSING)
    def test_dask_backed_data_stays_lazy(self):
        a = self.field()
        chunked = a.chunk({"time": 4, "lat": 3})
        for name in ("sum", "mean", "var", "std"):
            lazy = getattr(chunked.sela, name)(dim="lat")
            self.assertIsInstance(lazy.data, da.Array)
            self.assertTrue(same(lazy.compute().values, getattr(a.sela, name)(dim="lat").values), name)
        ds = xr.Dataset({"t": chunked})
        self.assertIsInstance(ds.sela.sum("time")["t"].data, da.Array)


@unittest.skipIf(np is None, NUMPY_MISSING)
@unittest.skipIf(xr is None, XARRAY_MISSING)
class ConstantField(unittest.TestCase):
    """xarray issue 2902: a constant field of 1.9 over 128^3 values summed with different
    round-off for each chunking. The exact sum is 1.9 * 2^21 (a power of two times a
    double, so representable), the mean 1.9, the variance 0."""

    def test_every_chunking(self):
        field = xr.DataArray(np.full((128, 128, 128), 1.9), dims=("x", "y", "z"))
        want = float(Fraction(1.9) * 128 ** 3)
        chunkings = [None, {"x": 16}, {"x": 37, "y": 50}, {"x": 1, "y": 128}, {"z": 5}, {"x": 100, "y": 3, "z": 64}]
        if da is None:
            chunkings = [None]
        sums, means = set(), set()
        for chunks in chunkings:
            f = field if chunks is None else field.chunk(chunks)
            s = float(f.sela.sum().values)
            m = float(f.sela.mean().values)
            sums.add(s)
            means.add(m)
            self.assertEqual(float(f.sela.var().values), 0.0)
            self.assertEqual(f.sela.sum("z").values.tolist(), (field.values.sum(axis=2) * 0 + 1.9 * 128).tolist())
        self.assertEqual(sums, {want})
        self.assertEqual(means, {1.9})


if __name__ == "__main__":
    unittest.main()
