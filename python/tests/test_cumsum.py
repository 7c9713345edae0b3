"""sela.cumsum and sela.dask.cumsum: every element the exact sum of its prefix rounded
once (a Fraction oracle), numpy's axis semantics on any dtype and layout, and the same
bits for every chunking and scheduler of a dask array."""

import itertools
import math
import random
import struct
import unittest
from fractions import Fraction

import sela
from support import KINDS, NUMPY_MISSING, bits, numpy as np, random_data

try:
    import dask
    import dask.array as da
    import sela.dask as sd
except ImportError:
    da = None
DASK_MISSING = "dask is not installed for this interpreter (Debian: python3-dask)"

INF = math.inf
NAN_PAYLOAD = struct.unpack("<d", struct.pack("<Q", 0x7FF800000000BEEF))[0]


def running_oracle(xs):
    """Each prefix's exact sum rounded to nearest even, from Fractions; the special values
    by their rules: a NaN wins, +inf and -inf together give a NaN, one infinity stays."""
    total, seen_nan, infs, out = Fraction(0), False, set(), []
    for x in xs:
        if math.isnan(x):
            seen_nan = True
        elif math.isinf(x):
            infs.add(x)
        else:
            total += Fraction(x)
        if seen_nan or len(infs) == 2:
            out.append(math.nan)
        elif infs:
            out.append(next(iter(infs)))
        else:
            try:
                out.append(float(total))
            except OverflowError:
                out.append(INF if total > 0 else -INF)
    return out


def near_ties(rng, n, base):
    """Prefixes on and next to ties of base's binade, with tiny values that spread the
    data over far more bits than a double-double holds."""
    half = math.ldexp(1.0, max(math.frexp(base)[1] - 54, -1074))
    steps = [half, -half, half / 2, 5e-324, -5e-324, base, -base, 3 * half]
    xs = [base]
    while len(xs) < n:
        r = rng.random()
        xs.append(math.ldexp(rng.uniform(-1, 1), rng.randint(-1074, -700)) if r < 0.25 else rng.choice(steps))
    return xs


def series(rng, n):
    data = {kind: random_data(rng, n, kind) for kind in KINDS}
    data["ties at 1"] = near_ties(rng, n, 1.0)
    data["ties at 2^-1022"] = near_ties(rng, n, 2.0 ** -1022)
    data["near the top"] = near_ties(rng, n, 1.7976931348623157e308)
    data["integers"] = [float(rng.randint(-1000, 1000)) for _ in range(n)]
    return data


class Oracle(unittest.TestCase):
    def check(self, xs, got, what):
        got = list(got)
        want = running_oracle(xs)
        self.assertEqual(len(got), len(want), what)
        for i, (g, w) in enumerate(zip(got, want)):
            if math.isnan(w):
                self.assertTrue(math.isnan(g), (what, i))
            else:
                self.assertEqual(bits(g), bits(w), (what, i, g, w))

    def test_every_prefix_is_its_exact_sum_rounded_once(self):
        rng = random.Random(21)
        for name, xs in series(rng, 700).items():
            self.check(xs, sela.cumsum(xs), name)

    def test_special_values_as_the_exact_sum_gives_them(self):
        rng = random.Random(5)
        for trial in range(12):
            xs = random_data(rng, 200, rng.choice(KINDS))
            for _ in range(rng.randint(1, 3)):
                xs[rng.randrange(200)] = rng.choice([INF, -INF, NAN_PAYLOAD, 1.7976931348623157e308])
            got = list(sela.cumsum(xs))
            self.check(xs, got, trial)
            # The NaN's payload too: the exact sum's of the same prefix, to the bit.
            for i in range(0, 200, 17):
                self.assertEqual(bits(got[i]), bits(sela.sum_exact(xs[: i + 1])), (trial, i))

    def test_inputs_and_their_errors(self):
        self.assertEqual(list(sela.cumsum([])), [])
        self.assertEqual(list(sela.cumsum(iter([1, 2, 2.5]))), [1.0, 3.0, 5.5])
        self.assertEqual(list(sela.cumsum((True, 3))), [1.0, 4.0])
        self.assertEqual(bits(list(sela.cumsum([-0.0, -0.0]))[1]), bits(0.0))  # a zero sum is +0.0
        with self.assertRaises(TypeError):
            sela.cumsum(["1.0"])
        with self.assertRaises(TypeError):
            sela.cumsum(5)

    def test_without_numpy_a_list_of_floats(self):
        got = sela._sela._cumsum_list([1e100, 1.0, -1e100, 0.5])
        self.assertEqual(got, [1e100, 1e100, 1.0, 1.5])
        self.assertTrue(all(type(v) is float for v in got))
        if np is None:
            self.assertIsInstance(sela.cumsum([1.0, 2.0]), list)
            with self.assertRaises(ModuleNotFoundError):
                sela.cumsum([1.0], axis=0)


