// Division of vectors by one positive scale on the multiply-add units, each quotient the
// correctly rounded a / b, the divider's bits, written once over an operation set
// (vector_ops.h). Internal linkage throughout, for the reason given in vector_ops.h.
//
// Why: the divider takes one vector at a time and needs many cycles for it (on the Intel
// processor measured, about 0.6 ns per quotient at every width: 8 cycles a 256-bit vector,
// 17 a 512-bit one), while the multiply-add units start two vectors a cycle. A loop that
// divides several values per element waits on the divider; the same quotients formed by
// five multiply-adds leave it to the units the rest of the loop shares.
//
// The quotient. y = RN(1/b), once per scale; then
//   q0 = RN(a y),  q1 = RN(q0 - RN(q0 b - a) y),  q2 = RN(q1 - RN(q1 b - a) y),
// each RN(. b - a) one fused multiply-subtract and each correction one fused multiply-add.
// Let z = a / b, u = 2^-53, and take b > 0 (signs of a mirror everything).
// 1. q1 is faithful (one of the two doubles around z): y = (1/b)(1 + e1), q0 = z(1 + t)
//    with |t| <= 2u + u^2, q0 b - a = a t, rounded with a relative error e2 (|e1|, |e2|
//    <= u), so q0 - RN(q0 b - a) y = z (1 - t (e1 + e2 + e1 e2)): within 5u^2 |z| of z,
//    far inside half a gap, so its rounding q1 is one of z's neighbours.
// 2. The remainder of a faithful q is exact: q b - a is a multiple of 2^(E_b + E_q - 104)
//    (E_ the binary exponents), below b 2^(E_q - 52) < 2^(E_b + E_q - 51) in magnitude, so
//    it has at most 53 bits.
// 3. With q faithful and r = q b - a exact, RN(q - r y) = RN(z). The argument is
//    w = z + d with d = -r (y - 1/b). If b is a power of two, y = 1/b and d = 0. Otherwise
//    b = beta 2^E_b with 1 < beta < 2, 1/b lies inside the binade [2^(-E_b-1), 2^(-E_b)),
//    |y - 1/b| <= 2^(-E_b-54), and |d| <= beta 2^-54 |z - q|. RN(w) differs from RN(z)
//    only if the midpoint m between q and its other neighbour lies between z and w (every
//    other midpoint is half a gap g = 2^(k-52) away, k the exponent of the smaller of the
//    two), so only if |z - m| <= |d|, where |z - q| <= g/2 + |d|, so |d| <= beta 2^(k-107)
//    / (1 - beta 2^-54). But a - b m is a non-zero (no quotient of doubles is a midpoint:
//    its odd part would need 54 bits) multiple of 2^(E_b + k - 105), so |z - m| >=
//    2^(k-105) / beta, and beta^2 < 4 (1 - beta 2^-54) for beta <= 2 - 2^-52: a
//    contradiction. So q2 = RN(z), and equally when q1 was already RN(z).
// The steps need: y normal (b within [2^-60, 2^960], checked once per scale, else every
// quotient is the divider's), no remainder below the subnormal grid and z normal
// (|a| >= 2^-968 is enough there), and z below 2^1020. Zeros come out right too: a = +-0
// gives q0 = +-0, remainders +0 (x - x rounds to +0) and corrections -(+0 y) + q = q, the
// sign of a, as a / b has it. Outside that domain the quotient may differ; it is then
// recognised afterwards by its magnitude (fusedInRange), since for b >= 2^-60 an a below
// 2^-968 gives |q2| below 2^-906, a quotient beyond 2^1020 gives |q2| beyond 2^1000, and an
// infinity or a NaN in a gives a NaN.
//
// Where the divider is faster (the AMD processors this code was first tuned on), the five
// multiply-adds per vector still take only two and a half cycles of their two units, which
// by the published instruction tables is less than those dividers take for a vector (not
// measured here); and the callers leave a share of the divisions to the divider, so the
// two kinds of unit run side by side on either.
#pragma once

#include <cstdint>

#include "algorithms/vector_ops.h"

namespace {

// Whether the operation set has fused multiply-adds (SSE2 has none: it always divides).
template <typename Ops>
constexpr bool kFusedDivision = requires(typename Ops::V v) { Ops::fma(v, v, v); };

template <typename Ops>
struct ScaleDivisor {
  typename Ops::V b;         // the scale
  typename Ops::V recip;     // RN(1 / b)
  typename Ops::V negRecip;  // -RN(1 / b)
  bool fused = false;        // b within [2^-60, 2^960] and multiply-adds present
};

// worth: whether enough quotients follow to repay the division 1 / b, whose latency a
// short loop would wait on (it then divides).
template <typename Ops>
ScaleDivisor<Ops> scaleDivisor(double b, bool worth = true) {
  ScaleDivisor<Ops> d;
  d.b = Ops::set1(b);
  d.fused = kFusedDivision<Ops> && worth && b >= 0x1p-60 && b <= 0x1p960;
  const double y = d.fused ? 1.0 / b : 0.0;
  d.recip = Ops::set1(y);
  d.negRecip = Ops::set1(-y);
  return d;
}

// q2 of the argument above: RN(a / b) for every lane in the domain (d.fused only).
template <typename Ops>
typename Ops::V fusedQuotient(typename Ops::V a, const ScaleDivisor<Ops>& d) {
  if constexpr (kFusedDivision<Ops>) {
    const typename Ops::V q0 = Ops::mul(a, d.recip);
    const typename Ops::V q1 = Ops::fma(Ops::fms(q0, d.b, a), d.negRecip, q0);
    return Ops::fma(Ops::fms(q1, d.b, a), d.negRecip, q1);
  } else {
    return Ops::div(a, d.b);
  }
}

// The lanes whose fused quotient lies in [2^-900, 2^1000] (given its magnitude): their a
// was in the domain, so they hold RN(a / b). Zeros, NaNs and infinities are outside.
template <typename Ops>
typename Ops::Mask fusedInRange(typename Ops::V magnitude) {
  return Ops::both(Ops::less(Ops::set1(0x1p-900), magnitude), Ops::less(magnitude, Ops::set1(0x1p1000)));
}

// a / b for lanes known to lie in the domain (zeros included): the fused quotient, or the
// divider's where the scale is outside [2^-60, 2^960].
template <typename Ops>
typename Ops::V divideInDomain(typename Ops::V a, const ScaleDivisor<Ops>& d) {
  return d.fused ? fusedQuotient<Ops>(a, d) : Ops::div(a, d.b);
}

// Whether every lane of a mask is set.
template <typename Ops>
bool allLanes(typename Ops::Mask m) {
  return Ops::laneBits(m) == (uint64_t{1} << Ops::W) - 1;
}

// a / b for any a, the divider's bits: the fused quotient when every lane of it lies in
// range (ordinary data: always), the divider otherwise.
template <typename Ops>
typename Ops::V divideByScale(typename Ops::V a, const ScaleDivisor<Ops>& d) {
  if (d.fused) {
    const typename Ops::V q = fusedQuotient<Ops>(a, d);
    if (allLanes<Ops>(fusedInRange<Ops>(Ops::abs(q)))) return q;
  }
  return Ops::div(a, d.b);
}

}  // namespace
