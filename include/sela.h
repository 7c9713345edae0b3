/*
 * sela — reductions of arrays of doubles at several grades of accuracy.
 *
 * Every function takes read-only arrays of IEEE 754 binary64 values and an element
 * count, and returns one double (the running sums write one double per element to their
 * out array instead). The library never writes through an input pointer, reads nothing
 * outside x[0..n-1] (and y[0..n-1]), writes nothing outside out[0..n-1], and keeps no
 * pointer after a call. A count of 0 never reads or writes the arrays, so null pointers
 * are valid then. Counts above 2^63 - 1 are treated as 2^63 - 1.
 *
 * Results are fixed to the bit by each algorithm's order of operations (the dot products
 * with vector kernels also by the processor's kernel family); NaN and infinities in the
 * data are answers, not errors. No function reports an error through errno, a status
 * code or a signal.
 *
 * Notation below: S is the exact sum of x, D the exact dot product of x and y,
 * A = sum |x[i]| and P = sum |x[i] * y[i]|, u = 2^-53 (the unit roundoff) and
 * g(m) = m u / (1 - m u). "Correctly rounded" means the exact value rounded once to the
 * nearest double, ties to even, overflowing to +-inf exactly where that rounding does.
 * The error bounds hold when no intermediate sum overflows (A and P below 2^1000, say).
 *
 * Memory: the functions marked "allocates" take a scratch array from the heap for the
 * length of the call. When it cannot be allocated, the library writes "out of memory"
 * and a line feed to standard error and ends the process with exit status 1; this is the
 * only way a call can fail. The exact reductions (those marked "workspace") may borrow
 * up to 132 KiB from the heap for the length of the call and take a slower path without
 * it, so they never fail for lack of memory. All other functions never allocate.
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

/* The library's version; sela_version() returns the same three numbers as text. Binary
 * compatibility holds within one major version (the SONAME is libsela.so.MAJOR). */
#define SELA_VERSION_MAJOR 1
#define SELA_VERSION_MINOR 1
#define SELA_VERSION_PATCH 0

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

/* The version text "MAJOR.MINOR.PATCH" ("1.1.0"); static storage, the same pointer on
 * every call. */
SELA_API const char *sela_version(void);

/* TwoSum of a and b: *sum = a + b rounded, *err = its exact rounding error, so that
 * *sum + *err = a + b exactly whenever a + b does not overflow. If a or b is NaN or an
 * infinity, *sum = a + b and *err = the quiet NaN 0x7FF8000000000000. If a + b overflows,
 * *sum is the infinity and *err a NaN. Both outputs are always written. */
SELA_API void sela_two_sum(double a, double b, double *sum, double *err);

/* ---- Plain sums ---------------------------------------------------------------------
 * Plain IEEE additions in a fixed order: a NaN anywhere gives NaN, +inf and -inf together
 * NaN, one infinity that infinity; a sum that overflows gives +-inf (even where later
 * elements would bring it back). A zero result is -0.0 only when every element is -0.0.
 */

/* Strict left-to-right sum ((x0 + x1) + x2) + ..., starting from x0 itself.
 * |error| <= g(n - 1) A. Empty: +0.0. */
SELA_API double sela_sum_naive(const double *x, uint64_t n);

/* Recursive pairwise sum: halves (the lower one never longer) down to naive blocks of
 * at most 128 elements, n <= 128 being sela_sum_naive exactly.
 * |error| <= g(127 + ceil(log2(n / 128))) A. Empty: +0.0. */
SELA_API double sela_sum_pairwise(const double *x, uint64_t n);

/* Bottom-up pairwise sum of adjacent elements, level by level (an odd last value moves
 * up unchanged). |error| <= g(ceil(log2 n)) A. Allocates n doubles (n >= 2).
 * Empty: +0.0. */
SELA_API double sela_sum_pairwise_iterative(const double *x, uint64_t n);

/* ---- Compensated and exact sums -----------------------------------------------------
 * The compensation is taken only while the running sum and the element are finite: a NaN
 * or an infinity anywhere gives the plain sum's special result (NaN, or the infinity).
 */

/* Kahan's compensated sum; the last compensation is not added back.
 * |error| <= (2u + 2 g(n)^2) A. A zero result is -0.0 only when every element is -0.0.
 * Empty: +0.0. */
SELA_API double sela_sum_kahan(const double *x, uint64_t n);

