"""fsum against math.fsum and the Fraction oracle."""

import math
import random
import unittest

import sela
from support import EXTREMES, KINDS, bits, exact_sum, random_data


class DropIn(unittest.TestCase):
    def test_same_result_as_math_fsum(self):
        rng = random.Random(5)
        cases = list(EXTREMES) + [[math.nan, 1.0], [math.inf, 2.0], [-math.inf, -0.0]]
        # Around the stack start (256) and the heap chunk (16384) of the streaming.
        for n in (1, 2, 3, 8, 9, 10, 255, 256, 257, 5000, 16383, 16384, 16385, 40000):
            for kind in KINDS:
                cases.append(random_data(rng, n, kind))
        for xs in cases:
            try:
                want = math.fsum(xs)
            except OverflowError:
                continue  # compared with the oracle in test_where_math_fsum_raises
            for given in (xs, iter(xs), tuple(xs)):
                got = sela.fsum(given)
                if math.isnan(want):
                    self.assertTrue(math.isnan(got))
                else:
                    self.assertEqual(bits(got), bits(want), xs[:4])

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

    def test_where_math_fsum_raises(self):
        big = 1.7976931348623157e308
        cases = [[big, big, -big], [1e308, 1e308, -1e308, -1e308, 1.0],
                 [big, big], [-big, -big, 1e292], [big, 2.0 ** 970]]
        for xs in cases:
            with self.assertRaises(OverflowError):
                math.fsum(xs)
            self.assertEqual(bits(sela.fsum(xs)), bits(exact_sum(xs)), xs)
        self.assertTrue(math.isnan(sela.fsum([math.inf, 1.0, -math.inf])))
        # The same across streamed chunks, and an overflow spread over chunks.
        self.assertTrue(math.isnan(sela.fsum(iter([math.inf] + [1.0] * 40000 + [-math.inf]))))
        spread = [big] * 20000 + [-big] * 19999 + [0.5]
        self.assertEqual(sela.fsum(iter(spread)), exact_sum(spread))

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


if __name__ == "__main__":
    unittest.main()


from support import NUMPY_MISSING, numpy as np  # noqa: E402


@unittest.skipIf(np is None, NUMPY_MISSING)
class NumpyItems(unittest.TestCase):
    def test_arrays_as_math_fsum_iterates_them(self):
        rng = np.random.default_rng(3)
        base = rng.uniform(-1, 1, 3001) * 2.0 ** rng.integers(-60, 60, 3001)
        for a in (base, base.astype(np.float32), base[::-7], base.astype(">f8"),
                  (base * 4).astype(np.int64), base > 0):
            self.assertEqual(bits(sela.fsum(a)), bits(math.fsum(a)), a.dtype)
        with self.assertRaises(TypeError):
            math.fsum(base[:3000].reshape(3, -1))
        with self.assertRaises(TypeError):
            sela.fsum(base[:3000].reshape(3, -1))
