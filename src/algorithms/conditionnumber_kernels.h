// The condition number's sweep in blocks, written once over an operation set
// (vector_ops.h) and a register of chains, and instantiated in conditionnumber.cpp (SSE2)
// and conditionnumber_avx2.cpp (AVX), each compiled for its own instruction set. Internal
// linkage throughout, for the reason given in vector_ops.h.
//
// The sweep runs three chains of dependent additions, one addition per element each:
//   s  <- s + x[i]                 the running sum of Neumaier's TwoSum steps,
//   c  <- c + e_i                  their errors, in index order,
//   m  <- m + |x[i]|               the plain sum of magnitudes,
// where e_i is the TwoSum error of (s_i, x[i]), s_i the running sum before x[i]. Only the
// chains are sequential; the five further operations of each TwoSum depend on s_i,
// s_(i+1) and x[i] alone.
//
// The chains share one register: lanes of one vector addition [s, m, c] + [x[i], |x[i]|,
// e_j] (AVX), or [s, m] + [x[i], |x[i]|] beside a scalar c (SSE2). Each lane is the scalar
// addition of its chain, on the same operands, with the same rounding; a lane never reads
// another. The three chains then advance together at one vector addition per element,
// the pace of a plain sum, instead of three additions competing for the adders. Building
// the addend takes a broadcast load and a mask (and a blend), which stay off the chain.
//
// The errors trail the running sums: the sweep works in blocks of kConditionBlock
// elements, and during block k the s lane's running sums are stored (s_i at sums[j],
// s_(i+1) at sums[j+1]); at the start of block k + kLag, the errors of block k are formed
// W at a time from vector loads of those stores (S = [s_i ..], T = [s_(i+1) ..]) and
// stored, and the c lane then adds them one by one, one per element of block k + kLag.
// During the first kLag blocks the c lane adds -0.0, which leaves every c unchanged
// (+0 + -0 = +0); after the last block c alone takes the last kLag blocks' errors, in
// order.
//
// The lag. A vector load spanning several scalar stores cannot take its data from the
// store buffer: it waits until they reach the cache, after they retire. So the errors of
// a block come well after its last running sum, and the lag must cover that wait, or the
// c lane, and with it the whole register, stalls. Measured on a Granite Rapids Xeon
// (ratio to the naive sum at n = 1000): a lag of 16 elements 2.0, 32 elements 1.36-1.45,
// 48 elements 1.30-1.38. The lag costs once per call: c's last kLag blocks of additions
// after the loop.
//
// No 512-bit operation runs beside the chains, though forming the errors eight at a time
// would halve their vector work. The sweep's pace is one chain addition per element, and
// that addition needs a fast adder the moment its predecessor is done. Processors with
// 2-cycle adders at every width (AMD Zen 3 to 5: four vector pipes, two of them adders)
// have room for the chain addition, the 1.25 error additions and the mask and blend that
// build the addend, per element at 256 bits. Intel's cores with 512-bit units (measured on
// a Granite Rapids Xeon) add 256-bit vectors in 2 cycles on two ports but 512-bit ones in
// 4 on the multiply-add units, and while 512-bit operations are in flight one of the two
// 256-bit adder ports serves them: the chains then wait behind the error forming, 0.94
// against 0.62 ns per element. The AVX copy therefore serves the AVX-512 family too.
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

#ifdef __AVX__
#include <immintrin.h>
#endif

#include "algorithms/conditionnumber.h"
#include "algorithms/prefetch.h"
#include "algorithms/sse2_intrinsics.h"