/* Neumaier's compensated sum (TwoSum errors accumulated apart, s + c at the end).
 * |error| <= u |S| + g(n - 1)^2 A. A zero result is always +0.0 (a lone -0.0 gives +0.0).
 * A running sum that overflows gives that infinity. Empty: +0.0. */
SELA_API double sela_sum_neumaier(const double *x, uint64_t n);

/* Klein's second-order compensated sum, (s + cs) + ccs at the end.
 * |error| <= u |S| + 2 g(n)^2 A. A zero result is always +0.0. An overflowing running
 * sum gives that infinity. Empty: +0.0. */
SELA_API double sela_sum_klein(const double *x, uint64_t n);

/* Shewchuk's partials: the exact sum, correctly rounded, for finite data. A NaN or an
 * infinity met before any running partial sum overflows gives the naive sum's result
 * (NaN, or that infinity); if a running partial sum overflows first, the result is
 * sela_sum_exact's (so 1e308, 1e308, -1e308, -1e308 gives +0.0). A zero result is always
 * +0.0. Allocates its partials list (a few dozen doubles at most). Empty: +0.0. */
SELA_API double sela_sum_shewchuk(const double *x, uint64_t n);

/* The exact sum, correctly rounded. A NaN anywhere gives a NaN (the one with the largest
 * payload, sign bit clear), +inf and -inf together a NaN, one infinity that infinity
 * (also against a finite part that overflows the other way); a finite sum beyond the
 * range gives +-inf. A zero result is always +0.0. Workspace (never fails); time linear
 * in n. Empty: +0.0. */
SELA_API double sela_sum_exact(const double *x, uint64_t n);

/* ---- Running sums --------------------------------------------------------------------
 * Every prefix of a series, correctly rounded: the running balance of a ledger or an
 * integrated signal without the drift of a plain running sum. The results are those of
 * sela_sum_exact on each prefix, so they do not depend on how a series is cut into
 * chunks (see sela_accumulator_cumsum to carry a series across calls).
 */

/* out[i] = sela_sum_exact(x, i + 1) for every i < n, bit for bit: a NaN in x[0..i] gives
 * a NaN (the one with the largest payload so far, sign bit clear), +inf and -inf a NaN,
 * one infinity that infinity; a prefix beyond the range +-inf (later elements may bring
 * the running value back: each out[i] is its own prefix rounded); a zero prefix +0.0.
 * out may be x itself: the sum is then computed in place. Any other overlap of
 * x[0..n-1] and out[0..n-1] is not allowed (the results are then unspecified).
 * n = 0 reads and writes nothing. Time linear in n, about twice sela_sum_naive's on
 * processors with AVX2. The few prefixes a compensated running sum cannot settle (ties
 * among data spanning more than 106 bits, near-total cancellation, NaN and infinities,
 * prefixes beyond the range) are rounded from an exact register, which reads x again up
 * to them; in place, data whose bits do not fit 106 bits enter that register before they
 * are overwritten, which costs about as much again. Memory: about 10 KiB of stack; the
 * register may borrow the exact sum's workspace (never fails). */
SELA_API void sela_cumsum_exact(const double *x, double *out, uint64_t n);

/* ---- Cascaded and faithful sums ----------------------------------------------------- */

/* Sum2 of Ogita, Rump and Oishi: bit for bit sela_sum_neumaier. Empty: +0.0. */
SELA_API double sela_sum_oro(const double *x, uint64_t n);

/* K-fold cascade: the left-to-right sum plus, pass after pass, the left-to-right sum of the
 * previous pass's rounding errors, each added with one ordinary addition. K <= 0 acts as
 * 1 (the naive sum), K = 2 equals sela_sum_oro for n >= 2, at most n passes run.
 * |error| <= (K - 1) u |S| + (g(n - 1)^K + 2 u g(n - 1)^2) A for K >= 2: the running
 * result itself is not compensated, so this is not a faithful sum.
 * Specials: one element is returned unchanged (-0.0 included); otherwise a zero result is
 * +0.0 for K >= 2 and follows the naive sum for K <= 1; a NaN or infinity in the data, or
 * an overflowing plain sum, gives the plain sum's special result.
 * Cost: time proportional to n * min(K, n); allocates min(K, n) doubles when that
 * exceeds 64, nothing otherwise.
 * Empty: +0.0. */
SELA_API double sela_sum_k(const double *x, uint64_t n, int32_t K);

