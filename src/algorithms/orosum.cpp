#include "algorithms/orosum.h"

#include <cmath>
#include <cstring>
#include <limits>
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

double transform(const double* values, int64_t n, ErrorVector& errors) {
  if (n <= 0) {
    errors.resize(0);
    return 0.0;
  }
  errors.resize(n - 1);
  double* e = errors.data();
  double s = values[0];
  for (int64_t i = 1; i < n; ++i) {
    const double x = values[i];
    // TwoSum with the running sum first. Its error is taken only when both operands are
    // finite; an overflowing s + x leaves a NaN error here, but s is then infinite and no
    // later pass of the cascade touches a result that is not finite.
    const SumAndError ts = twoSum(s, x);
    e[i - 1] = (isFinite(s) && isFinite(x)) ? ts.e : 0.0;
    s = ts.s;
  }
  return s;
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

// Four independent lanes keep the adders busy: a maximum does not depend on the order,
// and the rough sum is only a guess. A lane sum that stays finite proves its elements
// finite (an infinity or a NaN never leaves a sum); when the total is not finite, one
// exact scan decides.
Scan scanValues(const double* x, int64_t n) {
  double m0 = 0.0, m1 = 0.0, m2 = 0.0, m3 = 0.0;
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double a0 = std::fabs(x[i]), a1 = std::fabs(x[i + 1]);
    const double a2 = std::fabs(x[i + 2]), a3 = std::fabs(x[i + 3]);
    m0 = a0 > m0 ? a0 : m0;
    m1 = a1 > m1 ? a1 : m1;
    m2 = a2 > m2 ? a2 : m2;
    m3 = a3 > m3 ? a3 : m3;
    s0 += x[i];
    s1 += x[i + 1];
    s2 += x[i + 2];
    s3 += x[i + 3];
  }
  for (; i < n; ++i) {
    const double a = std::fabs(x[i]);
    m0 = a > m0 ? a : m0;
    s0 += x[i];
  }
  const double m01 = m0 > m1 ? m0 : m1;
  const double m23 = m2 > m3 ? m2 : m3;
  Scan r{m01 > m23 ? m01 : m23, (s0 + s1) + (s2 + s3), true};
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
// AccSum needs, and its largest magnitude, which NearSum's second transformation starts
// from.
struct ResidualFacts {
  double sum = 0.0;
  double maxAbs = 0.0;
};

ResidualFacts gather(const double* p, int64_t n) {
  if (n <= 0) return {};
  double s = p[0];
  double m = std::fabs(p[0]);
  for (int64_t i = 1; i < n; ++i) {
    s += p[i];
    const double a = std::fabs(p[i]);
    m = a > m ? a : m;
  }
  return {s, m};
}

// One sweep of extractVector reading src and writing the residuals to dst (which may be
// src). The high parts are summed in four lanes: under extractVector's precondition every
// partial sum is exact, so the lanes give the bits of the left-to-right loop.
double sweep(const double* src, double* dst, int64_t n, double sigma) {
  double t0 = 0.0, t1 = 0.0, t2 = 0.0, t3 = 0.0;
  int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double x0 = src[i], x1 = src[i + 1], x2 = src[i + 2], x3 = src[i + 3];
    const double q0 = (sigma + x0) - sigma;
    const double q1 = (sigma + x1) - sigma;
    const double q2 = (sigma + x2) - sigma;
    const double q3 = (sigma + x3) - sigma;
    dst[i] = x0 - q0;
    dst[i + 1] = x1 - q1;
    dst[i + 2] = x2 - q2;
    dst[i + 3] = x3 - q3;
    t0 += q0;
    t1 += q1;
    t2 += q2;
    t3 += q3;
  }
  for (; i < n; ++i) {
    const double x = src[i];
    const double q = (sigma + x) - sigma;
    dst[i] = x - q;
    t0 += q;
  }
  return (t0 + t1) + (t2 + t3);
}

// The same sweep, also gathering the facts of the residuals it writes. The naive sum is a
// chain of dependent additions, so this sweep runs at the speed of the plain loop; it is
// used where the sweep is expected to be the last.
double sweepGathering(const double* src, double* dst, int64_t n, double sigma, ResidualFacts& facts) {
  double x = src[0];
  double q = (sigma + x) - sigma;
  double r = x - q;
  dst[0] = r;
  double tau = 0.0 + q;
  double s = r;
  double m = std::fabs(r);
  for (int64_t i = 1; i < n; ++i) {
    x = src[i];
    q = (sigma + x) - sigma;
    r = x - q;
    dst[i] = r;
    tau += q;
    s += r;
    const double a = std::fabs(r);
    m = a > m ? a : m;
  }
  facts = {s, m};
  return tau;
}

