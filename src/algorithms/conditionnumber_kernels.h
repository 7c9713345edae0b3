// The condition number's sweep in blocks, written once over an operation set
// (vector_ops.h) and instantiated in conditionnumber.cpp (SSE2, W = 2) and in
// conditionnumber_avx2.cpp (AVX, W = 4), each compiled for its own instruction set.
// Internal linkage throughout, for the reason given in vector_ops.h.
//
// The sweep runs three chains of dependent additions, one addition per element each:
//   s  <- s + x[i]                 the running sum of Neumaier's TwoSum steps,
//   c  <- c + e_i                  their errors, in index order,
//   m  <- m + |x[i]|               the plain sum of magnitudes,
// where e_i is the TwoSum error of (s_i, x[i]), s_i the running sum before x[i]. Only the
// chains are sequential; the five further operations of each TwoSum depend on s_i,
// s_(i+1) and x[i] alone. A chain runs at one addition per add latency, so the sweep can
// keep pace with a plain sum if the processor's adders have room for the TwoSums beside
// the three chains: that means no shuffles to gather the s_i into vectors and the errors
// out of them, and W lanes per TwoSum operation.
//
// So the sweep works in blocks of kConditionBlock elements and runs the three chains
// interleaved element by element, the c chain kLag blocks behind the other two. During
// block k, the s chain stores every running sum (s_i at sums[j], s_(i+1) at sums[j+1]);
// at the start of block k + kLag, the errors of block k are formed W at a time from
// vector loads of those stores (S = [s_i ..], T = [s_(i+1) ..]) and stored, and the c
// chain then adds them one by one straight from memory, one per element of block
// k + kLag. The vector loads read stores kLag blocks old, which have left the store
// buffer by then (a vector load spanning several pending scalar stores would wait for
// them and hold up the c chain).
//
// Bits. Each chain performs its additions on the same operands in the same order as the
// one-at-a-time loop: s adds x[0], x[1], ...; m adds |x[0]|, |x[1]|, ...; c adds e_0,
// e_1, ..., block after block. Each lane of the vector TwoSum is the scalar TwoSum
// z = t - s, e = (s - (t - z)) + (x - z) on the s_i and s_(i+1) the s chain produced.
// Which of two NaN operands an addition returns depends on its operand order, which the
// compiler chooses here; the caller relies on no NaN payload of s, c or m (see
// conditionnumber.cpp).
#pragma once

#include <cstdint>

#include "algorithms/conditionnumber.h"
#include "algorithms/prefetch.h"

namespace {

// Elements per block: several vectors of W; the buffers stay within a few cache lines.
constexpr int64_t kConditionBlock = 16;

// Runs the chains over whole blocks of x[0 .. n-1] and returns how many elements were
// consumed (a multiple of kConditionBlock; 0 when n holds too few blocks). The caller
// continues with the remaining elements one at a time.
template <typename Ops>
int64_t conditionBlocks(const double* x, int64_t n, sela::ConditionChains& chains) {
  constexpr int64_t B = kConditionBlock;
  constexpr int64_t W = Ops::W;
  static_assert(B % W == 0, "a block is whole vectors");
  // The c chain works on block k - kLag while the s and m chains work on block k: the
  // running sums its errors need were stored kLag blocks earlier.
  constexpr int64_t kLag = 2;
  constexpr int64_t kSlots = 4;  // buffers of running sums in flight (> kLag)
  const int64_t blocks = n / B;
  static_assert((kLag + 1) * B == sela::kConditionBlocksMinimum, "the stated minimum");
  if (blocks <= kLag) return 0;
  // sums[k % kSlots][j] = s_(kB + j), j = 0 .. B: the running sums before and after each
  // element of block k.
  alignas(64) double sums[kSlots][B + 8];
  alignas(64) double errors[B];
  double s = chains.s;
  double c = chains.c;
  double m = chains.m;

  // One element of the s and m chains, and optionally one of the c chain. The empty asm
  // takes the three running values as operands, so the compiler keeps the chains
  // interleaved element by element, as written: a chain's additions then wait in the
  // scheduler only for their own predecessor, not behind a whole block of another
  // chain. Its memory clobber keeps every running sum a scalar store and every error a
  // scalar load (the compiler would otherwise gather and spread the lanes with shuffles,
  // which compete with the additions). It emits no instruction and changes no value.
  auto step = [&](double v, double* slot, double e) {
    s = s + v;
    *slot = s;
    m = m + __builtin_fabs(v);
    c = c + e;
    asm volatile("" : "+x"(s), "+x"(m), "+x"(c) : : "memory");
  };
  // The s and m chains over one of the first kLag blocks, with no errors to add yet.
  auto sumsOnly = [&](int64_t k) {
    const double* xb = x + k * B;
    double* sb = sums[k % kSlots];
    sb[0] = s;
    for (int64_t j = 0; j < B; ++j) {
      s = s + xb[j];
      sb[j + 1] = s;
      m = m + __builtin_fabs(xb[j]);
      asm volatile("" : "+x"(s), "+x"(m) : : "memory");
    }
  };
  // The errors of block k, W at a time from its stored running sums, into errors[].
  auto formErrors = [&](int64_t k) {
    const double* xb = x + k * B;
    const double* sb = sums[k % kSlots];
    for (int64_t j = 0; j < B; j += W) {
      const typename Ops::V before = Ops::load(sb + j);
      const typename Ops::V after = Ops::load(sb + j + 1);
      const typename Ops::V v = Ops::load(xb + j);
      const typename Ops::V z = Ops::sub(after, before);
      const typename Ops::V e = Ops::add(Ops::sub(before, Ops::sub(after, z)), Ops::sub(v, z));
      Ops::store(errors + j, e);
    }
  };

  for (int64_t k = 0; k < kLag; ++k) sumsOnly(k);
  for (int64_t k = kLag; k < blocks; ++k) {
    const double* xb = x + k * B;
    sela::prefetchAhead(xb);
    formErrors(k - kLag);
    double* sb = sums[k % kSlots];
    sb[0] = s;
    for (int64_t j = 0; j < B; ++j) step(xb[j], sb + j + 1, errors[j]);
  }
  for (int64_t k = blocks - kLag; k < blocks; ++k) {
    formErrors(k);
    for (int64_t j = 0; j < B; ++j) c = c + errors[j];
  }
  chains = {s, c, m};
  return blocks * B;
}

}  // namespace
