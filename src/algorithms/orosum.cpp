#include "algorithms/orosum.h"

#include "algorithms/sse2_intrinsics.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "algorithms/compensatedsum.h"
#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "algorithms/orosum_internal.h"
#include "algorithms/prefetch.h"
#include "algorithms/subnormal_lift.h"
#include "algorithms/vector_ops_sse2.h"
#include "error_state.h"

namespace sela {

// ---- Cascaded sums ----------------------------------------------------------------

double sum2(const double* values, int64_t n) { return neumaierSum(values, n); }

namespace {

// ---- The cascade in one sweep ----
//
// Pass k of the cascade reads the error vector of pass k - 1 from left to right and
// writes its own errors from left to right; element j of pass k's errors comes from
// pass k's j-th addition and is all that pass k + 1's (j+1)-th step needs. So every pass
// can advance as soon as the previous one has produced its next error: at step i of the
// sweep (element values[i]), pass 1 adds values[i]; its error e is handed at once to pass
// 2, whose error goes to pass 3, and so on. Pass k consumes its first input (error 0 of
// pass k - 1, produced at step k - 1) by taking it as its running sum -- that is
// "s <- errors[0]" of the pass, no addition -- and adds its later inputs one per step
// from step k on. Each pass therefore performs exactly the additions of its separate
// loop, on the same operands, in the same order; only the interleaving between passes
// changes, and no pass reads anything another pass writes later. The bits are those of
// the pass-by-pass cascade, with no error vector: an error lives from its production to
// its use in the same step. The last pass's errors feed nothing, so it only adds.
//
// The steps stay unguarded (TwoSum of any operands) when this is provably the same:
// a running sum that is finite at the end was finite at every step, and each of its
// inputs was finite (an infinity or a NaN, once in a running sum, never leaves it). So
// if every pass ends finite, every guard of every pass held, and the unguarded errors
// are the guarded ones. If pass 1 ends non-finite, the result is pass 1's sum, which no
// error changes (recomputed by a strict loop for its NaN payload). Only the remaining
// case (pass 1 finite, a later pass not) needs the guarded steps: the sweep is then run
// again with them. That case needs some 2^54 elements (each error of pass 1 is at most
// 2^970 in magnitude), but costs nothing to keep right.

// One step of a pass that hands its error on: the pass's running sum s becomes s + x;
// returns the TwoSum error (+0.0 where Guarded and an operand is not finite).
template <bool Guarded>
inline double passStep(double& s, double x) {
  const SumAndError ts = twoSum(s, x);
  double e = ts.e;
  // (s - s) + (x - x) is +0.0 exactly when both are finite.
  if constexpr (Guarded) e = ((s - s) + (x - x) == 0.0) ? e : 0.0;
  s = ts.s;
  return e;
}

// The first min(P, n) - 1 steps, while passes are still starting: at step i the passes
// 1..i add, and pass i + 1 starts from the error pass i hands on. sums[k] is pass k + 1's
// running sum. Returns the first step of the steady state.
template <bool Guarded>
int64_t startPasses(const double* values, int64_t n, int64_t passes, double* sums) {
  sums[0] = values[0];
  int64_t i = 1;
  for (; i < n && i < passes; ++i) {
    double x = values[i];
    for (int64_t k = 0; k < i; ++k) x = passStep<Guarded>(sums[k], x);
    sums[i] = x;
  }
  return i;
}

// The steady state for a fixed number of passes P: every pass adds once per step. The
// running sums live in registers.
template <int P>
void steadyFixed(const double* values, int64_t from, int64_t n, double* sums) {
  double s[P];
  for (int k = 0; k < P; ++k) s[k] = sums[k];
  for (int64_t i = from; i < n; ++i) {
    if ((i & 7) == 0) prefetchAhead(values + i);
    double x = values[i];
    for (int k = 0; k < P - 1; ++k) x = passStep<false>(s[k], x);
    s[P - 1] = s[P - 1] + x;
  }
  for (int k = 0; k < P; ++k) sums[k] = s[k];
}

// The same for any number of passes, sums in memory.
template <bool Guarded>
void steadyAny(const double* values, int64_t from, int64_t n, int64_t passes, double* sums) {
  for (int64_t i = from; i < n; ++i) {
    double x = values[i];
    for (int64_t k = 0; k + 1 < passes; ++k) x = passStep<Guarded>(sums[k], x);
    sums[passes - 1] = sums[passes - 1] + x;
  }
}

// Fixed-count kernels for the common small orders.
constexpr int64_t kFixedPasses = 8;

template <int P = 2>
void steadyDispatch(const double* values, int64_t from, int64_t n, int64_t passes, double* sums) {
  if constexpr (P > kFixedPasses) {
    steadyAny<false>(values, from, n, passes, sums);
  } else {
    if (passes == P) return steadyFixed<P>(values, from, n, sums);
    steadyDispatch<P + 1>(values, from, n, passes, sums);
  }
}

// The result from the passes' sums: ((s_1 + t_2) + t_3) + ..., each added only while the
// result is finite.
double combinePasses(const double* sums, int64_t passes) {
  double s = sums[0];
  for (int64_t k = 1; k < passes; ++k)
    if (isFinite(s)) s = s + sums[k];
  return s;
}

}  // namespace

// Passes in the sweep of cascadeSweep without heap storage.
constexpr int64_t kStackPasses = 64;

double cascadeSweep(const double* values, int64_t n, int64_t passes, bool guarded, double* sums) {
  const int64_t first = guarded ? startPasses<true>(values, n, passes, sums)
                                : startPasses<false>(values, n, passes, sums);
  if (first < n) {
    // Every pass has started (passes <= first).
    if (guarded) {
      steadyAny<true>(values, first, n, passes, sums);
    } else {
      steadyDispatch(values, first, n, passes, sums);
    }
  }
  return combinePasses(sums, passes);
}

namespace {

// The sweep on the elements times 2^52 (subnormal_lift.h), for passes < kLiftBlock: the
// first block starts every pass (min(n, kLiftBlock) > passes - 1 elements), the
// steady state continues block after block, each pass adding its inputs in order. Every
// intermediate of a pass reaches its running sum or the next pass's, so a finite
// combination of the sums proves that nothing overflowed: the combination is then
// 2^52 times the cascade's result (every pass finite, the unguarded steps are the
// cascade's), lowered exactly. Otherwise false, and the plain sweep decides.
[[gnu::noinline]] bool liftedCascade(const double* values, int64_t n, int64_t passes, double* sums, double& result) {
  bool started = false;
  liftedBlocks(values, n, [&](const double* b, int64_t len) {
    int64_t from = 0;
    if (!started) {
      from = startPasses<false>(b, len, passes, sums);
      started = true;
    }
    if (from < len) steadyDispatch(b, from, len, passes, sums);
  });
  // combinePasses adds every sum while the result is finite: a finite combination means
  // every sum finite.
  const double combined = combinePasses(sums, passes);
  if (!isFinite(combined)) return false;
  result = lowered(combined);
  return true;
}

}  // namespace

double sumK(const double* values, int64_t n, int64_t k) {
  if (n <= 0) return 0.0;
  if (n == 1) return values[0];
  // The error vector of pass k has n - k elements, so at most n passes run.
  const int64_t passes = k < 1 ? 1 : (k < n ? k : n);
  // Two and three passes are Neumaier's and Klein's sums, whose vector arrangements are
  // faster. Neumaier's c gathers pass 1's errors left to right from 0.0, Klein's cs does
  // the same with TwoSum and its ccs gathers those TwoSums' errors: the running sums of
  // passes 2 and 3, each behind one extra leading 0.0 + e. A TwoSum error is never -0.0:
  // its terms s - (t - z) and x - z are both -0.0 only for s = x = -0.0, and then
  // z = +0.0 makes the first +0.0. So no running sum of errors is -0.0, 0.0 + e = e, and
  // the leading zero changes nothing; neither does Klein's first ccs term, the error of
  // TwoSum(0.0, e), which is +0.0. Their results, s + c and (s + cs) + ccs, are the
  // cascade's additions.
  // A finite result means every running sum ended finite, where the unguarded steps are
  // the cascade's (see above); any other result is settled by the sweep below.
  if (passes == 2 || passes == 3) {
    const double r = passes == 2 ? neumaierSum(values, n) : kleinSum(values, n);
    if (isFinite(r)) return r;
  }
  double local[kStackPasses];
  double lifted;
  static_assert(kLiftBlock <= kStackPasses, "the lifted sweep's sums fit the stack");
  if (passes < kLiftBlock && liftPays(values, n) && liftedCascade(values, n, passes, local, lifted)) return lifted;
  ScratchArray heap;
  double* sums = local;
  if (passes > kStackPasses) {
    heap = allocateScratch(passes);
    sums = heap.get();
  }
  const double result = cascadeSweep(values, n, passes, false, sums);
  if (!isFinite(sums[0])) {
    // The result is pass 1's sum. Its value is the same in every arrangement, but which
    // NaN it carries depends on the operand order of each addition, which the sweep
    // leaves to the compiler: add again, running sum first, as the strict loop reads.
    double s = values[0];
    for (int64_t i = 1; i < n; ++i) s = addRunning(s, values[i]);
    return s;
  }
  for (int64_t p = 1; p < passes; ++p)
    if (!isFinite(sums[p])) return cascadeSweep(values, n, passes, true, sums);
  return result;
}

// ---- Building blocks of the transformation -----------------------------------------

int64_t ceilLog2(int64_t a) {
  // Unsigned doubling: b reaches at most 2^63, which covers every positive int64.
  const uint64_t target = a <= 1 ? 1 : static_cast<uint64_t>(a);
  uint64_t b = 1;
  int64_t k = 0;
  while (b < target) {
    b <<= 1;
    ++k;
  }
  return k;
}

double pow2i(int64_t k) { return fromBits(static_cast<uint64_t>(k + kExponentBias) << kMantissaBits); }

double nextPowerTwo(double x) {
  const uint64_t a = bitsOf(x) & ~kSignMask;
  if (a == 0) return 0.0;
  const uint64_t e = a >> kMantissaBits;
  if (e == 0) return 0x1p-1022;
  if ((a & kMantissaMask) == 0) return fromBits(a);
  if (e + 1 > kMaxFiniteField) return std::numeric_limits<double>::infinity();
  return fromBits((e + 1) << kMantissaBits);
}

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kMinNormal = 0x1p-1022;

// One read of the input before the transformation.
struct Scan {
  double maxAbs;     // the largest magnitude (meaningful when finite)
  double approxSum;  // a rough sum, only to predict the number of sweeps
  bool finite;       // every element is finite
};

// Eight independent lanes, in two-element SSE2 registers (part of every x86-64 processor),
// keep the adders busy: a maximum does not depend on the order, and the rough sum is only a
// guess. A lane sum that stays finite proves its elements finite (an infinity or a NaN
// never leaves a sum); when the total is not finite, one exact scan decides.
Scan scanValues(const double* x, int64_t n) {
  const __m128d signMask = _mm_set1_pd(-0.0);
  __m128d m0 = _mm_setzero_pd(), m1 = m0, m2 = m0, m3 = m0;
  __m128d s0 = m0, s1 = m0, s2 = m0, s3 = m0;
  int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m128d v0 = _mm_loadu_pd(x + i), v1 = _mm_loadu_pd(x + i + 2);
    const __m128d v2 = _mm_loadu_pd(x + i + 4), v3 = _mm_loadu_pd(x + i + 6);
    m0 = _mm_max_pd(_mm_andnot_pd(signMask, v0), m0);
    m1 = _mm_max_pd(_mm_andnot_pd(signMask, v1), m1);
    m2 = _mm_max_pd(_mm_andnot_pd(signMask, v2), m2);
    m3 = _mm_max_pd(_mm_andnot_pd(signMask, v3), m3);
    s0 = _mm_add_pd(s0, v0);
    s1 = _mm_add_pd(s1, v1);
    s2 = _mm_add_pd(s2, v2);
    s3 = _mm_add_pd(s3, v3);
  }
  const __m128d m = _mm_max_pd(_mm_max_pd(m0, m1), _mm_max_pd(m2, m3));
  const __m128d sv = _mm_add_pd(_mm_add_pd(s0, s1), _mm_add_pd(s2, s3));
  double lanes[2];
  _mm_storeu_pd(lanes, m);
  double maxAbs = lanes[0] > lanes[1] ? lanes[0] : lanes[1];
  _mm_storeu_pd(lanes, sv);
  double sum = lanes[0] + lanes[1];
  for (; i < n; ++i) {
    const double a = std::fabs(x[i]);
    maxAbs = a > maxAbs ? a : maxAbs;
    sum += x[i];
  }
  Scan r{maxAbs, sum, true};
  if (!isFinite(r.approxSum)) {
    for (i = 0; i < n; ++i) {
      if (!isFinite(x[i])) {
        r.finite = false;
        break;
      }
    }
  }
  return r;
}

