#include "algorithms/shewchuksum.h"

#include <bit>
#include <cstring>

#include "algorithms/binary64.h"
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

// The elements before the first NaN or infinity (all of them when there is none), and
// the largest exponent field among them (0 for none).
struct FinitePrefix {
  int64_t length;
  uint64_t largestField;
};

FinitePrefix finitePrefix(const double* x, int64_t n) {
  uint64_t largest = 0;
  for (int64_t i = 0; i < n; ++i) {
    const uint64_t field = exponentField(bitsOf(x[i]));
    if (field == kSpecialField) return {i, largest};
    largest = field > largest ? field : largest;
  }
  return {n, largest};
}

// Whether the expansion runs over the finite prefix without any value overflowing, told
// from the prefix's length p and largest field F alone. Every element is below
// 2^(F - 1022) in magnitude, so their magnitudes sum to B < 2^(F - 1022 + w), w the bit
// width of p; a sum of at most kPrefixTop (B < 2^980) with p < 2^kPrefixLengthBits stays
// finite:
// - While nothing overflows, every TwoSum is exact and the partials do not overlap, so
//   their significant bits lie at distinct positions between 2^-1074 and 2^1023: there
//   are at most 2098 of them.
// - A TwoSum replaces v and y by t and e with |t| <= (1 + u) |v + y| and |e| <= u |t|
//   (u = 2^-53; both exact, e = 0, where t is subnormal), so |t| + |e| <= (1 + u)^2
//   (|v| + |y|). An element meets at most 2098 partials: the magnitudes of the list and
//   the running value together grow by a factor of at most (1 + u)^4196 per element,
//   and over p < 2^44 elements by at most e^(4196 p u) < e^8.2 < 2^12.
// - So every running value, partial and error stays below 2^992, and TwoSum's inner sums
//   and differences, each within eight such magnitudes, below 2^1000.
// The expansion then reaches the first special element and answers with the naive sum.
constexpr uint64_t kPrefixTop = 980 + 1022;
constexpr int kPrefixLengthBits = 44;

bool expansionStaysFinite(const FinitePrefix& prefix) {
  const auto width = static_cast<uint64_t>(std::bit_width(static_cast<uint64_t>(prefix.length)));
  return width <= kPrefixLengthBits && prefix.largestField + width <= kPrefixTop;
}

}  // namespace

// Where every element is finite, the expansion's answer is the exact sum rounded once to
// nearest-even, whatever the magnitudes, and so the exact engine's answer:
//
// - A running value or a TwoSum error that overflows hands the sum to superSum: the
//   same call as below.
// - Otherwise every TwoSum is exact and, TwoSum being Knuth's (no ordering of operands,
//   exact under gradual underflow too, since a sum below 2^-1021 is a multiple of 2^-1074
//   with at most 52 significant bits), Shewchuk's growth of an expansion keeps the
//   partials non-overlapping and increasing in magnitude: the lowest set bit of each lies
//   above the highest set bit of the one below. Their exact sum is the elements' exact
//   sum; it is 0 only when the list is empty (the top partial outweighs all below it),
//   and shewchukTotal gives +0.0 then, as the register does for a zero value.
// - shewchukTotal, when finite, is that sum rounded to nearest-even. While its TwoSums are
//   exact (lo = 0), hi is the exact sum of the partials taken, all multiples of 2^b with
//   b the lowest set bit of the last one taken; y, the next, lies wholly below 2^b, and
//   the partials under y add up to R with |R| < 2^c, c the lowest set bit of y, and the
//   sign of the partial right under y (the highest outweighs the rest). At the first
//   inexact TwoSum, t = fl(hi + y) and lo = hi + y - t != 0. Let g be the gap from t to
//   its neighbour on lo's side (a power of two; t is a multiple of it): hi + y, a multiple
//   of 2^c, lies strictly between the two, so g > 2^c, and lo and g/2 are multiples of
//   2^c with |lo| <= g/2. If |lo| < g/2, then |lo| <= g/2 - 2^c and |lo + R| < g/2: t is
//   the rounding. If |lo| = g/2 (a tie, which went to the even t), R = 0 or of lo's other
//   sign leaves t the nearest-even rounding, and R of lo's sign (the test on p[i - 2])
//   makes the neighbour t + 2 lo the nearest; then t + 2 lo is exact and t + 2 lo - t ==
//   2 lo holds (the neighbour is representable: the tie at the top, DBL_MAX + 2^970,
//   rounds to infinity, so t is never DBL_MAX with lo = +2^970). When |lo| < g/2, t + 2 lo
//   rounds to t or to t -+ g, at a distance other than 2 |lo|, and t stands.
// - A non-finite total goes to superSum, as above; the correct rounding of an overflowing
//   exact sum is an infinity, so no finite total stands where superSum gives one.
//
// A non-finite result of superSum therefore means a non-finite element or an exact sum
// beyond the range. The first has its own answer, the naive sum when the element comes
// before any overflow (and otherwise superSum's, as above); the second is superSum's
// result again. So the engine answers first, and its finite result ends the call at the
// engine's speed (some ten times the expansion's on uniform data, a hundred times and
// more on data of wide range, where the partials list grows long); the elements are
// looked at only after a non-finite result. Where the finite elements before the first
// special one are too small for the expansion to overflow on them (expansionStaysFinite),
// the naive sum is the answer, bit for bit the call the expansion would make: NaN
// payloads and signs, infinities of either sign and -0.0 are the naive sum's own. Only a
// prefix of huge magnitudes needs the expansion itself to find out whether an overflow
// comes first. One or two elements need neither the register nor the partials: their sum
// rounded once is the naive sum (x[0], or one addition, rounded to nearest-even and
// overflowing to an infinity exactly where the rounding of the exact sum does), a zero
// made +0.0; and a NaN or an infinity among them meets no running value that could
// overflow first, so the naive sum answers there.
double shewchukSum(const double* x, int64_t n) {
  if (n <= 0) return 0.0;
  if (n <= 2) {
    const double s = naiveSum(x, n);
    return s == 0.0 ? 0.0 : s;
  }
  const double exact = superSum(x, n);
  if (isFinite(exact)) return exact;
  const FinitePrefix prefix = finitePrefix(x, n);
  if (prefix.length == n) return exact;
  if (expansionStaysFinite(prefix)) return naiveSum(x, n);
  return shewchukExpansion(x, n);
}

double shewchukExpansion(const double* x, int64_t n) {
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
