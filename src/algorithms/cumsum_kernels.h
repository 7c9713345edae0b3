// The running pair of the running sums (cumsum.cpp) over the whole blocks of one span,
// written once over an operation set (vector_ops.h) and instantiated in cumsum.cpp (SSE2,
// W = 2) and in cumsum_avx2.cpp (AVX, W = 4), each compiled for its own instruction set.
// Internal linkage throughout, for the reason given in vector_ops.h.
//
// The pair's two chains of dependent additions set the pace:
//   s <- s + x[i]          the running sum, each addition one TwoSum,
//   c <- c + e_i           the TwoSum errors, in index order,
// where e_i is the error of the TwoSum of (s_i, x[i]), s_i the running sum before x[i].
// Everything else is lane work: the errors (five operations on s_i, s_(i+1) and x[i]),
// and per prefix the result, the largest |c| and the decision. So the span runs in blocks
// of kSpanBlock elements, the two chains interleaved element by element with c two
// blocks behind s: during block k, s stores each running sum; at the start of block
// k + 2, that block's errors are formed W at a time from vector loads of those sums, and
// the c chain adds them one by one, storing each c; at the start of block k + 4, the
// prefixes of block k are finished W at a time from vector loads of both. The vector
// loads read stores two blocks old, which have left the store buffer (a vector load
// spanning pending scalar stores would wait for them). The elements past the last whole
// block are the caller's, one at a time (cumsum.cpp).
//
// Bits: every chain adds the same operands in the same order as the one-at-a-time steps,
// and each lane is the scalar operation, so both copies give the same results, bit for
// bit, as the scalar steps.
#pragma once

#include <cstdint>

#include "algorithms/cumsum.h"
#include "algorithms/vector_ops.h"