// What the final residual vector adds up to: its naive (left-to-right) sum, which is what
// AccSum adds to the transformation's result.
struct ResidualFacts {
  double sum = 0.0;
};

// ---- The residual vector ----
//
// The residual of element i after sweeps at sigma_1, sigma_2, ... is a function of that
// element alone: v <- v - ((sigma_j + v) - sigma_j) for each j in turn. While few sweeps
// have run, the workers keep the residual vector implicit, as the caller's values and the
// list of sigmas, and recompute each residual on the fly with the very operations a stored
// vector would have seen (so with the same bits). This spares writing the vector, and
// allocating it, for all data that need at most kImplicitLevels sweeps; the sweep after
// that stores it, and later sweeps work in place.
//
// Recomputing costs two additions per level and element in every later sweep, which is
// still cheaper than a stored vector on long inputs: a fresh n-element array costs a page
// fault per 4 KiB on first touch, more than eight levels of recomputation. Eight levels
// cover every condition number up to about 2^(8 (53 - 2M)) (1e70 at n = 10^7, far
// beyond 1e100 at n = 1000); only data beyond that are stored.
constexpr int kImplicitLevels = 8;

struct Residual {
  const double* base = nullptr;   // the values, or `store` once the vector is stored
  double* store = nullptr;        // where the vector is written once it must be stored
  ScratchArray* owner = nullptr;  // allocates `scratch` on first need when it is null
  double* scratch = nullptr;      // the call's own array, once allocated (it may be base)
  int64_t n = 0;
  double levels[kImplicitLevels] = {};
  int count = 0;  // sigmas still to apply to base (0 once stored)

