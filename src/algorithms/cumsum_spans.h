// The running pair of the running sums (cumsum.cpp) over one span of the data, written
// once over a W-lane operation set (Ops: W, V, load, store, set1, add, sub, magnitude,
// max, min, lowerByOne, equalMask) and instantiated in cumsum.cpp (SSE2, W = 2) and in
// cumsum_avx2.cpp (AVX2, W = 4), each compiled for its own instruction set. Everything
// below the declarations has internal linkage, so the AVX2 copy can never stand in for
// the baseline one.
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
// spanning pending scalar stores would wait for them). Elements past the last whole block
// take the scalar steps.
//
// Bits: every chain adds the same operands in the same order as the one-at-a-time steps,
// and each lane is the scalar operation, so both copies give the same results, bit for
// bit, as the scalar steps.
#pragma once

#include <cstdint>

namespace sela {

// Elements per span: the undecided prefixes of a span fit kSpanWords 64-bit masks.
constexpr int64_t kSpan = 512;
constexpr int kSpanWords = static_cast<int>(kSpan / 64);

// What a span leaves: the pair after its last element, the largest |c| after any of its
// elements (a NaN c is skipped), for exact spans a power of two at most the binade of
// every nonzero element (0 when one is subnormal), for bound spans the undecided bits.
struct SpanEnd {
  double s;
  double c;
  double m;
  double least;
  uint64_t undecided[kSpanWords];
};

// Exact mode over x[0 .. len-1], 0 < len <= kSpan, from the pair (s, c):
// r[j] = fl(s + c) after element j.
using ExactSpanKernel = void (*)(const double* x, int64_t len, double s, double c, double* r, SpanEnd& end);
// Bound mode with the bound b for every prefix: r[j] = up = fl(s + fl(c + b)) after
// element j, and its undecided bit set unless up = down = fl(s + fl(c - b)).
using BoundSpanKernel = void (*)(const double* x, int64_t len, double s, double c, double b, double* r,
                                 SpanEnd& end);

void exactSpanSse2(const double* x, int64_t len, double s, double c, double* r, SpanEnd& end);
void boundSpanSse2(const double* x, int64_t len, double s, double c, double b, double* r, SpanEnd& end);
void exactSpanAvx2(const double* x, int64_t len, double s, double c, double* r, SpanEnd& end);
void boundSpanAvx2(const double* x, int64_t len, double s, double c, double b, double* r, SpanEnd& end);

}  // namespace sela

namespace {

constexpr int64_t kSpanBlock = 16;
static_assert(64 % kSpanBlock == 0 && sela::kSpan % kSpanBlock == 0, "blocks fill the masks' words");

// The scalar TwoSum step of the pair.
inline void spanStep(double& s, double& c, double v) {
  const double t = s + v;
  const double z = t - s;
  c = c + ((s - (t - z)) + (v - z));
  s = t;
}

template <typename Ops, bool kBound>
void runSpan(const double* x, int64_t len, double s, double c, double b, double* r, sela::SpanEnd& end) {
  using V = typename Ops::V;
  constexpr int64_t B = kSpanBlock;
  constexpr int64_t W = Ops::W;
  static_assert(B % W == 0, "a block is whole vectors");
  constexpr int64_t kSlots = 8;  // blocks in flight: sums are read up to four blocks later
  const int64_t blocks = len / B;
  alignas(64) double sums[kSlots][B + 8];
  alignas(64) double cs[kSlots][B + 8];
  alignas(64) double errors[B];
  const V bv = Ops::set1(b);
  V mv = Ops::set1(0.0);
  V qv = Ops::set1(__builtin_inf());
  for (int w = 0; w < sela::kSpanWords; ++w) end.undecided[w] = 0;

  // The errors of block k, W at a time, from the running sums stored during it.
  auto formErrors = [&](int64_t k) {
    const double* xb = x + k * B;
    const double* sb = sums[k % kSlots];
    for (int64_t j = 0; j < B; j += W) {
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
      mv = Ops::max(Ops::magnitude(cv), mv);
      const int64_t at = k * B + j;
      if constexpr (kBound) {
        const V up = Ops::add(sv, Ops::add(cv, bv));
        const V down = Ops::add(sv, Ops::sub(cv, bv));
        const uint64_t same = Ops::equalMask(Ops::sub(up, down), Ops::set1(0.0));
        end.undecided[at / 64] |= (~same & ((uint64_t{1} << W) - 1)) << (at % 64);
        Ops::store(r + at, up);
      } else {
        Ops::store(r + at, Ops::add(sv, cv));
        // |x| one unit lower (a binade no higher than x's); a zero becomes a NaN
        // pattern, which min skips (it returns its second operand for a NaN).
        qv = Ops::min(Ops::lowerByOne(Ops::magnitude(Ops::load(x + at))), qv);
      }
    }
  };

  for (int64_t k = 0; k < blocks + 4; ++k) {
    const bool sChain = k < blocks;
    const bool cChain = k >= 2 && k - 2 < blocks;
    if (cChain) formErrors(k - 2);
    double* sb = sums[k % kSlots];
    double* cb = cs[(k + kSlots - 2) % kSlots];
    const double* xb = x + k * B;
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
  // The elements past the last whole block, one at a time.
  for (int64_t i = blocks * B; i < len; ++i) {
    spanStep(s, c, x[i]);
    const double a = __builtin_fabs(c);
    m = a > m ? a : m;
    if constexpr (kBound) {
      const double up = s + (c + b);
      const double down = s + (c - b);
      if (!(up - down == 0.0)) end.undecided[i / 64] |= uint64_t{1} << (i % 64);
      r[i] = up;
    } else {
      r[i] = s + c;
      if (x[i] != 0.0 && __builtin_fabs(x[i]) < q) q = __builtin_fabs(x[i]);
    }
  }
  end.s = s;
  end.c = c;
  end.m = m;
  // The binade of q: its exponent bits alone.
  uint64_t u;
  __builtin_memcpy(&u, &q, sizeof u);
  u &= 0x7FF0000000000000ULL;
  __builtin_memcpy(&end.least, &u, sizeof u);
}

}  // namespace
