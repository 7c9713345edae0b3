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
// then |W' - (t + c')| <= b + u |c'| after it. Over a span (up to kSpan elements, run by
// the kernels of cumsum_kernels.h) whose |c'| never exceed M, prefix j of the span
// (0-based) has bound b_j = b_0 + (j + 1) u M.
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
// no bound could decide them. A span that breaks the condition is rerun in bound mode.
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
// Scaled spans. Where the pair and the data are small, a span runs on the elements times
// 2^64 (cumsum_kernels.h), from 2^64 (s, c) and with 2^64 times the bound: every step
// then gives exactly 2^64 times its unscaled result, and no subnormal value is formed.
// Exact mode gives the same bits either way. Bound mode applies its floor of 2^-1000 in
// the span's scale, 2^-1064 of the data's: scaled, the whole argument above holds for
// the register's value times 2^64, and a decided prefix up satisfies |up| >= 2^-947 in
// that scale, so |W| >= 2^-1011 lies in the normal range, where rounding commutes with
// the scaling, and up 2^-64 is round(register). Unscaled, every prefix below 2^-947
// (all the prefixes of small data) would be left to the register. The pair's bound is
// kept in the data's scale, rounded up (boundDown).
//
// Neither mode ever produces -0.0: a rounded sum is -0.0 only when both operands are, and
// a difference only when -0.0 loses +0.0 from it, while the pair starts from +0.0 or from
// a restart (below) whose exact form excludes -0.0; bound mode never decides a zero. So
// the zero results, all of which are +0.0 in the register's rounding, come from the
// register.
//
// Undecided prefixes are rounded from the register, brought up to date to that element
// (the data are read again for it, or, in place, deposited span by span before being
// overwritten). After a span with one, the pair restarts from the register: s = round(W),
// c = round(W - s), and |W - s - c| <= u |c| + 2^-1075 (a register holding products may
// carry a bit of 2^-1075 that round() drops); when the remainder W - s - c is exactly
// zero the pair restarts in exact mode. A register beyond the range restarts in far mode
// (farSpan), which certifies the infinity while the running value moves away from the
// range and hands the other prefixes to the register. Once the register holds a NaN or
// an infinity, or a value beyond the register itself (overflowBits, reached only by
// merging records), every later result is a side word, read from the register.
#include "algorithms/cumsum.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "algorithms/binary64.h"
#include "algorithms/cumsum_kernels.h"
#include "algorithms/errorfree.h"
#include "algorithms/exactengine.h"
#include "algorithms/vector_ops_sse2.h"
#include "kernel_slot.h"