  bool stored() const { return base == store; }
};

template <int Levels>
inline double applyLevels(double v, const double* levels) {
  for (int l = 0; l < Levels; ++l) {
    const double q = (levels[l] + v) - levels[l];
    v = v - q;
  }
  return v;
}

// The same on two elements at once (SSE2, part of every x86-64 processor): the packed
// operations round each lane exactly as the scalar ones do.
template <int Levels>
inline __m128d applyLevels(__m128d v, const __m128d* levels) {
  for (int l = 0; l < Levels; ++l) {
    const __m128d q = _mm_sub_pd(_mm_add_pd(levels[l], v), levels[l]);
    v = _mm_sub_pd(v, q);
  }
  return v;
}

// The levels broadcast to both lanes, held in registers for a whole sweep.
template <int Levels>
struct PackedLevels {
  __m128d v[Levels > 0 ? Levels : 1];
  explicit PackedLevels(const double* levels) {
    for (int l = 0; l < Levels; ++l) v[l] = _mm_set1_pd(levels[l]);
  }
};

// One sweep of extractVector over the residuals base[i] split at `levels`, the new
// residuals written to dst when Store (dst may be base). The high parts are summed in
// four lanes: under extractVector's precondition every partial sum is exact, so the lanes
// give the bits of the left-to-right loop.
template <int Levels, bool Store>
double sweep(const double* base, const double* levels, double sigma, double* dst, int64_t n) {
  const PackedLevels<Levels> lv(levels);
  const __m128d sg = _mm_set1_pd(sigma);
  __m128d t0 = _mm_setzero_pd(), t1 = t0;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128d x0 = applyLevels<Levels>(_mm_loadu_pd(base + i), lv.v);
    const __m128d x1 = applyLevels<Levels>(_mm_loadu_pd(base + i + 2), lv.v);
    const __m128d q0 = _mm_sub_pd(_mm_add_pd(sg, x0), sg);
    const __m128d q1 = _mm_sub_pd(_mm_add_pd(sg, x1), sg);
    if constexpr (Store) {
      _mm_storeu_pd(dst + i, _mm_sub_pd(x0, q0));
      _mm_storeu_pd(dst + i + 2, _mm_sub_pd(x1, q1));
    }
    t0 = _mm_add_pd(t0, q0);
    t1 = _mm_add_pd(t1, q1);
  }
  double tail = 0.0;
  for (; i < n; ++i) {
    const double x = applyLevels<Levels>(base[i], levels);
    const double q = (sigma + x) - sigma;
    if constexpr (Store) dst[i] = x - q;
    tail += q;
  }
  return ((lowLane(t0) + highLane(t0)) + (lowLane(t1) + highLane(t1))) + tail;
}

