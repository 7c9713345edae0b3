"""Benchmarks of the Python package (figures, not tests).

    PYTHONPATH=build/release/python python3 bench/python_bench.py [--quick]

Reports medians of repeated timeit runs, each as a ratio to its peer measured in the
same run: sela.fsum against math.fsum (lists of 10 and 10^5 floats, uniform and wide
exponents), the per-call cost of sela.sum_exact on numpy arrays (n = 1 bounds the cost
the binding adds to the library's), sela.sum_exact against numpy.sum at 10^7, and two
threads summing two 10^7 arrays against one thread summing both; the exact sum of 10^7
float32, float16 and strided float64 elements (read in bounded blocks) against float64 in
place, per element, and sela.mean/var against numpy's; with dask installed,
sela.dask.sum against dask.array.sum on 10^8 elements in 16 chunks with the threaded
scheduler (--dask-n changes the size). Short inputs rotate through 64 different lists so
no branch pattern is learnt.
"""

import argparse
import math
import random
import statistics
import sys
import threading
import time
import timeit

import sela

try:
    import numpy as np
except ImportError:
    np = None


def median_time(stmt, number, repeat, timer=time.process_time):
    """Median seconds per call of stmt(), in processor time of this process by default
    (steadier than wall time on a shared machine)."""
    times = timeit.repeat(stmt, number=number, repeat=repeat, timer=timer)
    return statistics.median(times) / number


def rotating(fn, inputs):
    """A statement calling fn on each input in turn."""
    state = {"i": 0}
    n = len(inputs)

    def stmt():
        i = state["i"]
        state["i"] = i + 1 if i + 1 < n else 0
        fn(inputs[i])

    return stmt


def data(rng, n, kind):
    if kind == "uniform":
        return [rng.uniform(0.0, 1.0) for _ in range(n)]
    return [math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-1000, 1000)) for _ in range(n)]


def bench_fsum(repeat, out):
    """Lists of 10 rotate through 64 copies; lists of 10^5 through 4 (13 MB of float
    objects, beyond the caches a shared machine leaves) and through 1 (cached)."""
    rng = random.Random(1)
    for n, copies, number in ((10, 64, 20000), (100000, 4, 4), (100000, 1, 4)):
        for kind in ("uniform", "wide"):
            inputs = [data(rng, n, kind) for _ in range(copies)]
            t_math = median_time(rotating(math.fsum, inputs), number, repeat)
            t_sela = median_time(rotating(sela.fsum, inputs), number, repeat)
            out.append(f"fsum n={n:<6} {kind:<7} lists={copies:<2}  math.fsum {t_math / n * 1e9:8.2f} ns/elem  "
                       f"sela.fsum {t_sela / n * 1e9:8.2f} ns/elem  speed-up {t_math / t_sela:6.2f}x")


def bench_call_cost(repeat, out):
    rng = np.random.default_rng(2)
    t = median_time(rotating(len, [np.zeros(1)] * 64), 20000, repeat)
    out.append(f"harness alone (len(ndarray))      {t * 1e9:8.1f} ns per call")
    for n in (1, 1000):
        inputs = [rng.uniform(-1, 1, n) for _ in range(64)]
        t = median_time(rotating(sela.sum_exact, inputs), 20000, repeat)
        out.append(f"sela.sum_exact(ndarray) n={n:<5} {t * 1e9:8.1f} ns per call")
    t = median_time(rotating(sela.sum_exact, [[0.5]] * 64), 20000, repeat)
    out.append(f"sela.sum_exact([x]) (list of one)  {t * 1e9:8.1f} ns per call")


