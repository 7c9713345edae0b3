"""One list of methods for every front end: sela.sum and sela.dot take the names of the
table the command-line tool reads (tools/methods.c), with the same exports behind them,
and the same bound on K."""

import os
import random
import shutil
import struct
import subprocess
import tempfile
import unittest

import sela
from support import random_data


def bits(v):
    return struct.pack("<d", v)


SUM_EXPORTS = {"naive": "sum_naive", "pairwise": "sum_pairwise",
               "pairwise_iterative": "sum_pairwise_iterative", "kahan": "sum_kahan",
               "neumaier": "sum_neumaier", "klein": "sum_klein", "shewchuk": "sum_shewchuk",
               "sum2": "sum_oro", "acc": "sum_acc", "near": "sum_near", "exact": "sum_exact"}
SUM_ALIASES = {"oro": "sum2", "accsum": "acc", "nearsum": "near",
               "pairwise-iterative": "pairwise_iterative"}


def tool_path():
    """The tool of the same build tree, when there is one (python/sela -> tools/sela)."""
    build = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(sela.__file__))))
    path = os.path.join(build, "tools", "sela")
    return path if os.access(path, os.X_OK) else None


class MethodTable(unittest.TestCase):
    def setUp(self):
        self.xs = random_data(random.Random(17), 700, "cancel")
        self.ys = random_data(random.Random(18), 700, "wide")

    def test_names_and_aliases_reach_their_exports(self):
        self.assertEqual(sela.SUM_METHODS, ("naive", "pairwise", "pairwise_iterative", "kahan",
                                            "neumaier", "klein", "shewchuk", "sum2", "k", "acc",
                                            "near", "exact"))
        self.assertEqual(sela.DOT_METHODS, ("naive", "dot2", "k", "exact"))
        for name in sela.SUM_METHODS:
            if name != "k":
                want = getattr(sela, SUM_EXPORTS[name])(self.xs)
                self.assertEqual(bits(sela.sum(self.xs, name)), bits(want), name)
        for alias, name in SUM_ALIASES.items():
            self.assertEqual(bits(sela.sum(self.xs, alias)), bits(sela.sum(self.xs, name)), alias)
        for k in (1, 2, 3, 7, 100):
            want = sela.sum_k(self.xs, k)
            self.assertEqual(bits(sela.sum(self.xs, f"k:{k}")), bits(want))
            self.assertEqual(bits(sela.sum(self.xs, "k", k=k)), bits(want))
            dot = sela.dot_k(self.xs, self.ys, k)
            self.assertEqual(bits(sela.dot(self.xs, self.ys, f"k:{k}")), bits(dot))
            self.assertEqual(bits(sela.dot(self.xs, self.ys, "k", k=k)), bits(dot))
        self.assertEqual(bits(sela.sum(self.xs, "sumk")), bits(sela.sum_k(self.xs, 3)))
        self.assertEqual(bits(sela.dot(self.xs, self.ys, "naive")), bits(sela.dot_naive(self.xs, self.ys)))

    def test_one_bound_on_k(self):
        self.assertEqual(bits(sela.sum(self.xs, "k:4096")), bits(sela.sum_k(self.xs, 4096)))
        for bad in (4097, 100000, 2 ** 31 - 1, 2 ** 80, 0, -3):
            with self.assertRaises(ValueError):
                sela.sum(self.xs, "k", k=bad)
            with self.assertRaises(ValueError):
                sela.dot(self.xs, self.ys, "k", k=bad)
        for bad in ("k:4097", "k:0", "k:", "k:x", "k:-1", "fast", "", 3, None):
            with self.assertRaises(ValueError):
                sela.sum(self.xs, bad)
        for bad in (4097, 2 ** 31 - 1):
            with self.assertRaises(ValueError):
                sela.sum_k(self.xs, bad)
            with self.assertRaises(ValueError):
                sela.dot_k(self.xs, self.ys, bad)
        with self.assertRaises(ValueError):
            sela.sum(self.xs, "k:3", k=3)  # K given twice
        with self.assertRaises(ValueError):
            sela.sum(self.xs, "kahan", k=3)

    def test_the_tool_gives_the_same_bits(self):
        tool = tool_path()
        if tool is None:
            self.skipTest("the command-line tool is not built in this tree")
        names = [n for n in sela.SUM_METHODS if n != "k"] + list(SUM_ALIASES) + ["k:3", "k:50"]
        with tempfile.TemporaryDirectory() as scratch:
            path = os.path.join(scratch, "x.txt")
            with open(path, "w") as f:
                f.write("\n".join(repr(v) for v in self.xs))
            for name in names:
                out = subprocess.run([tool, "sum", path, "--method", name], check=True,
                                     capture_output=True, text=True).stdout
                self.assertEqual(bits(float(out)), bits(sela.sum(self.xs, name)), name)


if __name__ == "__main__":
    unittest.main()
