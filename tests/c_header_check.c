/* The public header compiled as C11 and called through the shared object. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "sela.h"

static int failures = 0;

static void check(int ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    ++failures;
  }
}

int main(void) {
  const double x[] = {1.0, 1e100, 1.0, -1e100};
  double s = 0.0, e = 0.0;
  {
    /* The version macros and the library agree. */
    char text[48];
    snprintf(text, sizeof text, "%d.%d.%d", SELA_VERSION_MAJOR, SELA_VERSION_MINOR, SELA_VERSION_PATCH);
    check(strcmp(sela_version(), text) == 0, "version macros match sela_version()");
    check(strcmp(sela_version(), "1.1.0") == 0, "version text");
  }
  check(sela_sum_naive(x, 4) == 0.0, "naive sum loses the ones");
  check(sela_sum_pairwise(NULL, 0) == 0.0, "empty pairwise sum");
  check(sela_sum_pairwise_iterative(x, 2) == 1e100, "iterative pairwise sum");
  sela_two_sum(1.0, ldexp(1.0, -60), &s, &e);
  check(s == 1.0 && e == ldexp(1.0, -60), "two_sum");
  {
    const double a[] = {1e16, 1.0, -1e16}, ones[] = {1.0, 1.0, 1.0};
    sela_kernel_result r = {0.0, false};
    check(sela_dot2(a, ones, 3) == 1.0, "dot2 keeps the one");
    check(sela_dot_k(a, ones, 3, 3) == 1.0 && sela_dot_naive(a, ones, 3) == 0.0, "dot_k and dot_naive");
    check(!r.accepted && sizeof r.value == sizeof(double), "kernel result is usable from C");
  }
  {
    /* The accumulator record from C: a plain complete type of fixed size. */
    const double a[] = {1.0, 0x1p-53}, b[] = {0x1p-53};
    sela_accumulator left, right;
    sela_accumulator_init(&left);
    sela_accumulator_init(&right);
    check(sizeof(sela_accumulator) == 1088 && _Alignof(sela_accumulator) == 8, "accumulator size");
    check(sela_accumulator_add(&left, a, 2) == 0 && sela_accumulator_add(&right, b, 1) == 0, "accumulator add");
    check(sela_accumulator_merge(&left, &right) == 0, "accumulator merge");
    check(sela_accumulator_round(&left) == 1.0 + 0x1p-52, "merged total is exact");
    check(sela_accumulator_round_divided(&left, UINT64_C(2)) == 0.5 + 0x1p-53, "divided total");
  }
  return failures != 0;
}