def bench_large(repeat, out):
    n = 10 ** 7
    rng = np.random.default_rng(3)
    a, b = rng.uniform(-1, 1, n), rng.uniform(-1, 1, n)
    t_np = median_time(lambda: np.sum(a), 3, repeat)
    t_exact = median_time(lambda: sela.sum_exact(a), 3, repeat)
    t_naive = median_time(lambda: sela.sum_naive(a), 3, repeat)
    out.append(f"n=10^7 numpy.sum {t_np * 1e3:7.2f} ms  sela.sum_exact {t_exact * 1e3:7.2f} ms "
               f"(ratio {t_exact / t_np:5.2f})  sela.sum_naive {t_naive * 1e3:7.2f} ms")

    def both_on_one_thread():
        sela.sum_exact(a)
        sela.sum_exact(b)

    def two_threads():
        threads = [threading.Thread(target=sela.sum_exact, args=(v,)) for v in (a, b)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    # Wall time: the point is that the two threads overlap.
    t_one = median_time(both_on_one_thread, 3, repeat, time.perf_counter)
    t_two = median_time(two_threads, 3, repeat, time.perf_counter)
    # Processor time over wall time above 1 shows the threads running at once, even on a
    # machine too busy for the wall time to drop.
    wall, cpu = time.perf_counter(), time.process_time()
    for _ in range(repeat):
        two_threads()
    overlap = (time.process_time() - cpu) / (time.perf_counter() - wall)
    out.append(f"two 10^7 sums: one thread {t_one * 1e3:7.2f} ms, two threads {t_two * 1e3:7.2f} ms "
               f"(ratio {t_two / t_one:5.2f}; processor/wall time with two threads {overlap:4.2f})")


def bench_dtypes(repeat, out):
    """Per element, each dtype against float64 read in place, interleaved in one run."""
    n = 10 ** 7
    rng = np.random.default_rng(4)
    uniform = rng.uniform(-1, 1, n)
    wide = uniform * 2.0 ** rng.integers(-100, 100, n)
    for label, base in (("uniform", uniform), ("wide exponents", wide)):
        forms = [("float64", base), ("float32", base.astype(np.float32)),
                 ("float16", (base / np.abs(base).max() * 6e4).astype(np.float16)),
                 (">f8 byte-swapped", base.astype(">f8")), ("float64[::2] of 2n", np.repeat(base, 2)[::2])]
        times = {name: median_time(lambda a=a: sela.sum_exact(a), 3, repeat) for name, a in forms}
        t64 = times["float64"]
        line = ", ".join(f"{name} {t / n * 1e9:5.2f} ns ({t / t64:4.2f})" for name, t in times.items())
        out.append(f"exact sum of 10^7, {label}: {line}")
    t_np = median_time(lambda: np.mean(uniform), 3, repeat)
    t_sela = median_time(lambda: sela.mean(uniform), 3, repeat)
    t_npv = median_time(lambda: np.var(uniform), 3, repeat)
    t_selav = median_time(lambda: sela.var(uniform), 3, repeat)
    out.append(f"n=10^7 numpy.mean {t_np * 1e3:6.2f} ms, sela.mean {t_sela * 1e3:6.2f} ms; "
               f"numpy.var {t_npv * 1e3:6.2f} ms, sela.var {t_selav * 1e3:6.2f} ms")


def bench_dask(repeat, out, n):
    try:
        import dask
        import dask.array as da
        import sela.dask as sd
    except ImportError:
        out.append("dask is not installed: dask figures skipped (Debian: python3-dask)")
        return
    x = np.random.default_rng(5).uniform(-1, 1, n)
    d = da.from_array(x, chunks=n // 16)
    with dask.config.set(scheduler="threads"):
        # Wall time: the threaded scheduler's point is to use both cores.
        t_dask = median_time(lambda: d.sum().compute(), 1, repeat, time.perf_counter)
        t_sela = median_time(lambda: sd.sum(d).compute(), 1, repeat, time.perf_counter)
    out.append(f"dask, {n:.0e} float64 in 16 chunks, threads: dask.array.sum {t_dask * 1e3:7.1f} ms, "
               f"sela.dask.sum {t_sela * 1e3:7.1f} ms (ratio {t_sela / t_dask:4.2f})")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer repetitions")
    p.add_argument("--dask-n", type=float, default=1e8, help="elements of the dask figure (default 1e8)")
    args = p.parse_args()
    repeat = 3 if args.quick else 7
    out = [f"sela {sela.__version__}, Python {sys.version.split()[0]}"]
    bench_fsum(repeat, out)
    if np is None:
        out.append("numpy is not installed: array and thread figures skipped")
    else:
        bench_call_cost(repeat, out)
        bench_large(repeat, out)
        bench_dtypes(repeat, out)
        bench_dask(repeat, out, int(args.dask_n))
    print("\n".join(out))


if __name__ == "__main__":
    main()
