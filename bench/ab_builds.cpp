// Two builds of the library side by side in one process: the same exports of build A and
// build B (two copies of libsela.so, loaded each under its own handle) timed on the same
// arrays, with build A's sela_sum_naive beside them as the baseline. On a shared or
// loaded machine, figures taken in separate runs scatter by more than the changes being
// measured; alternated in one process (--benchmark_enable_random_interleaving=true with
// repetitions), both builds see the same load.
//
// Before any timing, every array of every pool is run through both builds, and the run
// stops on the first result that differs in a single bit: an arrangement being timed
// against its former self must give the same results.
//
//   SELA_AB_A, SELA_AB_B   the two shared objects (e.g. a copy of build/release/libsela.so.1
//                          taken before the change, and the build after it)
//   SELA_AB_EXPORTS        comma-separated exports (default sela_dot_exact,sela_condition_number),
//                          and two uses of the accumulator: accumulator_short (init, add of
//                          the array, round) and accumulator_merge (a record per array of the
//                          pool, merged in turn into one total; the bit check compares the
//                          total's words and its rounding); sela_dot_k2 and sela_dot_k3
//                          are sela_dot_k with K = 2 and 3; sela_cumsum_exact writes
//                          every prefix, all of which the bit check compares
//   SELA_AB_FAMILIES       of uniform, wide, cond1e16, cond1e32, subnormal, nearfloor, low,
//                          mixed, smallmixed, widescaled
//                          (default uniform,cond1e16)
//   SELA_AB_SIZES          element counts (default 1000,100000,10000000)
//   SELA_AB_PAIRS          when set to 1, dot products take y from the next array of the
//                          pool, as the exact-engine benchmarks do (products of two arrays
//                          of the family: for wide data, exponents over +-1000)
// Dot products otherwise take y = 1 + 2^-30 throughout, as the peer benchmarks do. The
// centered cosine similarity and projection coefficient take x from one array of the pool
// and y from the next, with the centers 0.125 and -0.25, as the peer benchmark's pairs do.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_util.h"
#include "sela.h"

