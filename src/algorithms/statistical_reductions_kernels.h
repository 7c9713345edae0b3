// The centered normalization (x[i] - c) / scale over W lanes at a time, written once over
// an operation set (vector_ops.h) and instantiated in statistical_reductions.cpp (SSE2,
// W = 2) and in statistical_reductions_avx2.cpp (AVX, W = 4). Internal linkage
// throughout, for the reason given in vector_ops.h.
//
// Each lane subtracts and divides with one rounding each, exactly the scalar operations,
// so the values do not depend on the width. The division sets the pace (its throughput
// per element doubles with 256-bit vectors on current processors).
#pragma once

#include <cstdint>
#include <type_traits>

#include "algorithms/binary64.h"
#include "algorithms/certifiedsum_kernels.h"
#include "algorithms/prefetch.h"
#include "algorithms/scale_division.h"
#include "algorithms/statistical_reductions.h"
#include "algorithms/vector_ops.h"

namespace {

// The largest non-NaN magnitude among x[0 .. W k - 1], the whole vectors (in groups of
// four, then one at a time), and +0.0 when there are none; *done = W k. The maximum is exact and does not depend on
// the order it is taken in: four running maxima of W lanes each. max(|x|, m) keeps m when
// |x| is a NaN, so NaNs are skipped as the comparison a > m skips them.
template <typename Ops>
double maxMagnitudeLanes(const double* x, int64_t n, int64_t* done) {
  constexpr int64_t W = Ops::W;
  typename Ops::V m0 = Ops::zero(), m1 = m0, m2 = m0, m3 = m0;
  int64_t i = 0;
  for (; i + 4 * W <= n; i += 4 * W) {
    for (int64_t line = 0; line < 4 * W; line += 8) sela::prefetchAhead(x + i + line);
    m0 = Ops::max(Ops::abs(Ops::load(x + i)), m0);
    m1 = Ops::max(Ops::abs(Ops::load(x + i + W)), m1);
    m2 = Ops::max(Ops::abs(Ops::load(x + i + 2 * W)), m2);
    m3 = Ops::max(Ops::abs(Ops::load(x + i + 3 * W)), m3);
  }
  // Then single vectors (short arrays have no whole group).
  for (; i + W <= n; i += W) m0 = Ops::max(Ops::abs(Ops::load(x + i)), m0);
  // The lanes' maximum by a tree of lane swaps (no NaN is left in the lanes, so the order
  // does not matter), which leaves it in every lane: shorter than a loop over the stored
  // lanes, which short arrays wait on.
  typename Ops::V m = Ops::max(Ops::max(m0, m1), Ops::max(m2, m3));
  if constexpr (W >= 2) m = Ops::max(m, Ops::template swap<1>(m));
  if constexpr (W >= 4) m = Ops::max(m, Ops::template swap<2>(m));
  if constexpr (W >= 8) m = Ops::max(m, Ops::template swap<4>(m));
  *done = i;
  return Ops::first(m);
}

// Centering and scaling when the scale is tiny. Below 2^-1022 a division's operands are
// subnormal, and on some processors every vector division or subtraction with such a lane
// takes a microcode assist (on an Intel Xeon some 36 ns, two or three per vector): centered
// values of subnormal data took 12-14 ns per element. Lifting costs the loops about a
// quarter on data with no subnormal element (scales below 2^-900 over elements from
// 2^-1022 up: cosine 1.73 -> 2.19 ns per element), so below kTinyScale, where a good part
// of the elements are subnormal, it always lifts, and below kLowScale only where a sample
// of the elements holds a subnormal one (liftsCentered). When lifted, every
// element, the center and the scale are lifted by 2^1000 first, exactly; then each
// difference is lifted too (a rounded difference is the exact one rounded at the same
// relative position, and one that is subnormal is exact: so RN(x' - c') = RN(x - c) 2^1000),
// and the quotient of two lifted values is the quotient of the two (RN(d' / s') = RN(d /
// s)). Nothing in the lifted values is subnormal (the least is 2^-74), nor beyond 2^100.
constexpr double kTinyScale = 0x1p-1000;
constexpr double kLowScale = 0x1p-900;
constexpr int64_t kLiftSample = 8;
constexpr double kTinyLift = 0x1p1000;
constexpr double kTinyLiftedNormal = 0x1p-22;  // 2^-1022 lifted

// w 2^1000, exactly, with no subnormal operand: a subnormal |w| = m 2^-1074 takes the
// exponent field of 2^-22 (its fraction m then weighs m 2^-74 above 2^-22, which the
// subtraction, exact, removes); a normal one is multiplied (its lane of the product with
// the subnormals zeroed). The sign is w's, zeros and NaNs included.
template <typename Ops>
typename Ops::V liftTiny(typename Ops::V w) {
  using V = typename Ops::V;
  const V a = Ops::abs(w), normal = Ops::set1(kTinyLiftedNormal);
  const auto subnormal = Ops::less(a, Ops::set1(0x1p-1022));
  const V fromFraction = Ops::sub(Ops::bitOr(a, normal), normal);
  const V scaled = Ops::mul(Ops::zeroWhere(subnormal, a), Ops::set1(kTinyLift));
  return Ops::bitOr(Ops::select(subnormal, fromFraction, scaled), Ops::bitAnd(w, Ops::set1(-0.0)));
}

// Whether the values of x[0 .. n-1] under `scale` are formed lifted: below kTinyScale
// always; below kLowScale when one of kLiftSample elements spread over x is subnormal (a
// subnormal element costs every vector holding one an assist, a vector in two or more on
// data with one subnormal element in eight). The pair loops take the sample's answer from
// their caller, once per call (CenteredPairScales): taken per chunk it cost the cosine on
// data below 2^-900 with no subnormal element 2-3%.
inline bool liftsCentered(const double* x, int64_t n, double scale) {
  if (scale < kTinyScale) return true;
  if (!(scale < kLowScale) || n <= 0) return false;
  // Told from the bits (non-zero, exponent field 0): a comparison with a subnormal operand
  // may take the very assist this avoids.
  for (int64_t k = 0; k < kLiftSample; ++k) {
    const uint64_t u = sela::bitsOf(x[k * n / kLiftSample]);
    if (sela::exponentField(u) == 0 && (u << 1) != 0) return true;
  }
  return false;
}

// The elements of one centered array as the vector loops read them: x[i] - c, and the
// scale they are divided by, both lifted when the scale is tiny. Possible: whether the
// loop was instantiated for lifted values at all (the loops are instantiated twice, so
// that the ordinary one has no test per vector and no lifting in its code; each out of
// line, so that neither is inlined into the other, as GCC did, doubling the ordinary loop).
template <typename Ops, bool Possible>
struct CenteredSource {
  bool lifted;
  typename Ops::V c;
  double scale;
  typename Ops::V element(const double* at) const {
    const typename Ops::V w = Ops::load(at);
    if constexpr (Possible) {
      if (lifted) return liftTiny<Ops>(w);
    }
    return w;
  }
  typename Ops::V difference(const double* at) const { return Ops::sub(element(at), c); }
};

template <typename Ops, bool Possible>
CenteredSource<Ops, Possible> centeredSource(double c, double scale, bool lifted) {
  if constexpr (Possible) {
    if (lifted) {
      const auto lift = [](double v) { return Ops::first(liftTiny<Ops>(Ops::set1(v))); };
      return {true, Ops::set1(lift(c)), lift(scale)};
    }
  }
  return {false, Ops::set1(c), scale};
}

// Stops at the first vector holding an infinite difference (x[i] - c overflowed), which
// the caller's element step handles; returns the number of values written.
template <typename Ops, bool Lifted = false>
__attribute__((noinline)) int64_t normalizeLanes(const double* x, int64_t n, double c, double scale, double* out) {
  if constexpr (!Lifted) {
    if (liftsCentered(x, n, scale)) return normalizeLanes<Ops, true>(x, n, c, scale, out);
  }
  constexpr int64_t W = Ops::W;
  const CenteredSource<Ops, Lifted> source = centeredSource<Ops, Lifted>(c, scale, Lifted);
  const ScaleDivisor<Ops> divisor = scaleDivisor<Ops>(source.scale, n >= 4 * W);  // short: the reciprocal would not repay
  int64_t i = 0;
  for (; i + W <= n; i += W) {
    // 4 KiB ahead: the callers stream long arrays a chunk at a time, with the exact
    // products in between.
    if (i % 8 == 0) sela::prefetchAhead(x + i);
    const typename Ops::V d = source.difference(x + i);
    if (anyInfinite<Ops>(d)) break;
    Ops::store(out + i, divideByScale<Ops>(d, divisor));
  }
  return i;
}

}  // namespace

