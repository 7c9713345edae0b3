// Every export and every accumulator function, on inputs that take each of its paths,
// runs on a thread with a 32 KiB stack (smaller than any common default), and its
// deepest stack use, measured on a painted stack, stays within 16 KiB.
#include <pthread.h>

#include <cstring>
#include <functional>
#include <limits>

#include "sela.h"
#include "test_util.h"

namespace {

constexpr size_t kStackBytes = 32 * 1024;
constexpr size_t kBudget = 16 * 1024;
constexpr unsigned char kPaint = 0xA5;

void* runJob(void* arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return nullptr;
}

// Bytes of the painted stack touched while fn ran on it (thread start-up included).
size_t stackTouched(const std::function<void()>& fn) {
  void* mem = std::aligned_alloc(4096, kStackBytes);
  if (mem == nullptr) return SIZE_MAX;
  std::memset(mem, kPaint, kStackBytes);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstack(&attr, mem, kStackBytes);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attr, runJob, const_cast<std::function<void()>*>(&fn)) == 0;
  if (started) pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  const auto* bytes = static_cast<const unsigned char*>(mem);
  size_t untouched = 0;
  while (untouched < kStackBytes && bytes[untouched] == kPaint) ++untouched;
  std::free(mem);
  return started ? kStackBytes - untouched : SIZE_MAX;
}

struct Inputs {
  std::vector<double> x, y;
};

std::vector<Inputs> sizedInputs() {
  std::mt19937_64 rng(16384);
  std::vector<Inputs> all;
  for (size_t n : {5u, 100u, 300u, 3000u, 100000u}) {
    all.push_back({testutil::uniform(rng, n), testutil::uniform(rng, n)});
    all.push_back({testutil::wideRange(rng, n, -1074, 1023), testutil::wideRange(rng, n, -1074, 1023)});
    all.push_back({testutil::illConditioned(rng, n, 1e30), testutil::uniform(rng, n)});
    // Finite values whose sums and products overflow (the mean's and the naive dot's
    // exact fallbacks), and an infinity (the special-word and fallback paths).
    std::vector<double> big(n, std::numeric_limits<double>::max());
    for (size_t i = 1; i < n; i += 2) big[i] = -big[i] / 2;
    all.push_back({big, big});
    auto inf = testutil::uniform(rng, n);
    inf[n / 2] = std::numeric_limits<double>::infinity();
    all.push_back({inf, testutil::uniform(rng, n)});
    // Products about the centers below (0.25, -0.5) that cancel in pairs, a b then -a b:
    // the certified lanes decline the vanishing cross term, and the centered reductions
    // take their exact route from within their own buffers.
    const auto a = testutil::uniform(rng, n), b = testutil::wideRange(rng, n, -30, 30);
    std::vector<double> cx(n), cy(n);
    for (size_t i = 0; i < n; ++i) {
      cx[i] = a[i & ~size_t{1}] + 0.25;
      cy[i] = ((i & 1) != 0 ? -b[i - 1] : b[i]) - 0.5;
    }
    all.push_back({cx, cy});
  }
  return all;
}

using Call = std::function<void(const double*, const double*, uint64_t)>;

