// Shared benchmark fixtures: many distinct input arrays per size, rotated between
// iterations so branch predictors cannot learn one array, and per-element timing.
#pragma once

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "gensum.h"

namespace benchutil {

// Uniform: values in [-1, 1). WideRange: random significands with binary exponents
// spread uniformly over [-500, 500]. Cond1e16 and Cond1e32: sums of prescribed condition
// number sum|x| / |sum x| (GenSum style: a first half spread over 2^b, a second half that
// cancels the running sum step by step), the hard inputs of the accurate sums.
// Cancelling: values +-2^0 .. 2^60 (53-bit significands), each signed against the
// running sum so far, the hard input of the running sums.
// Subnormal: values of random sign and exponent in [-1074, -1023]; NearFloor: exponents
// in [-560, -500], whose products by pairs (SELA_AB_PAIRS) straddle the product floor.
// Low: exponents in [-1022, -900], normal values whose sums stay far below 1. Mixed:
// subnormal values with one in four normal (exponents in [-60, 60]). SmallMixed: exponents
// in [-1074, -960], subnormal and small normal values. WideScaled: WideRange divided by its
// largest magnitude, as normalizing reductions do (products by pairs span 2^-2000 .. 1:
// about half vanish below the product floor and some 15% straddle it).
enum class Family {
  Uniform,
  WideRange,
  Cond1e16,
  Cond1e32,
  Cancelling,
  Subnormal,
  NearFloor,
  Low,
  Mixed,
  SmallMixed,
  WideScaled
};

// Short inputs rotate through 64 arrays (fewer let the branch predictor learn them);
// 10^5 through 8 (together still within the last-level cache of the machine). From 10^7
// on the arrays must come from memory: at least 2, and together at least twice the
// last-level cache the system reports (a virtual machine may report its host's, e.g.
// 480 MiB, which holds two arrays of 10^7 doubles), at most 32.
inline int arraysFor(int64_t n) {
  if (n <= 10000) return 64;
  if (n < 10000000) return 8;
  const long cache = sysconf(_SC_LEVEL3_CACHE_SIZE);
  const int64_t bytes = n * static_cast<int64_t>(sizeof(double));
  const int64_t enough = cache > 0 ? (2 * static_cast<int64_t>(cache) + bytes - 1) / bytes : 2;
  return static_cast<int>(std::clamp<int64_t>(enough, 2, 32));
}

// Random sign and 53-bit significand, binary exponent uniform over [lo, hi].
inline std::vector<double> randomExponents(std::mt19937_64& rng, size_t count, int lo, int hi) {
  std::vector<double> v(count);
  std::uniform_int_distribution<int> e(lo, hi);
  for (auto& x : v) {
    const uint64_t m = (rng() >> 11) | (1ULL << 52);
    x = std::ldexp(static_cast<double>(m), e(rng) - 52);
    if (rng() & 1) x = -x;
  }
  return v;
}

inline std::vector<double> makeArray(Family f, int64_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  const auto count = static_cast<size_t>(n);
  switch (f) {
    case Family::Uniform: {
      std::vector<double> v(count);
      std::uniform_real_distribution<double> d(-1.0, 1.0);
      for (auto& x : v) x = d(rng);
      return v;
    }
    case Family::WideRange:
      return randomExponents(rng, count, -500, 500);
    case Family::Subnormal:
      return randomExponents(rng, count, -1074, -1023);
    case Family::NearFloor:
      return randomExponents(rng, count, -560, -500);
    case Family::Low:
      return randomExponents(rng, count, -1022, -900);
    case Family::Mixed: {
      std::vector<double> v = randomExponents(rng, count, -1074, -1023);
      const std::vector<double> normal = randomExponents(rng, count, -60, 60);
      for (size_t i = 0; i < count; ++i) {
        if (rng() % 4 == 0) v[i] = normal[i];
      }
      return v;
    }
    case Family::SmallMixed:
      return randomExponents(rng, count, -1074, -960);
    case Family::WideScaled: {
      std::vector<double> v = randomExponents(rng, count, -500, 500);
      double largest = 0.0;
      for (const double x : v) largest = std::max(largest, std::fabs(x));
      for (auto& x : v) x /= largest;
      return v;
    }
    case Family::Cond1e16:
      return testutil::genSum(rng, count < 2 ? 2 : count, 1e16);
    case Family::Cond1e32:
      return testutil::genSum(rng, count < 2 ? 2 : count, 1e32);
    case Family::Cancelling:
      return testutil::cancelling(rng, count);
  }
  return {};
}

// A pool of arrays for (family, n), built once per process.
const std::vector<std::vector<double>>& pool(Family f, int64_t n);

inline void finish(benchmark::State& state, int64_t n) {
  state.SetItemsProcessed(state.iterations() * n);
  state.counters["ns/elem"] = benchmark::Counter(static_cast<double>(n) * static_cast<double>(state.iterations()),
                                                 benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Runs fn(x, n) rotating through the given arrays (each of n = state.range(0) values);
// reports ns per element.
template <typename Fn>
void runSumOver(benchmark::State& state, const std::vector<std::vector<double>>& arrays, Fn fn) {
  const int64_t n = state.range(0);
  size_t k = 0;
  for (auto _ : state) {
    const auto& a = arrays[k];
    k = k + 1 == arrays.size() ? 0 : k + 1;
    benchmark::DoNotOptimize(fn(a.data(), static_cast<uint64_t>(n)));
  }
  finish(state, n);
}

// Runs fn(x, n) rotating through the pool of one data family.
template <typename Fn>
void runSum(benchmark::State& state, Family f, Fn fn) {
  runSumOver(state, pool(f, state.range(0)), fn);
}

// Two-array variant: x from one pool entry, y from the next.
template <typename Fn>
void runDot(benchmark::State& state, Family f, Fn fn) {
  const int64_t n = state.range(0);
  const auto& arrays = pool(f, n);
  size_t k = 0;
  for (auto _ : state) {
    const auto& a = arrays[k];
    k = k + 1 == arrays.size() ? 0 : k + 1;
    const auto& b = arrays[k];
    benchmark::DoNotOptimize(fn(a.data(), b.data(), static_cast<uint64_t>(n)));
  }
  finish(state, n);
}

// y of the dot products on the hard families: every element 1 + 2^-30, so each product
// x[i] y[i] has a non-zero low part (as products of general data do) and the dot product
// cancels as the sum of x does.
inline const std::vector<double>& nearOnes(int64_t n) {
  static thread_local std::vector<double> v;
  if (v.size() < static_cast<size_t>(n)) v.assign(static_cast<size_t>(n), 1.0 + 0x1p-30);
  return v;
}

// Runs fn(x, nearOnes, n) rotating x through the pool of one data family.
template <typename Fn>
void runDotNearOnes(benchmark::State& state, Family f, Fn fn) {
  const double* y = nearOnes(state.range(0)).data();
  runSum(state, f, [&](const double* x, uint64_t n) { return fn(x, y, n); });
}

}  // namespace benchutil

// The four sizes of every benchmark. Measure with repetitions and take medians (the
// table script, bench/bench_table.py, runs 5 repetitions of each).
#define SELA_SIZES ->Arg(16)->Arg(1000)->Arg(100000)->Arg(10000000)->Unit(benchmark::kMicrosecond)

// One benchmark per data family for a sum export fn(x, n) or a dot export fn(x, y, n).
#define SELA_BENCH_FAMILIES(runner, fn)                                                          \
  static void BM_##fn##_uniform(benchmark::State& s) { benchutil::runner(s, benchutil::Family::Uniform, fn); } \
  BENCHMARK(BM_##fn##_uniform) SELA_SIZES;                                                       \
  static void BM_##fn##_wide(benchmark::State& s) { benchutil::runner(s, benchutil::Family::WideRange, fn); }  \
  BENCHMARK(BM_##fn##_wide) SELA_SIZES;
#define SELA_BENCH_SUM(fn) SELA_BENCH_FAMILIES(runSum, fn)
#define SELA_BENCH_DOT(fn) SELA_BENCH_FAMILIES(runDot, fn)
