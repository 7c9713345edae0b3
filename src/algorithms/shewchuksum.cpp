#include "algorithms/shewchuksum.h"

#include <cstring>

#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "algorithms/naivesum.h"
#include "scratch.h"

namespace sela {

namespace {

// The partials: a scratch array that starts unallocated, makes room for one entry on
// the first append and doubles its capacity when full. Non-overlapping entries keep it a
// few dozen long whatever the input.
class Partials {
 public:
  int64_t size() const { return size_; }
  double* data() { return data_.get(); }
  double& operator[](int64_t k) { return data_[k]; }
  void truncate(int64_t m) { size_ = m; }
  void append(double v) {
    if (size_ == capacity_) {
      const int64_t grown = capacity_ == 0 ? 1 : 2 * capacity_;
      ScratchArray larger = allocateScratch(grown);
      if (size_ > 0) std::memcpy(larger.get(), data_.get(), static_cast<size_t>(size_) * sizeof(double));
      data_ = std::move(larger);
      capacity_ = grown;
    }
    data_[size_++] = v;
  }

 private:
  ScratchArray data_;
  int64_t size_ = 0;
  int64_t capacity_ = 0;
};

}  // namespace

double shewchukSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  Partials partials;
  for (int64_t i = 0; i < n; ++i) {
    double v = x[i];
    if (!isFinite(v)) return naiveSum(x, n);
    int64_t j = 0;
    for (int64_t k = 0; k < partials.size(); ++k) {
      // TwoSum with the running value first: t + lo = v + y exactly while nothing in it
      // overflows.
      const SumAndError ts = twoSum(v, partials[k]);
      // An overflow although every element so far was finite: the naive sum would answer
      // with an overflow the exact sum may not have (1e308 + 1e308 - 1e308 - 1e308 is 0),
      // so the exact engine answers instead. Besides the running value itself, TwoSum's
      // error overflows inside (to a NaN) when the operands lie at the top of the range
      // (-DBL_MAX + 2^1010: t is finite, but t - v rounds past -DBL_MAX); kept as a
      // partial, that NaN would be the result.
      if (!isFinite(ts.s) || !isFinite(ts.e)) return superSum(x, n);
      if (ts.e != 0.0) partials[j++] = ts.e;  // j <= k: in place
      v = ts.s;
    }
    partials.truncate(j);
    if (v != 0.0) partials.append(v);
  }
  // The total's own TwoSums can overflow inside in the same way (a NaN); a finite total
  // is the correctly rounded sum, anything else is answered by the exact engine, which
  // rounds past the range exactly where the exact sum lies.
  const double total = shewchukTotal(partials.data(), partials.size());
  return isFinite(total) ? total : superSum(x, n);
}

double shewchukTotal(const double* p, int64_t m) {
  if (m <= 0) return 0.0;
  double hi = p[m - 1];
  int64_t i = m - 1;
  while (i > 0) {
    const double y = p[i - 1];
    const SumAndError ts = twoSum(hi, y);
    const double t = ts.s;
    const double lo = ts.e;
    if (!isFinite(lo)) return lo;  // an overflow inside the TwoSum: no total to trust
    if (lo == 0.0) {
      hi = t;
      --i;
      continue;
    }
    // t is correctly rounded unless lo is exactly half an ulp of t (t came from a tie
    // rounded to even) and the partials below push the exact sum past the halfway point,
    // which they do when the next one has lo's sign. Then t + 2 lo is the neighbouring
    // double, and u - t == d checks that lo was exactly half an ulp.
    if (i - 1 > 0 && ((lo < 0.0 && p[i - 2] < 0.0) || (lo > 0.0 && p[i - 2] > 0.0))) {
      const double d = lo + lo;
      const double u = t + d;
      if (u - t == d) return u;
    }
    return t;
  }
  return hi;
}

}  // namespace sela