namespace {

// The norm's element step (normAdd, statistical_reductions.cpp): element x joins the
// state; false once the state is decided (a NaN or an infinity, after which nothing
// matters). One copy for the scalar loop and the vector sweeps below.
inline bool normStep(sela::NormState& st, double x) {
  if (st.decided != 0.0) return false;
  const double a = __builtin_fabs(x);
  if (a != a || a == __builtin_inf()) {
    st.decided = a != a ? sela::quietNaN() : __builtin_inf();
    return false;
  }
  if (x == 0.0) return true;
  if (a > st.scale) {
    const double r = st.scale / a;
    st.ssq = (st.ssq * r) * r + 1.0;
    st.scale = a;
    st.negligible = st.scale >= 0x1p-511 ? st.scale * 0x1p-511 : 0.0;
  } else {
    const double q = (a < st.negligible ? 0.0 : x) / st.scale;
    st.ssq = q * q + st.ssq;
  }
  return true;
}

// The negligible bound normStep keeps with a scale: scale * 2^-511 when that is exact.
inline double negligibleBelow(double scale) { return scale >= 0x1p-511 ? scale * 0x1p-511 : 0.0; }

// The certified lane step of a * b (CertifiedDotGroup::step) with its test against the
// products' floor gathered instead of taken per product: `least` keeps, per lane, the
// least |a b| among the products whose factors are both non-zero (the lanes of
// `factors`). Some lane of it lies below the floor at the end exactly when step's test
// would have flagged a product (a NaN product is skipped by both). One masked minimum per
// step instead of three comparisons and three mask operations, and a factor's non-zero
// test serves every step it takes part in. Guarded, the lanes whose product may underflow
// are left out first, as CertifiedDotGroup::stepGuarded leaves them (`dropped` records
// those of `factors`; their zero products put the least at 0, a flag the wider bound for
// dropped products covers).
template <typename Ops>
__attribute__((always_inline)) inline void stepGathered(CertifiedDotGroup<Ops>& g, typename Ops::V a, typename Ops::V b,
                                                        typename Ops::Mask factors, typename Ops::V& least, bool guarded,
                                                        typename Ops::Mask& dropped) {
  if (guarded) {
    const typename Ops::Mask out = CertifiedDotGroup<Ops>::mayUnderflow(a, b);
    a = Ops::zeroWhere(out, a);
    b = Ops::zeroWhere(out, b);
    dropped = Ops::either(dropped, Ops::both(out, factors));
  }
  least = Ops::minWhere(factors, Ops::abs(g.addProduct(a, b)), least);
}

// The sweeps watch their least products every kGuardEvery steps, and guard from the first
// one below the floor on (products that underflow take microcode assists on some
// processors; certifiedDotKernel), or from the start when the lanes they continue already
// met one.
constexpr int64_t kGuardEvery = 8;

// Whether a lane's least product magnitude lies below the floor of the exact split.
template <typename Ops>
bool belowFloor(typename Ops::V least) {
  return Ops::any(Ops::less(least, Ops::set1(0x1p-916)));
}

// The cosine similarity's sweep over one chunk: the normalization of x and y (as
// normalizeLanes) and both norms' steps (as normAdd), W elements at a time, from any
// states not yet decided. It stops at the first vector holding an infinite difference
// (before writing it), or once a state is decided (after the vector that decided it),
// and returns how many elements it wrote and added.
//
// Each lane of the norms is normAdd's element step without the branches, which a vector
// whose values all lie within their state's scale does not take (scale > 0): q =
// (|u| < negligible ? 0 : u) / scale, then ssq = q * q + ssq. The squares of a vector go
// through memory to the two chains of additions, which stay in element order, one
// addition per element each, interleaved. The chains trail the divisions by kSquaresLag
// vectors: their loads then read stores that have left the store buffer (a load from a
// pending vector store would wait for it to retire, and with it for every chain addition
// before it), and the divisions of the vectors ahead (four per element, which set the
// pace with the chains) run while the chains wait.
//
// A vector with a new maximum of a state's scale (or any vector while that state has no
// scale yet) is marked for that state. Its element steps do not branch either: the scale
// each lane's step sees (the running maximum before it) is known when the vector is
// formed, so every lane's step is prepared there, in vector lanes, in one form,
//   ssq = (ssq * m) * m + t,
// with m = scale / |u| and t = 1 at a new maximum (normStep's rescaling, operand for
// operand), m = 1 and t = q * q otherwise ((ssq * 1) * 1 is ssq exactly, and ssq + t is
// t + ssq), m = 1 and t = +0 for a zero (ssq >= 1, so ssq + 0 is ssq: the skip). The chain
// then takes the vector with two multiplications and an addition per element and no
// branch on the data (a mispredicted branch per new maximum costs more on random data).
// The other state adds the vector's squares as usual. A vector holding a NaN (or an
// infinity: none arises from finite data, whose values lie in [-2, 2]) is left to
// normStep for both states, which decides them.
//
// The divisions ahead need only the scale after a marked vector, the largest of the old
// scale and the vector's magnitudes, which the sweep takes at once; so they never wait
// for the chains.
//
// With Products, the certified dot product's lane step (certifiedsum_kernels.h) runs over
// the values as they are formed, on the multiply-add units the norm chains and the
// divider leave idle, so the products of a chunk need no second pass over the buffers.
// It takes whole pairs of vectors, the first of each pair into the first lane group and
// the second into the second, which is how the lane pass over a chunk starting at x
// assigns them; a vector left without its pair (the sweep stopped, or the chunk holds an
// odd number of whole vectors) is left to that pass over the buffers, which then gives
// the lanes over the whole chunk exactly the state one pass over it would (so the same
// decision) while no product falls below the floor; beyond it the two may guard from
// different vectors on (stepGathered), each record as sound. *productsDone is how many
// values the lanes took, a multiple of 2 W.
template <typename Ops, bool Products, bool Lifted = false>
__attribute__((noinline)) int64_t normalizePairWithNorms(const double* x, const double* y, int64_t n, const sela::CenteredPairScales& p,
                               double* u, double* v, sela::NormState& a, sela::NormState& b,
                               sela::CertifiedDotLanes* products, int64_t* productsDone) {
  const bool liftX = p.liftX || p.sx < kTinyScale, liftY = p.liftY || p.sy < kTinyScale;
  if constexpr (!Lifted) {
    if (liftX || liftY) {
      return normalizePairWithNorms<Ops, Products, true>(x, y, n, p, u, v, a, b, products, productsDone);
    }
  }
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  [[maybe_unused]] CertifiedDotGroup<Ops> g0, g1;
  [[maybe_unused]] V least = Ops::set1(__builtin_inf());  // of the products (stepGathered)
  [[maybe_unused]] typename Ops::Mask dropped = Ops::noMask();
  [[maybe_unused]] bool guarded = Products && (products->tinyProducts || products->droppedProducts);
  [[maybe_unused]] V firstU = Ops::zero(), firstV = Ops::zero();  // the first vector of a pair
  if constexpr (Products) {
    // Lanes of another width (another family's pass) are not continued here: no products.
    if (products->lanes != 0 && products->lanes != 2 * W) {
      *productsDone = 0;
      return normalizePairWithNorms<Ops, false, Lifted>(x, y, n, p, u, v, a, b, nullptr, nullptr);
    }
    if (products->lanes == 2 * W) {
      g0.read(*products, 0);
      g1.read(*products, static_cast<int>(W));
    }
  }
  constexpr int64_t kSquaresLag = 4;
  constexpr int64_t kRing = 8;  // vectors in flight (> kSquaresLag), a power of two
  const CenteredSource<Ops, Lifted> sourceX = centeredSource<Ops, Lifted>(p.cx, p.sx, liftX);
  const CenteredSource<Ops, Lifted> sourceY = centeredSource<Ops, Lifted>(p.cy, p.sy, liftY);
  // The fused quotients need a reciprocal per scale first (a division whose latency a
  // short sweep would wait on): for the values when kFusedAfter vectors follow, for a
  // norm's scale when that many follow its change.
  constexpr int64_t kFusedAfter = 4;
  const int64_t vectors = n / W;
  const V sx = Ops::set1(sourceX.scale);
  const ScaleDivisor<Ops> sy = scaleDivisor<Ops>(sourceY.scale, vectors >= kFusedAfter);
  const V inf = Ops::set1(__builtin_inf());
  const V one = Ops::set1(1.0);
  constexpr uint64_t kAllLanes = (uint64_t{1} << W) - 1;
  const V negligibleFactor = Ops::set1(0x1p-511);  // also the least scale it is exact for
  // The scales after the last vector formed, ahead of the chains' states.
  double aheadA = a.scale, aheadB = b.scale;
  V scaleA = Ops::set1(aheadA), scaleB = Ops::set1(aheadB);
  V negligibleA = Ops::set1(a.negligible), negligibleB = Ops::set1(b.negligible);
  ScaleDivisor<Ops> divA = scaleDivisor<Ops>(aheadA, vectors >= kFusedAfter);
  ScaleDivisor<Ops> divB = scaleDivisor<Ops>(aheadB, vectors >= kFusedAfter);
  // Per vector in flight and state: t (the squares of an unmarked vector), m (a marked
  // one's multipliers) and the scale after a marked vector.
  alignas(64) double termsA[kRing][W], termsB[kRing][W];
  alignas(64) double multA[kRing][W], multB[kRing][W];
  double scaleAfterA[kRing], scaleAfterB[kRing];
  bool markedA[kRing], markedB[kRing];
  uint32_t newLanesA[kRing], newLanesB[kRing];  // of a marked vector: the lanes with a new maximum
  bool special[kRing];  // a NaN or an infinity: element steps for both states
  double ssqA = a.ssq;
  double ssqB = b.ssq;
  int64_t pending = 0;  // the first vector the chains have not taken
  bool open = a.decided == 0.0 && b.decided == 0.0;
  // The chains over the next pending vector. The two states are independent, so which
  // goes first changes nothing; the asm statements keep each term a load and the chains
  // interleaved element by element (no instruction, no change of value). Inlined: out of
  // line, the chains would pass through memory at every addition.
  const auto addPending = [&]() __attribute__((always_inline)) {
    const int64_t slot = pending % kRing;
    const int64_t i = pending * W;
    ++pending;
    if (special[slot]) {
      a.ssq = ssqA;
      for (int64_t l = 0; l < W; ++l) open = normStep(a, u[i + l]) && open;
      ssqA = a.ssq;
      b.ssq = ssqB;
      for (int64_t l = 0; l < W; ++l) open = normStep(b, v[i + l]) && open;
      ssqB = b.ssq;
      return;
    }
    const double* const tA = termsA[slot];
    const double* const tB = termsB[slot];
    const double* const mA = multA[slot];
    const double* const mB = multB[slot];
    if (!markedA[slot] && !markedB[slot]) {
      for (int64_t l = 0; l < W; ++l) {
        ssqA = tA[l] + ssqA;
        ssqB = tB[l] + ssqB;
        asm volatile("" : "+x"(ssqA), "+x"(ssqB) : : "memory");
      }
    } else {
      // A marked vector: its new maxima take the rescaling step, the other lanes the plain
      // addition, by a branch on the lane's bit. The bits are known long before the chain
      // reaches them, so a mispredicted branch is resolved while the chain still runs, and
      // the lanes that are not new cost one addition each instead of the two
      // multiplications by 1 and the addition of the unified form (equal values:
      // (ssq * 1) * 1 is ssq, and ssq + t is t + ssq). The empty asm statements keep each
      // branch a branch (not both forms computed and one selected, which would put the
      // slower form on the chain for every lane).
      const uint32_t newA = newLanesA[slot], newB = newLanesB[slot];
      for (int64_t l = 0; l < W; ++l) {
        if (newA >> l & 1) {
          ssqA = (ssqA * mA[l]) * mA[l] + tA[l];
          asm volatile("" : "+x"(ssqA));
        } else {
          ssqA = tA[l] + ssqA;
        }
        if (newB >> l & 1) {
          ssqB = (ssqB * mB[l]) * mB[l] + tB[l];
          asm volatile("" : "+x"(ssqB));
        } else {
          ssqB = tB[l] + ssqB;
        }
        asm volatile("" : "+x"(ssqA), "+x"(ssqB) : : "memory");
      }
    }
    if (markedA[slot]) {
      a.scale = scaleAfterA[slot];
      a.negligible = negligibleBelow(a.scale);
    }
    if (markedB[slot]) {
      b.scale = scaleAfterB[slot];
      b.negligible = negligibleBelow(b.scale);
    }
  };
  // A marked vector of values wv (magnitudes aw) after the scale `scale`: each lane's step
  // as (m, t), stored to mult and terms; returns the scale after it and sets the vectors
  // of the scale and the negligible bound the next vectors are divided by.
  const auto prepareMarked = [&](double scale, V wv, V aw, double* mult, double* terms, uint32_t& newLanes, V& scaleV,
                                 V& negligibleV) __attribute__((always_inline)) {
    // The scale each lane's step sees, the largest of `scale` and the magnitudes before
    // it, in registers (a vector loaded from scalar stores would wait for them to
    // retire): an exclusive running maximum over blocks of H lanes doubling in size, with
    // `total` the maximum of each block. Maxima are exact in any order.
    V before = Ops::zero(), total = aw;
    const auto step = [&](auto block, auto upper) {
      const V other = Ops::template swap<decltype(block)::value>(total);
      before = Ops::template blend<decltype(upper)::value>(Ops::max(before, other), before);
      total = Ops::max(total, other);
    };
    if constexpr (W >= 2) step(std::integral_constant<int, 1>{}, std::integral_constant<int, W == 2 ? 0x2 : W == 4 ? 0xA : 0xAA>{});
    if constexpr (W >= 4) step(std::integral_constant<int, 2>{}, std::integral_constant<int, W == 4 ? 0xC : 0xCC>{});
    if constexpr (W >= 8) step(std::integral_constant<int, 4>{}, std::integral_constant<int, 0xF0>{});
    const V old = Ops::set1(scale);
    const V sb = Ops::max(before, old);
    scaleV = Ops::max(total, old);  // every lane: the scale after the vector
    const auto isNew = Ops::less(sb, aw);
    newLanes = static_cast<uint32_t>(Ops::laneBits(isNew));
    const auto isZero = Ops::equal(wv, Ops::zero());
    // normStep's bound for the scale before each lane: scale * 2^-511 when exact, else 0.
    const V negligible = Ops::zeroWhere(Ops::less(sb, negligibleFactor), Ops::mul(sb, negligibleFactor));
    // One division serves both kinds of lane, each of which needs one quotient: a new
    // maximum its rescaling factor scale / |w| (normStep's r), any other lane its value over
    // the scale before it. Zeros divide by 1, so their square is +0 even with no scale yet
    // (where 0 / 0 would give a NaN); negligible values become +0 as in normStep (no
    // subnormal square; the sum is the same either way). Each lane of a vector division
    // rounds its own operands alone, so the quotients are those two separate divisions
    // would give, and a marked vector takes the divider once instead of twice (the
    // divider's latency is most of a short sweep's).
    const V numerator = Ops::select(isNew, sb, Ops::zeroWhere(Ops::less(aw, negligible), wv));
    const V denominator = Ops::select(isNew, aw, Ops::select(isZero, one, sb));
    const V q = Ops::div(numerator, denominator);
    Ops::store(terms, Ops::select(isNew, one, Ops::mul(q, q)));
    Ops::store(mult, Ops::select(isNew, q, one));
    const double after = Ops::first(scaleV);
    negligibleV = Ops::set1(negligibleBelow(after));
    return after;
  };
  int64_t k = 0;  // vectors formed
  for (; open && (k + 1) * W <= n; ++k) {
    const int64_t i = k * W;
    if (i % 8 == 0) {
      sela::prefetchAhead(x + i);
      sela::prefetchAhead(y + i);
    }
    // An infinite difference divides to an infinite value (the scales are finite), and a
    // finite one to a value within [-2, 2]: so one test of the values, |value| < inf,
    // finds both the vectors the caller's element steps must form (an overflowed
    // difference) and those holding a NaN, and the ordinary vector pays for one compare
    // per vector of values.
    const V du = sourceX.difference(x + i);
    const V dv = sourceY.difference(y + i);
    const int64_t slot = k % kRing;
    // Of the four divisions per element, x's values take the divider and the other three
    // the multiply-add units (scale_division.h): the divider then runs beside the rest of
    // the sweep instead of setting its pace (on the Intel processor measured, all four on
    // the divider took 2.5 ns per element, all four fused 1.8, this split 1.7), and where
    // the divider is faster it takes a share of the work that would otherwise wait for the
    // units. y's fused values are used where they lie in their range, which also leaves
    // out every NaN and infinity; else the divider's, which then take the test for special
    // vectors.
    const V uv = Ops::div(du, sx);
    const V au = Ops::abs(uv);
    V vv = Ops::zero(), av = vv;  // (set below on every path)
    if (sy.fused) {
      vv = fusedQuotient<Ops>(dv, sy);
      av = Ops::abs(vv);
      special[slot] = !allLanes<Ops>(Ops::both(Ops::less(au, inf), fusedInRange<Ops>(av)));
    } else {
      special[slot] = true;
    }
    if (special[slot]) {
      vv = Ops::div(dv, sy.b);
      av = Ops::abs(vv);
      special[slot] = Ops::laneBits(Ops::both(Ops::less(au, inf), Ops::less(av, inf))) != kAllLanes;
    }
    if (special[slot]) {
      if (Ops::any(Ops::either(Ops::equal(au, inf), Ops::equal(av, inf)))) break;  // not written
      // A NaN: the state it decides is the answer, the chains take everything up to it,
      // and stop.
      Ops::store(u + i, uv);
      Ops::store(v + i, vv);
      ++k;
      break;
    }
    Ops::store(u + i, uv);
    Ops::store(v + i, vv);
    markedA[slot] = !(aheadA > 0.0) || Ops::any(Ops::less(scaleA, au));
    markedB[slot] = !(aheadB > 0.0) || Ops::any(Ops::less(scaleB, av));
    if (markedA[slot]) {
      aheadA = prepareMarked(aheadA, uv, au, multA[slot], termsA[slot], newLanesA[slot], scaleA, negligibleA);
      scaleAfterA[slot] = aheadA;
      divA = scaleDivisor<Ops>(aheadA, vectors - k > kFusedAfter);
    } else {
      newLanesA[slot] = 0;
      const V qa = divideInDomain<Ops>(Ops::zeroWhere(Ops::less(au, negligibleA), uv), divA);
      Ops::store(termsA[slot], Ops::mul(qa, qa));
    }
    if (markedB[slot]) {
      aheadB = prepareMarked(aheadB, vv, av, multB[slot], termsB[slot], newLanesB[slot], scaleB, negligibleB);
      scaleAfterB[slot] = aheadB;
      divB = scaleDivisor<Ops>(aheadB, vectors - k > kFusedAfter);
    } else {
      newLanesB[slot] = 0;
      const V qb = divideInDomain<Ops>(Ops::zeroWhere(Ops::less(av, negligibleB), vv), divB);
      Ops::store(termsB[slot], Ops::mul(qb, qb));
    }
    if constexpr (Products) {
      if (k % 2 == 0) {
        firstU = uv;
        firstV = vv;
      } else {
        const V zero = Ops::zero();
        stepGathered(g0, firstU, firstV, Ops::both(Ops::notEqual(firstU, zero), Ops::notEqual(firstV, zero)), least,
                     guarded, dropped);
        stepGathered(g1, uv, vv, Ops::both(Ops::notEqual(uv, zero), Ops::notEqual(vv, zero)), least, guarded, dropped);
        if (!guarded && k % (2 * kGuardEvery) == 2 * kGuardEvery - 1) guarded = belowFloor<Ops>(least);
      }
    }
    if (k - pending >= kSquaresLag) addPending();
  }
  while (pending < k) addPending();
  a.ssq = ssqA;
  b.ssq = ssqB;
  if constexpr (Products) {
    // The pairs of vectors formed as ordinary vectors (a special one ends the loop and is
    // counted in k, but never joins a pair: the loop stops there).
    int64_t ordinary = k;
    if (ordinary > 0 && special[(ordinary - 1) % kRing]) --ordinary;
    const int64_t pairs = ordinary / 2;
    if (pairs > 0) {
      g0.write(*products, 0);
      g1.write(*products, static_cast<int>(W));
      products->lanes = static_cast<int>(2 * W);
      products->terms += 2 * (2 * pairs * W);  // a q and an r per element
      products->tinyProducts = products->tinyProducts || belowFloor<Ops>(least);
      products->droppedProducts = products->droppedProducts || Ops::any(dropped);
    }
    *productsDone = 2 * pairs * W;
  }
  return k * W;
}

}  // namespace

