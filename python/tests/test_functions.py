"""Every function against the C library called directly (bit for bit) and the exact
ones against the Fraction oracle."""

import math
import random
import unittest

import sela
from support import (C_LIBRARY_MISSING, EXTREMES, KINDS, bits, c_array, exact_sum,
                     load_c_library, random_data)

LIB = load_c_library()
SUMS = ["sum_naive", "sum_pairwise", "sum_pairwise_iterative", "sum_kahan", "sum_neumaier",
        "sum_klein", "sum_shewchuk", "sum_exact", "sum_oro", "sum_acc", "sum_near",
        "condition_number", "norm_scaled", "mean_scaled"]
DOTS = ["dot_exact", "dot_naive", "dot2"]
CENTERED2 = ["centered_cross_product", "centered_cosine_similarity",
             "centered_projection_coefficient"]


def datasets():
    rng = random.Random(20261208)
    for n in (1, 2, 7, 100, 1000, 3000):
        for kind in KINDS:
            yield random_data(rng, n, kind)
    yield from EXTREMES
    yield [1.0, math.nan, 2.0]
    yield [math.inf, 1.0, -math.inf]


@unittest.skipIf(LIB is None, C_LIBRARY_MISSING)
class SameBitsAsC(unittest.TestCase):
    def test_one_array_functions(self):
        for xs in datasets():
            a = c_array(xs)
            for name in SUMS:
                with self.subTest(name=name, n=len(xs), head=xs[:3]):
                    want = getattr(LIB, "sela_" + name)(a, len(xs))
                    self.assertEqual(bits(getattr(sela, name)(xs)), bits(want))
            for k in (-1, 0, 1, 2, 3, 5):
                self.assertEqual(bits(sela.sum_k(xs, k)), bits(LIB.sela_sum_k(a, len(xs), k)))
            c = xs[0] if xs else 0.5
            self.assertEqual(bits(sela.centered_sum_squares(xs, c)),
                             bits(LIB.sela_centered_sum_squares(a, len(xs), c)))

    def test_two_array_functions(self):
        rng = random.Random(7)
        for xs in datasets():
            ys = [rng.uniform(-2.0, 2.0) for _ in xs]
            a, b = c_array(xs), c_array(ys)
            for name in DOTS:
                self.assertEqual(bits(getattr(sela, name)(xs, ys)),
                                 bits(getattr(LIB, "sela_" + name)(a, b, len(xs))))
            for k in (0, 2, 3, 4, 7):
                self.assertEqual(bits(sela.dot_k(xs, ys, k)), bits(LIB.sela_dot_k(a, b, len(xs), k)))
            for name in CENTERED2:
                self.assertEqual(bits(getattr(sela, name)(xs, ys, 0.25, -1.0)),
                                 bits(getattr(LIB, "sela_" + name)(a, b, len(xs), 0.25, -1.0)))


class ExactAgainstFractions(unittest.TestCase):
    def test_correctly_rounded_sums(self):
        for xs in datasets():
            if not all(map(math.isfinite, xs)):
                continue
            want = exact_sum(xs)
            # fsum raises where math.fsum does (test_fsum); elsewhere it is exact.
            fsum = [sela.fsum] if max(map(abs, xs), default=0) < 1e300 else []
            for f in [sela.sum_exact, sela.sum_near, sela.sum_shewchuk,
                      lambda v: sela.sum(v), lambda v: sela.sum(v, "near")] + fsum:
                got = f(xs)
                # The oracle has no signed zero: a zero result is checked by value.
                self.assertEqual(bits(got) if want else got, bits(want) if want else 0.0, xs[:4])

    def test_exact_dot_product(self):
        rng = random.Random(11)
        for n in (1, 5, 200):
            xs = random_data(rng, n, "wide")
            ys = [math.ldexp(rng.uniform(-1, 1), rng.randint(-30, 30)) for _ in xs]
            want = exact_sum_of_products(xs, ys)
            self.assertEqual(bits(sela.dot_exact(xs, ys)), bits(want))
            self.assertEqual(bits(sela.dot(xs, ys)), bits(want))

    def test_two_sum(self):
        self.assertEqual(sela.two_sum(1.0, 2.0 ** -60), (1.0, 2.0 ** -60))
        s, e = sela.two_sum(0.1, 0.2)
        self.assertEqual(Fraction_sum(s, e), Fraction_sum(0.1, 0.2))
        s, e = sela.two_sum(math.inf, 1.0)
        self.assertTrue(s == math.inf and math.isnan(e))


def exact_sum_of_products(xs, ys):
    from fractions import Fraction
    return float(sum(Fraction(x) * Fraction(y) for x, y in zip(xs, ys)))


def Fraction_sum(a, b):
    from fractions import Fraction
    return Fraction(a) + Fraction(b)


class Arguments(unittest.TestCase):
    def test_errors(self):
        with self.assertRaises(ValueError):
            sela.dot_exact([1.0, 2.0], [1.0])
        with self.assertRaises(ValueError):
            sela.centered_cross_product([1.0], [], 0.0, 0.0)
        for bad in (["1.0"], [1j], [None], 3.0, "abc"):
            with self.assertRaises(TypeError):
                sela.sum_exact(bad)
        with self.assertRaises(OverflowError):
            sela.sum_k([1.0], 2 ** 40)
        with self.assertRaises(ValueError):
            sela.dot_k([1.0], [1.0], 10 ** 6)
        with self.assertRaises(ValueError):
            sela.sum([1.0], "fast")
        with self.assertRaises(ValueError):
            sela.sum([1.0], "k")
        with self.assertRaises(ValueError):
            sela.sum([1.0], "exact", k=2)
        with self.assertRaises(TypeError):
            sela.sum_k([1.0])

    def test_method_names(self):
        xs = random_data(random.Random(3), 500, "cancel")
        for method in sela.SUM_METHODS:
            k = 3 if method == "k" else None
            function = {"sum2": "oro"}.get(method, method)
            direct = sela.sum_k(xs, 3) if k else getattr(sela, "sum_" + function)(xs)
            self.assertEqual(bits(sela.sum(xs, method, k=k)), bits(direct))
        ys = xs[::-1]
        self.assertEqual(bits(sela.dot(xs, ys, "dot2")), bits(sela.dot2(xs, ys)))
        self.assertEqual(bits(sela.dot(xs, ys, "k", k=4)), bits(sela.dot_k(xs, ys, 4)))

    def test_item_conversion_matches_float(self):
        class Half:
            def __float__(self):
                return 0.5

        class Index:
            def __index__(self):
                return 2 ** 60 + 1  # rounds to 2^60 as float() does

        items = [Half(), Index(), True, 3, 2 ** 1000]
        self.assertEqual(sela.sum_naive(items), float(sum(float(v) for v in items)))
        self.assertEqual(sela.sum_exact(iter(items)), exact_sum([float(v) for v in items]))

    def test_version(self):
        self.assertRegex(sela.__version__, r"^\d+\.\d+\.\d+$")
        if LIB is not None:
            import ctypes
            LIB.sela_version.restype = ctypes.c_char_p
            self.assertEqual(sela.__version__, LIB.sela_version().decode())


if __name__ == "__main__":
    unittest.main()
