// The exported functions: each is the frame of c_api.h around exactly one worker.
#include "c_api.h"

#include <cstring>

#include "sela.h"
#include "sela_version_text.h"

#include "algorithms/compensatedsum.h"
#include "algorithms/conditionnumber.h"
#include "algorithms/cumsum.h"
#include "algorithms/dotproduct.h"
#include "algorithms/exactdivide.h"
#include "algorithms/exactengine.h"
#include "algorithms/naivesum.h"
#include "algorithms/orosum.h"
#include "algorithms/pairwisesum.h"
#include "algorithms/shewchuksum.h"
#include "algorithms/statistical_reductions.h"
#include "simd_dispatch.h"

using sela::AfterWorker;
using sela::exportFrame;

static_assert(sizeof(sela_accumulator) == sizeof(sela::SuperAccumulator), "the record is the accumulator's bytes");
static_assert(alignof(sela_accumulator) == alignof(sela::SuperAccumulator));

namespace {

// The caller's record is copied into a typed accumulator and back: the engine works on
// its own object, and a record that fails the check is never written.
bool loadAccumulator(const sela_accumulator* record, sela::SuperAccumulator& acc) {
  return record != nullptr && sela::loadAccumulator(record->opaque, acc);
}

void storeAccumulator(sela_accumulator* record, const sela::SuperAccumulator& acc) {
  std::memcpy(record, &acc, sizeof acc);
}

// An operation tried in place: -1 for an invalid record, 1 when it is done, 0 when the
// register route must take it.
int finishedInPlace(sela::InPlace outcome) {
  switch (outcome) {
    case sela::InPlace::Invalid:
      return -1;
    case sela::InPlace::Done:
      return 1;
    case sela::InPlace::NeedsRegister:
      break;
  }
  return 0;
}

}  // namespace

extern "C" {

const char* sela_version(void) {
  static const char kVersion[] = SELA_VERSION_TEXT;
  return kVersion;
}

void sela_two_sum(double a, double b, double* sum, double* err) {
  const sela::FloatClass ca = sela::classify(a);
  const sela::FloatClass cb = sela::classify(b);
  const auto special = [](sela::FloatClass c) {
    return c == sela::FloatClass::NaN || c == sela::FloatClass::Infinity ||
           c == sela::FloatClass::NegativeInfinity;
  };
  if (special(ca) || special(cb)) {
    *sum = a + b;
    *err = sela::quietNaN();
    return;
  }
  // a is the first operand; an overflowing a + b leaves s infinite and e NaN.
  const sela::SumAndError r = sela::twoSum(a, b);
  *sum = r.s;
  *err = r.e;
}

// ---- Plain sums ----

double sela_sum_naive(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::naiveSum(x, len); });
}

double sela_sum_pairwise(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::pairwiseSum(x, len); });
}

double sela_sum_pairwise_iterative(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0,
                                        [=](int64_t len) { return sela::pairwiseSumIterative(x, len); });
}

// ---- Compensated and exact sums ----

double sela_sum_kahan(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::kahanSum(x, len); });
}

double sela_sum_neumaier(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::neumaierSum(x, len); });
}

double sela_sum_klein(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::kleinSum(x, len); });
}

double sela_sum_shewchuk(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::shewchukSum(x, len); });
}

double sela_sum_exact(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::superSum(x, len); });
}

// ---- Running sums ----

void sela_cumsum_exact(const double* x, double* out, uint64_t n) {
  if (n == 0) return;
  sela::SuperAccumulator acc;
  sela::initialize(acc);
  sela::runningSum(acc, x, out, sela::saturateCount(n), sela::RunningTotal::Drop);
}

// ---- Cascaded and faithful sums ----

double sela_sum_oro(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::sum2(x, len); });
}

double sela_sum_k(const double* x, uint64_t n, int32_t k) {
  const int64_t passes = k;  // widened with its sign
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::sumK(x, len, passes); });
}

double sela_sum_acc(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::accSum(x, len); });
}

double sela_sum_near(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::nearSum(x, len); });
}

double sela_condition_number(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::conditionNumber(x, len); });
}

// ---- Dot products ----

double sela_dot_exact(const double* x, const double* y, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::superDot(x, len, y, len); });
}

double sela_dot_naive(const double* x, const double* y, uint64_t n) {
  return exportFrame<AfterWorker::FaultGivesZero>(n, 0.0, [=](int64_t len) {
    const double r = sela::dispatchNaiveDot(x, len, y, len);
    if (sela::errorPending()) return 0.0;
    // The vector kernels have no NaN test of their own: a NaN from overflowing products
    // of both signs is replaced by the exact result, a NaN from the data stays.
    return sela::exactIfOverflowNaN(r, x, len, y, len);
  });
}