namespace {

using benchutil::Family;
using SumFn = double (*)(const double*, uint64_t);
using DotFn = double (*)(const double*, const double*, uint64_t);
using DotKFn = double (*)(const double*, const double*, uint64_t, int32_t);
using CenteredFn = double (*)(const double*, const double*, uint64_t, double, double);
using RunningFn = void (*)(const double*, double*, uint64_t);

std::vector<std::string> listFrom(const char* variable, const char* fallback) {
  const char* text = std::getenv(variable);
  std::string all = text != nullptr ? text : fallback;
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= all.size()) {
    const size_t comma = all.find(',', start);
    const size_t end = comma == std::string::npos ? all.size() : comma;
    if (end > start) items.push_back(all.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

[[noreturn]] void fail(const std::string& message) {
  std::fprintf(stderr, "ab_builds: %s\n", message.c_str());
  std::exit(2);
}

// RTLD_DEEPBIND: each copy's calls into itself stay within that copy.
void* openBuild(const char* variable) {
  const char* path = std::getenv(variable);
  if (path == nullptr) fail(std::string("set ") + variable + " to a build of libsela.so");
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL | RTLD_DEEPBIND);
  if (handle == nullptr) fail(dlerror());
  return handle;
}

void* symbol(void* build, const std::string& name) {
  void* s = dlsym(build, name.c_str());
  if (s == nullptr) fail("no export " + name);
  return s;
}

Family familyNamed(const std::string& name) {
  if (name == "uniform") return Family::Uniform;
  if (name == "wide") return Family::WideRange;
  if (name == "cond1e16") return Family::Cond1e16;
  if (name == "cond1e32") return Family::Cond1e32;
  if (name == "subnormal") return Family::Subnormal;
  if (name == "nearfloor") return Family::NearFloor;
  if (name == "low") return Family::Low;
  if (name == "mixed") return Family::Mixed;
  if (name == "smallmixed") return Family::SmallMixed;
  if (name == "widescaled") return Family::WideScaled;
  fail("unknown family " + name);
}

// The dot exports take (x, y, n), the centered pair exports (x, y, n, cx, cy); every
// other export timed here takes (x, n).
bool isDot(const std::string& name) { return name.find("dot") != std::string::npos; }
bool isCenteredPair(const std::string& name) {
  return name == "sela_centered_cosine_similarity" || name == "sela_centered_projection_coefficient";
}

uint64_t bitsOf(double v) {
  uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  return u;
}

// The accumulator's exports of one build.
struct AccumulatorApi {
  void (*init)(sela_accumulator*) = nullptr;
  int (*add)(sela_accumulator*, const double*, uint64_t) = nullptr;
  int (*merge)(sela_accumulator*, const sela_accumulator*) = nullptr;
  double (*round)(const sela_accumulator*) = nullptr;
};

AccumulatorApi accumulatorOf(void* build);

bool pairs() {
  const char* v = std::getenv("SELA_AB_PAIRS");
  return v != nullptr && std::strcmp(v, "1") == 0;
}

// One call of an export, whichever its kind; y is the pool's next array (centered pairs);
// accumulator_short is a short record's whole life; a running sum writes its prefixes
// into `out` (of n elements) and gives the last.
struct Export {
  SumFn sum = nullptr;
  DotFn dot = nullptr;
  DotKFn dotK = nullptr;
  int32_t k = 0;
  CenteredFn centered = nullptr;
  RunningFn running = nullptr;
  std::vector<double>* out = nullptr;
  AccumulatorApi acc;
  bool twoArrays = false;  // a dot product's y: the pool's next array, else 1 + 2^-30
  double operator()(const double* x, const double* y, int64_t n) const {
    const auto len = static_cast<uint64_t>(n);
    if (running != nullptr) {
      out->resize(len);
      running(x, out->data(), len);
      return out->back();
    }
    if (centered != nullptr) return centered(x, y, len, 0.125, -0.25);
    if (acc.init != nullptr) {
      sela_accumulator r;
      acc.init(&r);
      acc.add(&r, x, len);
      return acc.round(&r);
    }
    if (dot == nullptr && dotK == nullptr) return sum(x, len);
    const double* second = twoArrays ? y : benchutil::nearOnes(n).data();
    return dotK != nullptr ? dotK(x, second, len, k) : dot(x, second, len);
  }
};

Export exportOf(void* build, const std::string& name) {
  Export e;
  if (isCenteredPair(name)) {
    e.centered = reinterpret_cast<CenteredFn>(symbol(build, name));
  } else if (name == "accumulator_short") {
    e.acc = accumulatorOf(build);
  } else if (name == "sela_cumsum_exact") {
    e.running = reinterpret_cast<RunningFn>(symbol(build, name));
    e.out = new std::vector<double>();  // one per export, for the life of the process
  } else if (name == "sela_dot_k2" || name == "sela_dot_k3") {
    e.dotK = reinterpret_cast<DotKFn>(symbol(build, "sela_dot_k"));
    e.k = name == "sela_dot_k2" ? 2 : 3;
    e.twoArrays = pairs();
  } else if (isDot(name)) {
    e.dot = reinterpret_cast<DotFn>(symbol(build, name));
    e.twoArrays = pairs();
  } else {
    e.sum = reinterpret_cast<SumFn>(symbol(build, name));
  }
  return e;
}

// Both builds on every array of the pool (with the next one as y); stops at the first
// difference.
void checkSameBits(const std::string& name, const std::string& family, int64_t n, Export a, Export b) {
  const auto& arrays = benchutil::pool(familyNamed(family), n);
  for (size_t k = 0; k < arrays.size(); ++k) {
    const double* y = arrays[(k + 1) % arrays.size()].data();
    const double ra = a(arrays[k].data(), y, n), rb = b(arrays[k].data(), y, n);
    if (a.out != nullptr && std::memcmp(a.out->data(), b.out->data(), a.out->size() * sizeof(double)) != 0) {
      fail(name + " on " + family + "/" + std::to_string(n) + " array " + std::to_string(k) + ": the prefixes differ");
    }
    if (bitsOf(ra) != bitsOf(rb)) {
      fail(name + " on " + family + "/" + std::to_string(n) + " array " + std::to_string(k) + ": A gives " +
           std::to_string(ra) + " (" + std::to_string(bitsOf(ra)) + "), B gives " + std::to_string(rb) + " (" +
           std::to_string(bitsOf(rb)) + ")");
    }
  }
}

AccumulatorApi accumulatorOf(void* build) {
  AccumulatorApi a;
  a.init = reinterpret_cast<decltype(a.init)>(symbol(build, "sela_accumulator_init"));
  a.add = reinterpret_cast<decltype(a.add)>(symbol(build, "sela_accumulator_add"));
  a.merge = reinterpret_cast<decltype(a.merge)>(symbol(build, "sela_accumulator_merge"));
  a.round = reinterpret_cast<decltype(a.round)>(symbol(build, "sela_accumulator_round"));
  return a;
}

// One record per array of the pool, filled by build A (records travel between builds).
std::vector<sela_accumulator> recordsOf(const AccumulatorApi& a, Family family, int64_t n) {
  std::vector<sela_accumulator> records;
  for (const auto& x : benchutil::pool(family, n)) {
    records.emplace_back();
    a.init(&records.back());
    a.add(&records.back(), x.data(), x.size());
  }
  return records;
}

// Both builds merge every record in turn into a total, twice over: the same words.
void checkSameMerges(const std::string& family, int64_t n, const AccumulatorApi& a, const AccumulatorApi& b) {
  const auto records = recordsOf(a, familyNamed(family), n);
  sela_accumulator ta, tb;
  a.init(&ta);
  b.init(&tb);
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& r : records) {
      a.merge(&ta, &r);
      b.merge(&tb, &r);
      if (std::memcmp(&ta, &tb, sizeof ta) != 0) fail("accumulator_merge on " + family + "/" + std::to_string(n) + ": the totals differ");
    }
  }
  if (bitsOf(a.round(&ta)) != bitsOf(b.round(&tb))) fail("accumulator_merge on " + family + ": the roundings differ");
}

