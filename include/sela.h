/*
 * sela — reductions of arrays of doubles at several grades of accuracy.
 *
 * Every function takes read-only arrays of IEEE 754 binary64 values and an element
 * count, and returns one double. The library never writes through an input pointer and
 * keeps no pointer after a call. A count of 0 never reads the arrays, so null pointers
 * are valid then. Counts above 2^63 - 1 are treated as 2^63 - 1.
 *
 * Results are fixed to the bit by each algorithm's order of operations; NaN and
 * infinities in the data are answers, not errors. No function reports an error through
 * errno, a status code or a signal. The one exception: when a scratch array cannot be
 * allocated, the library writes "out of memory" to standard error and ends the process
 * with exit status 1.
 *
 * Internal faults (failed index or range checks, which no valid input raises) make the
 * dot-product exports and the three exports documented as returning NaN on a value error
 * return +0.0. A fault affects only the call that raised it: the next call on the same
 * thread starts clean.
 *
 * All functions are thread-safe and need no initialisation.
 *
 * Plain C11; usable from C++ and from any C FFI.
 */
#ifndef SELA_H
#define SELA_H

#include <stdbool.h>
#include <stdint.h>

#if defined(SELA_BUILDING_LIBRARY)
#define SELA_API __attribute__((visibility("default")))
#else
#define SELA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Library ---------------------------------------------------------------------- */

/* The version text "1.1.0"; static storage, the same pointer on every call. */
SELA_API const char *sela_version(void);

/* TwoSum of a and b: *sum = a + b rounded, *err = its exact rounding error. If a or b is
 * NaN or an infinity, *sum = a + b and *err = the quiet NaN. Both outputs are written. */
SELA_API void sela_two_sum(double a, double b, double *sum, double *err);

/* ---- Plain sums --------------------------------------------------------------------- */

/* Strict left-to-right sum ((x0 + x1) + x2) + ...; empty input: +0.0. */
SELA_API double sela_sum_naive(const double *x, uint64_t n);

/* Recursive pairwise sum over naive blocks of at most 128 elements; empty: +0.0. */
SELA_API double sela_sum_pairwise(const double *x, uint64_t n);

/* Bottom-up pairwise sum of adjacent elements, level by level; empty: +0.0. */
SELA_API double sela_sum_pairwise_iterative(const double *x, uint64_t n);

/* ---- Compensated and exact sums ----------------------------------------------------- */

/* Kahan's compensated sum (the last compensation is not added back); empty: +0.0. */
SELA_API double sela_sum_kahan(const double *x, uint64_t n);

/* Neumaier's compensated sum with TwoSum errors, s + c at the end; empty: +0.0. */
SELA_API double sela_sum_neumaier(const double *x, uint64_t n);

/* Klein's second-order compensated sum, (s + cs) + ccs at the end; empty: +0.0. */
SELA_API double sela_sum_klein(const double *x, uint64_t n);

/* Shewchuk's partials: the exact sum rounded once (nearest, ties to even). A NaN or an
 * infinity met before any running partial sum overflows gives the naive sum's result
 * (NaN, or that infinity); if a running partial sum overflows first, the result is
 * sela_sum_exact's (so 1e308, 1e308, -1e308, -1e308 gives +0.0); empty: +0.0. */
SELA_API double sela_sum_shewchuk(const double *x, uint64_t n);

/* The exact sum, correctly rounded (nearest, ties to even); a NaN anywhere gives a NaN,
 * +inf and -inf together a NaN, one infinity that infinity; empty: +0.0. */
SELA_API double sela_sum_exact(const double *x, uint64_t n);

/* ---- Cascaded and faithful sums ----------------------------------------------------- */

/* Sum2 of Ogita, Rump and Oishi: bit for bit sela_sum_neumaier; empty: +0.0. */
SELA_API double sela_sum_oro(const double *x, uint64_t n);

/* K-fold cascade: the left-to-right sum plus, pass after pass, the left-to-right sum of the
 * previous pass's rounding errors; K <= 0 acts as 1, K = 2 equals sela_sum_oro for n >= 2,
 * at most n passes run, one element is returned unchanged; empty: +0.0. */
SELA_API double sela_sum_k(const double *x, uint64_t n, int32_t K);

/* AccSum: faithfully rounded (the exact sum when it is a double, else one of its two
 * neighbours); data holding an infinity or a NaN, data near the top of the range and
 * inputs of more than 2^26 - 2 elements: as sela_sum_exact; empty: +0.0. */
SELA_API double sela_sum_acc(const double *x, uint64_t n);

/* NearSum: the exact sum rounded to nearest, ties to even; the same cases as for
 * sela_sum_acc as sela_sum_exact; empty: +0.0. */
