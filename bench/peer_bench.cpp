// sela against its peer in one run: every figure of the exact engine next to the same
// figure of the plain exact accumulator of peer_accumulator.h (its small register alone,
// and its bins flushed into the register), with sela_sum_naive on the same arrays as the
// baseline. Families: uniform, wide (exponents over +-500), and sums of condition 1e16
// and 1e32; dot products are those arrays dotted with 1 + 2^-30. bench/bench_table.py
// --peer turns a run into the table of README.md.
//
// Before the first timing of a family and length, the peer's results are compared with
// sela's exact ones on every array of the rotation, and the run aborts on a difference:
// a peer that is not exact would make every ratio meaningless.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "bench_util.h"
#include "peer_accumulator.h"
#include "sela.h"

using benchutil::Family;

namespace {

bool haveFma() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("fma") != 0;
}

void mismatch(const char* what, Family f, int64_t n, size_t k, double selaValue, double peerValue) {
  std::fprintf(stderr, "peer_bench: %s differs from sela on family %d, n = %lld, array %zu: %a vs %a\n", what,
               static_cast<int>(f), static_cast<long long>(n), k, selaValue, peerValue);
  std::abort();
}

bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

// The peer against sela on every array the benchmarks of (f, n) rotate through, once.
void verifyPeer(Family f, int64_t n) {
  static std::set<std::pair<int, int64_t>> done;
  if (!done.insert({static_cast<int>(f), n}).second) return;
  const double* y = benchutil::nearOnes(n).data();
  const auto& arrays = benchutil::pool(f, n);
  for (size_t k = 0; k < arrays.size(); ++k) {
    const double* x = arrays[k].data();
    const double exact = sela_sum_exact(x, static_cast<uint64_t>(n));
    if (!sameBits(exact, peer::sumSmall(x, n))) mismatch("small sum", f, n, k, exact, peer::sumSmall(x, n));
    if (!sameBits(exact, peer::sumLarge(x, n))) mismatch("large sum", f, n, k, exact, peer::sumLarge(x, n));
    if (haveFma()) {
      const double dot = sela_dot_exact(x, y, static_cast<uint64_t>(n));
      if (!sameBits(dot, peer::dotLarge(x, y, n))) mismatch("large dot", f, n, k, dot, peer::dotLarge(x, y, n));
      if (!sameBits(dot, peer::dotSmall(x, y, n))) mismatch("small dot", f, n, k, dot, peer::dotSmall(x, y, n));
    }
  }
}

template <typename Fn>
void sum(benchmark::State& s, Family f, Fn fn) {
  verifyPeer(f, s.range(0));
  benchutil::runSum(s, f, fn);
}

template <typename Fn>
void dotNearOnes(benchmark::State& s, Family f, Fn fn) {
  verifyPeer(f, s.range(0));
  benchutil::runDotNearOnes(s, f, fn);
}

double peerSmall(const double* x, uint64_t n) { return peer::sumSmall(x, static_cast<int64_t>(n)); }
double peerLarge(const double* x, uint64_t n) { return peer::sumLarge(x, static_cast<int64_t>(n)); }
double peerDotSmall(const double* x, const double* y, uint64_t n) {
  return peer::dotSmall(x, y, static_cast<int64_t>(n));
}
double peerDotLarge(const double* x, const double* y, uint64_t n) {
  return peer::dotLarge(x, y, static_cast<int64_t>(n));
}

void peerDotSmallBench(benchmark::State& s, Family f) {
  if (!haveFma()) return s.SkipWithError("the peer's products need FMA");
  dotNearOnes(s, f, peerDotSmall);
}
void peerDotLargeBench(benchmark::State& s, Family f) {
  if (!haveFma()) return s.SkipWithError("the peer's products need FMA");
  dotNearOnes(s, f, peerDotLarge);
}

// The accumulator's short life: init, add 16 values, round.
double selaShort(const double* x, uint64_t n) {
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  sela_accumulator_add(&acc, x, n);
  return sela_accumulator_round(&acc);
}

// Merge: 64 records per family, each holding 10^4 values, merged in turn into a total.
constexpr int64_t kMergeRecordLength = 10000;

void selaMerge(benchmark::State& state, Family f) {
  static std::map<int, std::vector<sela_accumulator>> cache;
  auto& records = cache[static_cast<int>(f)];
  if (records.empty()) {
    for (const auto& x : benchutil::pool(f, kMergeRecordLength)) {
      records.emplace_back();
      sela_accumulator_init(&records.back());
      sela_accumulator_add(&records.back(), x.data(), x.size());
    }
  }
  sela_accumulator total;
  sela_accumulator_init(&total);
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sela_accumulator_merge(&total, &records[k]));
    k = k + 1 == records.size() ? 0 : k + 1;
  }
  benchmark::DoNotOptimize(sela_accumulator_round(&total));
}

void peerMerge(benchmark::State& state, Family f) {
  static std::map<int, std::vector<peer::Small>> cache;
  auto& records = cache[static_cast<int>(f)];
  if (records.empty()) {
    for (const auto& x : benchutil::pool(f, kMergeRecordLength)) {
      peer::Large& large = peer::threadLarge();
      peer::add(large, x.data(), static_cast<int64_t>(x.size()));
      peer::transfer(large);
      if (!sameBits(peer::round(large.small), sela_sum_exact(x.data(), x.size())))
        mismatch("merge record", f, kMergeRecordLength, records.size(), sela_sum_exact(x.data(), x.size()),
                 peer::round(large.small));
      records.push_back(large.small);
    }
  }
  peer::Small total;
  peer::init(total);
  size_t k = 0;
  for (auto _ : state) {
    peer::merge(total, records[k]);
    benchmark::DoNotOptimize(total);
    k = k + 1 == records.size() ? 0 : k + 1;
  }
  benchmark::DoNotOptimize(peer::round(total));
}