namespace sela {

namespace {

// With RunningTotal::Keep, the register takes the data of bound mode in stretches of this
// many elements (while they are still in the cache).
constexpr int64_t kSyncStretch = 65536;
constexpr double kMaxDouble = std::numeric_limits<double>::max();
constexpr double kInf = std::numeric_limits<double>::infinity();
// Every bound is at least 2^-1000 (see bound mode above).
constexpr double kBoundFloor = 0x1p-1000;
// Enlarges a bound past the roundings of its own computation (see spanBound).
constexpr double kBoundSlack = 1.0 + 0x1p-48;

// 2^floor(log2 |v|) for a normal v (its exponent bits alone); +0.0 for zeros and
// subnormals, +inf for +-inf.
inline double binadeOf(double v) { return fromBits(bitsOf(v) & kExponentMask); }

// The weight of v's lowest set bit, a power of two of which v is a multiple (+inf for 0):
// a finite v is its significand M times 2^(max(field, 1) - kFieldOffset).
double grainOf(double v) {
  if (v == 0.0) return kInf;
  const uint64_t u = bitsOf(v);
  const auto field = static_cast<int>(exponentField(u));
  const uint64_t m = (u & kMantissaMask) | (field != 0 ? kHiddenBit : 0);
  return std::ldexp(1.0, std::max(field, 1) - kFieldOffset + __builtin_ctzll(m));
}

// The scalings of cumsum_kernels.h for one value.
inline double scaleUp(double v) { return Sse2Ops::first(scaledUp<Sse2Ops>(Sse2Ops::set1(v))); }
inline double scaleDown(double w) { return Sse2Ops::first(scaledDown<Sse2Ops>(Sse2Ops::set1(w))); }

// A bound B >= b 2^-64 for a bound b >= 0 of a scaled pair: below 2^-959, scaledDown is
// within 2^-1075 of b 2^-64 (its sum with 2^-958 rounds by at most half a unit of
// 2^-1010, and stays below 2^-957) and 2^-1074 more covers it; above, b 2^-64 or 2^-1022.
inline double boundDown(double b) {
  return b < 0x1p-959 ? scaleDown(b) + 0x1p-1074 : std::max(b, 0x1p-958) * kUnscale;
}

// One element of the running pair: s <- fl(s + v), c <- fl(c + the TwoSum's error).
inline void stepPair(double& s, double& c, double v) {
  const SumAndError t = twoSum(s, v);
  c = c + t.e;
  s = t.s;
}

struct Pair {
  double s;
  double c;
  double bound;  // bound mode: |W - (s + c)| <= bound
  double grain;  // > 0: exact mode, W = s + c and every value since is a multiple of grain
  // +1 or -1: far mode, the register's value at the restart lay beyond the range with
  // this sign, and (s, c) follow 2^-64 times the sum of the elements since, within bound.
  double far;
};

// Whether a span may form subnormal values, and is scaled by 2^64 (cumsum_kernels.h):
// the pair below kSmall, and unless it is zero, one of eight sampled elements too.
constexpr double kSmall = 0x1p-900;
bool worthScaling(const double* x, int64_t len, const Pair& p) {
  if (!(std::fabs(p.s) < kSmall)) return false;
  if (p.s != 0.0) return true;
  for (int64_t j = 0; j < len; j += kSpan / 8) {
    if (x[j] != 0.0 && std::fabs(x[j]) < kSmall) return true;
  }
  return false;
}

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

// Whether the register's rounding is a side word (a NaN, an infinity, or a value grown
// beyond the register), which no further finite element changes.
bool settledBySideWords(const SuperAccumulator& acc) { return holdsSpecial(acc) || acc.overflowBits != 0; }

// The register to hold acc + x[0 .. upto-1] (the data from synced on are still intact).
void syncTo(Series& z, int64_t upto) {
  if (upto <= z.synced) return;
  add(z.acc, z.x + z.synced, upto - z.synced);
  z.synced = upto;
}

// In exact mode: the register to the value at position i, whose pair is (s, c).
void materialize(Series& z, int64_t i, double s, double c) {
  const double change[4] = {s, -z.anchorS, c, -z.anchorC};
  addEach(z.acc, change, 4);
  z.anchorS = s;
  z.anchorC = c;
  z.synced = i;
}

// The pair restarted from the register, which holds the value at the current position;
// false when the register's rounding is a side word.
bool restart(Series& z, Pair& p) {
  SuperAccumulator& acc = z.acc;
  if (settledBySideWords(acc)) return false;
  const double r = round(acc);
  if (!(std::fabs(r) <= kMaxDouble)) {
    p = {0.0, 0.0, 0.0, 0.0, r > 0.0 ? 1.0 : -1.0};
    return true;
  }
  SuperAccumulator rest = acc;
  const double minusR = -r;
  addEach(rest, &minusR, 1);
  const double c = round(rest);
  const double minusC = -c;
  addEach(rest, &minusC, 1);
  // A normalised register is zero when its top limb is limb 0 and that limb is 0.
  const bool exact = carryPropagate(rest) == 0 && rest.limbs[0] == 0;
  if (exact) {
    p = {r, c, 0.0, std::min(grainOf(r), grainOf(c)), 0.0};
    z.anchorS = r;
    z.anchorC = c;
  } else {
    // |W - r - c| <= u |c| + 2^-1075 <= fl(fl(|c| 2^-52) + 2^-1074): the product loses at
    // most u of itself or 2^-1075, the sum is exact below 2^-1021 and loses at most u of
    // itself above (2 u |c| (1 - u)^2 >= u |c| and 2^-1074 (1 - u) >= 2^-1075). No floor:
    // the spans add their own, in their own scale.
    p = {r, c, std::fabs(c) * 0x1p-52 + 0x1p-1074, 0.0, 0.0};
  }
  return true;
}

// (s, c) <- TwoSum(s, c): the same exact value, |c| at most half an ulp of s, so that c
// (and the bound's growth, u |c| per element) stays small.
inline void renormalize(Pair& p, double s, double c) {
  const SumAndError t = twoSum(s, c);
  p.s = t.s;
  p.c = t.e;
}

// A bound B >= (b0 + u (count + 1) M) / (1 - u) for b0 >= 2^-1000: with Q that value's
// numerator, the product, sum and scaling lose at most 2^-1075 + 3 u relative, so
// B >= Q (1 - u)^3 (1 + 2^-48) - 2^-1074 >= Q (1 + 2^-49) - 2^-1074 >= Q (1 + 2^-52)
// (as Q 2^-50 >= 2^-1050). count = j + 1 bounds prefix j of a span and gives the B of
// its test; count = len bounds the whole span.
inline double spanBound(double b0, double m, int64_t count) {
  return (b0 + m * (static_cast<double>(count + 1) * 0x1p-53)) * kBoundSlack;
}

// The elements of a span past the kernel's whole blocks, x[from .. len-1], one at a time,
// continuing the kernel's end state with the same steps and tests (scaled as it was).
void finishSpan(const double* x, int64_t from, int64_t len, bool bound, double b, bool scaled, double* r,
                SpanEnd& e) {
  double s = e.s;
  double c = e.c;
  double m = e.m;
  double least = e.least;
  for (int64_t j = from; j < len; ++j) {
    const double v = scaled ? scaleUp(x[j]) : x[j];
    if (scaled && !(std::fabs(x[j]) <= kScalable)) e.scalable = false;
    stepPair(s, c, v);
    m = std::max(m, std::fabs(c));  // a NaN c is skipped
    double result;
    if (bound) {
      const double up = s + (c + b);
      const double down = s + (c - b);
      if (!(up - down == 0.0)) e.undecided[j / 64] |= uint64_t{1} << (j % 64);
      result = up;
    } else {
      result = s + c;
      if (v != 0.0 && std::fabs(v) < least) least = std::fabs(v);
    }
    r[j] = scaled ? scaleDown(result) : result;
  }
  e.s = s;
  e.c = c;
  e.m = m;
  e.least = least;
}

// The prefixes a span's common bound left undecided, tested again each with its own
// bound (from the largest |c| up to it), over the same steps: for spans in which |c|
// grew, as when a run starts or the magnitudes jump.
void retest(const double* x, double s, double c, double b0, bool scaled, uint64_t* undecided, double* r) {
  int last = kSpanWords - 1;
  while (last > 0 && undecided[last] == 0) --last;
  const int64_t stop = 64 * last + 64 - __builtin_clzll(undecided[last] | 1);
  double m = 0.0;
  for (int64_t j = 0; j < stop; ++j) {
    stepPair(s, c, scaled ? scaleUp(x[j]) : x[j]);
    m = std::max(m, std::fabs(c));
    const uint64_t bit = uint64_t{1} << (j % 64);
    if ((undecided[j / 64] & bit) == 0) continue;
    const double b = spanBound(b0, m, j + 1);
    const double up = s + (c + b);
    const double down = s + (c - b);
    if (up - down == 0.0) {
      undecided[j / 64] &= ~bit;
      r[j] = scaled ? scaleDown(up) : up;
    }
  }
}

// Far mode over one span: the register's value V at the restart lies beyond the range
// (V >= 2^1024 - 2^970, where rounding overflows, or V <= -(2^1024 - 2^970)), and
// prefix j is V + S_j with S_j the exact sum of the elements since. The pair follows
// 2^-64 S_j (scaled, so that it cannot overflow; each scaled element x 2^-64 is exact or,
// below the normal range, off by at most 2^-1075, which the bound's extra floor covers
// for a span), and while its lower end s + fl(c - b) stays above 0 (for V > 0; its upper
// end below 0 for V < 0), S_j has V's sign or is zero and the prefix rounds to V's
// infinity. One element at a time: this mode is rare (running sums beyond 1.8e308).
void farSpan(const double* x, int64_t len, Pair& p, double b0, double* r, uint64_t* undecided) {
  double s = p.s;
  double c = p.c;
  double m = 0.0;
  for (int w = 0; w < kSpanWords; ++w) undecided[w] = 0;
  for (int64_t j = 0; j < len; ++j) {
    stepPair(s, c, x[j] * 0x1p-64);
    m = std::max(m, std::fabs(c));
    const double b = spanBound(b0, m, j + 1);
    const bool decided = p.far > 0.0 ? s + (c - b) > 0.0 : s + (c + b) < 0.0;
    if (decided) {
      r[j] = p.far * kInf;
    } else {
      undecided[j / 64] |= uint64_t{1} << (j % 64);
    }
  }
  renormalize(p, s, c);
  p.bound = spanBound(b0, m, len);
}

// Every result from the register (which holds a special value, or will after the first
// element): it decides them all.
void specialTail(Series& z, int64_t from) {
  syncTo(z, from);
  for (int64_t i = from; i < z.n; ++i) {
    addEach(z.acc, z.x + i, 1);
    z.out[i] = round(z.acc);
  }
  z.synced = z.n;
}

void run(Series& z) {
  if (settledBySideWords(z.acc)) {
    specialTail(z, 0);
    return;
  }
  // A record with its whole countdown left holds zero (the record check ensures it).
  Pair p{0.0, 0.0, 0.0, kInf, 0.0};
  if (z.acc.addsLeft != kAddsAfterInit) restart(z, p);
  const ExactSpanKernel exactSpan = exactSpanImpl.get();
  const BoundSpanKernel boundSpan = boundSpanImpl.get();
  // A span from (s, c): the kernel's whole blocks, then the rest one at a time.
  auto exactRun = [&](const double* xs, int64_t len, double s, double c, bool scaled, double* r, SpanEnd& e) {
    finishSpan(xs, exactSpan(xs, len, s, c, scaled, r, e), len, false, 0.0, scaled, r, e);
  };
  auto boundRun = [&](const double* xs, int64_t len, double s, double c, double b, bool scaled, double* r,
                      SpanEnd& e) {
    finishSpan(xs, boundSpan(xs, len, s, c, b, scaled, r, e), len, true, b, scaled, r, e);
  };
  // In place the results wait here until the register has taken the span.
  alignas(64) double buffer[kSpan];
  // The largest |c| assumed for the next bound-mode span: 1024 times the last span's. A
  // span that exceeds it runs again; a generous assumption costs nothing measurable (B
  // stays near 2^-40 of an ulp of the prefixes), while a tight one (twice the last) reran
  // a fifth of the spans of wide data.
  double expected = 0.0;
  SpanEnd e;
  const int64_t n = z.n;
  for (int64_t i = 0; i < n;) {
    const int64_t len = std::min(kSpan, n - i);
    const double* xs = z.x + i;
    double* r = z.inPlace ? buffer : z.out + i;
    if (p.far != 0.0) {
      farSpan(xs, len, p, p.bound + 2 * kBoundFloor, r, e.undecided);
    } else {
      // Scaled by 2^64 when the values are small (a span with an element that cannot be
      // scaled runs again unscaled): the pair, its bound and the assumed |c| in that scale.
      bool scaled = worthScaling(xs, len, p) && p.bound <= kScalable && expected <= kScalable;
      auto inScale = [&](double v) { return scaled ? scaleUp(v) : v; };
      // The end state back from the span's scale (exactly: see kScale).
      auto endState = [&] {
        if (!scaled) return;
        e.s = scaleDown(e.s);
        e.c = scaleDown(e.c);
        e.m = scaleDown(e.m);
        e.least = scaleDown(e.least);
      };
      // The largest |c| of the span when an exact run has seen it (in the span's scale): the
      // bound mode's steps are the same.
      double seen = 0.0;
      if (p.grain > 0.0) {
        exactRun(xs, len, inScale(p.s), inScale(p.c), scaled, r, e);
        if (scaled && !e.scalable) {
          scaled = false;
          exactRun(xs, len, p.s, p.c, false, r, e);
        }
        seen = e.m;
        endState();
        // Every element is a multiple of its binade times 2^-52 (zeros of anything), and of
        // 2^-1074 (subnormals, whose binadeOf is 0, too).
        const double grain = std::min(p.grain, std::max(binadeOf(e.least) * 0x1p-52, 0x1p-1074));
        if (std::fabs(e.c) <= kMaxDouble && e.m < grain * 0x1p53) {
          if (z.inPlace) std::memcpy(z.out + i, r, static_cast<size_t>(len) * sizeof(double));
          renormalize(p, e.s, e.c);
          p.grain = grain;
          i += len;
          continue;
        }
        // The pair is exact at the span's start: bound mode from there, bound 0.
        materialize(z, i, p.s, p.c);
        p.grain = 0.0;
        p.bound = 0.0;
      }
      // Bound mode in the span's scale: b0 >= the bound, >= 2^-1000 (the floor in that
      // scale; scaled, the prefixes it decides are at least 2^-947 2^-64 >= 2^-1022, normal,
      // where 2^-64 times the rounding of 2^64 W is the rounding of W).
      double s = inScale(p.s);
      double c = inScale(p.c);
      double b0 = inScale(p.bound) + kBoundFloor;
      double m = std::max({inScale(expected), std::fabs(c), seen});
      boundRun(xs, len, s, c, spanBound(b0, m, len), scaled, r, e);
      if (scaled && !e.scalable) {
        scaled = false;
        s = p.s;
        c = p.c;
        b0 = p.bound + kBoundFloor;
        m = std::max(expected, std::fabs(c));  // (an exact run has seen the span scaled or not at all)
        boundRun(xs, len, s, c, spanBound(b0, m, len), false, r, e);
      }
      if (!(e.m <= m)) {
        // |c| grew past the assumption: the span again with its true maximum.
        m = e.m;
        boundRun(xs, len, s, c, spanBound(b0, m, len), scaled, r, e);
      }
      uint64_t any = 0;
      for (const uint64_t w : e.undecided) any |= w;
      if (any != 0) retest(xs, s, c, b0, scaled, e.undecided, r);
      const double bound = spanBound(b0, m, len);
      endState();
      expected = 1024.0 * e.m;
      renormalize(p, e.s, e.c);
      p.bound = scaled ? boundDown(bound) : bound;
    }
    // The prefixes still undecided, from the register.
    uint64_t any = 0;
    for (int w = 0; w < kSpanWords; ++w) {
      any |= e.undecided[w];
      for (uint64_t u = e.undecided[w]; u != 0; u &= u - 1) {
        const int64_t j = 64 * w + __builtin_ctzll(u);
        syncTo(z, i + j + 1);
        r[j] = round(z.acc);
      }
    }
    if (z.inPlace || any != 0) syncTo(z, i + len);
    if (z.inPlace) std::memcpy(z.out + i, r, static_cast<size_t>(len) * sizeof(double));
    i += len;
    if (z.keep && i - z.synced >= kSyncStretch) syncTo(z, i);
    if (any != 0 && !restart(z, p)) {
      specialTail(z, i);
      return;
    }
  }
  if (p.grain > 0.0) materialize(z, n, p.s, p.c);
}

}  // namespace

int64_t exactSpanSse2(const double* x, int64_t len, double s, double c, bool scaled, double* r, SpanEnd& end) {
  return scaled ? runSpanBlocks<Sse2Ops, false, true>(x, len, s, c, 0.0, r, end)
                : runSpanBlocks<Sse2Ops, false, false>(x, len, s, c, 0.0, r, end);
}

int64_t boundSpanSse2(const double* x, int64_t len, double s, double c, double b, bool scaled, double* r,
                      SpanEnd& end) {
  return scaled ? runSpanBlocks<Sse2Ops, true, true>(x, len, s, c, b, r, end)
                : runSpanBlocks<Sse2Ops, true, false>(x, len, s, c, b, r, end);
}

// The AVX copies wherever the AVX2 family runs (both give the same bits); eight lanes
// would gain nothing, the two chains of dependent additions set the pace.
constinit KernelSlot<ExactSpanKernel> exactSpanImpl{{exactSpanSse2, SELA_X86_KERNEL(exactSpanAvx2), nullptr}};
constinit KernelSlot<BoundSpanKernel> boundSpanImpl{{boundSpanSse2, SELA_X86_KERNEL(boundSpanAvx2), nullptr}};

void runningSum(SuperAccumulator& acc, const double* x, double* out, int64_t n, RunningTotal total) {
  if (n <= 0) return;
  Series z{acc, x, out, n, out == x, total == RunningTotal::Keep, 0, 0.0, 0.0};
  run(z);
  if (total == RunningTotal::Keep) syncTo(z, n);
}

}  // namespace sela
