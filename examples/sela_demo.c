/* sela_demo: sums built-in data sets with every summation grade and shows where the
 * results differ from the exact, correctly rounded sum. */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "sela.h"

typedef double (*sum_fn)(const double *, uint64_t);

/* sela_sum_k takes the number of passes as well; the demo shows K = 3. */
static double sum_k3(const double *x, uint64_t n) { return sela_sum_k(x, n, 3); }

struct algorithm {
  const char *name;
  sum_fn fn;
};

static const struct algorithm kAlgorithms[] = {
    {"naive", sela_sum_naive},
    {"pairwise", sela_sum_pairwise},
    {"pairwise_iterative", sela_sum_pairwise_iterative},
    {"kahan", sela_sum_kahan},
    {"neumaier", sela_sum_neumaier},
    {"klein", sela_sum_klein},
    {"shewchuk", sela_sum_shewchuk},
    {"oro (Sum2)", sela_sum_oro},
    {"sum_k, K = 3", sum_k3},
    {"acc (faithful)", sela_sum_acc},
    {"near (nearest)", sela_sum_near},
    {"exact", sela_sum_exact},
};

#define N_ALGORITHMS (sizeof kAlgorithms / sizeof kAlgorithms[0])

static void show(const char *title, const double *x, uint64_t n) {
  const double exact = sela_sum_exact(x, n);
  printf("%s (%llu values, condition number %.3g)\n", title, (unsigned long long)n,
         sela_condition_number(x, n));
  for (size_t k = 0; k < N_ALGORITHMS; ++k) {
    const double r = kAlgorithms[k].fn(x, n);
    printf("  %-20s % .17g  %-24a %s\n", kAlgorithms[k].name, r, r,
           memcmp(&r, &exact, sizeof r) == 0 ? "" : "<- differs from exact");
  }
  printf("\n");
}

int main(void) {
  static double tenth[10];
  static double cancel[4] = {1.0, 1e100, 1.0, -1e100};
  static double ties[4];
  static double harmonic[100000];
  for (int i = 0; i < 10; ++i) tenth[i] = 0.1;
  ties[0] = 1.0;
  ties[1] = ties[2] = ties[3] = ldexp(1.0, -53);
  for (int i = 0; i < 100000; ++i) harmonic[i] = (i % 2 ? -1.0 : 1.0) / (double)(i + 1);

  printf("sela %s: one data set, several grades of accuracy\n\n", sela_version());
  show("ten copies of 0.1 (exact sum 1.0 after rounding)", tenth, 10);
  show("1, 1e100, 1, -1e100 (exact sum 2)", cancel, 4);
  show("1 and three halves of an ulp (exact 1 + 1.5 ulp)", ties, 4);
  show("alternating harmonic series, 1e5 terms", harmonic, 100000);
  return 0;
}
