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

}  // namespace sela
