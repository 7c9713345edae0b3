// Running exact sums.
//
// Notation: W_i is the exact value of acc + x[0] + ... + x[i], the value the register
// holds once those elements are deposited; out[i] must be round(register), which is
// RN(W_i) (round to nearest, ties to even, +-inf where that rounding overflows) whenever
// |W_i| >= 2^-1022 or W_i is a multiple of 2^-1074, and +0.0 for W_i = 0. u = 2^-53.
//
// The running pair. Element by element, t = fl(s + x) with its TwoSum error e, exact:
// s + x = t + e (any overflow inside the TwoSum leaves e infinite or NaN, and that NaN
// reaches every later value of c); then c' = fl(c + e), whose rounding error is at most
// u |c'| (zero when c' is subnormal or zero). So if |W - (s + c)| <= b before the element,
// then |W' - (t + c')| <= b + u |c'| after it. Over a block whose |c'| never exceed M,
// prefix j of the block (0-based) has bound b_j = b_0 + (j + 1) u M.
//
// Exact mode. When every element since the last point where the pair was exact is a
// multiple of g (a power of two), so are s, every TwoSum error and every c (exact sums
// and differences of multiples of g are multiples of g, and so are their roundings).
// If moreover |c'| < 2^53 g at every step, each exact c + e is below 2^53 g too (else
// its rounding, monotone, would reach the double 2^53 g), hence a double: no addition
// into c rounded, the pair stays exact, and out = fl(s + c) is RN(W) itself -- ties,
// overflow and subnormal values included (W = s + c is then a multiple of 2^-1074).
// This is the case for data with few significant bits (uniform draws, integers,
// float32 or decimal data of bounded range), where prefixes fall on ties so often that
// no bound could decide them. A block that breaks the condition is rerun in bound mode.
//
// Bound mode. With B a double at least (b_j + u M) / (1 - u), hi = fl(c + B) >= c + b_j
// and lo = fl(c - B) <= c - b_j (the rounding moves c +- B by at most u (M + B)), so
// s + lo <= W <= s + hi. RN is monotone: if up = fl(s + hi) and down = fl(s + lo) are the
// same finite double, so is RN(W). (up - down is 0 exactly then; it is NaN when both are
// the same infinity or either is NaN.) The interval [s + lo, s + hi] is at least 2 b_j >=
// 2^-999 wide (b_j includes a floor of 2^-1000) and lies in up's rounding interval, at
// most ulp(up) wide, so |up| >= 2^-947: up is a normal double, W lies far above the
// subnormal range, and up is round(register). A zero, a tie and a value beyond the range
// are never decided this way.
//
// Neither mode ever produces -0.0: a rounded sum is -0.0 only when both operands are, and
// a difference only when -0.0 loses +0.0 from it, while the pair starts from +0.0 or from
// a restart (below) whose exact form excludes -0.0; bound mode never decides a zero. So
// the zero results, all of which are +0.0 in the register's rounding, come from the
// register.
//
// Undecided prefixes are rounded from the register, brought up to date to that element
// (the data are read again for it, or, in place, deposited block by block before being
// overwritten). After a block with one, the pair restarts from the register: s = round(W),
// c = round(W - s), and |W - s - c| <= u |c| + 2^-1075 (a register holding products may
// carry a bit of 2^-1075 that round() drops); when the remainder W - s - c is exactly
// zero the pair restarts in exact mode. A register beyond the range restarts with an
// infinite bound, so its prefixes are rounded from the register until it comes back.
// Once the register holds a NaN or an infinity, every later result is its special word.
#include "algorithms/cumsum.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "algorithms/prefetch.h"

