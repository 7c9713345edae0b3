// The benchmarks' peer (bench/peer_accumulator.h) must be exact, or its figures compare
// sela with something that does less: its small and large accumulators, merge and
// products against the GMP oracle, with the carry passes forced often.
#include <limits>

#include "peer_accumulator.h"
#include "test_util.h"

using testutil::SameBits;

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kMax = std::numeric_limits<double>::max();
// Exponent field 1024, so its lowest bit sits at position 1023 = 31 mod 32: its upper
// piece is the largest there is, 2^52 - 1.
const double kLargestPiece = 0x1.fffffffffffffp+1;

// `carryEvery` > 0 forces a carry pass after every that many deposits.
double small(const std::vector<double>& x, int64_t carryEvery = 0) {
  peer::Small a;
  peer::init(a);
  for (double v : x) {
    if (carryEvery > 0) a.depositsLeft = std::min(a.depositsLeft, carryEvery);
    peer::add(a, v);
  }
  return peer::round(a);
}

double large(const std::vector<double>& x) { return peer::sumLarge(x.data(), static_cast<int64_t>(x.size())); }

void expectExact(const std::vector<double>& x, const std::string& what) {
  const double exact = oracle::exactSum(x);
  EXPECT_TRUE(SameBits(exact, small(x))) << what << " (small)";
  EXPECT_TRUE(SameBits(exact, small(x, 2))) << what << " (small, a carry pass every other deposit)";
  EXPECT_TRUE(SameBits(exact, large(x))) << what << " (large)";
}

}  // namespace

TEST(PeerAccumulator, RandomDataOverTheWholeRange) {
  std::mt19937_64 rng(1801);
  for (size_t n : {1u, 2u, 16u, 1000u, 5000u}) {
    expectExact(testutil::wideRange(rng, n, -1074, 1023), "full range " + std::to_string(n));
    expectExact(testutil::wideRange(rng, n, -1074, -1000), "subnormal range " + std::to_string(n));
    expectExact(testutil::uniform(rng, n), "uniform " + std::to_string(n));
    if (n >= 2) expectExact(testutil::genSum(rng, n, 1e32), "cond 1e32 " + std::to_string(n));
  }
}

TEST(PeerAccumulator, CancellationTiesAndOverflow) {
  expectExact({}, "empty");
  expectExact({1.0, -1.0}, "zero");
  expectExact({-1.0, 0x1p-60}, "negative");
  expectExact({1.0, 0x1p-53}, "tie to even, down");
  expectExact({1.0 + 0x1p-52, 0x1p-53}, "tie to even, up");
  expectExact({1.0, 0x1p-53, 0x1p-1074}, "just above the tie");
  expectExact({kMax, kMax, -kMax}, "intermediate beyond the range");
  expectExact({kMax, 0x1p970}, "rounds to infinity");
  expectExact({-kMax, -0x1p970}, "rounds to -infinity");
  expectExact({kMax, 0x1p969}, "stays finite");
  expectExact({0x1p-1074, 0x1p-1074, 0x1p-1022}, "subnormals into a normal");
  // One bin filled far beyond its capacity, in both signs, then cancelled to a tail.
  std::vector<double> same(5000, 1.0 - 0x1p-53);
  same.insert(same.end(), 3000, -(1.0 - 0x1p-53));
  same.push_back(0x1p-70);
  expectExact(same, "a bin flushed many times");
  // 5000 of the largest pieces overflow an int64_t limb unless carry passes come in time.
  expectExact(std::vector<double>(5000, kLargestPiece), "the largest pieces, many times");
  expectExact(std::vector<double>(5000, -kLargestPiece), "the largest negative pieces, many times");
  std::vector<double> maxes(3000, kMax);
  maxes.insert(maxes.end(), 2999, -kMax);
  expectExact(maxes, "the top of the range, many times");
}

TEST(PeerAccumulator, SpecialValues) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  for (auto f : {+[](const std::vector<double>& x) { return small(x); }, large}) {
    EXPECT_TRUE(SameBits(kInf, f({1.0, kInf, 2.0})));
    EXPECT_TRUE(SameBits(-kInf, f({-kInf, 1e308})));
    EXPECT_TRUE(std::isnan(f({kInf, -kInf})));
    EXPECT_TRUE(std::isnan(f({1.0, nan})));
  }
}

TEST(PeerAccumulator, MergeIsTheSumOfTheParts) {
  std::mt19937_64 rng(1802);
  // a holds 1100 of the largest pieces, b up to 2041 more: together they would overflow
  // a limb, so a must carry before it merges (b, 2046 deposits in, is one short of its
  // own carry pass). With 10 values in b, a merges directly, or after its own carry pass
  // when its headroom is cut to 5.
  auto x = testutil::wideRange(rng, 1200, -1074, 5);
  std::fill(x.begin() + 100, x.end(), kLargestPiece);
  for (size_t ny : {10u, 2046u}) {
    auto y = testutil::genSum(rng, ny, 1e20);
    std::fill(y.begin() + 5, y.end(), kLargestPiece);
    std::vector<double> both = x;
    both.insert(both.end(), y.begin(), y.end());
    for (int64_t headroom : {peer::kSmallCapacity, int64_t{5}}) {
      peer::Small a, b;
      peer::init(a);
      peer::init(b);
      peer::add(a, x.data(), static_cast<int64_t>(x.size()));
      peer::add(b, y.data(), static_cast<int64_t>(y.size()));
      a.depositsLeft = std::min(a.depositsLeft, headroom);
      peer::merge(a, b);
      EXPECT_TRUE(SameBits(oracle::exactSum(both), peer::round(a))) << ny << " " << headroom;
      EXPECT_TRUE(SameBits(oracle::exactSum(y), peer::round(b))) << "b is only read";
    }
  }
}

TEST(PeerAccumulator, ProductsSplitExactly) {
#if defined(__x86_64__)
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("fma")) GTEST_SKIP() << "the peer's products need FMA";
#endif
  std::mt19937_64 rng(1803);
  for (size_t n : {1u, 16u, 1000u, 3000u}) {
    const auto x = testutil::wideRange(rng, n, -400, 400);
    const auto y = testutil::wideRange(rng, n, -400, 400);
    const double exact = oracle::exactDot(x.data(), y.data(), static_cast<int64_t>(n));
    EXPECT_TRUE(SameBits(exact, peer::dotLarge(x.data(), y.data(), static_cast<int64_t>(n)))) << n;
    EXPECT_TRUE(SameBits(exact, peer::dotSmall(x.data(), y.data(), static_cast<int64_t>(n)))) << n;
    const auto c = testutil::genSum(rng, std::max<size_t>(n, 2), 1e32);
    const std::vector<double> near(c.size(), 1.0 + 0x1p-30);
    EXPECT_TRUE(SameBits(oracle::exactDot(c.data(), near.data(), static_cast<int64_t>(c.size())),
                         peer::dotLarge(c.data(), near.data(), static_cast<int64_t>(c.size()))))
        << n;
  }
}
