"""gensum's data, exact sum and condition; the accuracy plot."""

import math
import os
import subprocess
import sys
import tempfile
import unittest
from fractions import Fraction

import sela
from support import exact_sum

try:
    import matplotlib  # noqa: F401
except ImportError:
    matplotlib = None


class GenSum(unittest.TestCase):
    def test_exact_sum_and_condition(self):
        for n in (2, 10, 1000):
            for cond in (1.0, 1e3, 1e10, 1e20, 1e40):
                data, s = sela.gensum(n, cond, seed=n)
                self.assertEqual(len(data), n)
                self.assertEqual(s, exact_sum(data))
                self.assertEqual(s, sela.sum_exact(data))
                reached = float(sum(Fraction(abs(x)) for x in data) / abs(Fraction(s)))
                # Below n the data are only shifted off zero; each cancelling step reaches
                # at most 53 bits further down.
                if n <= cond and math.log2(cond) < 50 * (n // 2):
                    self.assertLess(abs(math.log10(reached / cond)), 1.5, (n, cond, reached))
        self.assertEqual(sela.gensum(50, 1e12, seed=3), sela.gensum(50, 1e12, seed=3))
        with self.assertRaises(ValueError):
            sela.gensum(1, 10.0)
        with self.assertRaises(ValueError):
            sela.gensum(10, 0.5)

    def test_naive_sum_loses_what_the_condition_predicts(self):
        data, s = sela.gensum(1000, 1e20, seed=1)
        self.assertGreater(abs(sela.sum_naive(data) - s), 1e-3 * abs(s))
        self.assertEqual(sela.sum_near(data), s)


class AccuracyPlot(unittest.TestCase):
    def run_module(self, *args):
        env = dict(os.environ)
        return subprocess.run([sys.executable, "-m", "sela.accuracy", *args], env=env,
                              capture_output=True, text=True, timeout=300)

    def test_csv(self):
        r = self.run_module("--csv", "--n", "50", "--points", "5")
        self.assertEqual(r.returncode, 0, r.stderr)
        lines = r.stdout.strip().splitlines()
        header = lines[0].split(",")
        self.assertEqual(header[0], "cond")
        self.assertEqual(len(lines), 6)
        exact_column = header.index("exact")
        self.assertTrue(all(float(l.split(",")[exact_column]) == 0.0 for l in lines[1:]))

    @unittest.skipIf(matplotlib is None, "matplotlib is not installed (Debian: python3-matplotlib)")
    def test_png(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "a.png")
            r = self.run_module("--out", out, "--n", "50", "--points", "5")
            self.assertEqual(r.returncode, 0, r.stderr)
            with open(out, "rb") as f:
                self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")

    @unittest.skipIf(matplotlib is not None, "matplotlib is installed")
    def test_message_without_matplotlib(self):
        r = self.run_module("--out", os.devnull, "--n", "20", "--points", "2")
        self.assertEqual(r.returncode, 1)
        self.assertIn("matplotlib is not installed", r.stderr)