std::vector<std::pair<std::string, Call>> everyFunction() {
  std::vector<std::pair<std::string, Call>> f;
  auto sum = [&](const char* name, double (*fn)(const double*, uint64_t)) {
    f.emplace_back(name, [fn](const double* x, const double*, uint64_t n) { (void)fn(x, n); });
  };
  auto dot = [&](const char* name, double (*fn)(const double*, const double*, uint64_t)) {
    f.emplace_back(name, [fn](const double* x, const double* y, uint64_t n) { (void)fn(x, y, n); });
  };
  sum("sum_naive", sela_sum_naive);
  sum("sum_pairwise", sela_sum_pairwise);
  sum("sum_pairwise_iterative", sela_sum_pairwise_iterative);
  sum("sum_kahan", sela_sum_kahan);
  sum("sum_neumaier", sela_sum_neumaier);
  sum("sum_klein", sela_sum_klein);
  sum("sum_shewchuk", sela_sum_shewchuk);
  sum("sum_exact", sela_sum_exact);
  sum("sum_oro", sela_sum_oro);
  sum("sum_acc", sela_sum_acc);
  sum("sum_near", sela_sum_near);
  sum("condition_number", sela_condition_number);
  sum("norm_scaled", sela_norm_scaled);
  sum("mean_scaled", sela_mean_scaled);
  for (int32_t k : {-1, 1, 3, 7}) {
    f.emplace_back("sum_k " + std::to_string(k),
                   [k](const double* x, const double*, uint64_t n) { (void)sela_sum_k(x, n, k); });
  }
  dot("dot_exact", sela_dot_exact);
  dot("dot_naive", sela_dot_naive);
  dot("dot2", sela_dot2);
  for (int32_t k : {0, 2, 3, 4, 6}) {
    f.emplace_back("dot_k " + std::to_string(k),
                   [k](const double* x, const double* y, uint64_t n) { (void)sela_dot_k(x, y, n, k); });
  }
  f.emplace_back("centered_sum_squares",
                 [](const double* x, const double*, uint64_t n) { (void)sela_centered_sum_squares(x, n, 0.25); });
  f.emplace_back("centered_cross_product", [](const double* x, const double* y, uint64_t n) {
    (void)sela_centered_cross_product(x, y, n, 0.25, -0.5);
  });
  f.emplace_back("centered_cosine_similarity", [](const double* x, const double* y, uint64_t n) {
    (void)sela_centered_cosine_similarity(x, y, n, 0.25, -0.5);
  });
  f.emplace_back("centered_projection_coefficient", [](const double* x, const double* y, uint64_t n) {
    (void)sela_centered_projection_coefficient(x, y, n, 0.25, -0.5);
  });
  f.emplace_back("two_sum and version", [](const double* x, const double*, uint64_t) {
    double s, e;
    sela_two_sum(x[0], x[1 % 5], &s, &e);
    (void)sela_version();
  });
  if (testutil::exportedAvx2KernelsRun()) {
    f.emplace_back("avx2 kernels", [](const double* x, const double* y, uint64_t n) {
      const auto len = static_cast<int64_t>(n);
      (void)dispatchNaiveDotAvx2(x, len, y, len);
      (void)dispatchDot2Avx2(x, len, y, len);
      (void)dispatchDotK3Avx2(x, len, y, len);
    });
  }
  if (testutil::exportedAvx512KernelsRun()) {
    f.emplace_back("avx512 kernels", [](const double* x, const double* y, uint64_t n) {
      const auto len = static_cast<int64_t>(n);
      (void)dispatchNaiveDotAvx512(x, len, y, len);
      (void)dispatchDot2Avx512(x, len, y, len);
      (void)dispatchDotK3Avx512(x, len, y, len);
    });
  }
  // The accumulator: every function, on a fresh record and on one already holding values.
  f.emplace_back("accumulator", [](const double* x, const double* y, uint64_t n) {
    sela_accumulator a, b;
    sela_accumulator_init(&a);
    sela_accumulator_init(&b);
    (void)sela_accumulator_add(&a, x, n);
    (void)sela_accumulator_add_products(&b, x, y, n);
    (void)sela_accumulator_add(&b, y, n);
    (void)sela_accumulator_merge(&a, &b);
    (void)sela_accumulator_merge(&a, &a);
    (void)sela_accumulator_add_products(&a, y, x, n);
    (void)sela_accumulator_round(&a);
    (void)sela_accumulator_round_divided(&a, n | 1);
    (void)sela_accumulator_round_divided(&a, UINT64_MAX);
  });
  // The running sums, out of place, in place and continued from a record.
  f.emplace_back("running sums", [](const double* x, const double* y, uint64_t n) {
    std::vector<double> out(x, x + n);
    sela_cumsum_exact(x, out.data(), n);
    sela_cumsum_exact(out.data(), out.data(), n);
    sela_accumulator a;
    sela_accumulator_init(&a);
    (void)sela_accumulator_add_products(&a, x, y, n);
    (void)sela_accumulator_cumsum(&a, x, out.data(), n);
  });
  return f;
}

}  // namespace

TEST(Stack, EveryFunctionFitsASmallThreadStack) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "instrumented frames are larger than the library's own";
#endif
  const size_t base = stackTouched([] {});
  ASSERT_LT(base, kStackBytes / 2);
  const auto inputs = sizedInputs();
  for (const auto& [name, call] : everyFunction()) {
    size_t worst = 0;
    for (const Inputs& in : inputs) {
      const size_t used = stackTouched([&] { call(in.x.data(), in.y.data(), in.x.size()); });
      ASSERT_NE(SIZE_MAX, used) << name;
      worst = std::max(worst, used);
    }
    EXPECT_LE(worst - base, kBudget) << name << " touched " << worst - base << " bytes of stack";
  }
}
