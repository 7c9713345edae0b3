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
// The chains share one register: lanes of one vector addition [s, c, m] + [x[i], e_j,
// |x[i]|] (AVX), or [s, m] + [x[i], |x[i]|] beside a scalar c (SSE2). Each lane is the
// scalar addition of its chain, on the same operands, with the same rounding; a lane
// never reads another. The three chains then advance together at one vector addition per
// element, the pace of a plain sum, instead of three additions competing for the adders.
// Building the addend takes a broadcast load of a stored record [x[i], e_j] and a mask
// (AVX), or a broadcast load of x[i] and a mask (SSE2), which stay off the chain.
//
// The errors trail the running sums: the sweep works in blocks of kConditionBlock
// elements, and during block k the s lane's running sums are stored (s_i at sums[j],
// s_(i+1) at sums[j+1]); at the start of block k + kLag - 1, the errors of block k are
// formed W at a time from vector loads of those stores (S = [s_i ..], T = [s_(i+1) ..])
// and stored (with the elements of block k + kLag, in the AVX records), and the c lane
// then adds them one by one, one per element of block k + kLag.
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
// have room for the chain addition, the 1.25 error additions, the mask that builds the
// addend and the half unpack that builds the records, per element at 256 bits. Intel's cores with 512-bit units (measured on
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
#include "algorithms/subnormal_lift.h"

namespace {

// Elements per block: several vectors of W; the buffers stay within a few cache lines.
constexpr int64_t kConditionBlock = 16;
// How far ahead the sweep prefetches, in bytes (conditionBlocks says why this distance).
constexpr uintptr_t kSweepPrefetch = 2048;

// The chains in SSE2 registers: s and m as the lanes of one, c on its own.
struct ConditionRegisterSse2 {
  __m128d sm;
  double c;
  explicit ConditionRegisterSse2(const sela::ConditionChains& chains) : sm(_mm_set_pd(chains.m, chains.s)), c(chains.c) {}
  double s() const { return _mm_cvtsd_f64(sm); }
  // A block's addends: the errors alone, one double per element (x is read where it lies).
  static constexpr int64_t kAddendWidth = 1;
  static void stash(double* addends, __m128d /*x*/, __m128d e) { _mm_storeu_pd(addends, e); }
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
// The chains in one AVX register: lanes s, c, m and an unused lane that stays +0. Each
// element's addend [x, e, |x|, 0] is one 16-byte record [x, e] of the block's addends,
// read by a 128-bit broadcast load (a load alone, no arithmetic) and masked once: one
// operation beside the chain addition, where a broadcast x masked and then blended with a
// broadcast e took two. The records cost two unpacks and four stores per four elements,
// off the chain.
struct ConditionRegisterAvx {
  __m256d scm;
  double c = 0.0;  // the c chain after the register is left (the last kLag blocks)
  explicit ConditionRegisterAvx(const sela::ConditionChains& chains)
      : scm(_mm256_set_pd(0.0, chains.m, chains.c, chains.s)) {}
  double s() const { return _mm256_cvtsd_f64(scm); }
  static constexpr int64_t kAddendWidth = 2;
  // The records [x_j, e_j] of four elements from their vector x and their errors' e.
  static void stash(double* addends, __m256d x, __m256d e) {
    const __m256d even = _mm256_unpacklo_pd(x, e);  // [x0, e0, x2, e2]
    const __m256d odd = _mm256_unpackhi_pd(x, e);   // [x1, e1, x3, e3]
    _mm_storeu_pd(addends, _mm256_castpd256_pd128(even));
    _mm_storeu_pd(addends + 2, _mm256_castpd256_pd128(odd));
    _mm_storeu_pd(addends + 4, _mm256_extractf128_pd(even, 1));
    _mm_storeu_pd(addends + 6, _mm256_extractf128_pd(odd, 1));
  }
  // The record holds the element itself and its error (-0.0 in the blocks without one), so
  // noError changes nothing here.
  template <bool noError>
  void step(const double* /*xi*/, const double* record, double* slot) {
    const __m256d keep = _mm256_castsi256_pd(_mm256_set_epi64x(0, 0x7FFFFFFFFFFFFFFF, -1, -1));  // x, e, |x|, 0
    scm = _mm256_add_pd(scm, _mm256_and_pd(_mm256_broadcast_pd(reinterpret_cast<const __m128d*>(record)), keep));
    _mm_store_sd(slot, _mm256_castpd256_pd128(scm));
    asm volatile("" : "+x"(scm) : : "memory");  // as in ConditionRegisterSse2::step
  }
  void addError(double e) { c = c + e; }
  // Leaves the register: c continues as a scalar.
  void leave() {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, scm);
    c = lanes[1];
  }
  sela::ConditionChains chains() const {
    alignas(32) double lanes[4];
    _mm256_store_pd(lanes, scm);
    return {lanes[0], c, lanes[2]};
  }
};
#endif

// Runs the chains over whole blocks of x[0 .. n-1], or of the elements lifted by 2^52
// (liftedElements), and returns how many elements were consumed (a multiple of
// kConditionBlock; 0 when n holds too few blocks). The caller continues with the
// remaining elements one at a time.
template <typename Ops, typename Register, bool kLifted>
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
  // addends[k % 2]: what the steps of block k read, Register::kAddendWidth doubles per
  // element: the errors of block k - kLag (-0.0 before there are any), with block k's
  // elements in the AVX register's records. Formed at the start of block k - 1, a block
  // ahead of their use: a broadcast load of a record stored moments before waits for the
  // store to reach the cache (as the vector loads of the running sums do), while a block
  // later it has. Formed at the start of block k itself, the records left the AVX sweep
  // 4% slower than the broadcasts they replace; a block ahead, 4-8% faster (Granite
  // Rapids Xeon, n = 4096 and 10^5, both builds alternated in one process).
  constexpr int64_t A = Register::kAddendWidth;
  alignas(64) double addends[2][A * B];
  // Lifted, lifted[b % kSlots] holds block b's elements times 2^52, lifted once when they
  // are stashed, a block before their steps, and read back by those steps (in the SSE2
  // register) and by their errors' forming kLag blocks later (the slot is rewritten a
  // block after that).
  alignas(64) double lifted[kLifted ? kSlots : 1][B];
  // Block k's elements as the sweep takes them.
  auto elements = [&](int64_t k) -> const double* { return kLifted ? lifted[k % kSlots] : x + k * B; };
  Register r(chains);