/* AccSum: faithfully rounded, the exact sum when it is a double, else one of its two
 * neighbours. Data holding an infinity or a NaN, data near the top of the range (where
 * the splitting power of two would overflow) and inputs of more than 2^26 - 2 elements
 * take sela_sum_exact's result (for the long inputs beyond the published analysis, by
 * the same steps). One element is returned unchanged (-0.0, inf and NaN included);
 * otherwise a zero result is +0.0. Allocates n doubles only for data needing more than
 * eight extraction sweeps (condition numbers beyond about 1e70 at n = 10^7); otherwise,
 * and where the exact sum decides, a workspace as sela_sum_exact's. Empty: +0.0. */
SELA_API double sela_sum_acc(const double *x, uint64_t n);

/* NearSum: the exact sum correctly rounded; the same cases as for sela_sum_acc give
 * sela_sum_exact's result, which is the same value. One element is returned unchanged;
 * otherwise a zero result is +0.0. Workspace as sela_sum_exact's (never fails).
 * Empty: +0.0. */
SELA_API double sela_sum_near(const double *x, uint64_t n);

/* Condition number of the sum, A / |S|, with A the left-to-right sum of magnitudes and S
 * the compensated sum of sela_sum_neumaier: 1 without cancellation (down to
 * 1 - g(n - 1), as A itself is rounded), +inf when that sum is zero (all zeros included)
 * or when A overflows (an infinite element included), NaN for any NaN. Also +inf when A
 * is finite but S rounds beyond the largest double, as for {DBL_MAX, 2^969, 2^969} (the
 * quotient would otherwise be 0, below the least possible condition number 1).
 * Empty: +0.0. */
SELA_API double sela_condition_number(const double *x, uint64_t n);

/* ---- Dot products -------------------------------------------------------------------
 * D and P as above. The compensated forms guard every step: an infinite or NaN element,
 * or an overflowing intermediate, gives the naive dot product's result instead.
 */

/* The exact dot product under a product floor, rounded once, in these precise steps:
 *  1. each finite product x[i] * y[i] is truncated toward zero to a multiple of 2^-1075
 *     (half the smallest subnormal); products of 2^-1075 or more lose nothing below that;
 *  2. the truncated products are summed exactly, giving T;
 *  3. |T| >= 2^-1022 (the normal range): T correctly rounded (+-inf beyond the range);
 *     0 <= T < 2^-1022: T truncated toward zero to a multiple of 2^-1074;
 *     -2^-1043 <= T < 0: truncated toward zero (so T = -2^-1075 gives -0.0);
 *     -2^-1022 < T < -2^-1043: truncated toward -inf to a multiple of 2^-1074.
 * So results in the subnormal range are not rounded to nearest: for example
 * sela_dot_exact({0x1.8p-1000}, {0x1p-74}, 1) is 2^-1074 (the exact 1.5 * 2^-1074 would
 * round to 2^-1073), and x = {2^-1043, 2^-1074}, y = {-1, -0.5} gives -(2^31 + 1) 2^-1074.
 * A zero result is +0.0 except that T = -2^-1075 gives -0.0.
 * Specials: a NaN element or inf * 0 gives a NaN (the one with the largest payload, sign
 * clear), +inf and -inf products together a NaN, otherwise an infinite product that
 * infinity (also against a finite part that overflows the other way). Workspace (never
 * fails). Empty: +0.0. */
SELA_API double sela_dot_exact(const double *x, const double *y, uint64_t n);

/* Sum of products in the vector kernel's order (fused multiply-adds in 4 lanes on AVX2,
 * 8 on AVX-512, the scalar left-to-right loop s = s + x[i] * y[i] from +0.0 elsewhere, so
 * the bits depend on the processor). |error| <= g(n) P + n 2^-1075 (the last term for
 * products below the normal range). A NaN result from finite data (products overflowing
 * with both signs) is replaced by sela_dot_exact's result; NaN or infinite elements give
 * the plain arithmetic's NaN or infinity; an overflowing sum gives +-inf. A zero result is
 * +0.0 unless it comes from the exact replacement. Never allocates (the exact replacement
 * uses its workspace). Empty: +0.0. */
SELA_API double sela_dot_naive(const double *x, const double *y, uint64_t n);

