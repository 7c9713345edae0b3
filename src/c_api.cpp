// The exported functions: each is the frame of c_api.h around exactly one worker.
#include "c_api.h"

#include "sela.h"
#include "sela_version_text.h"

#include "algorithms/compensatedsum.h"
#include "algorithms/exactsum.h"
#include "algorithms/naivesum.h"
#include "algorithms/pairwisesum.h"
#include "algorithms/shewchuksum.h"

using sela::AfterWorker;
using sela::exportFrame;

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

// ---- Cascaded and faithful sums ----

// ---- Dot products ----

double sela_dot_exact(const double* x, const double* y, uint64_t n) {
  return exportFrame<AfterWorker::AsIs>(n, 0.0, [=](int64_t len) { return sela::superDot(x, len, y, len); });
}

// ---- Statistics ----

}  // extern "C"
