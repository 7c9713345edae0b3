"""sum(..., axis=...) equals the per-slice calls, with numpy's axis conventions."""

import itertools
import unittest

import sela
from support import NUMPY_MISSING, bits, numpy as np


@unittest.skipIf(np is None, NUMPY_MISSING)
class AxisReductions(unittest.TestCase):
    def setUp(self):
        rng = np.random.default_rng(21)
        self.a = rng.uniform(-1, 1, (4, 5, 6)) * 2.0 ** rng.integers(-80, 80, (4, 5, 6))

    def per_slice(self, a, axes, f):
        kept = [d for d in range(a.ndim) if d not in axes]
        out = np.empty([a.shape[d] for d in kept])
        for idx in itertools.product(*[range(a.shape[d]) for d in kept]):
            sl = [slice(None)] * a.ndim
            for d, i in zip(kept, idx):
                sl[d] = i
            # The reduced axes in their original order, flattened in C order.
            out[idx] = f(np.ascontiguousarray(a[tuple(sl)]).ravel())
        return out

    def test_every_axis_choice(self):
        a = self.a
        for axes in [(0,), (1,), (2,), (0, 1), (0, 2), (1, 2), (0, 1, 2)]:
            for method in ("exact", "naive", "kahan", "k"):
                k = 2 if method == "k" else None
                f = (lambda v: sela.sum_k(v, 2)) if k else getattr(sela, "sum_" + method)
                got = sela.sum(a, method, axis=axes, k=k)
                want = self.per_slice(a, axes, f)
                self.assertEqual(np.shape(got), want.shape)
                self.assertEqual(bits(np.ravel(got).tolist()[0]), bits(want.ravel()[0]))
                self.assertTrue(np.array_equal(np.ravel(got), want.ravel()), (axes, method))

    def test_numpy_conventions(self):
        a = self.a
        self.assertTrue(np.array_equal(sela.sum(a, axis=-1), sela.sum(a, axis=2)))
        self.assertTrue(np.array_equal(sela.sum(a, axis=(-1, 0)), sela.sum(a, axis=(0, 2))))
        self.assertIsInstance(sela.sum(a, axis=(0, 1, 2)), np.float64)
        self.assertEqual(sela.sum(a, axis=(0, 1, 2)), sela.sum(a))
        self.assertEqual(sela.sum(np.ones((3, 0)), axis=1).tolist(), [0.0, 0.0, 0.0])
        self.assertEqual(sela.sum(np.ones((3, 0)), axis=0).shape, (0,))
        self.assertTrue(np.array_equal(sela.sum(a.astype(np.float32), axis=1),
                                       sela.sum(a.astype(np.float32).astype(np.float64), axis=1)))
        self.assertTrue(np.allclose(sela.sum(a, axis=(1, 2)), np.sum(a, axis=(1, 2)), rtol=1e-12))
        with self.assertRaises(np.AxisError if hasattr(np, "AxisError") else ValueError):
            sela.sum(a, axis=3)
        with self.assertRaises(ValueError):
            sela.sum(a, axis=(1, -2))
        with self.assertRaises(TypeError):
            sela.sum(a.astype(complex), axis=0)
        with self.assertRaises(TypeError):
            sela.sum(a, axis=1.5)

    def test_exact_along_rows_of_cancelling_data(self):
        rows = np.array([[1e100, 1.0, -1e100], [2.0 ** 60, 1.0, -(2.0 ** 60)], [0.1] * 3])
        self.assertEqual(sela.sum(rows, axis=1).tolist(), [1.0, 1.0, sela.fsum([0.1] * 3)])
        self.assertEqual(sela.sum(rows.T, axis=0).tolist(), [1.0, 1.0, sela.fsum([0.1] * 3)])


@unittest.skipIf(np is not None, "numpy is installed")
class WithoutNumpy(unittest.TestCase):
    def test_axis_needs_numpy_and_nothing_else_does(self):
        with self.assertRaises(ModuleNotFoundError):
            sela.sum([[1.0, 2.0]], axis=0)
        self.assertEqual(sela.sum([1e100, 1.0, -1e100]), 1.0)
