// The exported frame: empty inputs, count saturation, the error rules after the worker.
#include <cstring>
#include <string>
#include <thread>

#include "c_api.h"
#include "sela.h"
#include "test_util.h"

using namespace sela;
using testutil::pow2;
using testutil::SameBits;

TEST(Frame, EmptyInputsReadNothing) {
  EXPECT_TRUE(SameBits(0.0, sela_sum_naive(nullptr, 0)));
  EXPECT_TRUE(SameBits(0.0, sela_sum_pairwise(nullptr, 0)));
  EXPECT_TRUE(SameBits(0.0, sela_sum_pairwise_iterative(nullptr, 0)));
}

TEST(Frame, CountSaturatesToTheSignedRange) {
  EXPECT_EQ(saturateCount(0), 0);
  EXPECT_EQ(saturateCount(12345), 12345);
  EXPECT_EQ(saturateCount(0x7FFFFFFFFFFFFFFFULL), INT64_MAX);
  EXPECT_EQ(saturateCount(0x8000000000000000ULL), INT64_MAX);
  EXPECT_EQ(saturateCount(UINT64_MAX), INT64_MAX);
  int64_t seen = 0;
  exportFrame<AfterWorker::AsIs>(UINT64_MAX, 0.0, [&](int64_t len) {
    seen = len;
    return 1.0;
  });
  EXPECT_EQ(seen, INT64_MAX);
}

TEST(Frame, EmptyValueSkipsTheWorker) {
  bool called = false;
  const double r = exportFrame<AfterWorker::ValueErrorGivesNaN>(0, quietNaN(), [&](int64_t) {
    called = true;
    return 1.0;
  });
  EXPECT_FALSE(called);
  EXPECT_EQ(testutil::bits(r), kQuietNaNBits);
}

TEST(Frame, ValueErrorBecomesQuietNaNAndIsCleared) {
  const double r = exportFrame<AfterWorker::ValueErrorGivesNaN>(3, 0.0, [](int64_t) {
    raiseValueError("mean requires at least one value");
    return 7.0;
  });
  EXPECT_EQ(testutil::bits(r), kQuietNaNBits);
  EXPECT_FALSE(errorPending());
}

TEST(Frame, InternalFaultGivesZeroOnlyForTheCallThatRaisedIt) {
  const double r = exportFrame<AfterWorker::ValueErrorGivesNaN>(3, 0.0, [](int64_t) {
    raiseInternalFault("index check");
    return 7.0;
  });
  EXPECT_TRUE(SameBits(0.0, r));
  EXPECT_TRUE(errorPending());  // left pending by the call ...
  const double next = exportFrame<AfterWorker::FaultGivesZero>(3, 0.0, [](int64_t) { return 5.0; });
  EXPECT_TRUE(SameBits(5.0, next));  // ... but the next call starts clean
  const double asIs = exportFrame<AfterWorker::AsIs>(3, 0.0, [](int64_t) {
    raiseInternalFault("index check");
    return 9.0;
  });
  EXPECT_TRUE(SameBits(9.0, asIs));
  clearError();
}

TEST(Frame, ErrorStateIsPerThread) {
  raiseInternalFault("here");
  bool otherSaw = true;
  std::thread([&] { otherSaw = errorPending(); }).join();
  EXPECT_FALSE(otherSaw);
  clearError();
}

TEST(Frame, VersionIsConstantText) {
  const char* a = sela_version();
  EXPECT_STREQ("1.1.0", a);
  EXPECT_EQ(a, sela_version());
}

TEST(Frame, TwoSumExport) {
  const double inf = std::numeric_limits<double>::infinity();
  double s = -1, e = -1;
  sela_two_sum(1.0, pow2(-60), &s, &e);
  EXPECT_TRUE(SameBits(1.0, s));
  EXPECT_TRUE(SameBits(pow2(-60), e));
  sela_two_sum(inf, 1.0, &s, &e);
  EXPECT_EQ(inf, s);
  EXPECT_EQ(testutil::bits(e), kQuietNaNBits);
  sela_two_sum(1.0, std::nan(""), &s, &e);
  EXPECT_TRUE(std::isnan(s));
  EXPECT_EQ(testutil::bits(e), kQuietNaNBits);
  sela_two_sum(pow2(1023), pow2(1023), &s, &e);
  EXPECT_EQ(inf, s);
  EXPECT_TRUE(std::isnan(e));
}
