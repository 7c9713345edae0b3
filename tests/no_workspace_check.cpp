// The exact sum and dot product, and the accumulator, when no heap workspace can be had:
// this program's aligned_alloc refuses every large block (the library's workspaces come
// from it), so every long input takes the stack-light path. The results must be the
// same bits as the oracle's, and the process must not end early.
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "oracle.h"
#include "sela.h"

extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept {
  if (size >= 4096) return nullptr;
  void* p = nullptr;
  return posix_memalign(&p, alignment < sizeof(void*) ? sizeof(void*) : alignment, size) == 0 ? p : nullptr;
}

namespace {

int failures = 0;

void expectSame(double expected, double actual, const char* what, size_t n) {
  if (!oracle::sameBits(expected, actual)) {
    std::fprintf(stderr, "FAILED: %s n=%zu: expected %a, got %a\n", what, n, expected, actual);
    ++failures;
  }
}

std::vector<double> wide(std::mt19937_64& rng, size_t n, int lo, int hi) {
  std::uniform_int_distribution<int> e(lo, hi);
  std::vector<double> v(n);
  for (double& x : v) {
    x = std::ldexp(static_cast<double>((rng() >> 11) | (1ULL << 52)), e(rng) - 52);
    if (rng() & 1) x = -x;
  }
  return v;
}

}  // namespace

int main() {
  if (aligned_alloc(64, 1 << 17) != nullptr) {
    std::fprintf(stderr, "FAILED: the large-block refusal is not in effect\n");
    return 1;
  }
  std::mt19937_64 rng(7);
  for (size_t n : {2048u, 5000u, 8185u, 100000u}) {
    const auto x = wide(rng, n, -1074, 1000);
    const auto y = wide(rng, n, -400, 400);
    const auto z = wide(rng, n, -400, 400);
    const auto sn = static_cast<int64_t>(n);
    expectSame(oracle::exactSum(x.data(), sn), sela_sum_exact(x.data(), n), "sum_exact", n);
    expectSame(oracle::exactDot(y.data(), z.data(), sn), sela_dot_exact(y.data(), z.data(), n), "dot_exact", n);
    sela_accumulator a;
    sela_accumulator_init(&a);
    if (sela_accumulator_add(&a, x.data(), n) != 0) ++failures;
    expectSame(oracle::exactSum(x.data(), sn), sela_accumulator_round(&a), "accumulator_add", n);
    sela_accumulator_init(&a);
    if (sela_accumulator_add_products(&a, y.data(), z.data(), n) != 0) ++failures;
    expectSame(oracle::exactDot(y.data(), z.data(), sn), sela_accumulator_round(&a), "accumulator_add_products", n);
  }
  std::vector<double> s(50000, 1.0);
  s[30000] = std::numeric_limits<double>::infinity();
  s[40000] = -std::numeric_limits<double>::infinity();
  const double r = sela_sum_exact(s.data(), s.size());
  if (r == r) {
    std::fprintf(stderr, "FAILED: +inf and -inf must give a NaN\n");
    ++failures;
  }
  if (failures == 0) std::puts("exact results without heap workspaces: ok");
  return failures != 0;
}