  // The errors of elements j .. j + W - 1 of block k (k >= 0), from its stored running sums.
  auto errorsAt = [&](int64_t k, int64_t j) {
    const double* sb = sums[k % kSlots];
    const typename Ops::V before = Ops::load(sb + j);
    const typename Ops::V after = Ops::load(sb + j + 1);
    const typename Ops::V v = Ops::load(elements(k) + j);
    const typename Ops::V z = Ops::sub(after, before);
    return Ops::add(Ops::sub(before, Ops::sub(after, z)), Ops::sub(v, z));
  };
  // Into out: the errors of block k, W at a time (-0.0 for k < 0), each stashed with the
  // element of xs at its position (lifted, and kept in keep).
  auto formAddends = [&](int64_t k, const double* xs, double* out, double* keep) {
    for (int64_t j = 0; j < B; j += W) {
      const typename Ops::V e = k >= 0 ? errorsAt(k, j) : Ops::set1(-0.0);
      typename Ops::V xv = Ops::load(xs + j);
      if constexpr (kLifted) {
        xv = sela::liftedElements<Ops>(xv);
        Ops::store(keep + j, xv);
      }
      Register::stash(out + A * j, xv, e);
    }
  };
  // Block k + 1's addends, during block k.
  auto formNext = [&](int64_t k) {
    formAddends(k + 1 - kLag, x + (k + 1) * B, addends[(k + 1) % 2], lifted[kLifted ? (k + 1) % kSlots : 0]);
  };

  formAddends(-1, x, addends[0], lifted[0]);
  for (int64_t k = 0; k < kLag; ++k) {
    const double* xb = elements(k);
    formNext(k);  // k + 1 <= kLag < blocks
    double* sb = sums[k % kSlots];
    sb[0] = r.s();
    const double* a = addends[k % 2];
    for (int64_t j = 0; j < B; ++j) r.template step<true>(xb + j, a + A * j, sb + j + 1);
  }
  for (int64_t k = kLag; k < blocks; ++k) {
    const double* xb = elements(k);
    // A block is 128 bytes: two prefetches 64 bytes apart per block reach every line
    // ahead. With only the first, every other line came from memory on demand (1.2x the
    // time of the naive sum on long inputs, against 1.0 with both). kSweepPrefetch bytes
    // ahead, 16 blocks: measured on an Intel Xeon at 10^7 elements (from memory), 2048
    // bytes took 0.88-0.94 of the time of the shared 4096 on uniform, wide and
    // ill-conditioned data, 1024 and 8192 no less than it; in cache no difference.
    static_assert(B * sizeof(double) == 128, "two lines per block");
    sela::prefetchAhead(x + k * B, kSweepPrefetch);
    sela::prefetchAhead(x + k * B + 8, kSweepPrefetch);
    if (k + 1 < blocks) formNext(k);
    double* sb = sums[k % kSlots];
    sb[0] = r.s();
    const double* a = addends[k % 2];
    for (int64_t j = 0; j < B; ++j) r.template step<false>(xb + j, a + A * j, sb + j + 1);
  }
  if constexpr (requires { r.leave(); }) r.leave();
  // The last kLag blocks' errors, c alone: formed as above from their stored running sums
  // and elements (lifted, the slots their stashing filled, which nothing has rewritten
  // since), into a buffer of their own that c then reads in order. Only the errors: no
  // records to stash, no elements to lift again. (Formed as records like the others, the
  // tail cost the call 1 to 3% more at 1000 elements on an Intel Xeon.)
  alignas(64) double tailErrors[kLag * B];
  for (int64_t k = blocks - kLag; k < blocks; ++k) {
    double* out = tailErrors + (k - (blocks - kLag)) * B;
    for (int64_t j = 0; j < B; j += W) Ops::store(out + j, errorsAt(k, j));
  }
  for (int64_t j = 0; j < kLag * B; ++j) r.addError(tailErrors[j]);
  chains = r.chains();
  return blocks * B;
}

}  // namespace
