/* The C side of the Fortran module test: every export called from C on the arrays the
 * Fortran program passes, so that program can compare, bit for bit, what its module calls
 * return with what C gets. The numbering of shim_reduce is the test program's. */
#include <stdalign.h>
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>

#include "sela.h"

double shim_reduce(int32_t which, const double *x, const double *y, uint64_t n, double cx, double cy, int32_t k) {
  switch (which) {
    case 1: return sela_sum_naive(x, n);
    case 2: return sela_sum_pairwise(x, n);
    case 3: return sela_sum_pairwise_iterative(x, n);
    case 4: return sela_sum_kahan(x, n);
    case 5: return sela_sum_neumaier(x, n);
    case 6: return sela_sum_klein(x, n);
    case 7: return sela_sum_shewchuk(x, n);
    case 8: return sela_sum_exact(x, n);
    case 9: return sela_sum_oro(x, n);
    case 10: return sela_sum_k(x, n, k);
    case 11: return sela_sum_acc(x, n);
    case 12: return sela_sum_near(x, n);
    case 13: return sela_condition_number(x, n);
    case 14: return sela_dot_exact(x, y, n);
    case 15: return sela_dot_naive(x, y, n);
    case 16: return sela_dot2(x, y, n);
    case 17: return sela_dot_k(x, y, n, k);
    case 18: return sela_norm_scaled(x, n);
    case 19: return sela_mean_scaled(x, n);
    case 20: return sela_centered_sum_squares(x, n, cx);
    case 21: return sela_centered_cross_product(x, y, n, cx, cy);
    case 22: return sela_centered_cosine_similarity(x, y, n, cx, cy);
    case 23: return sela_centered_projection_coefficient(x, y, n, cx, cy);
    default: return -1.0;
  }
}

/* The six vector kernels, where this processor runs them (GCC's feature test includes
 * the operating system's register state; off x86-64 they are portable code that runs
 * everywhere). Returns false, writing nothing, otherwise. */
bool shim_kernel(int32_t which, const double *x, const double *y, int64_t n, double *value, bool *accepted) {
#if defined(__x86_64__)
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  const bool avx512 = __builtin_cpu_supports("avx512f");
#else
  const bool avx2 = true, avx512 = true;
#endif
  sela_kernel_result r = {0.0, true};
  switch (which) {
    case 1: if (!avx2) return false; r.value = dispatchNaiveDotAvx2(x, n, y, n); break;
    case 2: if (!avx512) return false; r.value = dispatchNaiveDotAvx512(x, n, y, n); break;
    case 3: if (!avx2) return false; r = dispatchDot2Avx2(x, n, y, n); break;
    case 4: if (!avx512) return false; r = dispatchDot2Avx512(x, n, y, n); break;
    case 5: if (!avx2) return false; r = dispatchDotK3Avx2(x, n, y, n); break;
    case 6: if (!avx512) return false; r = dispatchDotK3Avx512(x, n, y, n); break;
    default: return false;
  }
  *value = r.value;
  *accepted = r.accepted;
  return true;
}

void shim_two_sum(double a, double b, double *sum, double *err) { sela_two_sum(a, b, sum, err); }

/* A record filled from C: x, then the products of x and y. */
int shim_accumulator_fill(sela_accumulator *acc, const double *x, const double *y, uint64_t n) {
  sela_accumulator_init(acc);
  return sela_accumulator_add(acc, x, n) | sela_accumulator_add_products(acc, x, y, n);
}

double shim_accumulator_round(const sela_accumulator *acc) { return sela_accumulator_round(acc); }

int64_t shim_accumulator_size(void) { return (int64_t)sizeof(sela_accumulator); }

int64_t shim_accumulator_alignment(void) { return (int64_t)alignof(sela_accumulator); }

/* The header's version macros as text, in a buffer of the caller's. */
void shim_version_macros(char *text, int32_t size) {
  snprintf(text, (size_t)size, "%d.%d.%d", SELA_VERSION_MAJOR, SELA_VERSION_MINOR, SELA_VERSION_PATCH);
}