// The same sweep, also gathering the naive sum of the new residuals. That sum is a chain
// of dependent additions, element after element, so this sweep runs at the speed of the
// plain loop; it is used where the sweep is expected to be the last. The residuals are
// formed two at a time.
template <int Levels, bool Store>
double sweepGathering(const double* base, const double* levels, double sigma, double* dst, int64_t n,
                      ResidualFacts& facts) {
  double x = applyLevels<Levels>(base[0], levels);
  double q = (sigma + x) - sigma;
  double r = x - q;
  if constexpr (Store) dst[0] = r;
  double tau = 0.0 + q;
  double s = r;
  const PackedLevels<Levels> lv(levels);
  const __m128d sg = _mm_set1_pd(sigma);
  __m128d tv = _mm_setzero_pd();
  int64_t i = 1;
  for (; i + 4 <= n; i += 4) {
    if ((i & 7) == 1) prefetchAhead(base + i);
    const __m128d xv = applyLevels<Levels>(_mm_loadu_pd(base + i), lv.v);
    const __m128d xw = applyLevels<Levels>(_mm_loadu_pd(base + i + 2), lv.v);
    const __m128d qv = _mm_sub_pd(_mm_add_pd(sg, xv), sg);
    const __m128d qw = _mm_sub_pd(_mm_add_pd(sg, xw), sg);
    const __m128d rv = _mm_sub_pd(xv, qv);
    const __m128d rw = _mm_sub_pd(xw, qw);
    if constexpr (Store) {
      _mm_storeu_pd(dst + i, rv);
      _mm_storeu_pd(dst + i + 2, rw);
    }
    tv = _mm_add_pd(tv, _mm_add_pd(qv, qw));
    s = s + lowLane(rv);
    s = s + highLane(rv);
    s = s + lowLane(rw);
    s = s + highLane(rw);
  }
  for (; i < n; ++i) {
    x = applyLevels<Levels>(base[i], levels);
    q = (sigma + x) - sigma;
    r = x - q;
    if constexpr (Store) dst[i] = r;
    tau += q;
    s += r;
  }
  facts = {s};
  return tau + (lowLane(tv) + highLane(tv));
}

template <int Levels>
ResidualFacts gatherLevels(const double* base, const double* levels, int64_t n) {
  double s = applyLevels<Levels>(base[0], levels);
  for (int64_t i = 1; i < n; ++i) {
    if ((i & 7) == 1) prefetchAhead(base + i);
    s += applyLevels<Levels>(base[i], levels);
  }
  return {s};
}