@unittest.skipIf(np is None, NUMPY_MISSING)
class Arrays(unittest.TestCase):
    def same(self, a, b):
        a, b = np.asarray(a), np.asarray(b)
        self.assertEqual(a.dtype, np.float64)
        self.assertEqual(a.shape, b.shape)
        self.assertTrue(np.array_equal(a.view(np.uint64), np.asarray(b, dtype=np.float64).view(np.uint64)))

    def wide(self, rng, shape):
        return rng.uniform(-1, 1, shape) * 2.0 ** rng.integers(-80, 80, shape)

    def test_axes_of_n_dimensional_arrays(self):
        rng = np.random.default_rng(7)
        for shape in ((5, 7), (3, 4, 6), (2, 1, 3, 5)):
            x = self.wide(rng, shape)
            self.same(sela.cumsum(x), running_oracle(x.ravel().tolist()))
            for axis in range(-len(shape), len(shape)):
                got = sela.cumsum(x, axis=axis)
                self.assertEqual(got.shape, x.shape)
                self.assertTrue(got.flags.c_contiguous)
                moved, got_moved = np.moveaxis(x, axis, -1), np.moveaxis(got, axis, -1)
                for idx in np.ndindex(moved.shape[:-1]):
                    self.same(got_moved[idx], running_oracle(moved[idx].tolist()))

    def test_dtypes_and_layouts_agree_with_float64(self):
        rng = np.random.default_rng(9)
        base = self.wide(rng, (300, 400))
        big = rng.integers(-2 ** 62, 2 ** 62, 5000)
        cases = {
            "float32": base.astype(np.float32), "float16": (base * 1e-20).astype(np.float16),
            "int64 beyond 2^53": big, "bool": base > 0, "uint8": (base > 0).astype(np.uint8),
            "big-endian": base.astype(">f8"), "Fortran order": np.asfortranarray(base),
            "strided": base[::3, 1::2], "reversed": base[::-1, ::-1],
            # Rows longer than one converted block (65536 elements).
            "long strided": np.repeat(base.ravel(), 2)[::2],
        }
        for name, x in cases.items():
            ref = np.ascontiguousarray(x, dtype=np.float64)
            for axis in [None] + list(range(x.ndim)):
                self.same(sela.cumsum(x, axis=axis), sela.cumsum(ref, axis=axis))
        # Integers that need no rounding give numpy's own running sums.
        small = rng.integers(-10 ** 6, 10 ** 6, (40, 30))
        for axis in (None, 0, 1):
            self.same(sela.cumsum(small, axis=axis), np.cumsum(small, axis=axis))
        # int64 beyond 2^53: each element rounds once on conversion, then the exact sums.
        self.same(sela.cumsum(big[:300]), running_oracle([float(v) for v in big[:300]]))

    def test_shapes_and_errors(self):
        self.same(sela.cumsum(np.float64(2.5)), [2.5])  # a 0-d array, as numpy.cumsum
        self.same(sela.cumsum(np.zeros((0, 3)), axis=1), np.zeros((0, 3)))
        self.same(sela.cumsum(np.zeros((4, 0)), axis=0), np.zeros((4, 0)))
        self.same(sela.cumsum(np.array([[1.0, 2.0], [3.0, 4.0]])), [1.0, 3.0, 6.0, 10.0])
        axis_error = getattr(np, "AxisError", None) or np.exceptions.AxisError
        with self.assertRaises(axis_error):
            sela.cumsum(np.ones((2, 3)), axis=2)
        with self.assertRaises(TypeError):
            sela.cumsum(np.ones((2, 3)), axis=(0, 1))
        with self.assertRaises(TypeError):
            sela.cumsum(np.ones(3, dtype=complex))
        x = np.ones(5)
        sela.cumsum(x)
        self.same(x, np.ones(5))  # the input is never written


