// The caller-owned accumulator against the one-shot exact exports on the same data, with
// sela_sum_naive of the same run as the baseline: adding chunks of 10^5 and 10^7 values
// (or products) to a record, short chunks added to a record, a short init + add + round, a
// merge and a round.
//
// Arrays rotate between iterations through the shared pools of bench_util.h.
#include <map>

#include "bench_util.h"
#include "peer_accumulator.h"
#include "sela.h"

namespace {

using benchutil::Family;

void naive(benchmark::State& s, Family f) {
  benchutil::runSum(s, f, sela_sum_naive);
}
void exactSum(benchmark::State& s, Family f) {
  benchutil::runSum(s, f, sela_sum_exact);
}
void exactDot(benchmark::State& s, Family f) {
  benchutil::runDot(s, f, sela_dot_exact);
}
// One record kept across iterations: each iteration adds one chunk to it.
void accumulatorAdd(benchmark::State& s, Family f) {
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  benchutil::runSum(s, f, [&](const double* x, uint64_t n) { return sela_accumulator_add(&acc, x, n); });
  benchmark::DoNotOptimize(sela_accumulator_round(&acc));
}
void accumulatorAddProducts(benchmark::State& s, Family f) {
  sela_accumulator acc;
  sela_accumulator_init(&acc);
  benchutil::runDot(s, f, [&](const double* x, const double* y, uint64_t n) {
    return sela_accumulator_add_products(&acc, x, y, n);
  });
  benchmark::DoNotOptimize(sela_accumulator_round(&acc));
}
// The whole life of a short record.
void accumulatorShort(benchmark::State& s, Family f) {
  benchutil::runSum(s, f, [](const double* x, uint64_t n) {
    sela_accumulator acc;
    sela_accumulator_init(&acc);
    sela_accumulator_add(&acc, x, n);
    return sela_accumulator_round(&acc);
  });
}

// 64 records, each holding 10^4 values of one family.
std::vector<sela_accumulator>& filledRecords(Family f) {
  static std::map<int, std::vector<sela_accumulator>> cache;
  auto& r = cache[static_cast<int>(f)];
  if (r.empty()) {
    for (const auto& x : benchutil::pool(f, 10000)) {
      r.emplace_back();
      sela_accumulator_init(&r.back());
      sela_accumulator_add(&r.back(), x.data(), x.size());
    }
  }
  return r;
}

void accumulatorMerge(benchmark::State& state, Family f) {
  const auto& records = filledRecords(f);
  sela_accumulator total;
  sela_accumulator_init(&total);
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sela_accumulator_merge(&total, &records[k]));
    k = (k + 1) % records.size();
  }
  benchmark::DoNotOptimize(sela_accumulator_round(&total));
}

void accumulatorRound(benchmark::State& state, Family f) {
  const auto& records = filledRecords(f);
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(sela_accumulator_round(&records[k]));
    k = (k + 1) % records.size();
  }
}

// The peer's small accumulator (bench/peer_accumulator.h) in the same roles: short chunks
// added to one kept register, and the rounding of registers holding 10^4 values (in place:
// the peer's round carries its register, which keeps its value, so later rounds of the
// same register find it carried already -- the lighter case for the peer).
void peerAdd(benchmark::State& s, Family f) {
  peer::Small acc;
  peer::init(acc);
  benchutil::runSum(s, f, [&](const double* x, uint64_t n) {
    peer::add(acc, x, static_cast<int64_t>(n));
    return acc.depositsLeft;
  });
  benchmark::DoNotOptimize(peer::round(acc));
}

void peerRound(benchmark::State& state, Family f) {
  static std::map<int, std::vector<peer::Small>> cache;
  auto& records = cache[static_cast<int>(f)];
  if (records.empty()) {
    for (const auto& x : benchutil::pool(f, 10000)) {
      records.emplace_back();
      peer::init(records.back());
      peer::add(records.back(), x.data(), static_cast<int64_t>(x.size()));
    }
  }
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(peer::round(records[k]));
    k = (k + 1) % records.size();
  }
}

}  // namespace

#define SELA_ACC_BENCH(name, fn, sizes)                                                      \
  static void BM_acc_##name##_uniform(benchmark::State& s) { fn(s, Family::Uniform); }       \
  BENCHMARK(BM_acc_##name##_uniform) sizes;                                                  \
  static void BM_acc_##name##_wide(benchmark::State& s) { fn(s, Family::WideRange); }        \
  BENCHMARK(BM_acc_##name##_wide) sizes;

#define SELA_ACC_CHUNKS ->Arg(100000)->Arg(10000000)->Unit(benchmark::kMicrosecond)
#define SELA_ACC_SHORT ->Arg(16)->Unit(benchmark::kNanosecond)

SELA_ACC_BENCH(sum_naive, naive, SELA_ACC_CHUNKS)
SELA_ACC_BENCH(sum_exact, exactSum, SELA_ACC_CHUNKS)
SELA_ACC_BENCH(add, accumulatorAdd, SELA_ACC_CHUNKS)
SELA_ACC_BENCH(dot_exact, exactDot, SELA_ACC_CHUNKS)
SELA_ACC_BENCH(add_products, accumulatorAddProducts, SELA_ACC_CHUNKS)
SELA_ACC_BENCH(short_sum_exact, exactSum, SELA_ACC_SHORT)
SELA_ACC_BENCH(init_add_round, accumulatorShort, SELA_ACC_SHORT)
// Short chunks added to one record in turn: the record check, the deposits, and every
// 2047 values a normalisation of the record in place.
SELA_ACC_BENCH(add_short, accumulatorAdd, ->Arg(16)->Arg(1000)->Unit(benchmark::kNanosecond))
SELA_ACC_BENCH(peer_add_short, peerAdd, ->Arg(16)->Arg(1000)->Unit(benchmark::kNanosecond))
SELA_ACC_BENCH(sum_naive_short, naive, ->Arg(16)->Arg(1000)->Unit(benchmark::kNanosecond))
SELA_ACC_BENCH(merge, accumulatorMerge, ->Unit(benchmark::kNanosecond))
SELA_ACC_BENCH(round, accumulatorRound, ->Unit(benchmark::kNanosecond))
SELA_ACC_BENCH(peer_round, peerRound, ->Unit(benchmark::kNanosecond))
