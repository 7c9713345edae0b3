"""sela.dask: the bits of sela.sum/mean/var/std/dot of the computed array for every
chunking, axis and scheduler, and a distributed cluster of two worker processes."""

import logging
import math
import random
import unittest
import warnings
from fractions import Fraction

import sela
from support import NUMPY_MISSING, SANITIZED, SANITIZED_REASON, numpy as np, same

try:
    import dask
    import dask.array as da
    import sela.dask as sd
except ImportError:
    da = None
DASK_MISSING = "dask is not installed for this interpreter (Debian: python3-dask)"
try:
    import distributed
except ImportError:
    distributed = None
DISTRIBUTED_MISSING = "distributed is not installed for this interpreter (Debian: python3-distributed)"


def random_chunks(rng, n):
    """A random split of n into chunks, some of length 1."""
    cuts = sorted(rng.sample(range(1, n), min(n - 1, rng.randint(1, 6)))) if n > 1 else []
    return tuple(b - a for a, b in zip([0] + cuts, cuts + [n]))


def numpy_result(name, x, axis, **kw):
    if name == "sum":
        return sela.sum(x, "exact", axis=axis)
    return getattr(sela, name)(x, axis=axis, **kw)


@unittest.skipIf(np is None, NUMPY_MISSING)
@unittest.skipIf(da is None, DASK_MISSING)
class Chunkings(unittest.TestCase):
    def data(self, rng, shape):
        x = rng.uniform(-1, 1, shape) * 2.0 ** rng.integers(-300, 300, shape)
        flat = x.reshape(-1)
        flat[: flat.size // 2] = -flat[flat.size - flat.size // 2:][::-1][: flat.size // 2] * (1 + 2.0 ** -40)
        return x

    def test_every_chunking_and_axis(self):
        rng = np.random.default_rng(2902)
        pick = random.Random(2902)
        for shape in ((1000,), (30, 41), (6, 7, 9)):
            x = self.data(rng, shape)
            axes = [None] + list(range(len(shape))) + [-1] + ([(0, 2), (1, 2)] if len(shape) == 3 else [])
            for trial in range(4):
                chunks = tuple(random_chunks(pick, s) for s in shape)
                d = da.from_array(x, chunks=chunks)
                for axis in axes:
                    for name in ("sum", "mean", "var", "std"):
                        got = getattr(sd, name)(d, axis=axis)
                        self.assertIsInstance(got, da.Array)  # lazy
                        self.assertTrue(same(got.compute(scheduler="synchronous"), numpy_result(name, x, axis)),
                                        (shape, chunks, axis, name))
                    self.assertTrue(same(sd.var(d, axis=axis, ddof=1, keepdims=True).compute(),
                                         sela.var(x, axis=axis, ddof=1, keepdims=True)))

    def test_exact_at_the_root(self):
        rng = random.Random(5)
        xs = [math.ldexp(rng.uniform(-1, 1), rng.randint(-60, 60)) for _ in range(3000)]
        xs += [-v for v in xs[:1500]] + [1e-300]
        want = float(sum(map(Fraction, xs)))
        for trial in range(5):
            d = da.from_array(np.array(xs), chunks=(random_chunks(rng, len(xs)),))
            self.assertEqual(sd.sum(d).compute(), want)
            self.assertEqual(sd.sum(d).compute(), sela.sum(xs))

    def test_dtypes_and_special_values(self):
        rng = np.random.default_rng(8)
        base = rng.uniform(-1, 1, (50, 20)) * 1e6
        for x in (base.astype(np.float32), base.astype(np.int64), base > 0, base.astype(np.float16)):
            d = da.from_array(x, chunks=(7, 6))
            for axis in (None, 0, 1):
                self.assertTrue(same(sd.sum(d, axis=axis).compute(), sela.sum(x, axis=axis)), x.dtype)
                self.assertTrue(same(sd.var(d, axis=axis).compute(), sela.var(x, axis=axis)), x.dtype)
        x = base.copy()
        x[3, 4], x[10, 4], x[20, 7] = np.inf, -np.inf, np.nan
        d = da.from_array(x, chunks=(7, 6))
        for axis in (None, 0, 1):
            for name in ("sum", "mean", "var"):
                self.assertTrue(same(getattr(sd, name)(d, axis=axis).compute(), numpy_result(name, x, axis)))

    def test_dot(self):
        rng = np.random.default_rng(3)
        x, y = rng.uniform(-1, 1, 5000) * 1e10, rng.uniform(-1, 1, 5000)
        pick = random.Random(3)
        for _ in range(4):
            dx = da.from_array(x, chunks=(random_chunks(pick, 5000),))
            dy = da.from_array(y, chunks=(random_chunks(pick, 5000),))
            self.assertEqual(sd.dot(dx, dy).compute(), sela.dot(x, y))
        with self.assertRaises(ValueError):
            sd.dot(da.ones(3), da.ones(4))
        with self.assertRaises(ValueError):
            sd.dot(da.ones((2, 2)), da.ones((2, 2)))

    def test_centers_of_any_native_double_format(self):
        # Blocks come back from distributed's serialisation with the format "=d".
        x = np.random.default_rng(4).uniform(-1, 1, (6, 5))
        means = sela.mean(x, axis=1, keepdims=True)
        little = means.astype(np.dtype(np.float64).newbyteorder("<"))
        self.assertEqual(bytes(sd._square_records(x, little, (1,))), bytes(sd._square_records(x, means, (1,))))

    def test_order_dependent_methods_are_refused(self):
        d = da.ones(10, chunks=3)
        for method in ("kahan", "naive", "pairwise", "near"):
            with self.assertRaisesRegex(ValueError, "order"):
                sd.sum(d, method=method)
        with self.assertRaisesRegex(ValueError, "order"):
            sd.dot(d, d, method="dot2")
        with self.assertRaises(TypeError):
            sd.sum(da.ones(3, dtype=complex))

    def test_empty_inputs(self):
        e = da.ones((4, 0), chunks=2)
        self.assertTrue(same(sd.sum(e, axis=1).compute(), np.zeros(4)))
        with self.assertWarns(RuntimeWarning):
            self.assertTrue(np.isnan(sd.mean(e, axis=1).compute()).all())
        with self.assertWarns(RuntimeWarning):
            self.assertTrue(math.isinf(sd.var(da.from_array(np.array([1.0, 2.0])), ddof=2).compute()))

    def test_schedulers(self):
        rng = np.random.default_rng(11)
        x = rng.uniform(-1, 1, (300, 40)) * 2.0 ** rng.integers(-200, 200, (300, 40))
        d = da.from_array(x, chunks=(37, 9))
        for scheduler in ("synchronous", "threads") + (() if SANITIZED else ("processes",)):
            with dask.config.set(scheduler=scheduler):
                got = dask.compute(sd.sum(d), sd.mean(d, axis=0), sd.std(d, axis=1, ddof=1),
                                   sd.dot(d[:, 0], d[:, 1]))
            want = (sela.sum(x), sela.mean(x, axis=0), sela.std(x, axis=1, ddof=1), sela.dot(x[:, 0], x[:, 1]))
            for g, w in zip(got, want):
                self.assertTrue(same(g, w), scheduler)


@unittest.skipIf(np is None, NUMPY_MISSING)
@unittest.skipIf(da is None, DASK_MISSING)
@unittest.skipIf(distributed is None, DISTRIBUTED_MISSING)
@unittest.skipIf(SANITIZED, SANITIZED_REASON)
class Cluster(unittest.TestCase):
    def test_two_worker_processes(self):
        rng = np.random.default_rng(12)
        x = rng.uniform(-1, 1, (400, 30)) * 2.0 ** rng.integers(-100, 100, (400, 30))
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=None, silence_logs=logging.ERROR) as cluster, \
                    distributed.Client(cluster) as client:
                pids = set(client.run(lambda: __import__("os").getpid()).values())
                self.assertEqual(len(pids), 2)
                for chunks in ((13, 30), (400, 7), (50, 11)):
                    d = da.from_array(x, chunks=chunks)
                    got = client.compute([sd.sum(d), sd.mean(d, axis=0), sd.var(d, axis=1)], sync=True)
                    self.assertTrue(same(got[0], sela.sum(x)))
                    self.assertTrue(same(got[1], sela.mean(x, axis=0)))
                    self.assertTrue(same(got[2], sela.var(x, axis=1)))


if __name__ == "__main__":
    unittest.main()