SELA_API double sela_sum_near(const double *x, uint64_t n);

/* Condition number of the sum, sum |x| / |sum x|: 1 without cancellation, +inf when the
 * sum is zero or the magnitudes overflow, NaN for a NaN; empty: +0.0. Also +inf when the
 * magnitudes stay finite but the compensated sum rounds beyond the largest double, as for
 * {DBL_MAX, 2^969, 2^969} (the quotient would otherwise be 0). */
SELA_API double sela_condition_number(const double *x, uint64_t n);

/* ---- Dot products ------------------------------------------------------------------- */

/* The exact dot product rounded once; each product's bits below 2^-1075 are discarded,
 * which matters only for results near the smallest subnormal; empty: +0.0. */
SELA_API double sela_dot_exact(const double *x, const double *y, uint64_t n);

/* Sum of products in the vector kernel's order (fused multiply-adds in lanes on AVX2 and
 * AVX-512 processors, so the bits depend on the processor); a NaN result from finite data
 * (overflow of both signs) is replaced by the exact dot product; empty: +0.0. */
SELA_API double sela_dot_naive(const double *x, const double *y, uint64_t n);

/* Dot2: as if accumulated in twice the working precision, then rounded; empty: +0.0. */
SELA_API double sela_dot2(const double *x, const double *y, uint64_t n);

/* DotK: as if accumulated in K-fold working precision (K = 2 is sela_dot2, K <= 1 the
 * scalar naive dot product, K >= 4 uses K - 1 doubles of scratch); empty: +0.0. */
SELA_API double sela_dot_k(const double *x, const double *y, uint64_t n, int32_t k);

/* The vector kernels behind sela_dot_naive, sela_dot2 and sela_dot_k (K = 3), callable
 * directly: no dispatch and no fallback. The Avx2 kernels need AVX2 and FMA, the Avx512
 * kernels AVX-512F, enabled by the operating system; calling one on a processor without
 * them faults. nx is the length of both arrays (ny must equal it). A compensated kernel
 * sets accepted = false when its value must not be used (not finite, or the lane sums
 * cancelled by more than a factor of 1024). n = 0 gives +0.0, accepted. */
typedef struct sela_kernel_result {
  double value;
  bool accepted;
} sela_kernel_result;

SELA_API double dispatchNaiveDotAvx2(const double *x, int64_t nx, const double *y, int64_t ny);
SELA_API double dispatchNaiveDotAvx512(const double *x, int64_t nx, const double *y, int64_t ny);
SELA_API sela_kernel_result dispatchDot2Avx2(const double *x, int64_t nx, const double *y, int64_t ny);
SELA_API sela_kernel_result dispatchDot2Avx512(const double *x, int64_t nx, const double *y, int64_t ny);
SELA_API sela_kernel_result dispatchDotK3Avx2(const double *x, int64_t nx, const double *y, int64_t ny);
SELA_API sela_kernel_result dispatchDotK3Avx512(const double *x, int64_t nx, const double *y, int64_t ny);

/* ---- Statistics --------------------------------------------------------------------- */

/* Euclidean norm with a running scale: never overflows or underflows where the true norm
 * is representable; the first NaN (NaN) or infinity (+inf) in x decides; empty: +0.0. */
SELA_API double sela_norm_scaled(const double *x, uint64_t n);

/* Mean: the exact sum rounded once, divided by n; if that sum overflows with all x
 * finite, the correctly rounded sum of the quotients x[i] / n; empty: quiet NaN. */
SELA_API double sela_mean_scaled(const double *x, uint64_t n);

/* sum (x[i] - center)^2 of the rounded differences, accumulated exactly; empty: +0.0. */
SELA_API double sela_centered_sum_squares(const double *x, uint64_t n, double center);

/* sum (x[i] - cx)(y[i] - cy) of the rounded differences, accumulated exactly; empty: +0.0. */
SELA_API double sela_centered_cross_product(const double *x, const double *y, uint64_t n, double cx, double cy);

/* Cosine of the angle between x - cx and y - cy, clamped to [-1, 1]; NaN for a zero or
 * infinite centered vector or any NaN; empty: quiet NaN. */
SELA_API double sela_centered_cosine_similarity(const double *x, const double *y, uint64_t n, double cx, double cy);

/* Least-squares slope of (y - cy) on (x - cx), free of intermediate overflow; NaN for a
 * zero or infinite centered x, an infinite y or any NaN, +0.0 when y - cy vanishes;
 * empty: quiet NaN. */
SELA_API double sela_centered_projection_coefficient(const double *x, const double *y, uint64_t n, double cx, double cy);

#ifdef __cplusplus
}
#endif

#endif /* SELA_H */
