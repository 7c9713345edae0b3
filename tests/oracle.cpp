#include "oracle.h"

#include <gmp.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace oracle {

namespace {

// acc += x * 2^scale, where x * 2^scale must be an integer.
void addScaled(mpz_t acc, double x, int scale, mpz_t tmp) {
  if (x == 0.0) return;
  int e;
  const double m = std::frexp(std::fabs(x), &e);  // |x| = m * 2^e, m in [0.5, 1)
  const auto mi = static_cast<uint64_t>(std::ldexp(m, 53));  // exact 53-bit integer
  mpz_set_ui(tmp, mi);
  const int shift = e - 53 + scale;
  if (shift >= 0) {
    mpz_mul_2exp(tmp, tmp, static_cast<mp_bitcnt_t>(shift));
  } else {
    mpz_tdiv_q_2exp(tmp, tmp, static_cast<mp_bitcnt_t>(-shift));  // exact: low bits are 0
  }
  if (x < 0) mpz_neg(tmp, tmp);
  mpz_add(acc, acc, tmp);
}

// Rounds the integer value * 2^-scale to the nearest double, ties to even.
double roundScaled(const mpz_t value, int scale) {
  const int sign = mpz_sgn(value);
  if (sign == 0) return 0.0;
  mpz_t mag, q, r, half;
  mpz_inits(mag, q, r, half, nullptr);
  mpz_abs(mag, value);
  const long bits = static_cast<long>(mpz_sizeinbase(mag, 2));
  // Keep 53 significant bits, but never bits of weight below 2^-1074.
  long shift = bits - 53;
  if (shift < scale - 1074) shift = scale - 1074;
  double result;
  if (shift <= 0) {
    result = std::ldexp(mpz_get_d(mag), -scale);  // exact
  } else {
    mpz_tdiv_q_2exp(q, mag, static_cast<mp_bitcnt_t>(shift));
    mpz_tdiv_r_2exp(r, mag, static_cast<mp_bitcnt_t>(shift));
    mpz_set_ui(half, 1);
    mpz_mul_2exp(half, half, static_cast<mp_bitcnt_t>(shift - 1));
    const int c = mpz_cmp(r, half);
    if (c > 0 || (c == 0 && mpz_odd_p(q))) mpz_add_ui(q, q, 1);
    const long exponent = shift - scale;
    // q <= 2^53 and the exponent may push past the range: ldexp rounds nothing here
    // except overflow to infinity.
    if (exponent + static_cast<long>(mpz_sizeinbase(q, 2)) > 1024) {
      result = std::numeric_limits<double>::infinity();
    } else {
      result = std::ldexp(mpz_get_d(q), static_cast<int>(exponent));
    }
  }
  mpz_clears(mag, q, r, half, nullptr);
  return sign < 0 ? -result : result;
}

constexpr int kSumScale = 1074;
constexpr int kDotScale = 2148;

void exactSumInteger(mpz_t acc, const double* x, int64_t n) {
  mpz_t tmp;
  mpz_init(tmp);
  for (int64_t i = 0; i < n; ++i) addScaled(acc, x[i], kSumScale, tmp);
  mpz_clear(tmp);
}

}  // namespace

double exactSum(const double* x, int64_t n) {
  mpz_t acc;
  mpz_init(acc);
  exactSumInteger(acc, x, n);
  const double r = roundScaled(acc, kSumScale);
  mpz_clear(acc);
  return r;
}

std::vector<double> exactRunningSums(const double* x, int64_t n) {
  std::vector<double> result(static_cast<size_t>(n));
  mpz_t acc, tmp;
  mpz_inits(acc, tmp, nullptr);
  for (int64_t i = 0; i < n; ++i) {
    addScaled(acc, x[i], kSumScale, tmp);
    result[static_cast<size_t>(i)] = roundScaled(acc, kSumScale);
  }
  mpz_clears(acc, tmp, nullptr);
  return result;
}

// The sum of the products x[i] * y[i] at scale 2^2148 (exact integers), each product first
// divided by 2^cut with truncation toward zero; the result is at scale 2^(2148 - cut).
// One product of that sum; tmp, a and b are scratch.
static void addProduct(mpz_t acc, double x, double y, int cut, mpz_t tmp, mpz_t a, mpz_t b) {
  if (x == 0.0 || y == 0.0) return;
  mpz_set_ui(a, 0);
  mpz_set_ui(b, 0);
  addScaled(a, x, kSumScale, tmp);
  addScaled(b, y, kSumScale, tmp);
  mpz_mul(tmp, a, b);
  mpz_tdiv_q_2exp(tmp, tmp, static_cast<mp_bitcnt_t>(cut));
  mpz_add(acc, acc, tmp);
}

static void dotInteger(mpz_t acc, const double* x, const double* y, int64_t n, int cut) {
  mpz_t tmp, a, b;
  mpz_inits(tmp, a, b, nullptr);
  for (int64_t i = 0; i < n; ++i) addProduct(acc, x[i], y[i], cut, tmp, a, b);
  mpz_clears(tmp, a, b, nullptr);
}

