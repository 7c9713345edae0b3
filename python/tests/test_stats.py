"""Exact mean, variance and standard deviation against the Fraction oracle and the C
library; numpy's axis conventions; bounded memory for every dtype."""

import builtins
import ctypes
import math
import random
import tracemalloc
import unittest
import warnings
from fractions import Fraction

import sela
from support import (C_LIBRARY_MISSING, KINDS, NUMPY_MISSING, bits, load_c_library,
                     numpy as np, random_data)

LIB = load_c_library()
BIG = 1.7976931348623157e308
FLOOR = Fraction(1, 2 ** 1075)


def to_float(q):
    try:
        return float(q)
    except OverflowError:
        return math.inf if q > 0 else -math.inf


def oracle_mean(xs):
    return to_float(sum(map(Fraction, xs)) / len(xs))


def oracle_var(xs, ddof=0):
    m = oracle_mean(xs)
    total = Fraction(0)
    for x in xs:
        if not math.isfinite(x - m):
            return math.inf
        d = Fraction(x - m)  # the rounded difference
        total += (d * d // FLOOR) * FLOOR  # each square cut below 2**-1075
    return to_float(total / (len(xs) - ddof))


def datasets(rng):
    for n in (1, 2, 3, 7, 100, 2500):
        for kind in KINDS:
            yield random_data(rng, n, kind)
    yield [1e308, 1e308, 1e308]
    yield [BIG] * 5 + [-BIG]
    yield [1.0, 1.0 + 2.0 ** -52, 1.0 + 2.0 ** -51]
    yield [2.0 ** 53, 1.0, 1.0]  # the mean 2^53/3 + 2/3 is not a double
    yield [1.9] * 1000



def peak_traced(call):
    """The peak of Python-traced memory while call() runs, in bytes."""
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()

class AgainstFractions(unittest.TestCase):
    def test_mean_var_std(self):
        for xs in datasets(random.Random(123)):
            with self.subTest(n=len(xs), head=xs[:2]):
                self.assertEqual(bits(sela.mean(xs)), bits(oracle_mean(xs)))
                for ddof in (0, 1):
                    if len(xs) - ddof < 1:
                        continue
                    want = oracle_var(xs, ddof)
                    self.assertEqual(bits(sela.var(xs, ddof=ddof)), bits(want))
                    self.assertEqual(bits(sela.std(xs, ddof=ddof)), bits(math.sqrt(want)))

    def test_beyond_the_range(self):
        self.assertEqual(sela.mean([BIG, BIG, BIG]), BIG)
        self.assertEqual(sela.mean([-BIG] * 4 + [BIG]), to_float(-3 * Fraction(BIG) / 5))
        self.assertEqual(sela.var([1e200, -1e200]), math.inf)
        self.assertEqual(sela.std([1e200, -1e200]), math.inf)
        self.assertEqual(sela.var([1e150, -1e150]), to_float(Fraction(1e150) ** 2))

    def test_special_values(self):
        self.assertTrue(math.isnan(sela.mean([1.0, math.nan])))
        self.assertTrue(math.isnan(sela.mean([math.inf, -math.inf])))
        self.assertEqual(sela.mean([math.inf, 1.0]), math.inf)
        self.assertTrue(math.isnan(sela.var([math.inf, 1.0])))  # inf - inf

    def test_order_and_chunking_do_not_matter(self):
        rng = random.Random(9)
        xs = random_data(rng, 3000, "wide") + random_data(rng, 3000, "cancel")
        want = (bits(sela.mean(xs)), bits(sela.var(xs)), bits(sela.std(xs, ddof=1)))
        for _ in range(3):
            rng.shuffle(xs)
            self.assertEqual((bits(sela.mean(xs)), bits(sela.var(xs)), bits(sela.std(xs, ddof=1))), want)
            self.assertEqual(bits(sela.mean(iter(xs))), want[0])

    def test_empty_and_degrees_of_freedom(self):
        for f in (sela.mean, sela.var, sela.std):
            with self.assertWarns(RuntimeWarning):
                self.assertTrue(math.isnan(f([])))
        with self.assertWarns(RuntimeWarning):
            self.assertEqual(sela.var([1.0, 2.0], ddof=2), math.inf)
        with self.assertWarns(RuntimeWarning):
            self.assertTrue(math.isnan(sela.var([1.0], ddof=1)))
        self.assertEqual(sela.var([1.0, 2.0, 3.0], ddof=-1), 0.5)
        with self.assertRaises(TypeError):
            sela.var([1.0, 2.0], ddof=0.5)
        with self.assertRaises(TypeError):
            sela.mean(["1.0"])


class Accumulator(unittest.TestCase):
    def test_round_divided(self):
        a = sela.Accumulator([BIG, BIG, BIG])
        self.assertEqual(float(a), math.inf)
        self.assertEqual(a.round_divided(3), BIG)
        self.assertEqual(a.round_divided(2 ** 64 - 1), to_float(3 * Fraction(BIG) / (2 ** 64 - 1)))
        self.assertTrue(math.isnan(a.round_divided(0)))
        with self.assertRaises(ValueError):
            a.round_divided(-1)
        with self.assertRaises(OverflowError):
            a.round_divided(2 ** 64)
        with self.assertRaises(TypeError):
            a.round_divided(3.0)
        self.assertEqual(float(a), math.inf)  # unchanged

    @unittest.skipIf(LIB is None, C_LIBRARY_MISSING)
    def test_same_bits_as_c(self):
        rec = ctypes.c_uint64 * 136
        LIB.sela_accumulator_round_divided.restype = ctypes.c_double
        LIB.sela_accumulator_round_divided.argtypes = [ctypes.POINTER(rec), ctypes.c_uint64]
        for xs in datasets(random.Random(5)):
            acc = sela.Accumulator(xs)
            raw = rec.from_buffer_copy(bytes(acc))
            for count in (1, 3, len(xs), 2 ** 40 + 1):
                self.assertEqual(bits(acc.round_divided(count)),
                                 bits(LIB.sela_accumulator_round_divided(ctypes.byref(raw), count)))
            self.assertEqual(bits(sela.mean(xs)), bits(acc.round_divided(len(xs))))


@unittest.skipIf(np is None, NUMPY_MISSING)
class Axes(unittest.TestCase):
    def setUp(self):
        rng = np.random.default_rng(77)
        self.a = rng.uniform(-1, 1, (4, 5, 6)) * 2.0 ** rng.integers(-60, 60, (4, 5, 6))

    def per_slice(self, a, axes, f):
        kept = [d for d in range(a.ndim) if d not in axes]
        moved = np.transpose(a, kept + list(axes)).reshape(
            [a.shape[d] for d in kept] + [-1])
        out = np.empty(moved.shape[:-1])
        for idx in np.ndindex(*out.shape):
            out[idx] = f(moved[idx].tolist())
        return out

    def test_every_axis_choice(self):
        a = self.a
        for axes in [(0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2)]:
            for name, f in (("mean", oracle_mean), ("var", oracle_var), ("sum", None)):
                fn = getattr(sela, name)
                got = fn(a, axis=axes)
                want = self.per_slice(a, axes, f or sela.sum_exact)
                self.assertEqual(np.shape(got), want.shape)
                self.assertTrue(np.array_equal(np.ravel(got).view(np.uint64), want.ravel().view(np.uint64)),
                                (name, axes))
            self.assertTrue(np.array_equal(sela.std(a, axis=axes, ddof=1),
                                           np.sqrt(sela.var(a, axis=axes, ddof=1))))

    def test_numpy_conventions(self):
        a = self.a
        for f in (sela.mean, sela.var, sela.std):
            self.assertTrue(np.array_equal(f(a, axis=-1), f(a, axis=2)))
            self.assertTrue(np.array_equal(f(a, axis=(-1, 0)), f(a, axis=(0, 2))))
            self.assertIsInstance(f(a, axis=(0, 1, 2)), np.float64)
            self.assertIsInstance(f(a), float)
            self.assertEqual(f(a, axis=(2, 0, 1)), f(a))
            for axis in (None, 1, (0, 2)):
                np_name = f.__name__
                self.assertEqual(f(a, axis=axis, keepdims=True).shape,
                                 getattr(np, np_name)(a, axis=axis, keepdims=True).shape)
            self.assertTrue(np.allclose(f(a, axis=1), getattr(np, f.__name__)(a, axis=1), rtol=1e-12))
        with self.assertRaises(np.AxisError if hasattr(np, "AxisError") else ValueError):
            sela.mean(a, axis=3)
        with self.assertRaises(ValueError):
            sela.var(a, axis=(1, -2))
        with self.assertRaises(TypeError):
            sela.mean(a.astype(complex), axis=0)

    def test_explicit_byte_order_of_native_doubles(self):
        # "<d" (or "=d", as arrays come back from distributed's serialisation) are native.
        little = self.a.astype(np.dtype(np.float64).newbyteorder("<"))
        self.assertEqual(memoryview(little).format, "<d")
        for method in ("kahan", "exact"):
            self.assertTrue(np.array_equal(sela.sum(little, method, axis=1), sela.sum(self.a, method, axis=1)))
        self.assertTrue(np.array_equal(sela.var(little, axis=0), sela.var(self.a, axis=0)))

    def test_empty_slices(self):
        e = np.ones((3, 0))
        with self.assertWarns(RuntimeWarning):
            self.assertTrue(np.isnan(sela.mean(e, axis=1)).all())
        with self.assertWarns(RuntimeWarning):
            self.assertTrue(np.isnan(sela.var(e, axis=1)).all())
        self.assertEqual(sela.mean(e, axis=0).shape, (0,))
        self.assertEqual(sela.sum(e, axis=1).tolist(), [0.0, 0.0, 0.0])
        with self.assertWarns(RuntimeWarning):
            self.assertEqual(sela.var(np.ones((2, 1)) * [[1.0], [0.0]], axis=1, ddof=1).tolist()[0] != 0, True)


@unittest.skipIf(np is None, NUMPY_MISSING)
class AnyDtypeInBoundedMemory(unittest.TestCase):
    def test_dtypes_reduce_as_their_float64_values(self):
        rng = np.random.default_rng(12)
        m = rng.uniform(-1, 1, (70, 300)) * 2.0 ** rng.integers(-20, 20, (70, 300))
        big = rng.integers(-2 ** 63, 2 ** 63 - 1, (70, 300), dtype=np.int64)
        with np.errstate(over="ignore"):
            half = m.astype(np.float16)
        for a in (m.astype(np.float32), m.astype(">f4"), half, big, big.view(np.uint64),
                  big.astype(np.int16), big > 0, m.T, m[::3, ::-2], m.astype(">f8")):
            ref = a.astype(np.float64)
            with self.subTest(dtype=a.dtype.str, shape=a.shape):
                for f in (lambda v, **k: sela.sum(v, **k), sela.mean, sela.var):
                    self.assertEqual(bits(f(a)), bits(f(np.ascontiguousarray(ref))))
                    for axis in (0, 1, (0, 1)):
                        self.assertTrue(np.array_equal(np.asarray(f(a, axis=axis)).view(np.uint64),
                                                       np.asarray(f(ref, axis=axis)).view(np.uint64)))
                self.assertEqual(bits(sela.dot(a.ravel(), a.ravel()[::-1])),
                                 bits(sela.dot_exact(ref.ravel(), ref.ravel()[::-1].copy())))
        # Integers beyond 2**53 round as astype(float64) rounds them (to nearest, ties to even).
        ints = np.array([2 ** 53 + 1, 2 ** 63 - 1, -(2 ** 53) - 3], dtype=np.int64)
        self.assertEqual(sela.sum(ints), sela.sum(ints.astype(np.float64)))
        self.assertEqual(sela.sum(ints), float(sum(Fraction(float(v)) for v in ints.tolist())))

    def test_no_float64_copy_of_the_whole_array(self):
        # 4 MB of float32 would need 8 MB as float64; the exact reductions hold at most
        # two blocks of 512 KiB beside it.
        a = np.random.default_rng(3).uniform(-1, 1, 1 << 20).astype(np.float32)
        m = a.reshape(1024, 1024)
        calls = [lambda: sela.sum(a), lambda: sela.fsum(a), lambda: sela.mean(a), lambda: sela.var(a),
                 lambda: sela.dot(a, a), lambda: sela.Accumulator(a), lambda: sela.sum(m, axis=1),
                 lambda: sela.var(m, axis=0), lambda: sela.mean(m[:, ::2], axis=(0, 1))]
        for call in calls:
            self.assertLess(peak_traced(call), 1.5 * 2 ** 20)
        # A short array takes a block of its own length, not a whole block.
        short = a[:10]
        for call in (lambda: sela.sum(short), lambda: sela.var(short), lambda: sela.fsum(short),
                     lambda: sela.dot(short, short), lambda: sela.mean(m[:3, :5], axis=0)):
            self.assertLess(peak_traced(call), 16 * 1024)
        # The order-dependent grades do convert the whole array.
        self.assertGreaterEqual(peak_traced(lambda: sela.sum_naive(a)), 8 * 2 ** 20)


class Names(unittest.TestCase):
    def test_star_import_keeps_builtins(self):
        namespace = {}
        exec("from sela import *", namespace)
        shadowed = set(namespace) & set(dir(builtins)) - {"__builtins__"}
        self.assertEqual(shadowed, set())
        self.assertIs(namespace["fsum"], sela.fsum)
        self.assertNotIn("sum", sela.__all__)
        for name in sela.__all__:
            self.assertTrue(hasattr(sela, name), name)

    def test_orders_take_any_integer(self):
        class Three:
            def __index__(self):
                return 3

        xs = random_data(random.Random(2), 300, "cancel")
        orders = [Three(), True]
        if np is not None:
            orders += [np.int64(3), np.uint8(3), np.int32(1)]
        for k in orders:
            want = sela.sum_k(xs, int(k.__index__()))
            self.assertEqual(bits(sela.sum_k(xs, k)), bits(want))
            self.assertEqual(bits(sela.sum(xs, "k", k=k)), bits(want))
            self.assertEqual(bits(sela.dot_k(xs, xs, k)), bits(sela.dot_k(xs, xs, int(k.__index__()))))
            if np is not None:
                m = np.array([xs[:100], xs[100:200]])
                self.assertTrue(np.array_equal(sela.sum(m, "k", axis=1, k=k),
                                               sela.sum(m, "k", axis=1, k=int(k.__index__()))))
        for bad in (3.0, "3", None):
            with self.assertRaises(TypeError):
                sela.sum_k(xs, bad)


if __name__ == "__main__":
    unittest.main()