template <int Levels>
void storeLevels(const double* base, const double* levels, double* dst, int64_t n) {
  for (int64_t i = 0; i < n; ++i) dst[i] = applyLevels<Levels>(base[i], levels);
}

// The call's own array of n doubles, allocated on first need.
double* ensureScratch(Residual& r) {
  if (r.scratch == nullptr) {
    *r.owner = allocateScratch(r.n);
    r.scratch = r.owner->get();
  }
  return r.scratch;
}

// A store over the call's own array. Where that array is already the base (a lifted
// vector, below), the storing sweep overwrites each element after reading it: every
// residual depends on its own element alone.
void ensureStore(Residual& r) {
  if (r.store == nullptr) r.store = ensureScratch(r);
}

// Calls f(std::integral_constant<int, L>{}) with L = count, for 0 <= count <= kImplicitLevels:
// each number of implicit levels has its own unrolled kernels.
template <int L = 0, typename F>
decltype(auto) withLevels(int count, F&& f) {
  if constexpr (L == kImplicitLevels) {
    return f(std::integral_constant<int, L>{});
  } else {
    if (count == L) return f(std::integral_constant<int, L>{});
    return withLevels<L + 1>(count, f);
  }
}

// The facts of the residual vector as it stands.
ResidualFacts gather(const Residual& r) {
  if (r.n <= 0) return {};
  return withLevels(r.count, [&](auto levels) {
    return gatherLevels<decltype(levels)::value>(r.base, r.levels, r.n);
  });
}

// Writes the residual vector out (allocating it if need be); from then on it is stored.
void storeResidual(Residual& r) {
  if (r.stored()) return;
  ensureStore(r);
  withLevels(r.count, [&](auto levels) { storeLevels<decltype(levels)::value>(r.base, r.levels, r.store, r.n); });
  r.base = r.store;
  r.count = 0;
}

// One sweep at sigma, advancing the residual vector; gathers its facts when asked.
template <bool Gather>
double sweepStep(Residual& r, double sigma, ResidualFacts& facts) {
  const auto run = [&](auto levels, auto store, double* dst) {
    constexpr int L = decltype(levels)::value;
    constexpr bool S = decltype(store)::value;
    if constexpr (Gather) {
      return sweepGathering<L, S>(r.base, r.levels, sigma, dst, r.n, facts);
    } else {
      return sweep<L, S>(r.base, r.levels, sigma, dst, r.n);
    }
  };
  if (r.stored()) return run(std::integral_constant<int, 0>{}, std::true_type{}, r.store);
  if (r.count < kImplicitLevels) {
    const double tau = withLevels(r.count, [&](auto levels) { return run(levels, std::false_type{}, nullptr); });
    r.levels[r.count++] = sigma;
    return tau;
  }
  // One level too many to recompute: this sweep stores the vector it produces.
  ensureStore(r);
  const double tau = run(std::integral_constant<int, kImplicitLevels>{}, std::true_type{}, r.store);
  r.base = r.store;
  r.count = 0;
  return tau;
}

// Several sweeps in one pass over an implicit residual vector: for each element, the
// levels already applied, then the splits at sigmas[0..k-1] in turn, each high part
// summed into its own sweep's total; returns the naive sum of the final residuals. An element's residual after any number of splits
// depends on that element alone, so every sweep sees exactly the values it would see in a
// pass of its own; each total is exact in any order of addition (extractVector's
// precondition holds for every sweep), so lanes give the same bits. What is new is only
// that sweeps run before the previous one's stopping test: the caller discards those
// after the one that stops.
[[gnu::noinline]] double multiSweep(const Residual& r, const double* sigmas, int k, double* taus) {
  const int levels = r.count;
  __m128d lv[kImplicitLevels], sg[kImplicitLevels], acc[kImplicitLevels];
  for (int l = 0; l < levels; ++l) lv[l] = _mm_set1_pd(r.levels[l]);
  for (int j = 0; j < k; ++j) {
    sg[j] = _mm_set1_pd(sigmas[j]);
    acc[j] = _mm_setzero_pd();
  }
  const double* base = r.base;
  const int64_t n = r.n;
  // The naive sum of the residuals after the last split, left to right from the first
  // (the facts of the residual vector if that sweep turns out to be the last).
  double last = 0.0;
  int64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    if ((i & 7) == 0) prefetchAhead(base + i);
    __m128d v = _mm_loadu_pd(base + i);
    for (int l = 0; l < levels; ++l) v = _mm_sub_pd(v, _mm_sub_pd(_mm_add_pd(lv[l], v), lv[l]));
    for (int j = 0; j < k; ++j) {
      const __m128d q = _mm_sub_pd(_mm_add_pd(sg[j], v), sg[j]);
      v = _mm_sub_pd(v, q);
      acc[j] = _mm_add_pd(acc[j], q);
    }
    last = i == 0 ? lowLane(v) : last + lowLane(v);
    last = last + highLane(v);
  }
  for (int j = 0; j < k; ++j) taus[j] = lowLane(acc[j]) + highLane(acc[j]);
  for (; i < n; ++i) {
    double v = base[i];
    for (int l = 0; l < levels; ++l) v = v - ((r.levels[l] + v) - r.levels[l]);
    for (int j = 0; j < k; ++j) {
      const double q = (sigmas[j] + v) - sigmas[j];
      v = v - q;
      taus[j] = taus[j] + q;
    }
    last = i == 0 ? v : last + v;
  }
  return last;
}