namespace {

// The projection coefficient's pass: the values u = (x - cx) / sx and v = (y - cy) / sy
// as normalizeCentered forms them (an overflowing difference as x / s - c / s, in its
// lanes only), fed straight to the certified lanes of the cross products u v and of the
// squares u u, over whole pairs of vectors from the start: the first vector of each pair
// into the first lane group, the second into the second, as the lane pass assigns them
// over a chunk that starts at x. The values never reach memory (the exact fallback forms
// them again), and the divider and the lanes' adders overlap in one loop. Returns how
// many elements it took, a multiple of 2 W; the lane pass over the rest continues the
// lanes exactly as one pass over all of them would have left them (while no product falls
// below the floor, as for the sweep above). Lanes of another
// width (another family's pass) are left alone: it returns 0.
template <typename Ops, bool Lifted = false>
__attribute__((noinline)) int64_t projectionLanes(const double* x, const double* y, int64_t n, const sela::CenteredPairScales& p,
                        sela::CertifiedDotLanes& cross, sela::CertifiedDotLanes& self) {
  const bool liftX = p.liftX || p.sx < kTinyScale, liftY = p.liftY || p.sy < kTinyScale;
  if constexpr (!Lifted) {
    if (liftX || liftY) return projectionLanes<Ops, true>(x, y, n, p, cross, self);
  }
  using V = typename Ops::V;
  constexpr int64_t W = Ops::W;
  static_assert(2 * W <= sela::CertifiedDotLanes::kMaxLanes);
  if ((cross.lanes != 0 && cross.lanes != 2 * W) || (self.lanes != 0 && self.lanes != 2 * W)) return 0;
  const int64_t end = n / (2 * W) * (2 * W);
  if (end == 0) return 0;
  CertifiedDotGroup<Ops> c0, c1, s0, s1;
  if (cross.lanes == 2 * W) {
    c0.read(cross, 0);
    c1.read(cross, static_cast<int>(W));
  }
  if (self.lanes == 2 * W) {
    s0.read(self, 0);
    s1.read(self, static_cast<int>(W));
  }
  V leastCross = Ops::set1(__builtin_inf()), leastSelf = leastCross;  // (stepGathered)
  typename Ops::Mask droppedCross = Ops::noMask(), droppedSelf = Ops::noMask();
  bool guarded = cross.tinyProducts || cross.droppedProducts || self.tinyProducts || self.droppedProducts;
  const V zero = Ops::zero();
  const V inf = Ops::set1(__builtin_inf());
  const CenteredSource<Ops, Lifted> sourceX = centeredSource<Ops, Lifted>(p.cx, p.sx, liftX);
  const CenteredSource<Ops, Lifted> sourceY = centeredSource<Ops, Lifted>(p.cy, p.sy, liftY);
  // x's values by the divider, y's on the multiply-add units (scale_division.h): the two
  // run side by side (on the Intel processor measured some 3% faster than both fused).
  const ScaleDivisor<Ops> sx = scaleDivisor<Ops>(sourceX.scale, false), sy = scaleDivisor<Ops>(sourceY.scale);
  const auto value = [&](const double* at, const CenteredSource<Ops, Lifted>& source, const ScaleDivisor<Ops>& s)
                         __attribute__((always_inline)) {
    const V w = source.element(at);
    const V c = source.c;
    const V d = Ops::sub(w, c);
    if (s.fused) {
      // In range, the fused quotient is the divider's; an overflowed difference is not.
      const V fused = fusedQuotient<Ops>(d, s);
      if (allLanes<Ops>(fusedInRange<Ops>(Ops::abs(fused)))) return fused;
    }
    const V q = Ops::div(d, s.b);
    const auto overflowed = Ops::equal(Ops::abs(d), inf);
    if (!Ops::any(overflowed)) return q;
    return Ops::select(overflowed, Ops::sub(Ops::div(w, s.b), Ops::div(c, s.b)), q);
  };
  for (int64_t i = 0; i < end; i += 2 * W) {
    for (int64_t line = 0; line < 2 * W; line += 8) {
      sela::prefetchAhead(x + i + line);
      sela::prefetchAhead(y + i + line);
    }
    const V u0 = value(x + i, sourceX, sx), u1 = value(x + i + W, sourceX, sx);
    const V v0 = value(y + i, sourceY, sy), v1 = value(y + i + W, sourceY, sy);
    // Each value's non-zero test serves both lanes it enters.
    const auto nonZeroU0 = Ops::notEqual(u0, zero), nonZeroU1 = Ops::notEqual(u1, zero);
    stepGathered(c0, u0, v0, Ops::both(nonZeroU0, Ops::notEqual(v0, zero)), leastCross, guarded, droppedCross);
    stepGathered(c1, u1, v1, Ops::both(nonZeroU1, Ops::notEqual(v1, zero)), leastCross, guarded, droppedCross);
    stepGathered(s0, u0, u0, nonZeroU0, leastSelf, guarded, droppedSelf);
    stepGathered(s1, u1, u1, nonZeroU1, leastSelf, guarded, droppedSelf);
    if (!guarded && (i / (2 * W)) % kGuardEvery == kGuardEvery - 1) {
      guarded = belowFloor<Ops>(Ops::min(leastCross, leastSelf));
    }
  }
  c0.write(cross, 0);
  c1.write(cross, static_cast<int>(W));
  s0.write(self, 0);
  s1.write(self, static_cast<int>(W));
  cross.lanes = self.lanes = static_cast<int>(2 * W);
  cross.terms += 2 * end;  // a q and an r per element
  self.terms += 2 * end;
  cross.tinyProducts = cross.tinyProducts || belowFloor<Ops>(leastCross);
  self.tinyProducts = self.tinyProducts || belowFloor<Ops>(leastSelf);
  cross.droppedProducts = cross.droppedProducts || Ops::any(droppedCross);
  self.droppedProducts = self.droppedProducts || Ops::any(droppedSelf);
  return end;
}

}  // namespace

namespace {

// The fused quotients of whole vectors and their range test, for tests
// (statistical_reductions.h, fusedQuotientsAvx).
template <typename Ops>
bool fusedQuotientLanes(const double* a, int64_t n, double b, double* q, bool* vouched, int64_t* done) {
  constexpr int64_t W = Ops::W;
  const ScaleDivisor<Ops> d = scaleDivisor<Ops>(b);
  *done = n / W * W;
  if (!d.fused) return false;
  for (int64_t i = 0; i + W <= n; i += W) {
    const typename Ops::V quotient = fusedQuotient<Ops>(Ops::load(a + i), d);
    Ops::store(q + i, quotient);
    const uint64_t bits = Ops::laneBits(fusedInRange<Ops>(Ops::abs(quotient)));
    for (int64_t l = 0; l < W; ++l) vouched[i + l] = (bits >> l & 1) != 0;
  }
  return true;
}

}  // namespace
