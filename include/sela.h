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

/* ---- Dot products ------------------------------------------------------------------- */

/* The exact dot product rounded once; each product's bits below 2^-1075 are discarded,
 * which matters only for results near the smallest subnormal; empty: +0.0. */
SELA_API double sela_dot_exact(const double *x, const double *y, uint64_t n);

/* ---- Statistics --------------------------------------------------------------------- */

#ifdef __cplusplus
}
#endif

#endif /* SELA_H */
