"""fsum against math.fsum (values and exceptions) and the Fraction oracle; the correctly
rounded sum without math.fsum's exceptions is sum(x, "exact")."""

import math
import random
import unittest
import warnings
from fractions import Fraction

import sela
from support import EXTREMES, KINDS, NUMPY_MISSING, bits, exact_sum, numpy as np, random_data

BIG = 1.7976931348623157e308


def outcome(f, xs):
    """What f(xs) gives: ("value", bits) or ("raises", exception type); NaNs as one."""
    try:
        r = f(xs)
    except (OverflowError, ValueError, TypeError, ZeroDivisionError, KeyError) as e:
        return ("raises", type(e))
    return ("value", "nan" if r != r else bits(r))


class FloatLike:
    def __init__(self, v):
        self.v = v

    def __float__(self):
        return self.v


class CPythonCases(unittest.TestCase):
    """The cases CPython's own suite checks math.fsum with, written out again."""

    def test_values(self):
        terms = [1.7 ** i for i in range(1001)]
        cases = [
            ([], 0.0),
            ([0.0], 0.0),
            ([1e100, 1.0, -1e100, 1e-100, 1e50, -1.0, -1e50], 1e-100),
            ([1e100, 1.0, -1e100, 1e-100, 1e50, -1, -1e50], 1e-100),
            ([2.0 ** 53, -0.5, -2.0 ** -54], 2.0 ** 53 - 1.0),
            ([2.0 ** 53, 1.0, 2.0 ** -100], 2.0 ** 53 + 2.0),
            ([2.0 ** 53 + 10.0, 1.0, 2.0 ** -100], 2.0 ** 53 + 12.0),
            ([2.0 ** 53 - 4.0, 0.5, 2.0 ** -54], 2.0 ** 53 - 3.0),
            ([1.0 / n for n in range(1, 1001)], float.fromhex("0x1.df11f45f4e61ap+2")),
            ([(-1.0) ** n / n for n in range(1, 1001)], float.fromhex("-0x1.62a2af1bd3624p-1")),
            ([1e16, 1.0, 1e-16], 10000000000000002.0),
            ([1e16 - 2.0, 1.0 - 2.0 ** -53, -(1e16 - 2.0), -(1.0 - 2.0 ** -53)], 0.0),
            # Many partials at once.
            ([2.0 ** n - 2.0 ** (n + 50) + 2.0 ** (n + 52) for n in range(-1074, 972, 2)]
             + [-2.0 ** 1022], float.fromhex("0x1.5555555555555p+970")),
            # A telescoping sum whose differences are exact (Sterbenz).
            ([terms[i + 1] - terms[i] for i in range(1000)] + [-terms[1000]], -1.0),
            ([1.0, math.inf], math.inf),
            ([1e100, FloatLike(1.0), -1e100, 1e-100, 1e50, FloatLike(-1.0), -1e50], 1e-100),
        ]
        for xs, want in cases:
            for given in (xs, iter(xs), tuple(xs)):
                self.assertEqual(bits(sela.fsum(given)), bits(want), xs[:4])
        self.assertTrue(math.isnan(sela.fsum([math.nan, 1.0])))

    def test_random_cancellation_against_fractions(self):
        rng = random.Random(737)
        for _ in range(200):
            vals = [7, 1e100, -7, -1e100, -9e-20, 8e-20] * 10
            s = 0.0
            for _ in range(200):
                v = rng.gauss(0, rng.random()) ** 7 - s
                s += v
                vals.append(v)
            rng.shuffle(vals)
            want = float(sum(Fraction(v) for v in vals))
            self.assertEqual(bits(sela.fsum(vals)), bits(want))
            self.assertEqual(bits(sela.fsum(iter(vals))), bits(want))

    def test_exceptions(self):
        def bad_iter():
            yield 1.0
            raise ZeroDivisionError

        for bad, error in (([1e308, 1e308], OverflowError), ([math.inf, -math.inf], ValueError),
                           (["spam"], TypeError), (1, TypeError), ([10 ** 1000], OverflowError),
                           (bad_iter(), ZeroDivisionError)):
            with self.assertRaises(error):
                sela.fsum(bad)


