"""Every layout and element type reads as its contiguous float64 copy; nothing else is
read at all."""

import array
import math
import random
import unittest

import sela
from support import NUMPY_MISSING, bits, numpy as np, random_data


class WithoutNumpy(unittest.TestCase):
    def test_array_module_and_memoryview(self):
        xs = random_data(random.Random(1), 301, "wide")
        want = sela.sum_exact(xs)
        self.assertEqual(bits(sela.sum_exact(array.array("d", xs))), bits(want))
        self.assertEqual(bits(sela.sum_exact(memoryview(array.array("d", xs)))), bits(want))
        self.assertEqual(bits(sela.sum_exact(tuple(xs))), bits(want))
        self.assertEqual(bits(sela.sum_exact(x for x in xs)), bits(want))
        # A strided memoryview holds every other element.
        self.assertEqual(bits(sela.sum_exact(memoryview(array.array("d", xs))[::2])),
                         bits(sela.sum_exact(xs[::2])))
        ints = [-(2 ** 62) - 1, 2 ** 53 + 1, -3, 7]
        self.assertEqual(sela.sum_naive(array.array("q", ints)), sela.sum_naive([float(i) for i in ints]))
        self.assertEqual(sela.sum_exact(array.array("f", [0.1, 0.2])),
                         sela.sum_exact([float(array.array("f", [v])[0]) for v in (0.1, 0.2)]))

    def test_every_native_struct_format(self):
        raw = bytes(random.Random(6).getrandbits(8) for _ in range(8 * 40))
        for fmt in "bBhHiIlLqQnNfd?":  # memoryview cannot cast to half precision
            view = memoryview(raw).cast(fmt)
            values = [float(v) for v in view.tolist()]
            with self.subTest(fmt=fmt):
                got, want = sela.sum_naive(view), sela.sum_naive(values)
                self.assertTrue(bits(got) == bits(want) or (got != got and want != want))

    def test_misaligned_doubles_are_copied(self):
        raw = bytearray(8 * 65)
        view = memoryview(raw)[1:1 + 8 * 64].cast("d")
        view[:] = array.array("d", [float(i) for i in range(64)])
        self.assertEqual(sela.sum_exact(view), float(sum(range(64))))

    def test_non_numbers_are_type_errors(self):
        for bad in (memoryview(b"ab").cast("c"), ["x"], [[1.0]], [1 + 2j], None, 1.5):
            with self.assertRaises(TypeError):
                sela.sum_exact(bad)
            with self.assertRaises(TypeError):
                sela.Accumulator().add(bad)


@unittest.skipIf(np is None, NUMPY_MISSING)
class NumpyLayouts(unittest.TestCase):
    def setUp(self):
        rng = np.random.default_rng(42)
        m = rng.uniform(-1, 1, (37, 29)) * 2.0 ** rng.integers(-200, 200, (37, 29))
        self.m = m
        self.functions = [sela.sum_exact, sela.sum_naive, sela.sum_pairwise, sela.sum_kahan,
                          sela.norm_scaled, lambda a: sela.sum_k(a, 3),
                          lambda a: sela.centered_sum_squares(a, 0.5)]

    def assertReadsAs(self, view, expected):
        expected = np.ascontiguousarray(expected, dtype=np.float64)
        for f in self.functions:
            self.assertEqual(bits(f(view)), bits(f(expected)))
        self.assertEqual(bits(sela.dot2(view, view)), bits(sela.dot2(expected, expected)))

    def test_layouts(self):
        m = self.m
        self.assertReadsAs(m[::3, ::-2], m[::3, ::-2].copy())
        self.assertReadsAs(m[::-1], m[::-1].copy())
        self.assertReadsAs(np.asfortranarray(m), m)
        self.assertReadsAs(m.T, m.T.copy())
        self.assertReadsAs(m.astype(">f8"), m)
        self.assertReadsAs(np.broadcast_to(m[0], (5, 29)), np.tile(m[0], (5, 1)))
        self.assertReadsAs(np.float64(2.5), [2.5])
        self.assertReadsAs(m[:0], [])

    def test_dtypes_convert_as_numpy_does(self):
        rng = np.random.default_rng(9)
        big = rng.integers(-2 ** 63, 2 ** 63 - 1, 500, dtype=np.int64)
        with np.errstate(over="ignore"):  # large values become infinities in float16
            cases = self.cases(big)
        specials = np.array([np.nan, -np.inf, 65504.0, 6e-8, -0.0], dtype=np.float16)
        cases.append(specials)
        for a in cases:
            with self.subTest(dtype=a.dtype.str):
                self.assertReadsAs(a, a.astype(np.float64))
                self.assertReadsAs(a[::-3], a[::-3].astype(np.float64))

    def cases(self, big):
        return [self.m.astype(np.float32), self.m.astype(">f4"), self.m.astype(np.float16),
                 self.m.astype(">f2"), big, big.astype(">i8"), big.view(np.uint64),
                 big.astype(np.int32), big.astype(np.uint16), big.astype(">u4"),
                big.astype(np.int8), big > 0, self.m.astype(np.longdouble) * 3]

    def test_refused_dtypes(self):
        for bad in (np.array([1 + 1j]), np.array([1.0], dtype=object), np.array(["1.0"]),
                    np.array([b"1"]), np.zeros(2, dtype=[("a", "f8")]),
                    np.array(["2020-01-01"], dtype="M8[D]")):
            with self.subTest(dtype=bad.dtype.str):
                with self.assertRaises(TypeError):
                    sela.sum_exact(bad)
                if bad.dtype.kind not in "Oc":  # iterated by fsum, as math.fsum does
                    with self.assertRaises(TypeError):
                        sela.fsum(bad)
        # fsum iterates an array of Python objects, as math.fsum does.
        objects = np.array([0.1, 2 ** 70, True], dtype=object)
        self.assertEqual(sela.fsum(objects), math.fsum(objects))
        with self.assertRaises(TypeError):
            sela.fsum(np.array([1.0, "x"], dtype=object))

    def test_read_only_and_offset_arrays(self):
        a = np.arange(10000.0)
        a.setflags(write=False)  # read-only arrays are accepted
        self.assertEqual(sela.sum_exact(a), 49995000.0)
        self.assertEqual(sela.sum_exact(a[1:]), 49995000.0)  # offset, still aligned

    def test_every_half_precision_value(self):
        halves = np.arange(2 ** 16, dtype=np.uint16).view(np.float16)
        wide = halves.astype(np.float64)
        for order in ("<", ">"):
            h = halves.astype(order + "f2")
            got = [sela.sum_exact(h[i:i + 1]) for i in range(len(h))]
            for g, w in zip(got, wide.tolist()):
                if g != g:
                    self.assertTrue(w != w)
                else:
                    self.assertEqual(g, w)


