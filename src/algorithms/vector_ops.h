// Vector building blocks written once over an operation set, the same for every family:
//   W, V, Mask                      lanes, a vector of W doubles, a lane mask;
//   zero, set1, load, store         (loads and stores unaligned);
//   loadFirst(p, k)                 p[0 .. k-1] and zeros, 0 <= k <= W, reading nothing else;
//   add, sub, mul, div, abs         one IEEE operation per lane, each rounded once;
//   bitAnd, bitOr, bitXor           the bits of two vectors anded, ored, exclusive-ored;
//   fma, fms                        a * b + c and a * b - c, one rounding (not in SSE2);
//   min, max                        x86's rule per lane: b where a or b is a NaN (so a
//                                   NaN in a is skipped), b where a and b are equal zeros;
//   minWhere(m, a, b)               min(a, b) in the lanes of m, b elsewhere;
//   less, equal, notEqual           lane masks (notEqual is true for unordered lanes);
//   both, either, noMask, any       mask logic; laneBits: bit l set for lane l of a mask;
//   noBitsIn(v, bits)               no lane of v has any of the bits of `bits` set;
//   halvedBitsBelow(a, b, L)        lanes where floor(bits(|a|) / 2) + floor(bits(|b|) / 2) < L,
//                                   the bit patterns read as integers (not in SSE2); in two
//                                   steps: halvedBits(a, b), that sum's bits in a vector,
//                                   and bitsBelow(h, L), the lanes whose bits are below L
//                                   (bitsAtLeast(h, L): at or above; bitXor, halvedBits,
//                                   bitsBelow and bitsAtLeast: AVX2 and AVX-512 only);
//   select(m, a, b)                 a in the lanes of m, b elsewhere;
//   zeroWhere(m, v)                 v with the lanes of m set to +0.0;
//   swap<H>(v)                      lanes l and l ^ H exchanged (H a power of two below W);
//   blend<Bits>(a, b)               a in the lanes whose bit is set in Bits, b elsewhere;
//   first(v)                        lane 0.
// The families: vector_ops_sse2.h (two lanes, baseline x86-64), vector_ops_avx2.h (four,
// AVX and FMA) and vector_ops_avx512.h (eight, AVX-512F). A kernel is a template over the
// set in its module's <module>_kernels.h, instantiated in the module's files built for
// each family (<module>_avx2.cpp, <module>_avx512.cpp; SSE2 copies in the module's own
// .cpp).
//
// Everything here and in the family headers has internal linkage (an anonymous
// namespace): the translation units that include them are built with different target
// flags, and an inline function with external linkage shared between them could let the
// linker keep the AVX copy for everyone.
#pragma once

#include <cstdint>

