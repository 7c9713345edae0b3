// The condition number's blocked sweep on AVX-512 vectors (built with -mavx512f for its
// suffix, cmake/kernels.cmake; reached only where the dispatch found that family).
#include "algorithms/conditionnumber_kernels.h"
#include "algorithms/vector_ops_avx512.h"

int64_t sela::conditionBlocksAvx512(const double* x, int64_t n, ConditionChains& chains) {
  return conditionBlocks<Avx512Ops, ConditionRegisterAvx>(x, n, chains);
}