namespace {

// Spans of small values run scaled by 2^64. Every double is a multiple of 2^-1074, and a
// sum or difference of two doubles a, b rounds in the same way as that of a 2^64 and
// b 2^64: where |a + b| >= 2^-1022 the rounding is relative (53 bits) and scales, and
// below it a + b, a multiple of 2^-1074 under 2^-1022, is a double itself, as is
// (a + b) 2^64, as long as nothing overflows (the values of a span whose pair and
// elements are at most kScalable stay below 2^911, and 2^975 scaled). The pair's steps
// only add, subtract, compare and take magnitudes, so on data scaled by 2^64 they give,
// bit for bit, 2^64 times what they give on the data themselves. Scaled, no value they
// form is subnormal (every nonzero one is at least 2^-1010): unscaled, the subnormal
// results of normal operands take microcode assists on some processors, some 150 cycles
// per vector operation (an Intel Xeon). The scalings themselves form no subnormal
// result from normal operands and multiply no subnormal operand (below).
constexpr double kScale = 0x1p64;
constexpr double kUnscale = 0x1p-64;
constexpr double kLeastNormal = 0x1p-1022;
constexpr double kScalable = 0x1p900;

// a in the lanes of m, b elsewhere, by the bits (masks and vectors share a type in both
// families): GCC 12 turns Ops::select of a comparison, built for AVX without AVX2, into a
// branch per lane.
template <typename Ops>
inline typename Ops::V bitSelect(typename Ops::Mask m, typename Ops::V a, typename Ops::V b) {
  return Ops::either(Ops::bitAnd(m, a), Ops::zeroWhere(m, b));
}

// v with the sign bit of `from` (v >= +0).
template <typename Ops>
inline typename Ops::V withSignOf(typename Ops::V v, typename Ops::V from) {
  return Ops::either(v, Ops::bitAnd(from, Ops::set1(-0.0)));
}

// v 2^64 for |v| <= kScalable, lane by lane. A normal v is multiplied (a normal product);
// for |v| < 2^-1022, (|v| + 2^-1022) is exact (a multiple of 2^-1074 in [2^-1022,
// 2^-1021)), its product by 2^64 too, and the difference with 2^-958, |v| 2^64, is a
// normal double or zero. The sign is v's.
template <typename Ops>
inline typename Ops::V scaledUp(typename Ops::V v) {
  using V = typename Ops::V;
  const V least = Ops::set1(kLeastNormal);
  const V a = Ops::abs(v);
  const V normal = Ops::mul(Ops::max(least, a), Ops::set1(kScale));
  const V small =
      Ops::sub(Ops::mul(Ops::add(Ops::min(a, least), least), Ops::set1(kScale)), Ops::set1(kLeastNormal * kScale));
  return withSignOf<Ops>(bitSelect<Ops>(Ops::less(a, least), small, normal), v);
}

// w 2^-64 where w = v 2^64 for a double v, lane by lane (for other finite w, a value
// within 2^-1075 of w 2^-64). For |w| >= 2^-958 the product is v, normal. Below,
// (|w| + 2^-958) 2^-64 = |v| + 2^-1022 exactly, whose bits are those of 2^-1022 plus
// those of |v|: its mantissa field alone is |v|. The sign is w's.
template <typename Ops>
inline typename Ops::V scaledDown(typename Ops::V w) {
  using V = typename Ops::V;
  const V edge = Ops::set1(kLeastNormal * kScale);
  const V a = Ops::abs(w);
  const V normal = Ops::mul(Ops::max(edge, a), Ops::set1(kUnscale));
  const V small = Ops::bitAnd(Ops::mul(Ops::add(Ops::min(a, edge), edge), Ops::set1(kUnscale)),
                              Ops::set1(__builtin_bit_cast(double, (uint64_t{1} << 52) - 1)));
  return withSignOf<Ops>(bitSelect<Ops>(Ops::less(a, edge), small, normal), w);
}

// Lanes that a scaled span cannot take: NaNs, infinities, magnitudes above kScalable.
template <typename Ops>
inline typename Ops::Mask unscalable(typename Ops::V v) {
  return Ops::either(Ops::less(Ops::set1(kScalable), Ops::abs(v)), Ops::notEqual(v, v));
}

constexpr int64_t kSpanBlock = 16;
static_assert(64 % kSpanBlock == 0 && sela::kSpan % kSpanBlock == 0, "blocks fill the masks' words");

// Runs the pair over the whole blocks of x[0 .. len-1] from (s, c) and returns how many
// elements it took (len rounded down to whole blocks), the span's end state in `end`.
// kScaled: the pair runs over the elements scaled by 2^64 (block by block, into a slot
// read until the block's prefixes are finished), from (s, c) and with b already scaled;
// the results are stored scaled back, the end state is left scaled, and end.scalable
// says whether every element was finite and at most kScalable (else the results mean
// nothing).
template <typename Ops, bool kBound, bool kScaled>
int64_t runSpanBlocks(const double* x, int64_t len, double s, double c, double b, double* r, sela::SpanEnd& end) {
  using V = typename Ops::V;
  constexpr int64_t B = kSpanBlock;
  constexpr int64_t W = Ops::W;
  static_assert(B % W == 0, "a block is whole vectors");
  constexpr int64_t kSlots = 8;  // blocks in flight: sums are read up to four blocks later
  const int64_t blocks = len / B;
  alignas(64) double sums[kSlots][B + 8];
  alignas(64) double cs[kSlots][B + 8];
  alignas(64) double errors[B];
  alignas(64) double scaledX[kScaled ? kSlots : 1][B];
  auto dataOf = [&](int64_t k) -> const double* { return kScaled ? scaledX[k % kSlots] : x + k * B; };
  auto over = Ops::noMask();
  const V bv = Ops::set1(b);
  const V zero = Ops::zero();
  const V inf = Ops::set1(__builtin_inf());
  V mv = zero;
  V qv = inf;
  for (int w = 0; w < sela::kSpanWords; ++w) end.undecided[w] = 0;

  // Block k's elements times 2^64, into its slot.
  auto scaleBlock = [&](int64_t k) {
    for (int64_t j = 0; j < B; j += W) {
      const V v = Ops::load(x + k * B + j);
      over = Ops::either(over, unscalable<Ops>(v));
      Ops::store(scaledX[k % kSlots] + j, scaledUp<Ops>(v));
    }
  };
  // The errors of block k, W at a time, from the running sums stored during it.
  auto formErrors = [&](int64_t k) {
    const double* xb = dataOf(k);
    const double* sb = sums[k % kSlots];
    for (int64_t j = 0; j < B; j += W) {
      // TwoSum's error with its sum t = s_(i+1) read back from the s chain's store.
      const V before = Ops::load(sb + j);
      const V after = Ops::load(sb + j + 1);
      const V z = Ops::sub(after, before);
      Ops::store(errors + j, Ops::add(Ops::sub(before, Ops::sub(after, z)), Ops::sub(Ops::load(xb + j), z)));
    }
  };
  // The prefixes of block k, W at a time.
  auto finish = [&](int64_t k) {
    const double* sb = sums[k % kSlots] + 1;
    const double* cb = cs[k % kSlots] + 1;
    for (int64_t j = 0; j < B; j += W) {
      const V sv = Ops::load(sb + j);
      const V cv = Ops::load(cb + j);
      mv = Ops::max(Ops::abs(cv), mv);  // a NaN c is skipped
      const int64_t at = k * B + j;
      if constexpr (kBound) {
        const V up = Ops::add(sv, Ops::add(cv, bv));
        const V down = Ops::add(sv, Ops::sub(cv, bv));
        const uint64_t same = Ops::laneBits(Ops::equal(Ops::sub(up, down), zero));
        end.undecided[at / 64] |= (~same & ((uint64_t{1} << W) - 1)) << (at % 64);
        Ops::store(r + at, kScaled ? scaledDown<Ops>(up) : up);
      } else {
        const V sum = Ops::add(sv, cv);
        Ops::store(r + at, kScaled ? scaledDown<Ops>(sum) : sum);
        // The least nonzero |x|: zeros become +inf, NaNs are skipped by min.
        const V v = Ops::load(dataOf(k) + j);
        qv = Ops::min(bitSelect<Ops>(Ops::equal(v, zero), inf, Ops::abs(v)), qv);
      }
    }
  };

  for (int64_t k = 0; k < blocks + 4; ++k) {
    const bool sChain = k < blocks;
    const bool cChain = k >= 2 && k - 2 < blocks;
    if (cChain) formErrors(k - 2);
    double* sb = sums[k % kSlots];
    double* cb = cs[(k + kSlots - 2) % kSlots];
    // Scaled, block k + 2's elements (the chain's scalar loads then read stores two
    // blocks old, as the vector loads do).
    if (kScaled) {
      for (int64_t ahead = k == 0 ? 0 : k + 2; ahead <= k + 2 && ahead < blocks; ++ahead) scaleBlock(ahead);
    }
    const double* xb = dataOf(k);
    // The empty asm takes the running values as operands, so the compiler keeps the two
    // chains interleaved element by element, as written, and every running value a scalar
    // store (it would otherwise gather and spread lanes with shuffles, which compete with
    // the additions). It emits no instruction and changes no value.
    if (sChain && cChain) {
      sb[0] = s;
      cb[0] = c;
      for (int64_t j = 0; j < B; ++j) {
        s = s + xb[j];
        sb[j + 1] = s;
        c = c + errors[j];
        cb[j + 1] = c;
        asm volatile("" : "+x"(s), "+x"(c) : : "memory");
      }
    } else if (sChain) {
      sb[0] = s;
      for (int64_t j = 0; j < B; ++j) {
        s = s + xb[j];
        sb[j + 1] = s;
        asm volatile("" : "+x"(s) : : "memory");
      }
    } else if (cChain) {
      cb[0] = c;
      for (int64_t j = 0; j < B; ++j) {
        c = c + errors[j];
        cb[j + 1] = c;
        asm volatile("" : "+x"(c) : : "memory");
      }
    }
    if (k >= 4) finish(k - 4);
  }

  alignas(64) double lanes[2][W];
  Ops::store(lanes[0], mv);
  Ops::store(lanes[1], qv);
  double m = 0.0;
  double q = __builtin_inf();
  for (int64_t l = 0; l < W; ++l) {
    m = lanes[0][l] > m ? lanes[0][l] : m;
    q = lanes[1][l] < q ? lanes[1][l] : q;
  }
  end.s = s;
  end.c = c;
  end.m = m;
  end.least = q;
  end.scalable = !Ops::any(over);
  return blocks * B;
}

}  // namespace
