#include "algorithms/orosum.h"

#include <emmintrin.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>
#include <utility>

#include "algorithms/compensatedsum.h"
#include "algorithms/errorfree.h"
#include "algorithms/exactsum.h"
#include "error_state.h"

namespace sela {

// ---- Cascaded sums ----------------------------------------------------------------

double sum2(const double* values, int64_t n) { return neumaierSum(values, n); }

void ErrorVector::resize(int64_t m) {
  if (m < 0) m = 0;
  if (m > capacity) {
    storage = allocateScratch(m);
    capacity = m;
  }
  size = m;
}

namespace {

// The pass itself, kept out of line so that the running sum stays in a register.
[[gnu::noinline]] double vecSum(const double* values, int64_t n, double* e) {
  double s = values[0];
  for (int64_t i = 1; i < n; ++i) {
    const double x = values[i];
    // TwoSum with the running sum first. Its error is taken only when both operands are
    // finite; an overflowing s + x leaves a NaN error here, but s is then infinite and no
    // later pass of the cascade touches a result that is not finite.
    const SumAndError ts = twoSum(s, x);
    // (s - s) + (x - x) is +0.0 exactly when both are finite, else a NaN: a test that
    // stays in the floating-point registers.
    e[i - 1] = ((s - s) + (x - x) == 0.0) ? ts.e : 0.0;
    s = ts.s;
  }
  return s;
}

}  // namespace

double transform(const double* values, int64_t n, ErrorVector& errors) {
  if (n <= 0) {
    errors.resize(0);
    return 0.0;
  }
  errors.resize(n - 1);
  return vecSum(values, n, errors.data());
}

double sumK(const double* values, int64_t n, int64_t k) {
  if (n <= 0) return 0.0;
  if (n == 1) return values[0];
  const int64_t passes = k > 0 ? k : 1;
  // Each pass is error free: sum(input) = s + sum(errors) exactly while nothing
  // overflows, so pass k's error vector holds what passes 1..k have not yet added.
  ErrorVector a;
  ErrorVector b;
  double s = transform(values, n, a);
  for (int64_t pass = 2; pass <= passes; ++pass) {
    if (a.size == 0) break;
    const double t = transform(a.data(), a.size, b);
    if (isFinite(s)) s = s + t;
    // The errors just written feed the next pass; the old input becomes its target.
    std::swap(a, b);
  }
  return s;
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

double pow2i(int64_t k) { return fromBits(static_cast<uint64_t>(k + 1023) << 52); }

double nextPowerTwo(double x) {
  constexpr uint64_t kFraction = 0x000FFFFFFFFFFFFFULL;
  const uint64_t a = bitsOf(x) & ~kSignMask;
  if (a == 0) return 0.0;
  const uint64_t e = a >> 52;
  if (e == 0) return 0x1p-1022;
  if ((a & kFraction) == 0) return fromBits(a);
  if (e + 1 > 2046) return std::numeric_limits<double>::infinity();
  return fromBits((e + 1) << 52);
}

double prevFloat(double x) {
  const uint64_t u = bitsOf(x);
  if (u == 0) return -0x1p-1074;
  return fromBits((u & kSignMask) ? u + 1 : u - 1);
}

double nextFloat(double x) {
  const uint64_t u = bitsOf(x);
  if (u == kSignMask) return 0x1p-1074;
  return fromBits((u & kSignMask) ? u - 1 : u + 1);
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
// AccSum needs; its largest magnitude, which NearSum's second transformation starts from;
// and the largest partial sum of that naive sum, which bounds its rounding errors.
struct ResidualFacts {
  double sum = 0.0;
  double maxAbs = 0.0;
  double maxPartial = 0.0;  // the largest magnitude of the naive sum's partial sums
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

constexpr int kImplicitLevels = 3;

struct Residual {
  const double* base = nullptr;   // the values, or `store` once the vector is stored
  double* store = nullptr;        // where the vector is written once it must be stored
  ScratchArray* owner = nullptr;  // allocates `store` on first need when it is null
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

inline double lowLane(__m128d v) { return _mm_cvtsd_f64(v); }
inline double highLane(__m128d v) { return _mm_cvtsd_f64(_mm_unpackhi_pd(v, v)); }

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

// The same sweep, also gathering the facts of the new residuals. The naive sum is a chain
// of dependent additions, element after element, so this sweep runs at the speed of the
// plain loop; it is used where the sweep is expected to be the last. The residuals are
// formed two at a time; the largest magnitude is kept in four lanes so that its own chains
// of comparisons stay off the critical path.
template <int Levels, bool Store>
double sweepGathering(const double* base, const double* levels, double sigma, double* dst, int64_t n,
                      ResidualFacts& facts) {
  double x = applyLevels<Levels>(base[0], levels);
  double q = (sigma + x) - sigma;
  double r = x - q;
  if constexpr (Store) dst[0] = r;
  double tau = 0.0 + q;
  double s = r;
  double m = std::fabs(r);
  double partial = m;
  const PackedLevels<Levels> lv(levels);
  const __m128d sg = _mm_set1_pd(sigma);
  const __m128d signBit = _mm_set1_pd(-0.0);
  __m128d tv = _mm_setzero_pd(), mv = tv, mw = tv, pv = tv, pw = tv;
  int64_t i = 1;
  for (; i + 4 <= n; i += 4) {
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
    mv = _mm_max_pd(_mm_andnot_pd(signBit, rv), mv);
    mw = _mm_max_pd(_mm_andnot_pd(signBit, rw), mw);
    const double s1 = s + lowLane(rv);
    const double s2 = s1 + highLane(rv);
    const double s3 = s2 + lowLane(rw);
    s = s3 + highLane(rw);
    pv = _mm_max_pd(_mm_andnot_pd(signBit, _mm_set_pd(s2, s1)), pv);
    pw = _mm_max_pd(_mm_andnot_pd(signBit, _mm_set_pd(s, s3)), pw);
  }
  mv = _mm_max_pd(mv, mw);
  pv = _mm_max_pd(pv, pw);
  for (; i < n; ++i) {
    x = applyLevels<Levels>(base[i], levels);
    q = (sigma + x) - sigma;
    r = x - q;
    if constexpr (Store) dst[i] = r;
    tau += q;
    s += r;
    const double a = std::fabs(r);
    m = a > m ? a : m;
    const double b = std::fabs(s);
    partial = b > partial ? b : partial;
  }
  const double m01 = lowLane(mv) > highLane(mv) ? lowLane(mv) : highLane(mv);
  const double p01 = lowLane(pv) > highLane(pv) ? lowLane(pv) : highLane(pv);
  facts = {s, m01 > m ? m01 : m, p01 > partial ? p01 : partial};
  return tau + (lowLane(tv) + highLane(tv));
}

template <int Levels>
ResidualFacts gatherLevels(const double* base, const double* levels, int64_t n) {
  double s = applyLevels<Levels>(base[0], levels);
  double m = std::fabs(s);
  double partial = m;
  for (int64_t i = 1; i < n; ++i) {
    const double v = applyLevels<Levels>(base[i], levels);
    s += v;
    const double a = std::fabs(v);
    m = a > m ? a : m;
    const double b = std::fabs(s);
    partial = b > partial ? b : partial;
  }
  return {s, m, partial};
}

template <int Levels>
void storeLevels(const double* base, const double* levels, double* dst, int64_t n) {
  for (int64_t i = 0; i < n; ++i) dst[i] = applyLevels<Levels>(base[i], levels);
}

void ensureStore(Residual& r) {
  if (r.store != nullptr) return;
  *r.owner = allocateScratch(r.n);
  r.store = r.owner->get();
}

// The facts of the residual vector as it stands.
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

// The transformation of rho + sum(residual), advancing the residual vector. mu is its
// largest magnitude. `guess` estimates the final leading part; it only chooses which sweep
// gathers the facts of the residuals on its way (a wrong guess costs one more pass over
// them, never a different result). On return `facts` describe the new residual vector,
// unless tau1 is +inf.
TransformResult transformResidual(Residual& r, double mu, double rho, double guess, ResidualFacts& facts) {
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
  double t = rho;
  for (;;) {
    const double phi = phiScale * sigma;
    const bool expectLast = sigma <= kMinNormal || !(std::fabs(guess) < phi);
    const double tau = expectLast ? sweepStep<true>(r, sigma, facts) : sweepStep<false>(r, sigma, facts);
    const double tNext = t + tau;
    if (std::fabs(tNext) >= phi || sigma <= kMinNormal) {
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
  const TransformResult t = transformResidual(r, mu, rho, guess, facts);
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
};

// rumpExtract, leaving the residual vector implicit where it can.
void extract(const double* values, int64_t n, Prepared& p) {
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
  const TransformResult r = transformResidual(p.residual, scan.maxAbs, 0.0, scan.approxSum, p.facts);
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

TransformResult rumpTransform(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  Residual r = inPlace(p, n);
  ResidualFacts facts;
  return transformResidual(r, scan.maxAbs, rho, rho + scan.approxSum, facts);
}

double rumpTransformK(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  Residual r = inPlace(p, n);
  return transformK(r, rho, scan.maxAbs, rho + scan.approxSum);
}

void rumpExtract(const double* values, int64_t n, ScratchArray& residual, ExtractionOutcome& outcome) {
  Prepared p;
  extract(values, n, p);
  if (!p.outcome.done) storeResidual(p.residual);
  outcome = p.outcome;
  residual = std::move(p.storage);
}

double accSum(const double* values, int64_t n) {
  Prepared p;
  extract(values, n, p);
  if (errorPending()) return 0.0;
  if (p.outcome.done) return p.outcome.value;
  return (p.facts.sum + p.outcome.tau2) + p.outcome.tau1;
}

double nearSum(const double* values, int64_t n) {
  Prepared p;
  extract(values, n, p);
  if (errorPending()) return 0.0;
  if (p.outcome.done) return p.outcome.value;
  const ResidualFacts& facts = p.facts;

  const double tau1 = p.outcome.tau1;
  const double tau2 = p.outcome.tau2;
  // The faithful result res and its rounding error delta (FastTwoSum of tau1, tau2p).
  const double tau2p = facts.sum + tau2;
  const double res = tau1 + tau2p;
  const double delta = tau2p - (res - tau1);
  if (delta == 0.0) return res;

  // exact sum - res = rho + sum(residual), with the residual vector still as the first
  // transformation left it. Against the midpoint m = res + mu, the sign of
  // (rho - mu) + sum(residual) decides; transforming the residuals again from that offset
  // gives it faithfully, and a faithful result keeps the sign.
  const double rho = tau2 - (res - tau1);
  const bool below = delta < 0.0;
  const double neighbour = below ? prevFloat(res) : nextFloat(res);
  const double gap = neighbour - res;
  // Adjacent subnormals: the exact sum, a multiple of 2^-1074, cannot lie between.
  if (gap == (below ? -0x1p-1074 : 0x1p-1074)) return res;
  const double mu = 0.5 * gap;
  const double offset = rho - mu;
  // Most often the naive sum S of the residuals decides already. Each of its n - 1
  // additions errs by at most 2^-53 times its rounded partial sum, so |S - sum(residual)|
  // is at most (n - 1) 2^-53 max|partial|, and also gamma(n-1) * n * max|residual|: the
  // smaller of the two, doubled, is the slack. The addition below errs by at most
  // 2^-53 |v|; so when |v| > 4 slack, w = offset + sum(residual) has the sign of v and is
  // not zero. As a sum of doubles, w is then a nonzero multiple of 2^-1074, and the
  // second transformation would return a faithful rounding of it: a value of the same
  // sign, so the outcome below is the same. slack must not underflow.
  const double v = offset + facts.sum;
  const double count = static_cast<double>(n);  // exact: n <= 2^26
  const double byResiduals = (2.0 * count * count * 0x1p-53) * facts.maxAbs;
  const double byPartials = (2.0 * count * 0x1p-53) * facts.maxPartial;
  const double slack = byPartials < byResiduals ? byPartials : byResiduals;
  double h = v;
  if (!((slack == 0.0 || slack >= kMinNormal) && std::fabs(v) > 4.0 * slack)) {
    h = transformK(p.residual, offset, facts.maxAbs, v);
    if (!isFinite(h)) {
      const double exact = superSum(values, n);
      return errorPending() ? 0.0 : exact;
    }
    if (h == 0.0) return res + mu;  // the midpoint itself: this addition rounds it to even
  }
  if (below) return h > 0.0 ? res : neighbour;
  return h > 0.0 ? neighbour : res;
}

}  // namespace sela
