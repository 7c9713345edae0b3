// A portable operation set of W lanes (see vector_ops.h): each lane a plain double and
// each operation the scalar IEEE operation, lane by lane, with fma and fms through
// std::fma (one rounding). A kernel written over an operation set computes with it
// exactly what it computes with a hardware family of the same width, so it stands in for
// that family on processors without it (cmake/kernels.cmake: <module>_portable.cpp).
#pragma once

#include <cmath>
#include <cstdint>

#include "algorithms/vector_ops.h"

namespace {

template <int64_t Width>
struct PortableOps {
  static constexpr int64_t W = Width;
  struct V {
    double lane[Width];
  };
  template <typename F>
  static V each(F f) {
    V r;
    for (int64_t l = 0; l < W; ++l) r.lane[l] = f(l);
    return r;
  }
  static V zero() { return set1(0.0); }
  static V set1(double v) {
    return each([&](int64_t) { return v; });
  }
  static V load(const double* p) {
    return each([&](int64_t l) { return p[l]; });
  }
  static void store(double* p, V v) {
    for (int64_t l = 0; l < W; ++l) p[l] = v.lane[l];
  }
  static V add(V a, V b) {
    return each([&](int64_t l) { return a.lane[l] + b.lane[l]; });
  }
  static V sub(V a, V b) {
    return each([&](int64_t l) { return a.lane[l] - b.lane[l]; });
  }
  static V mul(V a, V b) {
    return each([&](int64_t l) { return a.lane[l] * b.lane[l]; });
  }
  static V div(V a, V b) {
    return each([&](int64_t l) { return a.lane[l] / b.lane[l]; });
  }
  static V fma(V a, V b, V c) {  // a*b + c, one rounding
    return each([&](int64_t l) { return std::fma(a.lane[l], b.lane[l], c.lane[l]); });
  }
  static V fms(V a, V b, V c) {  // a*b - c, one rounding (negating c is exact)
    return each([&](int64_t l) { return std::fma(a.lane[l], b.lane[l], -c.lane[l]); });
  }
};

}  // namespace