@unittest.skipIf(np is None, NUMPY_MISSING)
@unittest.skipIf(da is None, DASK_MISSING)
class Dask(unittest.TestCase):
    def same(self, a, b, what):
        a, b = np.asarray(a), np.asarray(b)
        self.assertEqual(a.shape, b.shape, what)
        self.assertTrue(np.array_equal(a.view(np.uint64), b.view(np.uint64)), what)

    def test_every_chunking_of_short_series(self):
        rng = random.Random(12359)
        for n in range(1, 7):
            xs = near_ties(rng, n, 1.0)
            xs[rng.randrange(n)] = rng.choice([1e300, -1e300, 0.1])
            want = sela.cumsum(xs)
            for cuts in itertools.product((False, True), repeat=n - 1):
                chunks, last = [], 0
                for i, cut in enumerate(cuts, 1):
                    if cut:
                        chunks.append(i - last)
                        last = i
                chunks.append(n - last)
                d = da.from_array(np.array(xs), chunks=(tuple(chunks),))
                self.same(sd.cumsum(d).compute(scheduler="synchronous"), want, (n, chunks))

    def test_axes_dtypes_and_special_values_across_chunks(self):
        rng = np.random.default_rng(11262)
        x = rng.uniform(-1, 1, (40, 33)) * 2.0 ** rng.integers(-300, 300, (40, 33))
        x[5, 3], x[20, 3], x[9, 30] = np.inf, -np.inf, np.nan
        tame = rng.uniform(-1e6, 1e6, (40, 33))
        cases = [(x, (7, 5)), (x, (40, 1)), (x, (1, 33)), (tame.astype(np.float32), (13, 16)),
                 (tame.astype(np.int32), (13, 16))]
        for data, chunks in cases:
            d = da.from_array(data, chunks=chunks)
            for axis in (None, 0, -1):
                got = sd.cumsum(d, axis=axis)
                self.assertIsInstance(got, da.Array)  # lazy
                self.same(got.compute(scheduler="synchronous"), sela.cumsum(data, axis=axis),
                          (data.dtype, chunks, axis))

    def test_schedulers(self):
        rng = np.random.default_rng(3)
        x = rng.uniform(-1, 1, (500, 30)) * 2.0 ** rng.integers(-60, 60, (500, 30))
        d = da.from_array(x, chunks=(37, 9))
        for scheduler in ("synchronous", "threads"):
            with dask.config.set(scheduler=scheduler):
                for axis in (None, 0, 1):
                    self.same(sd.cumsum(d, axis=axis).compute(), sela.cumsum(x, axis=axis), (scheduler, axis))

    def test_errors(self):
        with self.assertRaises(TypeError):
            sd.cumsum(da.ones(3, dtype=complex))
        with self.assertRaises(TypeError):
            sd.cumsum(da.ones((2, 2)), axis=(0, 1))
        with self.assertRaises(ValueError):
            sd.cumsum(da.ones(3)[da.ones(3) > 0])  # unknown chunk sizes


if __name__ == "__main__":
    unittest.main()
