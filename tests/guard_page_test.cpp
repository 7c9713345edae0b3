// Every export and vector kernel reads exactly its n elements and writes nothing: inputs are
// mapped read-only right against an inaccessible (PROT_NONE) page, so a read past the last
// element, a read before the first, or any write faults the test process.
//
// Two layouts per array: ending exactly at the guard page that follows it, and starting
// 0..7 doubles after the guard page that precedes it (0 is right against it; the others put
// the start at every 8-byte offset within a cache line). The readable bytes around the array
// hold a NaN with a marked payload, so an out-of-range read that stays within the mapping
// turns the result into a NaN and shows up as a difference from the same call on an
// ordinary copy of the data. Lengths: 0 to 70 and runs of eight around the lengths where
// the algorithms change their arrangement (blocks of 128 and 256, carry countdowns near
// 2048 and 4096, and beyond), so arrays ending at the guard also meet every alignment.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

#include "sela.h"
#include "test_util.h"

using testutil::SameBits;

namespace {

const double kPoison = std::bit_cast<double>(uint64_t{0x7FF80000DEADBEEFULL});

// A read-only window of doubles between two PROT_NONE pages.
class GuardedArray {
 public:
  explicit GuardedArray(size_t capacity) {
    page_ = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    bytes_ = (capacity * sizeof(double) + page_ - 1) / page_ * page_;
    void* p = mmap(nullptr, bytes_ + 2 * page_, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
    base_ = static_cast<char*>(p);
    data_ = reinterpret_cast<double*>(base_ + page_);
    capacity_ = bytes_ / sizeof(double);
    unlock();
    std::fill(data_, data_ + capacity_, kPoison);
  }
  GuardedArray(const GuardedArray&) = delete;
  GuardedArray& operator=(const GuardedArray&) = delete;
  ~GuardedArray() { munmap(base_, bytes_ + 2 * page_); }

  // Places v ending at the following guard page (atEnd) or `offset` doubles after the
  // preceding one, poisons everything else, and makes the window read-only.
  const double* place(const std::vector<double>& v, bool atEnd, size_t offset) {
    unlock();
    std::fill(data_ + start_, data_ + start_ + used_, kPoison);
    start_ = atEnd ? capacity_ - v.size() : offset;
    used_ = v.size();
    std::copy(v.begin(), v.end(), data_ + start_);
    if (mprotect(data_, bytes_, PROT_READ) != 0) throw std::runtime_error("mprotect failed");
    return data_ + start_;
  }

 private:
  void unlock() {
    if (mprotect(data_, bytes_, PROT_READ | PROT_WRITE) != 0) throw std::runtime_error("mprotect failed");
  }
  size_t page_ = 0, bytes_ = 0, capacity_ = 0, start_ = 0, used_ = 0;
  char* base_ = nullptr;
  double* data_ = nullptr;
};

std::vector<size_t> lengths() {
  std::vector<size_t> n;
  for (size_t i = 0; i <= 70; ++i) n.push_back(i);
  for (size_t from : {124u, 252u, 2044u, 4092u, 8188u})
    for (size_t i = from; i < from + 8; ++i) n.push_back(i);
  for (size_t i : {16383u, 16384u, 16385u, 65537u}) n.push_back(i);
  return n;
}
const size_t kMaxLength = 65537 + 8;

// One call under test: x and y of n elements (y unused by the one-array exports). Kernel
// results fold `accepted` into the sign bit of a NaN-free second value, compared as bits.
struct Call {
  std::string name;
  std::function<std::pair<double, double>(const double*, const double*, size_t)> run;
  bool (*available)();
};

void PrintTo(const Call& c, std::ostream* os) { *os << c.name; }

bool always() { return true; }
bool hasAvx2() { return testutil::exportedAvx2KernelsRun(); }
bool hasAvx512() { return testutil::exportedAvx512KernelsRun(); }

template <typename F>
Call one(std::string name, F f) {
  return {std::move(name), [f](const double* x, const double*, size_t n) { return std::pair{f(x, n), 0.0}; }, always};
}
template <typename F>
Call two(std::string name, F f) {
  return {std::move(name), [f](const double* x, const double* y, size_t n) { return std::pair{f(x, y, n), 0.0}; },
          always};
}
Call naiveKernel(std::string name, double (*k)(const double*, int64_t, const double*, int64_t), bool (*avail)()) {
  return {std::move(name),
          [k](const double* x, const double* y, size_t n) {
            const auto m = static_cast<int64_t>(n);
            return std::pair{k(x, m, y, m), 0.0};
          },
          avail};
}
Call compensatedKernel(std::string name, sela_kernel_result (*k)(const double*, int64_t, const double*, int64_t),
                       bool (*avail)()) {
  return {std::move(name),
          [k](const double* x, const double* y, size_t n) {
            const auto m = static_cast<int64_t>(n);
            const sela_kernel_result r = k(x, m, y, m);
            return std::pair{r.value, r.accepted ? 1.0 : -1.0};
          },
          avail};
}

std::vector<Call> calls() {
  return {
      one("sum_naive", sela_sum_naive),
      one("sum_pairwise", sela_sum_pairwise),
      one("sum_pairwise_iterative", sela_sum_pairwise_iterative),
      one("sum_kahan", sela_sum_kahan),
      one("sum_neumaier", sela_sum_neumaier),
      one("sum_klein", sela_sum_klein),
      one("sum_shewchuk", sela_sum_shewchuk),
      one("sum_exact", sela_sum_exact),
      one("sum_oro", sela_sum_oro),
      one("sum_k_2", [](const double* x, uint64_t n) { return sela_sum_k(x, n, 2); }),
      one("sum_k_3", [](const double* x, uint64_t n) { return sela_sum_k(x, n, 3); }),
      one("sum_k_6", [](const double* x, uint64_t n) { return sela_sum_k(x, n, 6); }),
      one("sum_acc", sela_sum_acc),
      one("sum_near", sela_sum_near),
      one("condition_number", sela_condition_number),
      one("norm_scaled", sela_norm_scaled),
      one("mean_scaled", sela_mean_scaled),
      one("centered_sum_squares", [](const double* x, uint64_t n) { return sela_centered_sum_squares(x, n, 0.25); }),
      two("dot_exact", sela_dot_exact),
      two("dot_naive", sela_dot_naive),
      two("dot2", sela_dot2),
      two("dot_k_1", [](const double* x, const double* y, uint64_t n) { return sela_dot_k(x, y, n, 1); }),
      two("dot_k_3", [](const double* x, const double* y, uint64_t n) { return sela_dot_k(x, y, n, 3); }),
      two("dot_k_5", [](const double* x, const double* y, uint64_t n) { return sela_dot_k(x, y, n, 5); }),
      two("centered_cross_product",
          [](const double* x, const double* y, uint64_t n) { return sela_centered_cross_product(x, y, n, 0.25, -0.5); }),
      two("centered_cosine_similarity",
          [](const double* x, const double* y, uint64_t n) {
            return sela_centered_cosine_similarity(x, y, n, 0.25, -0.5);
          }),
      two("centered_projection_coefficient",
          [](const double* x, const double* y, uint64_t n) {
            return sela_centered_projection_coefficient(x, y, n, 0.25, -0.5);
          }),
      naiveKernel("kernel_naive_avx2", dispatchNaiveDotAvx2, hasAvx2),
      naiveKernel("kernel_naive_avx512", dispatchNaiveDotAvx512, hasAvx512),
      compensatedKernel("kernel_dot2_avx2", dispatchDot2Avx2, hasAvx2),
      compensatedKernel("kernel_dot2_avx512", dispatchDot2Avx512, hasAvx512),
      compensatedKernel("kernel_dotk3_avx2", dispatchDotK3Avx2, hasAvx2),
      compensatedKernel("kernel_dotk3_avx512", dispatchDotK3Avx512, hasAvx512),
  };
}

class GuardPages : public ::testing::TestWithParam<Call> {};

TEST_P(GuardPages, ReadsOnlyTheGivenElements) {
  const Call& call = GetParam();
  GuardedArray gx(kMaxLength), gy(kMaxLength);
  std::mt19937_64 rng(4099);
  for (size_t n : lengths()) {
    // Cancelling data, so the compensated and faithful sums do more than one sweep.
    const std::vector<double> x = testutil::illConditioned(rng, n, 1e20);
    const std::vector<double> y = testutil::uniform(rng, n);
    const auto expected = call.run(x.data(), y.data(), n);
    for (int layout = 0; layout < 9; ++layout) {
      const bool atEnd = layout == 8;
      const auto offset = static_cast<size_t>(layout);
      const double* px = gx.place(x, atEnd, offset);
      const double* py = gy.place(y, atEnd, (offset + 3) % 8);
      const auto got = call.run(px, py, n);
      ASSERT_TRUE(SameBits(expected.first, got.first))
          << call.name << " n = " << n << (atEnd ? " ending at the guard" : " starting after the guard, offset ")
          << (atEnd ? "" : std::to_string(offset));
      ASSERT_TRUE(SameBits(expected.second, got.second)) << call.name << " accepted flag, n = " << n;
    }
  }
}

// Kernels this processor cannot run are not registered (simd_dispatch_test names them).
std::vector<Call> callsHere() {
  std::vector<Call> here;
  for (const Call& call : calls())
    if (call.available()) here.push_back(call);
  return here;
}

INSTANTIATE_TEST_SUITE_P(EveryExportAndKernel, GuardPages, ::testing::ValuesIn(callsHere()),
                         [](const ::testing::TestParamInfo<Call>& p) { return p.param.name; });

}  // namespace
