// The exact engine's switch to the one-read extraction pass, whose length depends on the
// kernel family (extractionOnlyFrom): sums and dot products at lengths just below and
// above each family's switch, against the GMP oracle, in every vector family this
// processor runs (its kernels stored into the slots). The data take every route there:
// plain data (the compensated pass decides them below the switch, the extraction pass
// above), ill-conditioned data (the compensated pass declines them), exact ties and
// near-ties (both passes decline or must be exactly right), and a last block of one
// element (a switch at a multiple of the block length plus one).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "algorithms/certifiedsum.h"
#include "gensum.h"
#include "kernel_slot.h"
#include "oracle.h"
#include "sela.h"
#include "test_util.h"

using testutil::pow2;
using testutil::SameBits;

namespace {

struct VectorFamily {
  const char* name;
  sela::SumLanesKernel sumLanes;
  sela::DotLanesKernel dotLanes;
  sela::ExtractionKernel sumBlock;
  sela::ExtractionDotKernel dotBlock;
  int64_t switchAt;
};

std::vector<VectorFamily> vectorFamilies() {
  std::vector<VectorFamily> families;
#if defined(__x86_64__)
  if (sela::avx2FamilySupported()) {
    families.push_back({"avx2", sela::certifiedSumLanesAvx2, sela::certifiedDotLanesAvx2,
                        sela::extractionSumBlockAvx2, sela::extractionDotBlockAvx2, sela::kExtractionOnlyFromAvx2});
  }
  if (sela::avx512FamilySupported()) {
    families.push_back({"avx512", sela::certifiedSumLanesAvx512, sela::certifiedDotLanesAvx512,
                        sela::extractionSumBlockAvx512, sela::extractionDotBlockAvx512,
                        sela::kExtractionOnlyFromAvx512});
  }
#endif
  return families;
}

// Stores a family's passes into the slots for the life of the object, then restores the
// processor's own.
class FamilyInSlots {
 public:
  explicit FamilyInSlots(const VectorFamily& f)
      : sumLanes_(sela::certifiedSumImpl.get()),
        dotLanes_(sela::certifiedDotImpl.get()),
        sumBlock_(sela::extractionSumImpl.get()),
        dotBlock_(sela::extractionDotImpl.get()) {
    sela::certifiedSumImpl.store(f.sumLanes);
    sela::certifiedDotImpl.store(f.dotLanes);
    sela::extractionSumImpl.store(f.sumBlock);
    sela::extractionDotImpl.store(f.dotBlock);
  }
  ~FamilyInSlots() {
    sela::certifiedSumImpl.store(sumLanes_);
    sela::certifiedDotImpl.store(dotLanes_);
    sela::extractionSumImpl.store(sumBlock_);
    sela::extractionDotImpl.store(dotBlock_);
  }
  FamilyInSlots(const FamilyInSlots&) = delete;
  FamilyInSlots& operator=(const FamilyInSlots&) = delete;

 private:
  sela::SumLanesKernel sumLanes_;
  sela::DotLanesKernel dotLanes_;
  sela::ExtractionKernel sumBlock_;
  sela::ExtractionDotKernel dotBlock_;
};

// Data of length n of each kind. Ties: generated data and their negations (which cancel
// exactly), 1 and 2^-53 (a tie between 1 and its successor), and a breaker that puts the
// sum a hair above the tie, or nothing (0.0).
std::vector<double> dataOf(int kind, size_t n, std::mt19937_64& rng) {
  switch (kind) {
    case 0: {
      std::uniform_real_distribution<double> u(-1.0, 1.0);
      std::vector<double> x(n);
      for (double& v : x) v = u(rng);
      return x;
    }
    case 1:
      return testutil::genSum(rng, n, 1e32);
    default: {
      std::vector<double> x = testutil::genSum(rng, (n - 3) / 2, 1e30);
      const size_t half = x.size();
      for (size_t i = 0; i < half; ++i) x.push_back(-x[i]);
      x.push_back(1.0);
      x.push_back(pow2(-53));
      x.push_back(kind == 2 ? 0.0 : pow2(-140));
      x.resize(n, 0.0);
      std::shuffle(x.begin(), x.end(), rng);
      return x;
    }
  }
}
constexpr int kKinds = 4;
const char* const kKindNames[kKinds] = {"uniform", "cond 1e32", "tie", "near tie"};

// The switches of every family, each with the lengths around it: one below, at it, one
// above (a last block of one element).
std::vector<size_t> lengthsAround(int64_t at) {
  const auto n = static_cast<size_t>(at);
  return {n - 1, n, n + 1};
}

}  // namespace

// Each family switches at its own length, and the slots decide which: a family detection
// that always answered one family would give the other's data the wrong route.
TEST(ExtractionSwitch, EachFamilyHasItsOwnLength) {
  const auto families = vectorFamilies();
  if (families.empty()) GTEST_SKIP() << "no vector family here: the extraction pass always declines";
  for (const VectorFamily& f : families) {
    FamilyInSlots in(f);
    EXPECT_EQ(sela::extractionOnlyFrom(), f.switchAt) << f.name;
  }
}

TEST(ExtractionSwitch, SumsAroundEachSwitchMatchTheOracle) {
  const auto families = vectorFamilies();
  if (families.empty()) GTEST_SKIP() << "no vector family here: the extraction pass always declines";
  std::mt19937_64 rng(2027);
  for (const VectorFamily& f : families) {
    FamilyInSlots in(f);
    for (const size_t n : lengthsAround(f.switchAt)) {
      for (int kind = 0; kind < kKinds; ++kind) {
        const std::vector<double> x = dataOf(kind, n, rng);
        const double expected = oracle::exactSum(x);
        EXPECT_TRUE(SameBits(expected, sela_sum_exact(x.data(), n))) << f.name << " " << kKindNames[kind] << " n=" << n;
        EXPECT_TRUE(SameBits(expected, sela_sum_near(x.data(), n))) << f.name << " " << kKindNames[kind] << " n=" << n;
        double r;
        // The one-read pass decides the data it exists for on both sides of the switch.
        if (kind == 1) {
          EXPECT_TRUE(sela::extractedSum(x.data(), static_cast<int64_t>(n), r)) << f.name << " n=" << n;
        }
      }
    }
  }
}

// Dot products: the same data against near-ones (every product with a low part, as
// general data have) and against ones (the ties stay ties).
TEST(ExtractionSwitch, DotProductsAroundEachSwitchMatchTheOracle) {
  const auto families = vectorFamilies();
  if (families.empty()) GTEST_SKIP() << "no vector family here: the extraction pass always declines";
  std::mt19937_64 rng(2028);
  for (const VectorFamily& f : families) {
    FamilyInSlots in(f);
    // One below and one above (the oracle's dot products are slow at these lengths).
    for (const size_t n : {static_cast<size_t>(f.switchAt) - 1, static_cast<size_t>(f.switchAt) + 1}) {
      for (int kind = 0; kind < kKinds - 1; ++kind) {
        const std::vector<double> x = dataOf(kind, n, rng);
        const std::vector<double> y(n, kind >= 2 ? 1.0 : 1.0 + pow2(-30));
        const double expected = oracle::flooredDot(x.data(), y.data(), static_cast<int64_t>(n));
        EXPECT_TRUE(SameBits(expected, sela_dot_exact(x.data(), y.data(), n)))
            << f.name << " " << kKindNames[kind] << " n=" << n;
      }
    }
  }
}
