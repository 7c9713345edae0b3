// Neumaier's compensated steps as an inline loop, shared by neumaierSum and by the
// condition number, which runs a second chain (the sum of magnitudes) in the same sweep.
#pragma once

#include "algorithms/sse2_intrinsics.h"

#include <cstdint>

#include "algorithms/errorfree.h"
#include "algorithms/prefetch.h"

namespace sela {

// Runs Neumaier's steps s, c <- TwoSum(s, x[i]) (running sum first; c gathers the errors
// in order) for i = 0 .. n-1, without guards, and calls visit(x[i]) for every element in
// index order. Only t = s + v is on s's chain. The other five operations of TwoSum(s, v)
// depend on s, t and v alone, so two consecutive steps share them in one vector operation
// each, lane by lane the scalar operations: S = [s_i, s_(i+1)], T = [s_(i+1), s_(i+2)].
// The errors then enter c in order.
template <typename Visit>
inline void neumaierSteps(const double* x, int64_t n, double& s, double& c, Visit&& visit) {
  int64_t i = 0;
  __m128d sv = _mm_set_sd(s);  // lower lane: s
  for (; i + 2 <= n; i += 2) {
    if ((i & 7) == 0) prefetchAhead(x + i);
    visit(x[i]);
    visit(x[i + 1]);
    const __m128d s1 = _mm_add_sd(sv, _mm_load_sd(x + i));
    const __m128d s2 = _mm_add_sd(s1, _mm_load_sd(x + i + 1));
    const __m128d lo = _mm_unpacklo_pd(sv, s1);
    const __m128d hi = _mm_unpacklo_pd(s1, s2);
    const __m128d v = _mm_loadu_pd(x + i);
    const __m128d z = _mm_sub_pd(hi, lo);
    const __m128d e = _mm_add_pd(_mm_sub_pd(lo, _mm_sub_pd(hi, z)), _mm_sub_pd(v, z));
    c = c + _mm_cvtsd_f64(e);
    c = c + _mm_cvtsd_f64(_mm_unpackhi_pd(e, e));
    sv = s2;
  }
  s = _mm_cvtsd_f64(sv);
  for (; i < n; ++i) {
    visit(x[i]);
    const SumAndError ts = twoSumRunning(s, x[i]);
    c = c + ts.e;
    s = ts.s;
  }
}

}  // namespace sela