double sela_dot2(const double* x, const double* y, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::dispatchDot2(x, len, y, len); });
}

double sela_dot_k(const double* x, const double* y, uint64_t n, int32_t k) {
  return exportFrame<AfterWorker::FaultGivesZero>(n, 0.0, [=](int64_t len) {
    if (k == 2) return sela::dispatchDot2(x, len, y, len);
    if (k == 3) return sela::dispatchDotK3(x, len, y, len);
    return sela::dotK(x, len, y, len, static_cast<int64_t>(k));
  });
}

// ---- Exact accumulator ----

void sela_accumulator_init(sela_accumulator* record) {
  if (record == nullptr) return;
  sela::initializeRecord(record->opaque);
}

int sela_accumulator_add(sela_accumulator* record, const double* x, uint64_t n) {
  if (record == nullptr) return -1;
  if (const int status = finishedInPlace(sela::addInPlace(record->opaque, x, sela::saturateCount(n)))) {
    return status < 0 ? -1 : 0;
  }
  sela::SuperAccumulator acc;
  if (!loadAccumulator(record, acc)) return -1;
  if (n == 0) return 0;
  sela::add(acc, x, sela::saturateCount(n));
  storeAccumulator(record, acc);
  return 0;
}

int sela_accumulator_add_products(sela_accumulator* record, const double* x, const double* y, uint64_t n) {
  sela::SuperAccumulator acc;
  if (!loadAccumulator(record, acc)) return -1;
  if (n == 0) return 0;
  sela::addProducts(acc, x, y, sela::saturateCount(n));
  storeAccumulator(record, acc);
  return 0;
}

int sela_accumulator_merge(sela_accumulator* record, const sela_accumulator* other) {
  if (record == nullptr || other == nullptr) return -1;
  if (const int status = finishedInPlace(sela::mergeInPlace(record->opaque, other->opaque))) {
    return status < 0 ? -1 : 0;
  }
  sela::SuperAccumulator acc;
  sela::SuperAccumulator more;
  if (!loadAccumulator(record, acc) || !loadAccumulator(other, more)) return -1;
  sela::merge(acc, more);
  storeAccumulator(record, acc);
  return 0;
}

int sela_accumulator_cumsum(sela_accumulator* record, const double* x, double* out, uint64_t n) {
  sela::SuperAccumulator acc;
  if (!loadAccumulator(record, acc)) return -1;
  if (n == 0) return 0;
  sela::runningSum(acc, x, out, sela::saturateCount(n), sela::RunningTotal::Keep);
  storeAccumulator(record, acc);
  return 0;
}

double sela_accumulator_round(const sela_accumulator* record) {
  double result;
  if (record == nullptr || !sela::roundRecord(record->opaque, result)) return sela::quietNaN();
  return result;
}

double sela_accumulator_round_divided(const sela_accumulator* record, uint64_t count) {
  sela::SuperAccumulator acc;
  if (count == 0 || !loadAccumulator(record, acc)) return sela::quietNaN();
  return sela::roundDivided(acc, count);
}

// ---- Statistics ----

double sela_norm_scaled(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::scaledEuclideanNorm(x, len); });
}

double sela_mean_scaled(const double* x, uint64_t n) {
  return exportFrame<AfterWorker::ValueErrorGivesNaN>(n, sela::quietNaN(),
                                                      [=](int64_t len) { return sela::scaledMean(x, len); });
}

double sela_centered_sum_squares(const double* x, uint64_t n, double center) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0,
                                        [=](int64_t len) { return sela::centeredSumSquares(x, len, center); });
}

double sela_centered_cross_product(const double* x, const double* y, uint64_t n, double cx, double cy) {
  return exportFrame<AfterWorker::AsIs>(
      n, 0.0, [=](int64_t len) { return sela::centeredCrossProduct(x, len, y, len, cx, cy); });
}

double sela_centered_cosine_similarity(const double* x, const double* y, uint64_t n, double cx, double cy) {
  return exportFrame<AfterWorker::ValueErrorGivesNaN>(
      n, sela::quietNaN(), [=](int64_t len) { return sela::centeredCosineSimilarity(x, len, y, len, cx, cy); });
}

double sela_centered_projection_coefficient(const double* x, const double* y, uint64_t n, double cx, double cy) {
  return exportFrame<AfterWorker::ValueErrorGivesNaN>(
      n, sela::quietNaN(), [=](int64_t len) { return sela::centeredProjectionCoefficient(x, len, y, len, cx, cy); });
}

}  // extern "C"