class DropIn(unittest.TestCase):
    def assertSameAsMath(self, xs, *forms):
        want = outcome(math.fsum, list(xs))
        for form in forms or (list, iter, tuple):
            self.assertEqual(outcome(sela.fsum, form(xs)), want, (form, list(xs)[:6]))

    def test_same_result_as_math_fsum(self):
        rng = random.Random(5)
        cases = list(EXTREMES) + [[math.nan, 1.0], [math.inf, 2.0], [-math.inf, -0.0]]
        # Around the stack start (256) and the heap chunk (16384) of the streaming.
        for n in (1, 2, 3, 8, 9, 10, 255, 256, 257, 5000, 16383, 16384, 16385, 40000):
            for kind in KINDS:
                cases.append(random_data(rng, n, kind))
        for xs in cases:
            self.assertSameAsMath(xs)

    def test_overflow_where_math_fsum_overflows(self):
        # Whether a partial sum overflows depends on the order of the items, not only on
        # the exact sum: each case is tried in several orders, with the same outcome as
        # math.fsum (a value or OverflowError) every time.
        rng = random.Random(99)
        bases = [[BIG, BIG, -BIG], [1e308, 1e308, -1e308, -1e308, 1.0], [BIG, BIG],
                 [-BIG, -BIG, 1e292], [BIG, 2.0 ** 970], [BIG, 2.0 ** 969], [BIG, 2.0 ** 970, -1.0],
                 [BIG, -2.0 ** 970, 2.0 ** 970, 2.0 ** 970], [8.98846567431158e307] * 3 + [-BIG],
                 [math.inf, 1e308, 1e308], [1e308, 1e308, math.nan], [1e308, -1e308, 1e308, 5.0]]
        for _ in range(40):
            bases.append([math.ldexp(rng.choice((-1, 1)) * rng.uniform(0.5, 1.0),
                                     rng.choice((1022, 1023, 1024, 1000)))
                          for _ in range(rng.randint(2, 9))])
        for base in bases:
            for _ in range(6):
                xs = base[:]
                rng.shuffle(xs)
                self.assertSameAsMath(xs)
        raised = [outcome(math.fsum, b)[0] for b in bases].count("raises")
        self.assertGreater(raised, 10)  # the cases do reach math.fsum's exceptions

    def test_overflow_after_long_streams(self):
        # Overflows far into the input: in a later chunk of a list, after a list of
        # objects whose conversion runs Python code, and in a generator.
        small = random_data(random.Random(3), 40000, "uniform")
        for tail in ([1e308, 1e308], [1e308, 1e308, -1e308], [1e308, -1e308, 1e308],
                     [math.inf, -math.inf], [BIG, -BIG, BIG, 2.0 ** 969]):
            xs = small + tail + small[:100]
            self.assertSameAsMath(xs)
            self.assertSameAsMath([FloatLike(v) for v in xs], list)
        self.assertSameAsMath([1e308] * 20000 + [-1e308] * 20000 + [1e308] * 3)

    def test_first_exception_wins(self):
        # math.fsum raises the first problem it meets: an overflow before a bad item, a
        # bad item before an overflow; inf - inf only at the end.
        def gen(items, error=None):
            yield from items
            if error:
                raise error

        for xs in ([1e308, 1e308, "x"], ["x", 1e308, 1e308], [math.inf, -math.inf, "x"],
                   [1e308, 1e308, 10 ** 400], [10 ** 400, 1e308, 1e308], [math.inf, -math.inf, 1e308, 1e308]):
            self.assertSameAsMath(xs)
        for items in ([1e308, 1e308], [1.0, 2.0], [math.inf, -math.inf]):
            self.assertEqual(outcome(sela.fsum, gen(items, KeyError("k"))),
                             outcome(math.fsum, gen(items, KeyError("k"))))

    def test_same_errors_as_math_fsum(self):
        class Boom:
            def __float__(self):
                raise ZeroDivisionError

        def failing():
            yield 1.0
            raise KeyError("stop")

        for bad in ([1.0, "2"], [Boom()], 5, [1j], [10 ** 400], failing()):
            try:
                math.fsum(bad)
            except Exception as e:  # noqa: BLE001 - the type is what is compared
                expected = type(e)
            if hasattr(bad, "__next__"):
                bad = failing()
            with self.assertRaises(expected):
                sela.fsum(bad)

    def test_exact_sum_where_math_fsum_raises(self):
        # The correctly rounded sum without math.fsum's exceptions: sum(x, "exact").
        cases = [[BIG, BIG, -BIG], [1e308, 1e308, -1e308, -1e308, 1.0],
                 [BIG, BIG], [-BIG, -BIG, 1e292], [BIG, 2.0 ** 970]]
        for xs in cases:
            with self.assertRaises(OverflowError):
                sela.fsum(xs)
            self.assertEqual(bits(sela.sum(xs, "exact")), bits(exact_sum(xs)), xs)
        self.assertTrue(math.isnan(sela.sum([math.inf, 1.0, -math.inf], "exact")))
        with self.assertRaises(ValueError):
            sela.fsum([math.inf, 1.0, -math.inf])
        # The same across streamed chunks, and an overflow spread over chunks.
        with self.assertRaises(ValueError):
            sela.fsum(iter([math.inf] + [1.0] * 40000 + [-math.inf]))
        spread = [BIG] * 20000 + [-BIG] * 19999 + [0.5]
        self.assertEqual(sela.sum(spread, "exact"), exact_sum(spread))
        self.assertIn("sela.sum(x, method=\"exact\")", sela.fsum.__doc__)

    def test_items_converted_as_float(self):
        class F(float):
            pass

        items = [F(0.1), True, 2 ** 63 + 1, 7]
        self.assertEqual(sela.fsum(items), math.fsum(items))

    def test_list_edited_while_converting(self):
        xs = [1.0, 2.0]

        class Grow:
            def __float__(self):
                xs.append(4.0)
                return 8.0

        xs.insert(1, Grow())
        # The items present when each step reads the list count; math.fsum iterates the
        # same way, so the appended 4.0 is included.
        self.assertEqual(sela.fsum(xs), math.fsum([1.0, 8.0, 2.0, 4.0]))


