"""Accumulator: any chunking, merge tree, pickle or process boundary gives sum_exact of
everything added."""

import copy
import math
import multiprocessing
import pickle
import random
import threading
import unittest

import sela
from support import bits, random_data


def partial_bytes(chunk):
    """Runs in a worker process: the chunk's accumulator, as bytes."""
    return bytes(sela.Accumulator(chunk))


def partial_pickled(chunk):
    acc = sela.Accumulator()
    acc += chunk
    return acc


class Accumulating(unittest.TestCase):
    def setUp(self):
        rng = random.Random(17)
        self.data = (random_data(rng, 4000, "wide") + random_data(rng, 3000, "cancel")
                     + random_data(rng, 100, "subnormal"))
        rng.shuffle(self.data)
        self.want = sela.sum_exact(self.data)

    def chunks(self, seed):
        rng = random.Random(seed)
        cuts = sorted(rng.sample(range(1, len(self.data)), 40))
        return [self.data[a:b] for a, b in zip([0] + cuts, cuts + [len(self.data)])]

    def test_chunks_and_merge_trees(self):
        for seed in range(5):
            parts = [sela.Accumulator(c) for c in self.chunks(seed)]
            random.Random(seed).shuffle(parts)
            while len(parts) > 1:  # a random merge tree
                i = random.Random(len(parts)).randrange(len(parts) - 1)
                parts[i].merge(parts.pop(i + 1))
            self.assertEqual(bits(float(parts[0])), bits(self.want))
        acc = sela.Accumulator()
        for c in self.chunks(9):
            acc += c
        self.assertEqual(bits(float(acc)), bits(self.want))
        total = sum((sela.Accumulator(c) for c in self.chunks(3)), sela.Accumulator())
        self.assertEqual(bits(float(total)), bits(self.want))

    def test_products_and_self_merge(self):
        xs, ys = self.data[:500], self.data[500:1000]
        acc = sela.Accumulator()
        acc.add_products(xs, ys)
        self.assertEqual(bits(float(acc)), bits(sela.dot_exact(xs, ys)))
        acc.merge(acc)
        self.assertEqual(float(acc), 2 * sela.dot_exact(xs, ys))
        with self.assertRaises(ValueError):
            acc.add_products(xs, ys[1:])
        with self.assertRaises(TypeError):
            acc.merge(self.data)

    def test_self_merges_beyond_the_range(self):
        # About 2100 self-merges carry 1e308 beyond the accumulator's register (2^3117):
        # it rounds to the infinity of its sign, as the exact sum of that many copies
        # does, at every count, and it stays usable.
        acc, neg = sela.Accumulator([1e308]), sela.Accumulator([-1.0])
        for k in range(1, 2095):
            acc.merge(acc)
            self.assertEqual(float(acc), math.inf, k)
        for k in range(1, 3200):
            neg.merge(neg)
            self.assertEqual(float(neg), -math.ldexp(1.0, k) if k < 1024 else -math.inf, k)
        acc.add([-1e308] * 1000)
        self.assertEqual(float(acc), math.inf)
        acc.merge(neg)  # beyond the range with both signs: the value is lost
        self.assertTrue(math.isnan(float(acc)))

    def test_copies_are_independent(self):
        a = sela.Accumulator([1.0, 2.0 ** -80])
        for b in (a.copy(), copy.copy(a), copy.deepcopy(a), pickle.loads(pickle.dumps(a))):
            b.add([1e300])
            self.assertEqual(float(a), 1.0 + 2.0 ** -80)
            self.assertEqual(float(b), 1e300)

    def test_bytes_round_trip_and_rejects(self):
        a = sela.Accumulator(self.data)
        b = bytes(a)
        self.assertEqual(bits(float(sela.Accumulator.from_bytes(b))), bits(self.want))
        self.assertEqual(float(sela.Accumulator.from_bytes(bytes(sela.Accumulator()))), 0.0)
        rng = random.Random(4)
        bad = [b"", b[:-1], b + b"\0", bytes(len(b)), bytes(rng.getrandbits(8) for _ in b)]
        for i in (0, 7, 9, 100, len(b) - 20):  # the format word, the countdown, limbs, side words
            flipped = bytearray(b)
            flipped[i] ^= 0xFF
            bad.append(bytes(flipped))
        rejected = 0
        for candidate in bad:
            try:
                sela.Accumulator.from_bytes(candidate)
            except ValueError:
                rejected += 1
        # Flipping low bits of a limb (byte 100) leaves a valid record of another value;
        # every other corruption here must be refused.
        self.assertEqual(rejected, len(bad) - 1)
        with self.assertRaises(TypeError):
            sela.Accumulator.from_bytes(3.0)

    def test_multiprocessing_pool(self):
        chunks = self.chunks(1)
        ctx = multiprocessing.get_context("spawn")
        with ctx.Pool(2) as pool:
            via_bytes = pool.map(partial_bytes, chunks)
            via_pickle = pool.map(partial_pickled, chunks)
        total = sela.Accumulator()
        for b in via_bytes:
            total.merge(sela.Accumulator.from_bytes(b))
        self.assertEqual(bits(float(total)), bits(self.want))
        total = sela.Accumulator()
        for acc in via_pickle:
            total += acc
        self.assertEqual(bits(float(total)), bits(self.want))

    def test_threads_adding_to_one_accumulator(self):
        # Long chunks are added with the interpreter lock released; the record is still
        # never written by two threads at once.
        chunk = random_data(random.Random(8), 5000, "wide")
        acc = sela.Accumulator()
        threads = [threading.Thread(target=lambda: [acc.add(chunk) for _ in range(20)])
                   for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        self.assertEqual(bits(float(acc)), bits(sela.sum_exact(chunk * 80)))

    def test_crossed_merges_do_not_deadlock(self):
        big = [1.0] * 5000  # long enough to be added with the interpreter lock released
        a, b = sela.Accumulator(), sela.Accumulator()

        def work(x, y):
            for _ in range(30):
                x.add(big)
                y.merge(x)

        threads = [threading.Thread(target=work, args=p, daemon=True) for p in ((a, b), (b, a))]
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout=60)
        self.assertFalse(any(t.is_alive() for t in threads))
        # Every value held is a whole multiple of len(big).
        self.assertEqual(float(a) % 5000, 0.0)
        self.assertGreater(float(a) + float(b), 0.0)


if __name__ == "__main__":
    unittest.main()
