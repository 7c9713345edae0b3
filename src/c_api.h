// The exported frame shared by every counted sela_* function.
//
// 1. A count of 0 returns the export's empty value at once; the arrays are not read.
// 2. The unsigned count becomes the signed 64-bit length by saturation at 2^63 - 1.
// 3. The thread's error state is cleared, so a fault affects only the call raising it.
// 4. Exactly one worker runs; the rule after it decides what a pending error does.
#pragma once

#include <cstdint>

#include "algorithms/errorfree.h"
#include "error_state.h"

namespace sela {

enum class AfterWorker {
  AsIs,          // the worker's result, whatever the error state
  FaultGivesZero,  // +0.0 if any error is pending
  ValueErrorGivesNaN,  // quiet NaN for a value error, +0.0 for an internal fault
};

inline int64_t saturateCount(uint64_t n) {
  constexpr uint64_t kMaxLength = 0x7FFFFFFFFFFFFFFFULL;
  return static_cast<int64_t>(n > kMaxLength ? kMaxLength : n);
}

template <AfterWorker rule, typename Worker>
inline double exportFrame(uint64_t n, double emptyValue, Worker worker) {
  if (n == 0) return emptyValue;
  const int64_t length = saturateCount(n);
  clearError();
  const double r = worker(length);
  if constexpr (rule == AfterWorker::AsIs) {
    return r;
  } else {
    if (!errorPending()) return r;
    if (rule == AfterWorker::ValueErrorGivesNaN && threadError.kind == ErrorKind::ValueError) {
      clearError();
      return quietNaN();
    }
    return 0.0;
  }
}

}  // namespace sela