void timeMerges(benchmark::State& state, Family family, AccumulatorApi build, AccumulatorApi filler) {
  const auto records = recordsOf(filler, family, state.range(0));
  sela_accumulator total;
  build.init(&total);
  size_t k = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(build.merge(&total, &records[k]));
    k = k + 1 == records.size() ? 0 : k + 1;
  }
  benchmark::DoNotOptimize(build.round(&total));
}

void time(benchmark::State& state, Family family, Export fn) {
  if (fn.centered != nullptr || ((fn.dot != nullptr || fn.dotK != nullptr) && fn.twoArrays)) {
    benchutil::runDot(state, family,
                      [fn](const double* x, const double* y, uint64_t n) { return fn(x, y, static_cast<int64_t>(n)); });
    return;
  }
  benchutil::runSum(state, family,
                    [fn](const double* x, uint64_t n) { return fn(x, nullptr, static_cast<int64_t>(n)); });
}

void registerAll(void* a, void* b) {
  const Export naive = exportOf(a, "sela_sum_naive");
  for (const std::string& family : listFrom("SELA_AB_FAMILIES", "uniform,cond1e16")) {
    const Family f = familyNamed(family);
    for (const std::string& size : listFrom("SELA_AB_SIZES", "1000,100000,10000000")) {
      const int64_t n = std::atoll(size.c_str());
      if (n <= 0) fail("bad size " + size);
      const std::string at = "/" + family + "/" + size;
      benchmark::RegisterBenchmark(("naive" + at).c_str(), time, f, naive)->Arg(n);
      for (const std::string& name : listFrom("SELA_AB_EXPORTS", "sela_dot_exact,sela_condition_number")) {
        if (name == "accumulator_merge") {
          const AccumulatorApi aa = accumulatorOf(a), ab = accumulatorOf(b);
          checkSameMerges(family, n, aa, ab);
          benchmark::RegisterBenchmark(("A_" + name + at).c_str(), timeMerges, f, aa, aa)->Arg(n);
          benchmark::RegisterBenchmark(("B_" + name + at).c_str(), timeMerges, f, ab, aa)->Arg(n);
          continue;
        }
        const Export ea = exportOf(a, name), eb = exportOf(b, name);
        checkSameBits(name, family, n, ea, eb);
        benchmark::RegisterBenchmark(("A_" + name + at).c_str(), time, f, ea)->Arg(n);
        benchmark::RegisterBenchmark(("B_" + name + at).c_str(), time, f, eb)->Arg(n);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  registerAll(openBuild("SELA_AB_A"), openBuild("SELA_AB_B"));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
