#include "algorithms/dotproduct.h"

#include <type_traits>

#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "kernel_slot.h"
#include "scratch.h"

namespace sela {

bool hasNonFinite(const double* x, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    if (!isFinite(x[i])) return true;
  }
  return false;
}

double exactIfOverflowNaN(double r, const double* x, int64_t nx, const double* y, int64_t ny) {
  if (r == r) return r;
  // A NaN from the data (or an infinity times zero) is the answer. With every element
  // finite the NaN can only be inf - inf from overflowing partial sums or products, and
  // the exact dot product of finite values is always defined.
  if (hasNonFinite(x, nx) || hasNonFinite(y, nx)) return r;
  return superDot(x, nx, y, ny);
}

double naiveDot(const double* x, int64_t nx, const double* y, int64_t ny) {
  if (nx <= 0) return 0.0;
  double s = 0.0;
  for (int64_t i = 0; i < nx; ++i) s = s + x[i] * y[i];
  return exactIfOverflowNaN(s, x, nx, y, ny);
}

// The element loop with no test inside it (dot2 below says why one test at the end is
// enough). On processors without FMA, twoProduct's std::fma is the C library's exact
// routine; elsewhere dot2Avx2 runs instead.
bool dot2Baseline(const double* x, int64_t n, const double* y, double& result) {
  const SumAndError first = twoProduct(x[0], y[0]);
  double s = first.s;
  double c = first.e;
  for (int64_t i = 1; i < n; ++i) {
    const SumAndError hr = twoProduct(x[i], y[i]);
    const SumAndError tq = twoSum(s, hr.s);
    // While nothing overflows, s + (the exact sum of every term added into c) is the
    // exact partial dot product; only c's own roundings are lost, a second-order error.
    c = (c + hr.e) + tq.e;
    s = tq.s;
  }
  if (!isFinite(s)) return false;
  result = s + c;
  return true;
}

// Dot2 abandons its compensation for naiveDot as soon as an element, a product, a
// product error or a running sum is not finite. Since the fallback is the same whatever
// the element, one test of the final running sum decides it:
// - an infinite or NaN element makes its product non-finite (inf * 0 is NaN);
// - a non-finite product h makes the running sum t = s + h non-finite;
// - a non-finite running sum stays so: inf + finite = inf, inf - inf and NaN + v are NaN;
// - a product error r = fma(a, b, -h) of finite a, b with finite h is finite: the exact
//   a * b - h is at most half an ulp of h;
// - the first product is the first running sum.
// So the final s is finite exactly when no test of the element loop would have fired,
// and the loops run free of branches: the compensation computed past a non-finite value
// is discarded with everything else.
constinit KernelSlot<Dot2Kernel> dot2ArrangementImpl{{dot2Baseline, SELA_X86_KERNEL(dot2Avx2), nullptr}};

double dot2(const double* x, int64_t nx, const double* y, int64_t ny) {
  if (nx <= 0) return 0.0;
  double r;
  const bool finite = dot2ArrangementImpl.get()(x, nx, y, r);
  return finite ? r : naiveDot(x, nx, y, ny);
}

namespace {

// The cascade is written once; `k` is either std::integral_constant (the fixed K = 2 and
// K = 3 forms, whose level loops the compiler unrolls) or a run-time int64_t.
//
// Levels err[0] ... err[k - 3] distil: each TwoSum keeps the high part in the level and
// passes the exact remainder on, so no information is lost until the last level
// err[k - 2], which only accumulates. Returns false where the caller must fall back.
template <typename KType>
inline bool cascadeTerm(double* err, KType k, double t) {
  const int64_t last = k - 2;
  for (int64_t j = 0; j < last; ++j) {
    if (!isFinite(err[j]) || !isFinite(t)) return false;
    const SumAndError u = twoSum(err[j], t);
    if (!isFinite(u.s)) return false;
    err[j] = u.s;
    t = u.e;
  }
  err[last] = t + err[last];
  return true;
}

// Runs the cascade over x[0 .. n-1] with the levels err (all +0.0 on entry). On success
// stores the result and returns true; false means a non-finite value was met.
template <typename KType>
bool cascadeDot(const double* x, int64_t n, const double* y, double* err, KType k, double& result) {
  if (!isFinite(x[0]) || !isFinite(y[0])) return false;
  const SumAndError first = twoProduct(x[0], y[0]);
  if (!isFinite(first.s) || !isFinite(first.e)) return false;
  if (!cascadeTerm(err, k, first.e)) return false;
  double s = first.s;
  for (int64_t i = 1; i < n; ++i) {
    const double a = x[i];
    const double b = y[i];
    if (!isFinite(a) || !isFinite(b)) return false;
    const SumAndError hr = twoProduct(a, b);
    if (!isFinite(hr.s) || !isFinite(hr.e)) return false;
    const SumAndError tq = twoSum(s, hr.s);
    if (!isFinite(tq.s)) return false;
    s = tq.s;
    // The product error first, then the sum error.
    if (!cascadeTerm(err, k, hr.e)) return false;
    if (!cascadeTerm(err, k, tq.e)) return false;
  }
  // Final distillation: pass p feeds the running value through levels p .. k-3 (again
  // error-free), adds what is left to the last level and continues with the refreshed
  // level p, so the small parts gathered in the last level are added to the large ones
  // in increasing order. Nothing is tested here: an overflow shows in the result as an
  // infinity or NaN.
  const int64_t last = k - 2;
  double f = s;
  for (int64_t p = 0; p <= last; ++p) {
    for (int64_t j = p; j < last; ++j) {
      const SumAndError u = twoSum(err[j], f);
      err[j] = u.s;
      f = u.e;
    }
    err[last] = f + err[last];
    f = err[p];
  }
  result = err[last];
  return true;
}

}  // namespace

template <int K>
double dotKCascade(const double* x, int64_t nx, const double* y, int64_t ny) {
  static_assert(K == 2 || K == 3, "the fixed-K cascade exists for K = 2 and K = 3");
  double err[K - 1] = {};
  double r;
  if (cascadeDot(x, nx, y, err, std::integral_constant<int64_t, K>{}, r)) return r;
  return naiveDot(x, nx, y, ny);
}

template double dotKCascade<2>(const double*, int64_t, const double*, int64_t);
template double dotKCascade<3>(const double*, int64_t, const double*, int64_t);

double dotKCascadeRT(const double* x, int64_t nx, const double* y, int64_t ny, int64_t k) {
  double r;
  bool done;
  {
    // The levels are released before the fallback runs (and on every other path).
    ScratchArray err = allocateZeroedScratch(k - 1);
    done = cascadeDot(x, nx, y, err.get(), k, r);
  }
  return done ? r : naiveDot(x, nx, y, ny);
}

double dotK(const double* x, int64_t nx, const double* y, int64_t ny, int64_t k) {
  if (nx <= 0) return 0.0;
  if (k <= 1) return naiveDot(x, nx, y, ny);
  if (k == 2) return dotKCascade<2>(x, nx, y, ny);
  if (k == 3) return dotKCascade<3>(x, nx, y, ny);
  return dotKCascadeRT(x, nx, y, ny, k);
}

}  // namespace sela
