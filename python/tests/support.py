"""Shared pieces of the Python tests: independent oracles and test data."""

import ctypes
import math
import os
import random
import struct
from fractions import Fraction

try:
    import numpy
except ImportError:  # the suite runs without numpy; those tests skip
    numpy = None

NUMPY_MISSING = "numpy is not installed for this interpreter (Debian: python3-numpy)"
# Under the sanitizer build every process loads the sanitizer runtime first: the tests that
# start worker processes (the same code paths as threads, plus pickling) run in the plain
# build only.
SANITIZED = bool(os.environ.get("SELA_SANITIZED"))
SANITIZED_REASON = "worker processes are tested in the plain build (this build runs under the sanitizers)"
C_LIBRARY_MISSING = "SELA_LIBRARY does not name the built libsela.so (set by CTest)"


def same(a, b):
    """Same shape and the same float64 bits in every element (numpy required)."""
    a, b = numpy.asarray(a, dtype=numpy.float64), numpy.asarray(b, dtype=numpy.float64)
    return a.shape == b.shape and numpy.array_equal(a.view(numpy.uint64), b.view(numpy.uint64))


def bits(x):
    return struct.pack("<d", x)


def exact_sum(xs):
    """Fraction oracle: the exact sum of finite doubles, rounded to nearest even (or
    +-inf beyond the range)."""
    total = Fraction(0)
    for x in xs:
        total += Fraction(x)
    try:
        return float(total)
    except OverflowError:
        return math.inf if total > 0 else -math.inf


def load_c_library():
    path = os.environ.get("SELA_LIBRARY")
    if not path or not os.path.exists(path):
        return None
    lib = ctypes.CDLL(path)
    d, p, u64, i32 = ctypes.c_double, ctypes.POINTER(ctypes.c_double), ctypes.c_uint64, ctypes.c_int32
    shapes = {
        (p, u64): ["sum_naive", "sum_pairwise", "sum_pairwise_iterative", "sum_kahan",
                   "sum_neumaier", "sum_klein", "sum_shewchuk", "sum_exact", "sum_oro",
                   "sum_acc", "sum_near", "condition_number", "norm_scaled", "mean_scaled"],
        (p, u64, i32): ["sum_k"],
        (p, p, u64): ["dot_exact", "dot_naive", "dot2"],
        (p, p, u64, i32): ["dot_k"],
        (p, u64, d): ["centered_sum_squares"],
        (p, p, u64, d, d): ["centered_cross_product", "centered_cosine_similarity",
                            "centered_projection_coefficient"],
    }
    for argtypes, names in shapes.items():
        for name in names:
            f = getattr(lib, "sela_" + name)
            f.argtypes, f.restype = argtypes, d
    return lib


def c_array(xs):
    return (ctypes.c_double * len(xs))(*xs)


def random_data(rng, n, kind):
    """Fixed-seed data of one kind: uniform, wide exponents, cancelling, subnormal."""
    if kind == "uniform":
        return [rng.uniform(-1.0, 1.0) for _ in range(n)]
    if kind == "wide":
        return [math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-1070, 1020)) for _ in range(n)]
    if kind == "cancel":
        half = [math.ldexp(rng.uniform(-1.0, 1.0), rng.randint(-60, 60)) for _ in range(n // 2)]
        data = half + [-x for x in half] + [rng.uniform(-1e-30, 1e-30) for _ in range(n - 2 * (n // 2))]
        rng.shuffle(data)
        return data
    if kind == "subnormal":
        return [rng.randint(-2 ** 52, 2 ** 52) * 5e-324 for _ in range(n)]
    raise ValueError(kind)


KINDS = ("uniform", "wide", "cancel", "subnormal")

# Named extremes: largest and smallest normal and subnormal, ties, signed zeros.
EXTREMES = [
    [], [0.0], [-0.0], [-0.0, -0.0], [5e-324, -5e-324], [1.7976931348623157e308, -1e292],
    [1e308, 1e308, -1e308], [2.0 ** 53, 1.0, 2.0 ** -53], [1.0, 2.0 ** -53],
    [1.0, 2.0 ** -53, 2.0 ** -106], [2.2250738585072014e-308, -5e-324],
    [1e100, 1.0, -1e100, 1e-100], [0.1] * 10, [1.0, -1.0, 2.0 ** -1074],
]
