// The steps of the sums of orosum.h, each the reference form of one step of its
// algorithm: orosum.cpp builds the sums from them and its tests check each one against its
// definition.
#pragma once

#include <cstdint>

#include "scratch.h"

namespace sela {

// The sweep behind sumK for n >= 2 and 1 <= passes <= n, with the passes' running sums
// left in sums[0 .. passes-1]. Unguarded (guarded = false), its steps are TwoSums of any
// operands, which equals the cascade whenever every pass's sum ends finite; guarded, every
// step takes the error as +0.0 where an operand is not finite, as the cascade does.
double cascadeSweep(const double* values, int64_t n, int64_t passes, bool guarded, double* sums);

// The longest input the transformation accepts. Its stopping test is sound only while
// 2^(2M) * 2^-53 <= 1 with M = ceilLog2(n + 2), that is M <= 26; longer inputs are summed
// exactly by superSum instead (exact and correctly rounded, so faithful and nearest).
constexpr int64_t kMaxTransformLength = (int64_t{1} << 26) - 2;

// The smallest k >= 0 with 2^k >= a (0 for a <= 1); at most 63.
int64_t ceilLog2(int64_t a);

// 2^k from its bit pattern; valid for -1022 <= k <= 1023.
double pow2i(int64_t k);

// The smallest power of two not below |x|: +0.0 for a zero, 2^-1022 for a subnormal, x
// itself (sign cleared) for a power of two or an infinity, +inf above 2^1023.
double nextPowerTwo(double x);

// Splits p[0..n-1] at sigma in place: q = (sigma + p[i]) - sigma, p[i] -= q; returns the
// sum of the q. Requires a power of two sigma with |p[i]| <= 2^-M * sigma and
// n + 2 <= 2^M: then every q is a multiple of 2^-53 * sigma and every partial sum of them
// is below sigma in magnitude, so the sum is exact in any order of addition.
double extractVector(double* p, int64_t n, double sigma);

struct TransformResult {
  double tau1;  // leading part of rho plus the sum of p
  double tau2;  // the rounding error of tau1
};

// The error-free transformation: on return rho + sum(p) = tau1 + tau2 + sum(new p)
// exactly, with the residuals in p small against tau1. Requires finite p,
// n + 2 <= 2^52, and rho on the grid of the first split: a multiple of 2^-53 * sigma_0,
// sigma_0 = nextPowerTwo(max |p[i]|) * 2^M (rhoOnFirstGrid; rho = 0 always is). Every
// high part and every later partial sum t lies on that grid or a finer one, so each sum
// t + tau that continues the loop is below 2^(2M) grid units and exact, and the last one,
// FastTwoSum(t, tau), is exact because t is a multiple of the unit in which tau has at
// most 53 bits. An off-grid rho breaks the first of these: with sigma_0 = 2^62,
// 0.75 + 2^60 rounds to 2^60 and the 0.75 is lost. A violated precondition raises an
// internal fault and returns (0.0, 0.0). (+inf, 0.0) when sigma would overflow;
// (rho, 0.0) when p is empty or all zeros.
TransformResult rumpTransform(double* p, int64_t n, double rho);

// rumpTransform, then (naiveSum(p) + tau2) + tau1: the faithfully rounded value of
// rho + sum(p). +inf when tau1 is not finite. The same precondition on rho (0.0 on a
// fault).
double rumpTransformK(double* p, int64_t n, double rho);

// Whether rho is a multiple of 2^-53 * nextPowerTwo(maxAbs) * 2^M, M = ceilLog2(n + 2):
// the condition on the offset of the two transformations above (true when maxAbs is 0,
// n <= 0, or sigma_0 overflows, where no split is made).
bool rhoOnFirstGrid(double rho, double maxAbs, int64_t n);

// What the shared preparation of AccSum and NearSum found.
struct ExtractionOutcome {
  bool done = false;   // the final result is already known...
  double value = 0.0;  // ...and is this
  double tau1 = 0.0;   // otherwise the transformation's leading part
  double tau2 = 0.0;   // and its rounding error
};

// Copies the input to `residual` and transforms it; settles the result at once for
// n <= 1 (the element itself), for an input holding an infinity or a NaN, for one whose
// sigma would overflow and for one longer than kMaxTransformLength (superSum in these
// three cases).
void rumpExtract(const double* values, int64_t n, ScratchArray& residual, ExtractionOutcome& outcome);

}  // namespace sela