@unittest.skipIf(np is None, NUMPY_MISSING)
class SmallFloatSums(unittest.TestCase):
    """float32 and float16 arrays reach the accumulator in groups summed exactly in
    double: every group edge must still give the exact sum of the elements."""

    def exact(self, a):
        from fractions import Fraction
        total = sum(Fraction(v) for v in a.astype(np.float64).tolist())
        return float(total)

    def forms(self, a):
        return (a, a.astype(a.dtype.newbyteorder()), np.repeat(a, 2)[::2], a[::-1])

    def test_float32_group_spans(self):
        rng = np.random.default_rng(31)
        for span in (0, 25, 26, 27, 28, 60, 250):
            for n in (7, 8, 9, 64, 1001, 70001):
                e = rng.integers(-126, -126 + span + 1, n) if span < 250 else rng.integers(-149, 127, n)
                m = rng.integers(1, 2 ** 24, n) * rng.choice([-1, 1], n)
                a = np.ldexp(m.astype(np.float64), e - 23).astype(np.float32)
                a[rng.integers(0, n, n // 5)] = 0.0  # zeros do not constrain a group
                want = self.exact(a)
                for form in self.forms(a):
                    self.assertEqual(bits(sela.sum_exact(form)), bits(want), (span, n, form.dtype.str))
                    self.assertEqual(bits(sela.fsum(form)), bits(want))
                    self.assertEqual(bits(sela.mean(form)), bits(sela.mean(form.astype(np.float64))))

    def test_float32_groups_at_the_edge_of_exactness(self):
        # Seven large values and one small odd one whose exponent fields lie `span` apart:
        # their sum needs up to span + 27 bits, more than a double holds from a span of 27
        # on (28 when the large significands are small).
        for span in range(24, 32):
            for e in (-100, 0, 90):
                for top in (2 ** 24 - 1, 2 ** 23 + 1):
                    big = float(np.ldexp(np.float64(top), e - 23))
                    small = float(np.ldexp(np.float64(2 ** 24 - 1), e - 23 - span))
                    # A second group takes the large values away again: the small one's
                    # low bits decide the sum.
                    self.check_group([big] * 7 + [small] + [-big] * 7 + [0.0], (span, e, top))

    def check_group(self, group, what):
        # Shifted by a few leading ones: the values straddle the groups of 8 differently.
        for shift in range(8):
            a = np.array([1.0] * shift + group, dtype=np.float32)
            want = self.exact(a)
            for form in self.forms(a):
                self.assertEqual(bits(sela.sum_exact(form)), bits(want), (what, shift))

    def test_float32_extremes_and_special_values(self):
        tiny, big = np.float32(1e-45), np.finfo(np.float32).max
        cases = [[tiny] * 8, [tiny, big] + [0.0] * 6, [big] * 8 + [-big] * 7, [-0.0] * 8,
                 [2.0 ** -126, 2.0 ** -100] * 4, [2.0 ** -126, 2.0 ** -99] * 4]
        for c in cases:
            a = np.array(c, dtype=np.float32)
            self.assertEqual(bits(sela.sum_exact(a)), bits(self.exact(a)), c)
        for special in (np.inf, -np.inf, np.nan):
            a = np.ones(100, dtype=np.float32)
            a[37] = special
            want = sela.sum_exact(a.astype(np.float64))
            for form in self.forms(a):
                got = sela.sum_exact(form)
                self.assertTrue(bits(got) == bits(want) or (got != got and want != want))
                self.assertEqual(outcome(sela.fsum, form), outcome(math.fsum, form.tolist()))
        both = np.array([np.inf] + [1.0] * 20 + [-np.inf], dtype=np.float32)
        self.assertTrue(math.isnan(sela.sum_exact(both)))
        with self.assertRaises(ValueError):
            sela.fsum(both)

    def test_float16_groups(self):
        rng = np.random.default_rng(16)
        for n in (63, 64, 65, 9000, 70000):
            a = rng.integers(0, 2 ** 16, n, dtype=np.uint16).view(np.float16)
            a = a[np.isfinite(a)]
            for form in self.forms(a):
                self.assertEqual(bits(sela.sum_exact(form)), bits(self.exact(a)), n)
        full = np.full(9000, 65504.0, dtype=np.float16)
        self.assertEqual(sela.sum_exact(full), 65504.0 * 9000)
        full[4000] = np.nan
        self.assertTrue(math.isnan(sela.sum_exact(full)))


def outcome(f, xs):
    try:
        r = f(xs)
    except (OverflowError, ValueError) as e:
        return type(e)
    return "nan" if r != r else bits(r)