// The vector Dot2 kernel the dispatcher picks on this processor, alone: on the hard
// families it declines after its pass, and sela_dot2 then runs the scalar Dot2, so this
// is what the decline costs within BM_p_sela_dot2_<family>.
void dot2Kernel(benchmark::State& s, Family f) {
  __builtin_cpu_init();
  using Kernel = sela_kernel_result (*)(const double*, int64_t, const double*, int64_t);
  // sela_family_bench may time another family than the processor's widest (family_switch.cpp).
  const char* family = std::getenv("SELA_BENCH_FAMILY");
  const bool asked = family != nullptr && std::strcmp(family, "native") != 0;
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  Kernel k = asked ? (std::strcmp(family, "avx2") == 0 && avx2 ? dispatchDot2Avx2 : nullptr)
             : __builtin_cpu_supports("avx512f") ? dispatchDot2Avx512
             : avx2                              ? dispatchDot2Avx2
                                                 : nullptr;
  if (k == nullptr) return s.SkipWithError("no vector Dot2 kernel on this processor");
  dotNearOnes(s, f, [k](const double* x, const double* y, uint64_t n) {
    return k(x, static_cast<int64_t>(n), y, static_cast<int64_t>(n)).value;
  });
}

// The floor of the scalar Dot2 that follows a decline: its compensation takes two terms
// per element, one rounded addition after the other (c = fl(fl(c + r) + q)), so its pass
// cannot run faster than this chain of two dependent additions per element over the same
// arrays (x[i] and y[i] standing in for r and q). Against the naive sum (one dependent
// addition per element) it is about 2x; the declining kernel comes on top of it.
double twoAdditionChain(const double* x, const double* y, uint64_t n) {
  double c = 0.0;
  for (uint64_t i = 0; i < n; ++i) c = (c + x[i]) + y[i];
  return c;
}

double dotExact(const double* x, const double* y, uint64_t n) { return sela_dot_exact(x, y, n); }
double dot2(const double* x, const double* y, uint64_t n) { return sela_dot2(x, y, n); }
double cosine(const double* x, const double* y, uint64_t n) {
  return sela_centered_cosine_similarity(x, y, n, 0.125, -0.25);
}
double projection(const double* x, const double* y, uint64_t n) {
  return sela_centered_projection_coefficient(x, y, n, 0.125, -0.25);
}

}  // namespace

#define PEER_FAMILY(name, body, family, tag, sizes)                                       \
  static void BM_p_##name##_##tag(benchmark::State& s) { body(s, Family::family); }       \
  BENCHMARK(BM_p_##name##_##tag) sizes;
#define PEER_ALL(name, body, sizes)                     \
  PEER_FAMILY(name, body, Uniform, uniform, sizes)      \
  PEER_FAMILY(name, body, WideRange, wide, sizes)       \
  PEER_FAMILY(name, body, Cond1e16, cond1e16, sizes)    \
  PEER_FAMILY(name, body, Cond1e32, cond1e32, sizes)
#define PEER_SUM(fn) [](benchmark::State& state, Family f) { sum(state, f, fn); }
#define PEER_DOT(fn) [](benchmark::State& state, Family f) { dotNearOnes(state, f, fn); }
#define PEER_SHORT ->Arg(16)->Unit(benchmark::kNanosecond)

PEER_ALL(sum_naive, PEER_SUM(sela_sum_naive), SELA_SIZES)
PEER_ALL(sela_sum_exact, PEER_SUM(sela_sum_exact), SELA_SIZES)
PEER_ALL(sela_sum_near, PEER_SUM(sela_sum_near), SELA_SIZES)
PEER_ALL(peer_sum_small, PEER_SUM(peerSmall), SELA_SIZES)
PEER_ALL(peer_sum_large, PEER_SUM(peerLarge), SELA_SIZES)
PEER_ALL(sela_dot_exact, PEER_DOT(dotExact), SELA_SIZES)
PEER_ALL(peer_dot_small, peerDotSmallBench, SELA_SIZES)
PEER_ALL(peer_dot_large, peerDotLargeBench, SELA_SIZES)
PEER_ALL(sela_dot2, PEER_DOT(dot2), SELA_SIZES)
PEER_ALL(dot2_kernel, dot2Kernel, SELA_SIZES)
PEER_ALL(dot2_chain_floor, PEER_DOT(twoAdditionChain), SELA_SIZES)
PEER_ALL(sela_condition_number, PEER_SUM(sela_condition_number), SELA_SIZES)
PEER_ALL(sela_acc_short, PEER_SUM(selaShort), PEER_SHORT)
PEER_ALL(peer_acc_short, PEER_SUM(peerSmall), PEER_SHORT)
PEER_ALL(sela_acc_merge, selaMerge, ->Unit(benchmark::kNanosecond))
PEER_ALL(peer_acc_merge, peerMerge, ->Unit(benchmark::kNanosecond))

// The centered reductions against the exact dot product of the same pairs of uniform
// arrays (x from one array of the rotation, y from the next).
#define PEER_PAIRS(name, fn)                                                                                \
  static void BM_p_##name##_uniform(benchmark::State& s) { benchutil::runDot(s, Family::Uniform, fn); } \
  BENCHMARK(BM_p_##name##_uniform) SELA_SIZES;
PEER_PAIRS(pairs_dot_exact, dotExact)
PEER_PAIRS(pairs_centered_cosine, cosine)
PEER_PAIRS(pairs_centered_projection, projection)