namespace {

// TwoSum per lane, a the running value: s + e = a + b exactly when nothing overflows.
template <typename Ops>
inline void twoSum(typename Ops::V a, typename Ops::V b, typename Ops::V& s, typename Ops::V& e) {
  s = Ops::add(a, b);
  const typename Ops::V z = Ops::sub(s, a);
  e = Ops::add(Ops::sub(a, Ops::sub(s, z)), Ops::sub(b, z));
}

// The folds across lanes of a running sum s, its error sum c and magnitude sum e: TwoSum
// of s and swap<H>(s) for H = W/2, W/4, ..., 1. Before the fold of distance H, s repeats
// with period 2H (lane l equals lane l + 2H), so the fold adds each distinct pair of lanes
// once, into both lanes of the pair (the rounded sum and the exact error of a + b do not
// depend on the order), and s and the fold's errors repeat with period H after it: the H
// distinct errors are any H consecutive lanes. c and e are folded alike, each fold's
// errors (and magnitudes) added: after the last fold every lane of s holds the rounded sum
// S of the lanes, and s + c is their exact sum but for W - 1 more error terms, all in c
// (rounded in a binary tree) and in e. The tail gathers the folds' errors (the first
// fold's in lanes [0, W/2), the next one's in [W/2, 3W/4), ...) and, after the last, S
// in lane W - 1: W terms whose exact sum is that of the lanes of s.
template <typename Ops, int H>
__attribute__((always_inline)) inline void foldLanes(typename Ops::V& s, typename Ops::V& c, typename Ops::V& e,
                                                     typename Ops::V& tail) {
  using V = typename Ops::V;
  constexpr int W = static_cast<int>(Ops::W);
  if constexpr (H >= 1) {
    V t, q;
    twoSum<Ops>(s, Ops::template swap<H>(s), t, q);
    s = t;
    c = Ops::add(Ops::add(c, Ops::template swap<H>(c)), q);
    e = Ops::add(Ops::add(e, Ops::template swap<H>(e)), Ops::abs(q));
    tail = Ops::template blend<((1 << H) - 1) << (W - 2 * H)>(q, tail);
    foldLanes<Ops, H / 2>(s, c, e, tail);
  } else {
    tail = Ops::template blend<1 << (W - 1)>(s, tail);
  }
}

// Whether a lane holds +-inf.
template <typename Ops>
inline bool anyInfinite(typename Ops::V d) {
  return Ops::any(Ops::equal(Ops::abs(d), Ops::set1(__builtin_inf())));
}

// Software prefetch of both arrays kPrefetchAhead elements (2 KiB) ahead of the block
// being loaded. Lanes that carry a dependence chain of two vector additions per block hold
// too few blocks in the out-of-order window to keep enough cache misses in flight on their
// own; the hint restores streaming bandwidth for inputs beyond the cache. It reads nothing
// into the computation and is issued only for addresses inside the arrays. Always inlined:
// as a separate function GCC finds it "const" (a prefetch has no visible effect) and
// deletes the calls.
constexpr int64_t kPrefetchAhead = 256;

__attribute__((always_inline)) inline void prefetchPairAt(const double* x, const double* y, int64_t at) {
  __builtin_prefetch(x + at);
  __builtin_prefetch(y + at);
}
__attribute__((always_inline)) inline void prefetchPairAhead(const double* x, const double* y, int64_t i, int64_t n) {
  if (i < n - kPrefetchAhead) prefetchPairAt(x, y, i + kPrefetchAhead);
}

// The long passes' software prefetch (certifiedsum_kernels.h): every line asked for
// twice, kStreamFar elements ahead of the element being loaded into the second-level
// cache and kStreamNear ahead into the first. A request into the first-level cache holds
// one of its few fill buffers until the line arrives; asked that far ahead of data from
// memory, the buffers run out before the bandwidth does (measured on an Intel Xeon of
// 2-cycle ymm and 4-cycle zmm additions, each pass timed alone against its former self in
// one process, ten million elements, in ns per element: the extraction pass's sums 0.85
// -> 0.63 to 0.80 with the AVX-512 family (the spread: tested bounds, below, which
// the clamp removes) and 0.84 -> 0.70 with the AVX2 family, the read bound
// there some 0.67; the certified sum 1.03 -> 0.75, its dot product 1.6 -> 1.1 with the
// AVX-512 family). The far request goes through the second-level
// cache's own, longer queue, and the near one then finds its line there, a short wait
// its fill buffer is soon free of. Where a processor treats both hints alike, the pair is
// a far request and a near one for a line already on its way. Every address lies inside
// the data: those past its end are clamped to its last element (a repeated request for a
// line already there). The clamp is a conditional move, so the loop keeps one body and one
// branch; bounds tested in the loop (GCC then splits it, with its latch out of line) left
// the AVX-512 family's sums of ten million elements at 1.07 ns per element in the
// library, against 0.72 with the clamp (medians, load 4). Always inlined for the reason
// given at prefetchPairAhead.
constexpr int64_t kStreamFar = 1024;
constexpr int64_t kStreamNear = 256;
// The extraction pass of the products asks for lines of two arrays at a time, with some
// 24 to 30 vector operations per vector of products between its loads: there a request
// a quarter as far ahead of each array, 384 elements into the second-level cache and 96
// into the first (as many lines in flight for the two arrays as 768 and 192 ahead of one),
// read ten million products from memory 2 to 4% faster than 1024 and 256 ahead (uniform
// data, medians of five runs alternated with the longer distances in one process, three
// processes, Intel Xeon, load 4 to 6). Farther ahead was slower (2048 and 512: 7%
// slower), others no faster (256 and 64, 512 and 128, 768 and 192: within 1.5%), the far
// requests alone (no near one) or none 1% and 45% slower.
constexpr int64_t kPairStreamFar = 384;
constexpr int64_t kPairStreamNear = 96;

// The requests for the `lines` lines of eight elements from x + i on, `far` and `near`
// elements ahead, each address clamped to x[last], the data's last element: no branch,
// so the loop keeps one body.
template <int64_t Far = kStreamFar, int64_t Near = kStreamNear>
__attribute__((always_inline)) inline void streamPrefetch(const double* x, int64_t i, int64_t lines, int64_t last) {
  for (int64_t l = 0; l < 8 * lines; l += 8) {
    const int64_t far = i + l + Far < last ? i + l + Far : last;
    const int64_t near = i + l + Near < last ? i + l + Near : last;
    __builtin_prefetch(x + far, 0, 2);
    __builtin_prefetch(x + near, 0, 3);
  }
}

}  // namespace