/* Dot2: as if accumulated in twice the working precision, then rounded:
 * |error| <= u |D| + g(n)^2 P + 4 n 2^-1074 (the last term for products below the normal
 * range, where the product's error is not exact). The vector kernels compute the same
 * lane by lane and their result is used only when the lane sums did not cancel by more
 * than a factor of 1024; otherwise, and for non-finite intermediates, the scalar Dot2
 * decides. A zero result is +0.0 (when it does not come from the exact replacement of
 * sela_dot_naive). Never allocates. Empty: +0.0. */
SELA_API double sela_dot2(const double *x, const double *y, uint64_t n);

/* DotK: as if accumulated in K-fold working precision. K <= 1 is the scalar naive dot
 * product (the left-to-right loop, no vector kernel), K = 2 is sela_dot2, K = 3 runs on
 * the vector kernels like sela_dot2, K >= 4 is a scalar cascade of K - 1 levels. For
 * K >= 2: |error| <= (u + 2 g(4n)^2) |D| + g(4n)^K P + 4 n 2^-1074. Specials as for
 * sela_dot2. Cost: time proportional to n K + K^2 and, for K >= 4, 8 (K - 1) bytes of
 * scratch (allocates): K near 2^31 asks for 16 GiB and ends the process when that cannot
 * be allocated, and its K^2 term would not finish in practice. Empty: +0.0. */
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

/* ---- Exact accumulator: sums across chunks, threads and processes ----------------- */

/* A caller-owned exact accumulator. Add arrays of values or of products to it, merge
 * accumulators filled elsewhere, and round at any time: the result is always
 * sela_sum_exact of everything added, in whatever chunks, order or tree of merges it
 * arrived, bit for bit (NaN payloads and infinity rules included). Products contribute
 * exactly what sela_dot_exact gives them (each product's bits below 2^-1075 discarded, a
 * NaN or infinity factor giving the floating-point product), so sums and dot products
 * may share one accumulator. A correctly rounded total cannot be rebuilt from correctly
 * rounded partial totals; the accumulator keeps the partial totals exact instead.
 *
 * The record is 1088 bytes of plain 64-bit words, 8-byte aligned, with no pointers: keep
 * it on the stack, in arrays, in shared memory, or send its bytes in a message. Its
 * bytes, copied with memcpy, are its portable form between processes running this major
 * version of the library on x86-64 (little-endian). Its contents are not an interface:
 * change them only through these functions.
 *
 * The int functions return 0, or -1 when a record is not a valid accumulator (never
 * initialised, a zeroed or corrupted record, random bytes, a record of another major
 * version, or a null pointer); then nothing is changed and nothing is read beyond the
 * records themselves. A record that fails the check never leads to undefined behaviour.
 *
 * No heap is needed (large arrays may use a heap workspace for speed, and do without it
 * when none is available); nothing is ever written to standard error. Distinct records
 * may be used on distinct threads at the same time without locking; one record must not
 * be written by two threads at once. */
typedef struct sela_accumulator {
  uint64_t opaque[136];
} sela_accumulator;

/* Sets *acc to the empty accumulator (its rounding is +0.0). A null acc is ignored. */
SELA_API void sela_accumulator_init(sela_accumulator *acc);

/* Adds x[0] ... x[n-1]. n = 0 reads nothing. Returns 0, or -1 for an invalid record. */
SELA_API int sela_accumulator_add(sela_accumulator *acc, const double *x, uint64_t n);

/* Adds the products x[i] * y[i], i < n, as sela_dot_exact takes them. n = 0 reads
 * nothing. Returns 0, or -1 for an invalid record. */
SELA_API int sela_accumulator_add_products(sela_accumulator *acc, const double *x, const double *y, uint64_t n);

/* Adds everything held by *other to *acc; *other is only read and may be acc itself (the
 * value then doubles). Merging is commutative and associative, so any tree of merges
 * gives the same record value. Returns 0, or -1 if either record is invalid (then *acc
 * is unchanged). */
SELA_API int sela_accumulator_merge(sela_accumulator *acc, const sela_accumulator *other);

/* The running sum continued from *acc: out[i] is the rounding sela_accumulator_round
 * would give of acc + x[0] + ... + x[i], and *acc ends holding acc + x[0..n-1]. So a
 * series cut into any chunks, each continued from the record the previous chunk left,
 * gives the same bits as one call (and as sela_cumsum_exact when the record starts
 * empty). out may be x itself; any other overlap is not allowed. n = 0 reads and writes
 * nothing. Returns 0, or -1 for an invalid record (then nothing is read or written and
 * the record is unchanged). Memory as for sela_accumulator_add. */
