// Statistical reductions that never overflow or underflow in their intermediate steps:
// the scaled Euclidean norm, the mean built on the exact sum, and centered sums of
// squares, cross products, cosine similarity and projection coefficient, whose products
// are all accumulated exactly in the superaccumulator.
#pragma once

#include <cstdint>

namespace sela {

// The Euclidean norm with a running scale (the largest magnitude so far): squares are
// taken only of elements divided by the scale, so the result is finite whenever the
// true norm is. The first NaN (quiet NaN) or infinity (+inf) in array order decides.
// +0.0 for n <= 0 or all zeros.
double scaledEuclideanNorm(const double* x, int64_t n);

// The same norm fed in pieces: normAdd over consecutive pieces, then normResult, gives
// the bits of scaledEuclideanNorm over their concatenation.
struct NormState {
  double scale = 0.0;
  double ssq = 1.0;
  double negligible = 0.0;  // scale * 2^-511 when that is exact, else 0 (nothing skipped)
  double decided = 0.0;     // the quiet NaN or +inf once a NaN or an infinity was met
};
void normAdd(NormState& st, const double* x, int64_t n);
double normResult(const NormState& st);
// normAdd(a, u, n) and normAdd(b, v, n), the two states' operations interleaved.
void normAddPair(NormState& a, const double* u, NormState& b, const double* v, int64_t n);

// The exact sum rounded once, divided by n. When that sum overflows although every
// element is finite, the correctly rounded sum of the rounded quotients x[j] / n instead.
// n <= 0 raises the value error "mean requires at least one value".
double scaledMean(const double* x, int64_t n);

// sum (x[i] - c)^2 over the rounded differences, accumulated exactly, rounded once.
double centeredSumSquares(const double* x, int64_t n, double c);

// sum (x[i] - cx)(y[i] - cy) over i < nx, accumulated exactly, rounded once; cx belongs
// to x and cy to y. Requires ny >= nx (an internal fault and +0.0 otherwise).
double centeredCrossProduct(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy);

// A centered vector brought to magnitude about 1, chunk by chunk: the scale is
// max(|c|, largest non-NaN |x[i]|) (|c| left out when c is NaN; +0.0 for n <= 0), and
// out[i] = (x[i] - c) / scale, with an overflowing difference formed as
// x[i] / scale - c / scale; all zeros when the scale is 0. Values of finite data lie in
// [-2, 2]. The scale must be finite for the values.
double centeredScale(const double* x, int64_t n, double c);
void normalizeCentered(const double* x, int64_t n, double c, double scale, double* out);

// The normalization's vector lanes (statistical_reductions_kernels.h), one copy per
// instruction set: each writes out[i] = (x[i] - c) / scale, each operation rounded once,
// for i from 0 up to the first vector of elements holding an infinite difference (or the
// last whole vector), and returns where it stopped; the caller finishes the rest element
// by element. Sse2 is baseline x86-64, Avx needs AVX (statistical_reductions_avx2.cpp),
// Avx512 AVX-512F (statistical_reductions_avx512.cpp).
int64_t normalizeLanesSse2(const double* x, int64_t n, double c, double scale, double* out);
int64_t normalizeLanesAvx(const double* x, int64_t n, double c, double scale, double* out);
int64_t normalizeLanesAvx512(const double* x, int64_t n, double c, double scale, double* out);
using NormalizeKernel = int64_t (*)(const double*, int64_t, double, double, double*);

// The copy this processor runs, chosen on first use (kernel_slot.h).
template <typename Kernel>
class KernelSlot;
extern KernelSlot<NormalizeKernel> normalizeLanesImpl;

// The largest non-NaN magnitude over the whole vectors at the start of x
// (statistical_reductions_kernels.h), one copy per instruction set; *done is their
// length, which the caller finishes element by element.
double maxMagnitudeLanesSse2(const double* x, int64_t n, int64_t* done);
double maxMagnitudeLanesAvx(const double* x, int64_t n, int64_t* done);
double maxMagnitudeLanesAvx512(const double* x, int64_t n, int64_t* done);
using MaxMagnitudeKernel = double (*)(const double*, int64_t, int64_t*);
extern KernelSlot<MaxMagnitudeKernel> maxMagnitudeLanesImpl;

// The cosine similarity's sweep over a chunk (statistical_reductions_kernels.h), one copy
// per instruction set: u[i] = (x[i] - cx) / sx and v[i] = (y[i] - cy) / sy as
// normalizeCentered writes them, and normAdd(a, u, ...) and normAdd(b, v, ...) over them,
// for i from 0 up to the first vector of elements the element steps must take (an
// infinite difference, a new maximum of either norm's scale, a NaN) or the last whole
// vector; returns where it stopped. The states must have a scale and no decided result.
// With products non-null, the sweep also runs the certified dot product's lanes
// (certifiedDotAdd) over the products u[i] v[i] of its first *productsDone values, which
// it sets; certifiedDotAdd over u and v from there to the end of the chunk then leaves the
// lanes as certifiedDotAdd over the whole chunk would. The SSE2 copy (no fused
// multiply-add, no certified pass) takes no products and sets *productsDone to 0.
struct CenteredPairScales {
  double cx, cy;  // the centers
  double sx, sy;  // the scales, finite and non-zero
  // Whether the whole vectors' values are formed lifted also where the scale alone does
  // not ask for it (a sample of the vector holds a subnormal element: liftsCentered in
  // statistical_reductions_kernels.h, taken once per call by the caller).
  bool liftX = false, liftY = false;
};
struct CertifiedDotLanes;
int64_t normalizePairWithNormsSse2(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                   double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                   int64_t* productsDone);
int64_t normalizePairWithNormsAvx(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                  double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                  int64_t* productsDone);
int64_t normalizePairWithNormsAvx512(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                                     double* u, double* v, NormState& a, NormState& b, CertifiedDotLanes* products,
                                     int64_t* productsDone);
using NormalizePairKernel = int64_t (*)(const double*, const double*, int64_t, const CenteredPairScales&, double*,
                                        double*, NormState&, NormState&, CertifiedDotLanes*, int64_t*);
extern KernelSlot<NormalizePairKernel> normalizePairWithNormsImpl;

// The projection coefficient's pass (statistical_reductions_kernels.h): the certified
// lanes (certifiedDotAdd) of the products u[i] v[i] into cross and u[i] u[i] into self,
// the values formed as normalizeCentered forms them and never stored, over the whole
// pairs of vectors at the start of x and y; returns how many elements they took (0 for
// the SSE2 copy: no fused multiply-add, no certified pass). certifiedDotAdd over the rest
// then leaves both lanes as certifiedDotAdd over all the values would.
int64_t projectionLanesSse2(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                            CertifiedDotLanes& cross, CertifiedDotLanes& self);
int64_t projectionLanesAvx(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                           CertifiedDotLanes& cross, CertifiedDotLanes& self);
int64_t projectionLanesAvx512(const double* x, const double* y, int64_t n, const CenteredPairScales& p,
                              CertifiedDotLanes& cross, CertifiedDotLanes& self);
using ProjectionLanesKernel = int64_t (*)(const double*, const double*, int64_t, const CenteredPairScales&,
                                          CertifiedDotLanes&, CertifiedDotLanes&);
extern KernelSlot<ProjectionLanesKernel> projectionLanesImpl;

// The fused quotients (scale_division.h) of the whole vectors of a by the scale b, for
// tests, one copy per family with multiply-adds: q[i] the fused quotient of a[i],
// vouched[i] whether its lane passed the range test that vouches for it. Returns whether
// the scale takes fused quotients at all (nothing is written otherwise) and sets *done to
// the length of the whole vectors.
bool fusedQuotientsAvx(const double* a, int64_t n, double b, double* q, bool* vouched, int64_t* done);
bool fusedQuotientsAvx512(const double* a, int64_t n, double b, double* q, bool* vouched, int64_t* done);

// The cosine of the angle between x - cx and y - cy, in [-1, 1]; NaN for a zero or
// infinite centered vector or any NaN. Unequal or zero lengths raise the value error
// "centered vectors must have equal non-zero lengths".
double centeredCosineSimilarity(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy);

// The least-squares slope of (y - cy) on (x - cx): sum (x-cx)(y-cy) / sum (x-cx)^2. NaN
// for a zero or infinite centered x, an infinite y, or any NaN; +0.0 when the centered y
// vanishes. The same value error as the cosine similarity.
double centeredProjectionCoefficient(const double* x, int64_t nx, const double* y, int64_t ny, double cx, double cy);

}  // namespace sela