namespace {

// Elements per block: several vectors of W; the buffers stay within a few cache lines.
constexpr int64_t kConditionBlock = 16;

// The chains in SSE2 registers: s and m as the lanes of one, c on its own.
struct ConditionRegisterSse2 {
  __m128d sm;
  double c;
  explicit ConditionRegisterSse2(const sela::ConditionChains& chains) : sm(_mm_set_pd(chains.m, chains.s)), c(chains.c) {}
  double s() const { return _mm_cvtsd_f64(sm); }
  // s and m take x[i] (its running sum stored at slot), and c takes e unless noError.
  template <bool noError>
  void step(const double* xi, const double* e, double* slot) {
    const __m128d keep = _mm_castsi128_pd(_mm_set_epi64x(0x7FFFFFFFFFFFFFFF, -1));  // x, |x|
    sm = _mm_add_pd(sm, _mm_and_pd(_mm_load1_pd(xi), keep));
    _mm_store_sd(slot, sm);
    if (!noError) c = c + *e;
    // Keeps the chains interleaved element by element, as written (each addition waits
    // only for its own predecessor), and every running sum a store and every error a
    // load (the compiler would otherwise gather and spread lanes with shuffles). It emits
    // no instruction and changes no value.
    asm volatile("" : "+x"(sm), "+x"(c) : : "memory");
  }
  void addError(double e) { c = c + e; }
  sela::ConditionChains chains() const { return {s(), c, _mm_cvtsd_f64(_mm_unpackhi_pd(sm, sm))}; }
};

#ifdef __AVX__
// The chains in one AVX register: lanes s, m, c and an unused lane that stays +0.
struct ConditionRegisterAvx {
  __m256d smc;
  double c = 0.0;  // the c chain after the register is left (the last kLag blocks)
  explicit ConditionRegisterAvx(const sela::ConditionChains& chains)
      : smc(_mm256_set_pd(0.0, chains.c, chains.m, chains.s)) {}
  double s() const { return _mm256_cvtsd_f64(smc); }
  template <bool noError>
  void step(const double* xi, const double* e, double* slot) {
    const __m256d keep = _mm256_castsi256_pd(_mm256_set_epi64x(0, 0, 0x7FFFFFFFFFFFFFFF, -1));  // x, |x|, 0, 0
    const __m256d error = noError ? _mm256_set1_pd(-0.0) : _mm256_broadcast_sd(e);
    smc = _mm256_add_pd(smc, _mm256_blend_pd(_mm256_and_pd(_mm256_broadcast_sd(xi), keep), error, 0b0100));
    _mm_store_sd(slot, _mm256_castpd256_pd128(smc));
    asm volatile("" : "+x"(smc) : : "memory");  // as in ConditionRegisterSse2::step
  }
  void addError(double e) { c = c + e; }
  // Leaves the register: c continues as a scalar.
  void leave() {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, smc);
    c = lanes[2];
  }
  sela::ConditionChains chains() const {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, smc);
    return {lanes[0], c, lanes[1]};
  }
};
#endif

// Runs the chains over whole blocks of x[0 .. n-1] and returns how many elements were
// consumed (a multiple of kConditionBlock; 0 when n holds too few blocks). The caller
// continues with the remaining elements one at a time.
template <typename Ops, typename Register>
int64_t conditionBlocks(const double* x, int64_t n, sela::ConditionChains& chains) {
  constexpr int64_t B = kConditionBlock;
  constexpr int64_t W = Ops::W;
  static_assert(B % W == 0, "a block is whole vectors");
  // The c lane works on block k - kLag while the s and m lanes work on block k: the
  // running sums its errors need were stored kLag blocks earlier.
  constexpr int64_t kLag = 3;
  constexpr int64_t kSlots = 4;  // buffers of running sums in flight (> kLag)
  const int64_t blocks = n / B;
  static_assert((kLag + 1) * B == sela::kConditionBlocksMinimum, "the stated minimum");
  if (blocks <= kLag) return 0;
  // sums[k % kSlots][j] = s_(kB + j), j = 0 .. B: the running sums before and after each
  // element of block k.
  alignas(64) double sums[kSlots][B + 8];
  alignas(64) double errors[B];
  Register r(chains);

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

  for (int64_t k = 0; k < kLag; ++k) {
    const double* xb = x + k * B;
    double* sb = sums[k % kSlots];
    sb[0] = r.s();
    for (int64_t j = 0; j < B; ++j) r.template step<true>(xb + j, nullptr, sb + j + 1);
  }
  for (int64_t k = kLag; k < blocks; ++k) {
    const double* xb = x + k * B;
    // A block is 128 bytes: two prefetches 64 bytes apart per block reach every line
    // ahead. With only the first, every other line came from memory on demand (1.2x the
    // time of the naive sum on long inputs, against 1.0 with both).
    static_assert(B * sizeof(double) == 128, "two lines per block");
    sela::prefetchAhead(xb);
    sela::prefetchAhead(xb + 8);
    formErrors(k - kLag);
    double* sb = sums[k % kSlots];
    sb[0] = r.s();
    for (int64_t j = 0; j < B; ++j) r.template step<false>(xb + j, errors + j, sb + j + 1);
  }
  if constexpr (requires { r.leave(); }) r.leave();
  for (int64_t k = blocks - kLag; k < blocks; ++k) {
    formErrors(k);
    for (int64_t j = 0; j < B; ++j) r.addError(errors[j]);
  }
  chains = r.chains();
  return blocks * B;
}

}  // namespace
