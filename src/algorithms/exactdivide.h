// The value held by an exact register divided by a positive integer, rounded once: the
// exact mean of everything added, correct even where the sum itself lies beyond the
// double range.
#pragma once

#include <cstdint>

#include "algorithms/exactsum.h"

namespace sela {

// nanBits if set, else infBits if set (an infinity divided by a positive count is that
// infinity), else overflowBits if set (likewise), else the register's value divided by count, rounded to nearest with ties to
// even, overflowing to +-inf only where the quotient itself is beyond the range. A zero
// result is +0.0, whatever the sign of the value it came from. Requires count >= 1. The
// record is only read: the register may hold any value its headroom allows, including
// values beyond the reach of its own normal form.
double roundDivided(const SuperAccumulator& acc, uint64_t count);

}  // namespace sela
