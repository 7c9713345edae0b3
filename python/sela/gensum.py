"""Ill-conditioned sums with a known exact value, for testing summation code."""

from __future__ import annotations

import builtins
import math
import random
from fractions import Fraction
from typing import List, Tuple

# Every double is an integer multiple of 2^-1074, so sums of doubles are exact as
# integers in that unit.
_UNIT = 2 ** 1074
_builtin_sum = builtins.sum


def _units(x):
    p, q = x.as_integer_ratio()  # q is a power of two, at most 2^1074
    return p * (_UNIT // q)


def _to_float(units):
    """The integer sum, in units of 2^-1074, rounded to nearest (ties to even)."""
    return float(Fraction(units, _UNIT))  # int / int true division rounds correctly


def _shifted(n, cond, rng):
    """Mild conditions: uniform values on [m - 1, m + 1], whose sum has condition
    number about (1 + m^2) / (2m) for 0 < m <= 1."""
    m = cond - math.sqrt(cond * cond - 1.0)
    return [m + rng.uniform(-1.0, 1.0) for _ in range(n)]


def _cancelling(n, bits, rng):
    """The first half: random signs, exponents spread over [0, bits]; each element of
    the second half cancels the exact running sum down to a random value of a smaller
    magnitude, falling from 2^bits to 1."""
    first = n // 2
    second = n - first
    data = []
    total = 0  # the exact running sum, in units of 2^-1074
    for i in range(first):
        e = bits if i == 0 else 0.0 if i == first - 1 else rng.uniform(0.0, bits)
        x = math.ldexp(rng.uniform(-1.0, 1.0), round(e))
        data.append(x)
        total += _units(x)
    for j in range(second):
        e = bits * (1.0 - (j + 1) / second)
        target = math.copysign(rng.uniform(0.5, 1.0), rng.uniform(-1.0, 1.0))
        x = math.ldexp(target, round(e)) - _to_float(total)
        data.append(x)
        total += _units(x)
    return data


def _condition(data):
    total = _builtin_sum(_units(x) for x in data)
    magnitude = _builtin_sum(abs(_units(x)) for x in data)
    return float(Fraction(magnitude, abs(total))) if total else math.inf


def gensum(n: int, cond: float, seed: object = None) -> Tuple[List[float], float]:
    """Returns (data, exact): a list of n doubles whose sum has condition number about
    cond, and that sum correctly rounded, computed with Python integers.

    The condition number of a sum is sum(|x|) / |sum(x)|. Mild conditions (below n)
    come from uniform data shifted off zero; higher ones from data whose second half
    cancels the running sum step by step, the first half spread over the exponents up to
    about log2(cond); the exponent range is corrected once from the condition reached.
    The data are shuffled. The condition number reached is within a small factor of
    cond; compute it from the data when it matters. Each cancelling step reaches at most
    53 bits further down, so few elements cannot reach a high condition (two doubles at
    most about 2^53). n >= 2, 1 <= cond <= 1e300; the same seed gives the same data.
    """
    n = int(n)
    cond = float(cond)
    if n < 2:
        raise ValueError("gensum needs n >= 2")
    if not 1.0 <= cond <= 1e300:
        raise ValueError("gensum needs 1 <= cond <= 1e300")
    if cond < n:
        data = _shifted(n, cond, random.Random(seed))
    else:
        bits = math.log2(cond)
        data = _cancelling(n, bits, random.Random(seed))
        reached = _condition(data)
        bits = min(max(bits - math.log2(reached / cond), 0.0), 996.0)
        data = _cancelling(n, bits, random.Random(seed))
    random.Random(seed).shuffle(data)
    return data, _to_float(_builtin_sum(_units(x) for x in data))
