"""The interpreter lock is released while the library works on a long input."""

import array
import sys
import threading
import unittest

import sela


class LockReleased(unittest.TestCase):
    def test_other_threads_run_during_a_call(self):
        big = array.array("d", [0.5]) * 200000
        done = threading.Event()
        main_ran = threading.Event()
        results = []

        def worker():
            # Calls go on until this thread has seen the main one run (or for long enough
            # that it would have, had any call released the lock): the test does not
            # depend on how long one call takes.
            for _ in range(5000):
                results.append(sela.sum_exact(big))
                if main_ran.is_set():
                    break
            done.set()

        old = sys.getswitchinterval()
        # With a switch interval this long the interpreter never takes the lock from the
        # worker; this thread runs again before the worker ends only if a call releases it.
        sys.setswitchinterval(1000.0)
        try:
            t = threading.Thread(target=worker)
            t.start()
            ran_during_work = not done.is_set()
            main_ran.set()
            t.join()
        finally:
            sys.setswitchinterval(old)
        self.assertTrue(ran_during_work)
        self.assertEqual(results, [100000.0] * len(results))
