// Running exact sums: every prefix of a series rounded once, exactly as the
// superaccumulator rounds its value, at a few times the cost of a plain running sum.
//
// A compensated running pair (s, c) follows the prefix sums. Blocks of data whose bits
// fit the pair are summed without any error, so s + c rounded is the answer; elsewhere a
// proven bound on the pair's error shows, prefix by prefix, which double the exact value
// rounds to. The few prefixes the bound cannot decide (ties, heavy cancellation, values
// beyond the range, special values) are rounded from the exact register, which then
// restarts the pair. Every route gives the double round() gives.
#pragma once

#include <cstdint>

#include "algorithms/exactsum.h"

namespace sela {

// Whether the register must hold acc + x[0 .. n-1] when runningSum returns. When it need
// not (sela_cumsum_exact drops it), the register is only brought up to date where a
// prefix needs it.
enum class RunningTotal { Keep, Drop };

// out[i] = round(acc + x[0] + ... + x[i]) for i = 0 .. n-1, bit for bit: the special
// words first (a NaN, the infinity, +inf and -inf together a NaN), else the exact value
// rounded to nearest, ties to even. With RunningTotal::Keep acc ends holding
// acc + x[0 .. n-1]; with Drop its contents at the end are unspecified. n <= 0 does
// nothing. out may be x itself (every x[i] is read before out[i] is written); any other
// overlap of the two arrays is not allowed. About 2 KiB of stack besides acc; long
// stretches the register must take go through add(), whose heap workspace is optional.
void runningSum(SuperAccumulator& acc, const double* x, double* out, int64_t n, RunningTotal total);

// ---- The span kernels (cumsum_kernels.h), one copy per instruction set ----

// Elements per span: the undecided prefixes of a span fit kSpanWords 64-bit masks.
constexpr int64_t kSpan = 512;
constexpr int kSpanWords = static_cast<int>(kSpan / 64);

// What a span's whole blocks leave: the pair after their last element, the largest |c|
// after any of them (a NaN c is skipped), for exact spans the least nonzero |x| among
// them (+inf if none; NaNs skipped), for bound spans the undecided bits; for scaled
// spans whether every element could be scaled.
struct SpanEnd {
  double s;
  double c;
  double m;
  double least;
  bool scalable;
  uint64_t undecided[kSpanWords];
};

// Each runs the pair over the whole blocks of x[0 .. len-1], 0 < len <= kSpan, from
// (s, c), and returns how many elements it took (a multiple of the block length; the
// caller steps through the rest). Exact mode: r[j] = fl(s + c) after element j. Bound
// mode with the bound b for every prefix: r[j] = up = fl(s + fl(c + b)) after element j,
// and its undecided bit set unless up = down = fl(s + fl(c - b)). The same bits in every
// copy: Sse2 is baseline x86-64 (cumsum.cpp), Avx2 needs the AVX2 family
// (cumsum_avx2.cpp).
// With `scaled`, the pair runs over the elements times 2^64 from (s, c) and with b given
// in that scale (cumsum_kernels.h), the results r are stored scaled back, and the end
// state is left in the scale.
using ExactSpanKernel = int64_t (*)(const double* x, int64_t len, double s, double c, bool scaled, double* r,
                                    SpanEnd& end);
using BoundSpanKernel = int64_t (*)(const double* x, int64_t len, double s, double c, double b, bool scaled,
                                    double* r, SpanEnd& end);
int64_t exactSpanSse2(const double* x, int64_t len, double s, double c, bool scaled, double* r, SpanEnd& end);
int64_t boundSpanSse2(const double* x, int64_t len, double s, double c, double b, bool scaled, double* r,
                      SpanEnd& end);
int64_t exactSpanAvx2(const double* x, int64_t len, double s, double c, bool scaled, double* r, SpanEnd& end);
int64_t boundSpanAvx2(const double* x, int64_t len, double s, double c, double b, bool scaled, double* r,
                      SpanEnd& end);

// The copies this processor runs, chosen on first use (kernel_slot.h).
template <typename Kernel>
class KernelSlot;
extern KernelSlot<ExactSpanKernel> exactSpanImpl;
extern KernelSlot<BoundSpanKernel> boundSpanImpl;

}  // namespace sela
