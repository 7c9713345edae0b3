#include "algorithms/compensatedsum.h"

#include "algorithms/sse2_intrinsics.h"

#include <type_traits>

#include "algorithms/compensatedsum_internal.h"
#include "algorithms/errorfree.h"
#include "algorithms/neumaier_steps.h"
#include "algorithms/prefetch.h"
#include "algorithms/subnormal_lift.h"

namespace sela {

// All three loops are chains of dependent additions; their speed is the latency of the
// chain, so the finiteness guards must stay off it. Two facts make that possible:
//
// 1. A non-finite running sum stays non-finite: s + y with s = +-inf or NaN is +-inf or
//    NaN whatever y is. And a non-finite element makes the sum non-finite at once, both
//    in the guarded form (s + v) and in the compensated form (s + y, where y = v - c or
//    the TwoSum of s and v starts from t = s + v).
// 2. Therefore, if the running sum is finite after a stretch of elements, every element
//    of the stretch was finite and every running sum before it too, so each guard in the
//    stretch held, and the compensated form computed exactly what the guarded loop does.
//
// Kahan's guard sits beside its chain (the branch is predicted and resolved later); it
// must stay, because its two branches build different running sums. Neumaier's and
// Klein's running sums are s + v whatever the guard says, and their results ignore the
// compensations whenever the final s is non-finite, so by fact 2 their guards can go
// altogether: a failed guard leaves s non-finite to the end.

// NaN payloads: x86 gives the first operand's NaN when both operands of an addition are
// NaN, but C++ leaves the operand order of a + b to the compiler. Every addition of an
// element to the running sum is therefore written so that the running sum is the first
// machine operand (the addsd destination): with NaNs in the sum, the result is the
// running sum's NaN, as the strict loop s = s + v reads.

namespace {

// Kahan's guarded steps over x[from .. n-1], continuing s and c.
inline void kahanSteps(const double* x, int64_t from, int64_t n, double& s, double& c) {
  for (int64_t i = from; i < n; ++i) {
    if ((i & 7) == 0) prefetchAhead(x + i);
    const double v = x[i];
    if (isFinite(s) && isFinite(v)) {
      const double y = v - c;
      const double t = s + y;
      c = (t - s) - y;
      s = t;
    } else {
      s = addRunning(s, v);
    }
  }
}

// ---- Data at the bottom of the range ----
//
// Arrays that look low (liftPays) run their chain on the elements times 2^52 first
// (subnormal_lift.h: every operation then gives 2^52 times its plain value, with no
// subnormal operand or result, so no microcode assist). Each chain below carries all its
// intermediates into its running values: Kahan's t - s and y into c and s; Neumaier's z
// and error into c; Klein's two TwoSums into s, cs and ccs. So a finite lifted result
// (loweredIfFinite) proves that nothing it depends on overflowed and that every guard of
// the plain chain held where the lifted one did: the result is then 2^52 times
// the plain result, brought back exactly by lowered. Otherwise (an element at 2^972 or
// above, an infinity, a NaN, an overflowing step) the plain chain runs, and its result
// stands. Out of line, so that the plain chains' code stays as it is alone.

// The lifted chain's result, lowered, when it is finite. Neumaier's s + c and Klein's
// (s + cs) + ccs are finite only when every carried value is. Kahan's result is s alone:
// a finite s proves every y and t before it finite, and with them every c they read; the
// last c, which might have overflowed alone, feeds nothing returned.
inline bool loweredIfFinite(double liftedResult, double& result) {
  if (!isFinite(liftedResult)) return false;
  result = lowered(liftedResult);
  return true;
}

[[gnu::noinline]] bool liftedKahan(const double* x, int64_t n, double& result) {
  double s = liftedElement(x[0]);
  double c = 0.0;
  // The running values are copied into the block's own locals: behind the references the
  // lambda captures they would live in memory, which the lifted block's loads could alias.
  liftedBlocks(x + 1, n - 1, [&](const double* b, int64_t len) {
    double sb = s, cb = c;
    kahanSteps(b, 0, len, sb, cb);
    s = sb;
    c = cb;
  });
  return loweredIfFinite(s, result);
}

inline double plainKahan(const double* x, int64_t n) {
  double s = x[0];
  double c = 0.0;
  kahanSteps(x, 1, n, s, c);
  return s;
}

[[gnu::noinline]] double liftedKahanOrPlain(const double* x, int64_t n) {
  double result;
  return liftedKahan(x, n, result) ? result : plainKahan(x, n);
}

[[gnu::noinline]] bool liftedNeumaier(const double* x, int64_t n, double& result) {
  double s = liftedElement(x[0]);
  double c = 0.0;
  liftedBlocks(x + 1, n - 1, [&](const double* b, int64_t len) {
    double sb = s, cb = c;  // in registers (see liftedKahan)
    neumaierSteps(b, len, sb, cb, [](double) {});
    s = sb;
    c = cb;
  });
  return loweredIfFinite(s + c, result);
}

}  // namespace

double kahanSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  // A tail call, leaving the plain loop's frame as it is alone (holding the lifted result
  // in this frame cost 2.5 ns a call at 16 elements).
  if (liftPays(x, n)) return liftedKahanOrPlain(x, n);
  return plainKahan(x, n);
}

double neumaierSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double result;
  if (liftPays(x, n) && liftedNeumaier(x, n, result)) return result;
  double s = x[0];
  double c = 0.0;
  // Unguarded: when s ends finite, every step had s and v finite (see above) and c is
  // the guarded loop's c; when s ends non-finite, c is not used. An overflowing s + v
  // makes c NaN, but then s is infinite.
  neumaierSteps(x + 1, n - 1, s, c, [](double) {});
  return isFinite(s) ? s + c : s;
}

namespace {

// One Klein step without its guard.
inline void kleinStep(KleinState& k, double v) {
  const SumAndError ts = twoSumRunning(k.s, v);
  const SumAndError tc = twoSum(k.cs, ts.e);
  k.cs = tc.s;
  k.ccs = k.ccs + tc.e;
  k.s = ts.s;
}

// Steps between the two halves of a Klein step in kleinSteps. The error c_j is ready four
// dependent operations (and a shuffle) after the step's sum; the lower lane takes it L
// steps later, so its chain advances L additions per (L + 5) operation latencies at
// worst: with L = 5 the error chain no longer sets the pace (L = 4 left it 30% slower
// on long inputs).
constexpr int kKleinLag = 5;

// Klein steps without their guards, two TwoSums per vector operation. Step j
// is TwoSum(s, v_j), then TwoSum(cs, c_j) on its error c_j, then ccs += cc_j. The second
// TwoSum depends only on cs and c_j, not on s, so it runs in the upper lane beside the
// first TwoSum of a later step in the lower lane:
//   [s, cs] + [v_j, c_(j-L)]  ->  sums [s', cs'], errors [c_j, cc_(j-L)],
// with a lag L of several steps, so that the lower lane's running sum does not wait for
// the error chain (about five additions) that produces c. Each lane performs exactly the
// scalar operations in the scalar order: s sees v_0, v_1, ...; cs sees c_0, c_1, ...;
// ccs sees cc_0, cc_1, ... (its lower lane gathers values that are never used). The
// first L steps' upper halves and the last L steps' lower halves are done in scalar.
// Always inlined (kleinParts and kleinSum both call it), so that the state lives in
// registers: called, it would sit in memory behind a reference the input could alias.
__attribute__((always_inline)) inline void kleinSteps(KleinState& k, const double* x, int64_t n) {
  constexpr int L = kKleinLag;
  if (n < 2 * L) {
    for (int64_t j = 0; j < n; ++j) kleinStep(k, x[j]);
    return;
  }
  double s = k.s;
  __m128d pending[L];  // lower lane of slot j mod L: c_j, until step j + L takes it
  for (int j = 0; j < L; ++j) {
    const SumAndError ts = twoSum(s, x[j]);
    s = ts.s;
    pending[j] = _mm_set_sd(ts.e);
  }
  __m128d sums = _mm_set_pd(k.cs, s);
  __m128d ccs = _mm_set_pd(k.ccs, 0.0);
  auto step = [&](int64_t j, __m128d& slot) {
    const __m128d in = _mm_unpacklo_pd(_mm_load_sd(x + j), slot);  // [v_j, c_(j-L)]
    const __m128d t = _mm_add_pd(sums, in);
    const __m128d z = _mm_sub_pd(t, sums);
    slot = _mm_add_pd(_mm_sub_pd(sums, _mm_sub_pd(t, z)), _mm_sub_pd(in, z));
    ccs = _mm_add_pd(ccs, slot);
    sums = t;
  };
  int64_t j = L;
  for (; j + L <= n; j += L) {
    prefetchAhead(x + j);
    for (int d = 0; d < L; ++d) step(j + d, pending[d]);
  }
  // The last n - j < L steps, then the upper halves of the last L steps, whose errors
  // wait in the slots (n - L) mod L, ..., (n - 1) mod L, that is rem, ..., L - 1, 0, ...,
  // rem - 1 for rem = n - j (j is a multiple of L). One copy per remainder, so that every
  // slot index is a constant and the slots stay in registers.
  auto finish = [&](auto remainder) {
    constexpr int rem = decltype(remainder)::value;
    for (int d = 0; d < rem; ++d) step(j + d, pending[d]);
    k.s = _mm_cvtsd_f64(sums);
    double cs = _mm_cvtsd_f64(_mm_unpackhi_pd(sums, sums));
    double cc = _mm_cvtsd_f64(_mm_unpackhi_pd(ccs, ccs));
    for (int q = 0; q < L; ++q) {
      const SumAndError tc = twoSum(cs, _mm_cvtsd_f64(pending[(rem + q) % L]));
      cs = tc.s;
      cc = cc + tc.e;
    }
    k.cs = cs;
    k.ccs = cc;
  };
  static_assert(L == 5, "one case per remainder");
  switch (n - j) {
    case 0: return finish(std::integral_constant<int, 0>{});
    case 1: return finish(std::integral_constant<int, 1>{});
    case 2: return finish(std::integral_constant<int, 2>{});
    case 3: return finish(std::integral_constant<int, 3>{});
    default: return finish(std::integral_constant<int, 4>{});
  }
}

[[gnu::noinline]] bool liftedKlein(const double* x, int64_t n, double& result) {
  KleinState k{liftedElement(x[0]), 0.0, 0.0};
  liftedBlocks(x + 1, n - 1, [&](const double* b, int64_t len) {
    KleinState kb = k;  // in registers (see liftedKahan)
    kleinSteps(kb, b, len);
    k = kb;
  });
  return loweredIfFinite((k.s + k.cs) + k.ccs, result);
}

}  // namespace

KleinState kleinParts(const double* x, int64_t n) {
  KleinState k{x[0], 0.0, 0.0};
  kleinSteps(k, x + 1, n - 1);
  return k;
}

double kleinSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  double result;
  if (liftPays(x, n) && liftedKlein(x, n, result)) return result;
  // Unguarded, like neumaierSum: every failed guard leaves s non-finite for good, and
  // then the result is s alone, which the guards never change.
  KleinState k{x[0], 0.0, 0.0};
  kleinSteps(k, x + 1, n - 1);
  if (isFinite(k.s)) return (k.s + k.cs) + k.ccs;
  // The result is the running sum itself. Its value is the same in every arrangement,
  // but which NaN it carries depends on the operand order of each addition, which the
  // vector additions leave to the compiler: run the strict sum again, running sum first.
  double s = x[0];
  for (int64_t i = 1; i < n; ++i) s = addRunning(s, x[i]);
  return s;
}

}  // namespace sela