SELA_API int sela_accumulator_cumsum(sela_accumulator *acc, const double *x, double *out, uint64_t n);

/* The value held, rounded once as sela_sum_exact rounds: to nearest, ties to even; a NaN
 * added anywhere gives the NaN with the largest mantissa field (sign cleared), +inf and
 * -inf together a NaN, one infinity that infinity; empty: +0.0. The record is not
 * changed, so adding may continue. An invalid record gives the quiet NaN.
 * A record holds any value below 2^3117 in magnitude exactly. Beyond that (reachable only
 * by merging a record into itself some three thousand times) it keeps the sign alone and
 * rounds to the infinity of that sign, as a finite sum beyond the double range does; a
 * NaN once values beyond it (or at its top) of both signs have met. */
SELA_API double sela_accumulator_round(const sela_accumulator *acc);

/* The value held divided by count, rounded once to nearest, ties to even: the exact mean
 * of everything added when count is the number of values. Correct even where the value
 * itself lies beyond the double range (three records of DBL_MAX divided by 3 give
 * DBL_MAX); +-inf only where the quotient is. A NaN or infinity held gives what
 * sela_accumulator_round gives (an infinity divided by a count stays that infinity). A
 * zero result is +0.0. With count 1 this is sela_accumulator_round, except for a record
 * holding products whose value lies below 2^-1022 with a nonzero bit of weight 2^-1075:
 * this rounds that value to nearest, where sela_accumulator_round cuts it as
 * sela_dot_exact does. The record is not changed. count 0, or an invalid record, gives
 * the quiet NaN. */
SELA_API double sela_accumulator_round_divided(const sela_accumulator *acc, uint64_t count);

/* ---- Statistics --------------------------------------------------------------------- */

/* Euclidean norm with a running scale: never overflows or underflows where the true norm
 * is representable; |error| <= (5n/2 + 3) u times the norm, at least the largest |x[i]|.
 * The first NaN (NaN) or infinity (+inf) in x decides. A zero result is +0.0.
 * Never allocates. Empty: +0.0. */
SELA_API double sela_norm_scaled(const double *x, uint64_t n);

/* Mean: S correctly rounded, then divided by n (one more rounding). If S overflows with
 * all x finite, the correctly rounded sum of the quotients x[i] / n, and +-DBL_MAX if even
 * that sum lies beyond the range, so finite data never give an infinite mean. A NaN gives
 * NaN, +inf and -inf together NaN, one infinity that infinity. A zero result is +0.0.
 * Workspace as sela_sum_exact's (never fails). Empty: quiet NaN. */
SELA_API double sela_mean_scaled(const double *x, uint64_t n);

/* sum (x[i] - center)^2 of the rounded differences, accumulated as sela_dot_exact
 * accumulates (the same floor and truncation). A NaN gives NaN; an infinite difference
 * +inf; a sum beyond the range +inf. A zero result is +0.0. Workspace (never fails).
 * Empty: +0.0. */
SELA_API double sela_centered_sum_squares(const double *x, uint64_t n, double center);

/* sum (x[i] - cx)(y[i] - cy) of the rounded differences, accumulated as sela_dot_exact
 * accumulates (so its specials and its zero signs). Workspace (never fails).
 * Empty: +0.0. */
SELA_API double sela_centered_cross_product(const double *x, const double *y, uint64_t n, double cx, double cy);

/* Cosine of the angle between x - cx and y - cy, each first divided by its largest
 * magnitude (so nothing overflows), clamped to [-1, 1]. NaN for a zero centered vector,
 * an infinite element or center, or any NaN. Workspace (never fails). Empty: quiet NaN. */
SELA_API double sela_centered_cosine_similarity(const double *x, const double *y, uint64_t n, double cx, double cy);

/* Least-squares slope of (y - cy) on (x - cx), free of intermediate overflow: +-inf only
 * where the slope itself lies beyond the range. NaN for a zero or infinite centered x,
 * an infinite y or center, or any NaN; +0.0 when the centered cross product is zero.
 * Workspace (never fails). Empty: quiet NaN. */
SELA_API double sela_centered_projection_coefficient(const double *x, const double *y, uint64_t n, double cx, double cy);

#ifdef __cplusplus
}
#endif

#endif /* SELA_H */