@unittest.skipIf(np is None, NUMPY_MISSING)
class NumpyItems(unittest.TestCase):
    def test_arrays_as_math_fsum_iterates_them(self):
        rng = np.random.default_rng(3)
        base = rng.uniform(-1, 1, 3001) * 2.0 ** rng.integers(-60, 60, 3001)
        for a in (base, base.astype(np.float32), base[::-7], base.astype(">f8"),
                  (base * 4).astype(np.int64), base > 0, base.astype(np.float16),
                  (base * 2.0 ** -50).astype(np.float16)):
            with np.errstate(over="ignore"):
                self.assertEqual(outcome(sela.fsum, a), outcome(math.fsum, a), a.dtype)
        with self.assertRaises(TypeError):
            math.fsum(base[:3000].reshape(3, -1))
        with self.assertRaises(TypeError):
            sela.fsum(base[:3000].reshape(3, -1))

    def test_long_arrays_near_overflow(self):
        # Read in place and in blocks, short and beyond the blocks: where the magnitudes
        # come near the overflow the whole array goes through math.fsum's steps.
        rng = np.random.default_rng(8)
        for n in (1000, 300000):
            a = rng.uniform(-1, 1, n)
            for tail in ([1e308, 1e308], [1e308, -1e308, 1e308], [np.inf, -np.inf], [np.nan]):
                b = np.concatenate([a, tail, a[:10]])
                for form in (b, b.astype(">f8"), b[::-1].copy()[::-1]):
                    self.assertEqual(outcome(sela.fsum, form), outcome(math.fsum, list(b)), (n, tail))
            big = a * 1e303
            self.assertEqual(outcome(sela.fsum, big), outcome(math.fsum, big.tolist()))

    def test_complex_arrays_as_math_fsum(self):
        # math.fsum iterates numpy complex numbers, and float() keeps their real parts
        # with a warning.
        z = np.array([1 + 2j, 0.5 - 1j, 1e-30 + 0j])
        with warnings.catch_warnings(record=True) as seen:
            warnings.simplefilter("always")
            want = math.fsum(z)
            n_math = len(seen)
            got = sela.fsum(z)
        self.assertEqual(bits(got), bits(want))
        self.assertGreater(n_math, 0)
        self.assertEqual(len(seen), 2 * n_math)


if __name__ == "__main__":
    unittest.main()