// The transformation of rho + sum(src[0..n-1]), the residuals written to p (p may be
// src). mu is max |src[i]|. `guess` estimates the final leading part; it only chooses
// which sweep gathers the residual facts on its way (a wrong guess costs one more pass
// over p, never a different result). On return `facts` describe p, unless tau1 is +inf.
TransformResult transformInto(const double* src, double* p, int64_t n, double mu, double rho, double guess,
                              ResidualFacts& facts) {
  facts = {};
  if (n <= 0) return {rho, 0.0};
  if (mu == 0.0) {
    if (src != p) std::memcpy(p, src, static_cast<size_t>(n) * sizeof(double));
    facts = gather(p, n);
    return {rho, 0.0};
  }
  const int64_t m = ceilLog2(n + 2);
  // sigma >= 2^M * mu: every element, and every later residual relative to the shrunken
  // sigma, satisfies extractVector's precondition.
  double sigma = nextPowerTwo(mu) * pow2i(m);
  if (!isFinite(sigma)) return {kInf, 0.0};
  const double phiScale = pow2i(2 * m) * 0x1p-53;
  const double shrink = pow2i(m - 53);
  const double* from = src;
  double t = rho;
  for (;;) {
    const double phi = phiScale * sigma;
    const bool expectLast = sigma <= kMinNormal || !(std::fabs(guess) < phi);
    const double tau = expectLast ? sweepGathering(from, p, n, sigma, facts) : sweep(from, p, n, sigma);
    from = p;
    const double tNext = t + tau;
    if (std::fabs(tNext) >= phi || sigma <= kMinNormal) {
      if (!expectLast) facts = gather(p, n);
      // FastTwoSum of t and tau, whose sum is already at hand.
      return {tNext, tau - (tNext - t)};
    }
    sigma = sigma * shrink;  // exact: a power of two times a power of two above 2^-1074
    t = tNext;
    guess = tNext;
  }
}

// rumpTransformK on p with its largest magnitude known.
double transformKInPlace(double* p, int64_t n, double rho, double mu, double guess) {
  ResidualFacts facts;
  const TransformResult r = transformInto(p, p, n, mu, rho, guess, facts);
  if (!isFinite(r.tau1)) return kInf;
  return (facts.sum + r.tau2) + r.tau1;
}

// rumpExtract, also handing over the facts of the residual vector.
void extract(const double* values, int64_t n, ScratchArray& residual, ExtractionOutcome& outcome,
             ResidualFacts& facts) {
  outcome = ExtractionOutcome{};
  facts = {};
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
  residual = allocateScratch(n);
  // The first sweep copies: it reads the caller's values and writes the residuals.
  const TransformResult r = transformInto(values, residual.get(), n, scan.maxAbs, 0.0, scan.approxSum, facts);
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

double extractVector(double* p, int64_t n, double sigma) { return sweep(p, p, n, sigma); }

TransformResult rumpTransform(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  ResidualFacts facts;
  return transformInto(p, p, n, scan.maxAbs, rho, rho + scan.approxSum, facts);
}

double rumpTransformK(double* p, int64_t n, double rho) {
  const Scan scan = scanValues(p, n);
  return transformKInPlace(p, n, rho, scan.maxAbs, rho + scan.approxSum);
}

void rumpExtract(const double* values, int64_t n, ScratchArray& residual, ExtractionOutcome& outcome) {
  ResidualFacts facts;
  extract(values, n, residual, outcome, facts);
}

double accSum(const double* values, int64_t n) {
  ScratchArray residual;
  ExtractionOutcome out;
  ResidualFacts facts;
  extract(values, n, residual, out, facts);
  if (errorPending()) return 0.0;
  if (out.done) return out.value;
  return (facts.sum + out.tau2) + out.tau1;
}

double nearSum(const double* values, int64_t n) {
  ScratchArray residual;
  ExtractionOutcome out;
  ResidualFacts facts;
  extract(values, n, residual, out, facts);
  if (errorPending()) return 0.0;
  if (out.done) return out.value;

  const double tau1 = out.tau1;
  const double tau2 = out.tau2;
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
  const double h = transformKInPlace(residual.get(), n, offset, facts.maxAbs, offset + facts.sum);
  if (!isFinite(h)) {
    const double exact = superSum(values, n);
    return errorPending() ? 0.0 : exact;
  }
  if (h == 0.0) return res + mu;  // the midpoint itself: this addition rounds it to even
  if (below) return h > 0.0 ? res : neighbour;
  return h > 0.0 ? neighbour : res;
}

}  // namespace sela