struct RunningDot::State {
  mpz_t acc, tmp, a, b;
};

RunningDot::RunningDot() : state_(std::make_unique<State>()) {
  mpz_inits(state_->acc, state_->tmp, state_->a, state_->b, nullptr);
}

RunningDot::~RunningDot() { mpz_clears(state_->acc, state_->tmp, state_->a, state_->b, nullptr); }

void RunningDot::add(double x, double y) { addProduct(state_->acc, x, y, 0, state_->tmp, state_->a, state_->b); }

double RunningDot::value() const { return roundScaled(state_->acc, kDotScale); }

double exactDot(const double* x, const double* y, int64_t n) {
  mpz_t acc;
  mpz_init(acc);
  dotInteger(acc, x, y, n, 0);
  const double r = roundScaled(acc, kDotScale);
  mpz_clear(acc);
  return r;
}

double flooredDot(const double* x, const double* y, int64_t n) {
  // Dividing each exact product at scale 2^2148 by 2^1073 with truncation toward zero
  // leaves its multiple of 2^-1075, at scale 2^1075.
  constexpr int kFloorScale = 1075;
  mpz_t acc, tmp;
  mpz_inits(acc, tmp, nullptr);
  dotInteger(acc, x, y, n, kDotScale - kFloorScale);
  double r;
  mpz_abs(tmp, acc);
  if (mpz_sizeinbase(tmp, 2) > 53 || mpz_sgn(acc) == 0) {
    // |S| >= 2^53 units of 2^-1075, i.e. 2^-1022 or more (or S = 0): nearest, ties to even.
    r = roundScaled(acc, kFloorScale);
  } else {
    // Subnormal range: |S| < 2^53 units; the result is a whole number of 2^-1074 units.
    const auto units = mpz_get_si(acc);
    long q;
    if (units >= 0) {
      q = units / 2;
    } else if (units >= -(1L << 32)) {
      q = -((-units) / 2);
    } else {
      q = -((-units + 1) / 2);
    }
    r = q == 0 ? (units < 0 ? -0.0 : 0.0) : std::ldexp(static_cast<double>(q), -1074);
  }
  mpz_clears(acc, tmp, nullptr);
  return r;
}

// value * 2^-scale / count, rounded to nearest-even. The quotient is formed with K extra
// bits, far below any rounding position, and a last bit set when the division leaves a
// remainder: that bit only tells a tie from a value just above it, which is all rounding
// needs.
static double roundDividedScaled(const mpz_t value, int scale, uint64_t count) {
  constexpr int K = 200;
  mpz_t q, r, d;
  mpz_inits(q, r, d, nullptr);
  mpz_mul_2exp(q, value, K);
  mpz_set_ui(d, count);
  mpz_tdiv_qr(q, r, q, d);
  mpz_mul_2exp(q, q, 1);
  if (mpz_sgn(r) != 0) mpz_sgn(value) < 0 ? mpz_sub_ui(q, q, 1) : mpz_add_ui(q, q, 1);
  const double result = roundScaled(q, scale + K + 1);
  mpz_clears(q, r, d, nullptr);
  return result == 0.0 ? 0.0 : result;
}

double exactSumDivided(const double* x, int64_t n, int doublings, uint64_t count) {
  mpz_t acc;
  mpz_init(acc);
  exactSumInteger(acc, x, n);
  mpz_mul_2exp(acc, acc, static_cast<mp_bitcnt_t>(doublings));
  const double r = roundDividedScaled(acc, kSumScale, count);
  mpz_clear(acc);
  return r;
}

double flooredDotDivided(const double* x, const double* y, int64_t n, uint64_t count) {
  constexpr int kFloorScale = 1075;
  mpz_t acc;
  mpz_init(acc);
  dotInteger(acc, x, y, n, kDotScale - kFloorScale);
  const double r = roundDividedScaled(acc, kFloorScale, count);
  mpz_clear(acc);
  return r;
}

int compareSum(const double* x, int64_t n, double v) {
  mpz_t acc, tmp, vv;
  mpz_inits(acc, tmp, vv, nullptr);
  exactSumInteger(acc, x, n);
  addScaled(vv, v, kSumScale, tmp);
  const int c = mpz_cmp(acc, vv);
  mpz_clears(acc, tmp, vv, nullptr);
  return (c > 0) - (c < 0);
}

Bracket exactSumBracket(const double* x, int64_t n) {
  const double r = exactSum(x, n);
  const int c = compareSum(x, n, r);
  if (c == 0) return {r, r};
  if (c > 0) return {r, std::nextafter(r, std::numeric_limits<double>::infinity())};
  return {std::nextafter(r, -std::numeric_limits<double>::infinity()), r};
}

bool sameBits(double a, double b) { return std::bit_cast<uint64_t>(a) == std::bit_cast<uint64_t>(b); }

}  // namespace oracle
