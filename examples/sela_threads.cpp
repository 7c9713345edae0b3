// sela_threads: sums one large array on 1, 2, ... N threads, one accumulator per thread,
// merged at the end. The total is the same bits for every thread count, and equals
// sela_sum_exact of the whole array: the accumulators keep their partial sums exact, so
// how the work was split cannot show in the result.
//
// Usage: sela_threads [max_threads [n]]   (defaults: 8 threads, 10^7 values)
// Exit status 0 when every thread count agrees with sela_sum_exact, 1 otherwise.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "sela.h"

namespace {

// Values of wildly different magnitudes and both signs: a naive parallel sum would
// depend on the split.
std::vector<double> makeData(size_t n) {
  std::mt19937_64 rng(12345);
  std::uniform_int_distribution<int> exponent(-60, 60);
  std::vector<double> x(n);
  for (double& v : x) {
    const double m = static_cast<double>(rng() >> 11) * 0x1p-53;
    v = std::ldexp(rng() & 1 ? -m : m, exponent(rng));
  }
  return x;
}

// Thread t sums the t-th of `threads` nearly equal slices into its own accumulator; the
// accumulators are then merged in thread order (any order gives the same record value).
double threadedSum(const std::vector<double>& x, unsigned threads) {
  std::vector<sela_accumulator> parts(threads);
  std::vector<std::thread> workers;
  const size_t n = x.size();
  for (unsigned t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      const size_t begin = n * t / threads, end = n * (t + 1) / threads;
      sela_accumulator_init(&parts[t]);
      sela_accumulator_add(&parts[t], x.data() + begin, end - begin);
    });
  }
  for (std::thread& w : workers) w.join();
  for (unsigned t = 1; t < threads; ++t) sela_accumulator_merge(&parts[0], &parts[t]);
  return sela_accumulator_round(&parts[0]);
}

}  // namespace

int main(int argc, char** argv) {
  const unsigned maxThreads = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 8;
  const size_t n = argc > 2 ? static_cast<size_t>(std::strtoull(argv[2], nullptr, 10)) : 10000000;
  if (maxThreads == 0) {
    std::fprintf(stderr, "usage: sela_threads [max_threads >= 1 [n]]\n");
    return 2;
  }
  const std::vector<double> x = makeData(n);
  const double whole = sela_sum_exact(x.data(), x.size());
  const double naive = sela_sum_naive(x.data(), x.size());
  std::printf("n = %zu, sela_sum_exact = %a, left-to-right sum = %a\n", n, whole, naive);
  bool ok = true;
  for (unsigned threads = 1; threads <= maxThreads; ++threads) {
    const double total = threadedSum(x, threads);
    const bool same = std::memcmp(&total, &whole, sizeof total) == 0;
    ok = ok && same;
    std::printf("%2u threads: %a %s\n", threads, total, same ? "(same bits)" : "(DIFFERS)");
  }
  return ok ? 0 : 1;
}