// How many sweeps from sigma on the transformation is expected to make, judging by the
// estimate `guess` of its final leading part (at least 1, at most `room`); `floor` is the
// sigma at which the transformation stops.
int expectedSweeps(double guess, double sigma, double phiScale, double shrink, int room, double floor) {
  int k = 1;
  while (k < room && sigma > floor && std::fabs(guess) < phiScale * sigma) {
    sigma = sigma * shrink;
    ++k;
  }
  return k;
}

// ---- The transformation lifted by 2^52 ----
//
// Why. A sweep at a sigma below 2^-969 splits off high parts on a grid finer than 2^-1022:
// q = (sigma + v) - sigma of two normal operands comes out subnormal, and so does v - q,
// each a microcode assist on Intel processors (subnormal_lift.h). AccSum ran at some 17 ns
// per element on subnormal data against 1 on normal data. From the first sweep whose sigma
// lies below kLiftBelow on, the transformation therefore continues on the residual vector,
// its running sum and its sigma all times 2^52, where every such quantity is normal.
//
// Why the bits stay. Every quantity of the transformation is a multiple of 2^-1074 (a
// double, or an exact sum of doubles), and the lift commutes with every addition and
// subtraction of such quantities as long as nothing overflows (subnormal_lift.h): the
// splits (sigma + v) - sigma and v - q, the totals of the high parts (exact anyway), t + tau,
// the FastTwoSum that ends the loop, the naive sum of the residuals and AccSum's two last
// additions each give 2^52 times their plain value, zeros with the same signs. What is not
// an addition is lifted with them:
// - sigma, a normal power of two (above the floor 2^-1022 while the loop runs), times 2^52
//   is exact, and so is each later sigma * 2^(M-53): a sigma above the floor gives one at
//   least 2^(-1021 + M - 53) >= 2^-1072 plainly, a power of two, exact on both sides.
// - The floor test sigma <= 2^-1022 becomes sigma <= 2^-970 (kLiftedFloor).
// - The stopping bound phi = (2^(2M) 2^-53) sigma: while sigma > 2^-1022 it is at least
//   2^(4 - 53 - 1021) = 2^-1070 (M >= 2), a power of two formed exactly, and lifted it is
//   2^52 phi; where sigma reaches the floor the loop stops whatever |t'| >= phi says. So
//   every comparison |t'| >= phi has the same outcome lifted and plain: the same sweeps run,
//   and the transformation stops at the same one.
// - Nothing overflows: the lift starts at a sigma below 2^-950, where every residual lies
//   below sigma, every total of high parts below n sigma, and |t| below the last stopping
//   bound 2^M sigma (M <= 26): every lifted quantity stays below 2^54 sigma 2^52 < 2^-844.
// The lifted result r' of (naiveSum(residuals) + tau2) + tau1 is 2^52 times the plain
// one, and lowered(r') (subnormal_lift.h) brings it back exactly, subnormal or zero.
constexpr double kLiftedFloor = 0x1p-970;  // the floor 2^-1022, lifted
// The sigma below which the transformation continues lifted. Above it a sweep's high
// parts lie on a grid of 2^-1003 or coarser, and its residuals, below 2^-54 sigma, are
// subnormal only where an element's low bits happen to vanish to below 2^-1022.
constexpr double kLiftBelow = 0x1p-950;

// Whether the caller lets the transformation continue lifted (allowed), and whether it did
// (done: then tau1, tau2 and the facts of the residuals are all 2^52 times their plain
// values).
struct Lift {
  bool allowed = false;
  bool done = false;
};

// dst[i] = 2^52 times the residual of base[i] after `levels` (dst may be base).
template <int Levels>
void liftLevels(const double* base, const double* levels, double* dst, int64_t n) {
  const PackedLevels<Levels> lv(levels);
  int64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    if ((i & 7) == 0) prefetchAhead(base + i);
    _mm_storeu_pd(dst + i, liftedElements<Sse2Ops>(applyLevels<Levels>(_mm_loadu_pd(base + i), lv.v)));
  }
  if (i < n) dst[i] = liftedElement(applyLevels<Levels>(base[i], levels));
}