namespace sela {

namespace {

// Elements per block: the undecided prefixes of a block fit one 64-bit mask.
constexpr int64_t kBlock = 64;
// With RunningTotal::Keep, the register takes the data of bound mode in stretches of this
// many elements (while they are still in the cache).
constexpr int64_t kSyncStretch = 65536;
constexpr double kMaxDouble = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Every bound is at least 2^-1000 (see bound mode above).
constexpr double kBoundFloor = 0x1p-1000;
// Enlarges a bound past the roundings of its own computation (see blockBound).
constexpr double kBoundSlack = 1.0 + 0x1p-48;

// 2^floor(log2 |v|) for a normal v; +0.0 for zeros and subnormals, +inf for +-inf.
inline double binadeOf(double v) {
  uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  u &= 0x7FF0000000000000ULL;
  std::memcpy(&v, &u, sizeof u);
  return v;
}

// The weight of v's lowest set bit, a power of two of which v is a multiple (+inf for 0).
double grainOf(double v) {
  if (v == 0.0) return kInf;
  uint64_t u;
  std::memcpy(&u, &v, sizeof u);
  const auto field = static_cast<int>((u >> 52) & 0x7FF);
  const uint64_t m = (u & 0x000FFFFFFFFFFFFFULL) | (field != 0 ? uint64_t{1} << 52 : 0);
  return std::ldexp(1.0, std::max(field, 1) - 1075 + __builtin_ctzll(m));
}

struct Pair {
  double s;
  double c;
  double bound;  // bound mode: |W - (s + c)| <= bound
  double grain;  // > 0: exact mode, W = s + c and every value since is a multiple of grain
};

// The call's data and how far the register has taken them.
struct Series {
  SuperAccumulator& acc;
  const double* x;
  double* out;
  int64_t n;
  bool inPlace;
  bool keep;
  // The register holds acc + x[0 .. synced-1]. In exact mode, synced is where the exact
  // mode began and (anchorS, anchorC) the pair there: the value at a later position is the
  // register's plus (s - anchorS) + (c - anchorC), exactly, so the register catches up
  // with four deposits instead of the elements (which in place are overwritten).
  int64_t synced;
  double anchorS;
  double anchorC;
};

bool holdsSpecial(const SuperAccumulator& acc) { return (acc.nanBits | acc.infBits) != 0; }

void depositCounted(SuperAccumulator& acc, double v) {
  if (acc.addsLeft == 0) carryPropagate(acc);
  deposit(acc, v);
  --acc.addsLeft;
}

// The register to hold acc + x[0 .. upto-1] (the data from synced on are still intact).
void syncTo(Series& z, int64_t upto) {
  if (upto <= z.synced) return;
  add(z.acc, z.x + z.synced, upto - z.synced);
  z.synced = upto;
}

// In exact mode: the register to the value at position i, whose pair is (s, c).
void materialize(Series& z, int64_t i, double s, double c) {
  depositCounted(z.acc, s);
  depositCounted(z.acc, -z.anchorS);
  depositCounted(z.acc, c);
  depositCounted(z.acc, -z.anchorC);
  z.anchorS = s;
  z.anchorC = c;
  z.synced = i;
}

// The pair restarted from the register, which holds the value at the current position;
// false when the register holds a special value.
bool restart(Series& z, Pair& p) {
  SuperAccumulator& acc = z.acc;
  if (holdsSpecial(acc)) return false;
  const double r = round(acc);
  if (!(std::fabs(r) <= kMaxDouble)) {
    p = {0.0, 0.0, kInf, 0.0};
    return true;
  }
  SuperAccumulator rest = acc;
  depositCounted(rest, -r);
  const double c = round(rest);
  depositCounted(rest, -c);
  // A normalised register is zero when its top limb is limb 0 and that limb is 0.
  const bool exact = carryPropagate(rest) == 0 && rest.limbs[0] == 0;
  if (exact) {
    p = {r, c, 0.0, std::min(grainOf(r), grainOf(c))};
    z.anchorS = r;
    z.anchorC = c;
  } else {
    // |W - r - c| <= u |c| + 2^-1075 <= |c| 2^-52 + 2^-1000, rounding included.
    p = {r, c, std::fabs(c) * 0x1p-52 + kBoundFloor, 0.0};
  }
  return true;
}

// (s, c) <- TwoSum(s, c): the same exact value, |c| at most half an ulp of s, so that c
// (and the bound's growth, u |c| per element) stays small.
inline void renormalize(Pair& p, double s, double c) {
  const double t = s + c;
  const double z = t - s;
  p.c = (s - (t - z)) + (c - z);
  p.s = t;
}

// A bound B >= (b0 + u (count + 1) M) / (1 - u) for b0 >= 2^-1000: with Q that value's
// numerator, the product, sum and scaling lose at most 2^-1075 + 3 u relative, so
// B >= Q (1 - u)^3 (1 + 2^-48) - 2^-1074 >= Q (1 + 2^-49) - 2^-1074 >= Q (1 + 2^-52)
// (as Q 2^-50 >= 2^-1050). count = j + 1 bounds prefix j of a block and gives the B of
// its test; count = len bounds the whole block.
inline double blockBound(double b0, double m, int64_t count) {
  return (b0 + m * (static_cast<double>(count + 1) * 0x1p-53)) * kBoundSlack;
}

// One TwoSum step of the pair: s += v exactly split, the error into c.
inline void pairStep(double& s, double& c, double v) {
  const double t = s + v;
  const double z = t - s;
  c = c + ((s - (t - z)) + (v - z));
  s = t;
}

// The pair's steps over two elements at once: only t = s + v is on s's chain; the other
// operations of the two TwoSums share vector operations (lo = [s_j, s_j+1], hi =
// [s_j+1, s_j+2]), lane by lane the scalar steps, and the errors then enter c in order.
// Returns hi and the two values of c after each element.
struct TwoSteps {
  __m128d hi;
  __m128d c;
};
inline TwoSteps twoSteps(__m128d& sv, __m128d& cv, __m128d v) {
  const __m128d s1 = _mm_add_sd(sv, v);
  const __m128d s2 = _mm_add_sd(s1, _mm_unpackhi_pd(v, v));
  const __m128d lo = _mm_unpacklo_pd(sv, s1);
  const __m128d hi = _mm_unpacklo_pd(s1, s2);
  const __m128d z = _mm_sub_pd(hi, lo);
  const __m128d e = _mm_add_pd(_mm_sub_pd(lo, _mm_sub_pd(hi, z)), _mm_sub_pd(v, z));
  const __m128d c1 = _mm_add_sd(cv, e);
  const __m128d c2 = _mm_add_sd(c1, _mm_unpackhi_pd(e, e));
  sv = s2;
  cv = c2;
  return {hi, _mm_unpacklo_pd(c1, c2)};
}

inline __m128d absMask() { return _mm_castsi128_pd(_mm_set1_epi64x(0x7FFFFFFFFFFFFFFFLL)); }

struct BlockEnd {
  double s, c;
  double m;      // max |c| over the block's steps (a NaN c is skipped: max(a, m) keeps m)
  double least;  // exact mode: a power of two at most every nonzero element's binade
  uint64_t undecided;  // bound mode
};

// Exact mode over one block: r[j] = fl(s + c) after element j.
BlockEnd exactBlock(const double* x, int64_t len, double s, double c, double* r) {
  const __m128i one = _mm_set1_epi64x(1);
  __m128d sv = _mm_set_sd(s);
  __m128d cv = _mm_set_sd(c);
  __m128d mv = _mm_setzero_pd();
  __m128d qv = _mm_set1_pd(kInf);
  int64_t j = 0;
  for (; j + 2 <= len; j += 2) {
    const __m128d v = _mm_loadu_pd(x + j);
    const TwoSteps t = twoSteps(sv, cv, v);
    _mm_storeu_pd(r + j, _mm_add_pd(t.hi, t.c));
    mv = _mm_max_pd(_mm_and_pd(t.c, absMask()), mv);
    // |v| one unit lower (a binade no higher than v's); a zero becomes a NaN pattern,
    // which min skips as it returns its second operand when either is a NaN.
    qv = _mm_min_pd(_mm_castsi128_pd(_mm_sub_epi64(_mm_castpd_si128(_mm_and_pd(v, absMask())), one)), qv);
  }
  s = _mm_cvtsd_f64(sv);
  c = _mm_cvtsd_f64(cv);
  double m = std::max(_mm_cvtsd_f64(mv), _mm_cvtsd_f64(_mm_unpackhi_pd(mv, mv)));
  double q = std::min(_mm_cvtsd_f64(qv), _mm_cvtsd_f64(_mm_unpackhi_pd(qv, qv)));
  if (j < len) {
    pairStep(s, c, x[j]);
    r[j] = s + c;
    m = std::max(m, std::fabs(c));
    if (x[j] != 0.0) q = std::min(q, std::fabs(x[j]));
  }
  return {s, c, m, binadeOf(q), 0};
}

// Bound mode over one block with one B for all of it: r[j] = up, and the undecided bit j
// set unless up = down.
BlockEnd boundBlock(const double* x, int64_t len, double s, double c, double b, double* r) {
  const __m128d bv = _mm_set1_pd(b);
  const __m128d zero = _mm_setzero_pd();
  __m128d sv = _mm_set_sd(s);
  __m128d cv = _mm_set_sd(c);
  __m128d mv = _mm_setzero_pd();
  uint64_t decided = 0;
  int64_t j = 0;
  for (; j + 2 <= len; j += 2) {
    const TwoSteps t = twoSteps(sv, cv, _mm_loadu_pd(x + j));
    mv = _mm_max_pd(_mm_and_pd(t.c, absMask()), mv);
    const __m128d up = _mm_add_pd(t.hi, _mm_add_pd(t.c, bv));
    const __m128d down = _mm_add_pd(t.hi, _mm_sub_pd(t.c, bv));
    decided |= static_cast<uint64_t>(_mm_movemask_pd(_mm_cmpeq_pd(_mm_sub_pd(up, down), zero))) << j;
    _mm_storeu_pd(r + j, up);
  }
  s = _mm_cvtsd_f64(sv);
  c = _mm_cvtsd_f64(cv);
  double m = std::max(_mm_cvtsd_f64(mv), _mm_cvtsd_f64(_mm_unpackhi_pd(mv, mv)));
  if (j < len) {
    pairStep(s, c, x[j]);
    m = std::max(m, std::fabs(c));
    const double up = s + (c + b);
    const double down = s + (c - b);
    decided |= static_cast<uint64_t>(up - down == 0.0) << j;
    r[j] = up;
  }
  const uint64_t all = len == 64 ? ~uint64_t{0} : (uint64_t{1} << len) - 1;
  return {s, c, m, 0.0, all & ~decided};
}

// The prefixes a block's common bound left undecided, tested again each with its own
// bound (from the largest |c| up to it), over the same steps: for blocks in which |c|
// grew, as when a run starts or the magnitudes jump.
uint64_t retest(const double* x, double s, double c, double b0, uint64_t undecided, double* r) {
  const int64_t last = 64 - __builtin_clzll(undecided);
  double m = 0.0;
  for (int64_t j = 0; j < last; ++j) {
    pairStep(s, c, x[j]);
    m = std::max(m, std::fabs(c));
    if (((undecided >> j) & 1) == 0) continue;
    const double b = blockBound(b0, m, j + 1);
    const double up = s + (c + b);
    const double down = s + (c - b);
    if (up - down == 0.0) {
      undecided &= ~(uint64_t{1} << j);
      r[j] = up;
    }
  }
  return undecided;
}

// Every result from the register (which holds a special value, or will after the first
// element): it decides them all.
void specialTail(Series& z, int64_t from) {
  syncTo(z, from);
  for (int64_t i = from; i < z.n; ++i) {
    depositCounted(z.acc, z.x[i]);
    z.out[i] = round(z.acc);
  }
  z.synced = z.n;
}

void run(Series& z) {
  if (holdsSpecial(z.acc)) {
    specialTail(z, 0);
    return;
  }
  // A record with its whole countdown left holds zero (the record check ensures it).
  Pair p{0.0, 0.0, 0.0, kInf};
  if (z.acc.addsLeft != kAddsAfterInit) restart(z, p);
  alignas(16) double buffer[kBlock];
  // The largest |c| assumed for the next bound-mode block: 1024 times the last block's.
  // A block that exceeds it runs again; a generous assumption costs nothing measurable
  // (B stays near 2^-40 of an ulp of the prefixes), while a tight one reran a fifth of
  // the blocks of wide data.
  double expected = 0.0;
  const int64_t n = z.n;
  for (int64_t i = 0; i < n;) {
    const int64_t len = std::min(kBlock, n - i);
    const double* xb = z.x + i;
    prefetchAhead(xb);
    // In place the results wait in the buffer until the register has the block.
    double* r = z.inPlace ? buffer : z.out + i;
    if (p.grain > 0.0) {
      const BlockEnd e = exactBlock(xb, len, p.s, p.c, r);
      const double grain = std::min(p.grain, e.least * 0x1p-52);
      if (std::fabs(e.c) <= kMaxDouble && e.m < grain * 0x1p53) {
        if (z.inPlace) std::memcpy(z.out + i, r, static_cast<size_t>(len) * sizeof(double));
        renormalize(p, e.s, e.c);
        p.grain = grain;
        i += len;
        continue;
      }
      // The pair is exact at the block's start: bound mode from there, bound 0.
      materialize(z, i, p.s, p.c);
      p.grain = 0.0;
      p.bound = 0.0;
    }
    const double b0 = p.bound + kBoundFloor;  // >= the bound, >= 2^-1000
    double m = std::max(expected, std::fabs(p.c));
    BlockEnd e = boundBlock(xb, len, p.s, p.c, blockBound(b0, m, len), r);
    if (!(e.m <= m)) {
      // |c| grew past the assumption: the block again with its true maximum.
      m = e.m;
      e = boundBlock(xb, len, p.s, p.c, blockBound(b0, m, len), r);
    }
    expected = 1024.0 * e.m;
    uint64_t undecided = e.undecided;
    if (undecided != 0) undecided = retest(xb, p.s, p.c, b0, undecided, r);
    for (uint64_t u = undecided; u != 0; u &= u - 1) {
      const int64_t j = __builtin_ctzll(u);
      syncTo(z, i + j + 1);
      r[j] = round(z.acc);
    }
    if (z.inPlace || undecided != 0) syncTo(z, i + len);
    if (z.inPlace) std::memcpy(z.out + i, r, static_cast<size_t>(len) * sizeof(double));
    i += len;
    renormalize(p, e.s, e.c);
    p.bound = blockBound(b0, m, len);
    if (z.keep && i - z.synced >= kSyncStretch) syncTo(z, i);
    if (undecided != 0 && !restart(z, p)) {
      specialTail(z, i);
      return;
    }
  }
  if (p.grain > 0.0) materialize(z, n, p.s, p.c);
}

}  // namespace

void runningSum(SuperAccumulator& acc, const double* x, double* out, int64_t n, RunningTotal total) {
  if (n <= 0) return;
  Series z{acc, x, out, n, out == x, total == RunningTotal::Keep, 0, 0.0, 0.0};
  run(z);
  if (total == RunningTotal::Keep) syncTo(z, n);
}

}  // namespace sela