// The residual vector times 2^52, written to the call's own array (in place when it is
// already stored there), which becomes the base of an implicit vector without levels.
// Kept out of line, as is multiSweep: with this function's nine kernels inlined beside
// multiSweep's loop, AccSum of condition 1e16 at n = 1000 took 1.10 to 1.18 times as long.
[[gnu::noinline]] void liftResidual(Residual& r) {
  double* dst = ensureScratch(r);
  withLevels(r.count, [&](auto levels) { liftLevels<decltype(levels)::value>(r.base, r.levels, dst, r.n); });
  r.base = dst;
  r.store = nullptr;
  r.count = 0;
}

// The transformation of rho + sum(residual), advancing the residual vector. mu is its
// largest magnitude. `guess` estimates the final leading part; it only chooses which sweep
// gathers the facts of the residuals on its way (a wrong guess costs one more pass over
// them, never a different result). On return `facts` describe the new residual vector,
// unless tau1 is +inf. Where lift.allowed, the sweeps below kLiftBelow run lifted (above).
TransformResult transformResidual(Residual& r, double mu, double rho, double guess, ResidualFacts& facts,
                                  Lift& lift) {
  facts = {};
  const int64_t n = r.n;
  if (n <= 0) return {rho, 0.0};
  if (mu == 0.0) {
    facts = gather(r);
    return {rho, 0.0};
  }
  const int64_t m = ceilLog2(n + 2);
  // sigma >= 2^M * mu: every element, and every later residual relative to the shrunken
  // sigma, satisfies extractVector's precondition.
  double sigma = nextPowerTwo(mu) * pow2i(m);
  if (!isFinite(sigma)) return {kInf, 0.0};
  const double phiScale = pow2i(2 * m) * 0x1p-53;
  const double shrink = pow2i(m - 53);
  double floor = kMinNormal;
  double t = rho;
  for (;;) {
    if (lift.allowed && !lift.done && sigma < kLiftBelow) {
      liftResidual(r);
      sigma = sigma * 0x1p52;
      t = liftedElement(t);
      guess = liftedElement(guess);
      floor = kLiftedFloor;
      lift.done = true;
    }
    const bool liftAhead = lift.allowed && !lift.done;
    // Implicit residuals and more than one sweep expected: those sweeps in one pass.
    const int room = r.stored() ? 0 : kImplicitLevels - r.count;
    const int ahead = room > 1 ? expectedSweeps(guess, sigma, phiScale, shrink, room, floor) : 1;
    if (ahead > 1) {
      double sigmas[kImplicitLevels];
      int k = 0;
      for (double sg = sigma; k < ahead; sg = sg * shrink) {
        if (k > 0 && liftAhead && sg < kLiftBelow) break;  // the sweeps from sg on run lifted
        sigmas[k++] = sg;
        if (sg <= floor) break;  // the last sweep the transformation can make
      }
      double taus[kImplicitLevels];
      const double lastSum = multiSweep(r, sigmas, k, taus);
      for (int j = 0; j < k; ++j) {
        r.levels[r.count++] = sigmas[j];
        const double tNext = t + taus[j];
        if (std::fabs(tNext) >= phiScale * sigmas[j] || sigmas[j] <= floor) {
          facts = j + 1 == k ? ResidualFacts{lastSum} : gather(r);
          return {tNext, taus[j] - (tNext - t)};
        }
        t = tNext;
      }
      sigma = sigmas[k - 1] * shrink;
      guess = t;
      continue;
    }
    const double phi = phiScale * sigma;
    const bool expectLast = sigma <= floor || !(std::fabs(guess) < phi);
    const double tau = expectLast ? sweepStep<true>(r, sigma, facts) : sweepStep<false>(r, sigma, facts);
    const double tNext = t + tau;
    if (std::fabs(tNext) >= phi || sigma <= floor) {
      if (!expectLast) facts = gather(r);
      // FastTwoSum of t and tau, whose sum is already at hand.
      return {tNext, tau - (tNext - t)};
    }
    sigma = sigma * shrink;  // exact: a power of two times a power of two above 2^-1074
    t = tNext;
    guess = tNext;
  }
}

// rumpTransformK on the residual vector with its largest magnitude known.
double transformK(Residual& r, double rho, double mu, double guess) {
  ResidualFacts facts;
  Lift plain;
  const TransformResult t = transformResidual(r, mu, rho, guess, facts, plain);
  if (!isFinite(t.tau1)) return kInf;
  return (facts.sum + t.tau2) + t.tau1;
}

// A residual vector stored in p from the start: the public transformations work in place.
Residual inPlace(double* p, int64_t n) {
  Residual r;
  r.base = p;
  r.store = p;
  r.n = n;
  return r;
}

// What the shared preparation leaves for one call of a worker: the residual vector (with
// the storage it may be written to), the outcome, and the facts of the residuals.
struct Prepared {
  ScratchArray storage;
  Residual residual;
  ExtractionOutcome outcome;
  ResidualFacts facts;
  Lift lift;  // when done: tau1, tau2 and the facts are 2^52 times the plain ones
};

// rumpExtract, leaving the residual vector implicit where it can; lifting its sweeps at
// the bottom of the range where mayLift.
void extract(const double* values, int64_t n, Prepared& p, bool mayLift) {
  ExtractionOutcome& outcome = p.outcome;
  outcome = ExtractionOutcome{};
  p.facts = {};
  if (n <= 1) {
    outcome.done = true;
    outcome.value = n == 1 ? values[0] : 0.0;
    return;
  }
  // Beyond this length the stopping test no longer guarantees exact intermediate sums;
  // the exact sum is both faithful and nearest.
  if (n > kMaxTransformLength) {
    outcome.done = true;
    outcome.value = superSum(values, n);
    return;
  }
  const Scan scan = scanValues(values, n);
  if (!scan.finite) {
    outcome.done = true;
    outcome.value = superSum(values, n);
    return;
  }
  // The residual vector starts as a copy of the values (an implicit one).
  p.residual = Residual{};
  p.residual.base = values;
  p.residual.owner = &p.storage;
  p.residual.n = n;
  p.lift = Lift{mayLift, false};
  const TransformResult r = transformResidual(p.residual, scan.maxAbs, 0.0, scan.approxSum, p.facts, p.lift);
  if (!isFinite(r.tau1)) {
    // sigma = nextPowerTwo(max) * 2^M overflowed.
    outcome.done = true;
    outcome.value = superSum(values, n);
    return;
  }
  outcome.tau1 = r.tau1;
  outcome.tau2 = r.tau2;
}

}  // namespace

double extractVector(double* p, int64_t n, double sigma) { return sweep<0, true>(p, nullptr, sigma, p, n); }

bool rhoOnFirstGrid(double rho, double maxAbs, int64_t n) {
  if (n <= 0 || maxAbs == 0.0) return true;
  const double sigma = nextPowerTwo(maxAbs) * pow2i(ceilLog2(n + 2));
  if (!isFinite(sigma)) return true;
  // sigma >= 2^-1020 (2^-1022 times 2^M, M >= 2 for n >= 2), so the unit is a normal or
  // subnormal power of two formed exactly; fmod is exact, and 0 exactly for multiples.
  const double unit = sigma * 0x1p-53;
  return isFinite(rho) && std::fmod(rho, unit) == 0.0;
}

// The offset is checked here, at the entries that take one from the caller; AccSum's
// own call starts from 0.0, which is on every grid.
TransformResult rumpTransform(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  if (!rhoOnFirstGrid(rho, scan.maxAbs, n)) {
    raiseInternalFault("rumpTransform: offset off the grid of the first split");
    return {0.0, 0.0};
  }
  Residual r = inPlace(p, n);
  ResidualFacts facts;
  Lift plain;
  return transformResidual(r, scan.maxAbs, rho, rho + scan.approxSum, facts, plain);
}

double rumpTransformK(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  if (!rhoOnFirstGrid(rho, scan.maxAbs, n)) {
    raiseInternalFault("rumpTransformK: offset off the grid of the first split");
    return 0.0;
  }
  Residual r = inPlace(p, n);
  return transformK(r, rho, scan.maxAbs, rho + scan.approxSum);
}

void rumpExtract(const double* values, int64_t n, ScratchArray& residual, ExtractionOutcome& outcome) {
  Prepared p;
  extract(values, n, p, false);
  if (!p.outcome.done) storeResidual(p.residual);
  outcome = p.outcome;
  residual = std::move(p.storage);
}

double accSum(const double* values, int64_t n) {
  Prepared p;
  extract(values, n, p, true);
  if (errorPending()) return 0.0;
  if (p.outcome.done) return p.outcome.value;
  const double sum = (p.facts.sum + p.outcome.tau2) + p.outcome.tau1;
  return p.lift.done ? lowered(sum) : sum;
}

// ---- NearSum ----
//
// NearSum returns the exact sum rounded to nearest, ties to even, on every input that
// reaches its transformation, so any other way to that rounding gives its bits, except
// where its own steps say otherwise. What they say, case by case, for n >= 2:
// - An infinity or a NaN in the input, or a sigma that would overflow, or an input longer
//   than kMaxTransformLength: superSum itself.
// - Otherwise the transformation runs, so every |x| <= 2^(1023 - M) and the exact sum
//   lies below 2^1023 in magnitude: it never overflows. Its nearest double is the result,
//   and it is what superSum rounds to.
// - A zero exact sum: the transformation's partial sum t starts at rho = +0.0 and each
//   sweep's tau at +0.0, and a sum of doubles is -0.0 only when both operands are -0.0,
//   so tau1 and then res are never -0.0: the result is +0.0. superSum gives +0.0 for a
//   zero register as well.
// So for n >= 2 NearSum is superSum, bit for bit; n = 1 returns the element unchanged
// (-0.0, an infinity and a NaN with its payload included), where superSum would not.
double nearSum(const double* values, int64_t n) {
  if (n <= 0) return 0.0;
  if (n == 1) return values[0];
  return superSum(values, n);  // raises no error: it has no precondition to fail
}

}  // namespace sela
