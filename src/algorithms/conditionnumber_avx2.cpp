// The condition number's blocked sweep on AVX vectors (built with -mavx2 -mfma for its
// suffix, cmake/kernels.cmake; reached only where the dispatch found the AVX2 family).
#include "algorithms/conditionnumber_kernels.h"
#include "algorithms/vector_ops_avx2.h"

int64_t sela::conditionBlocksAvx(const double* x, int64_t n, bool lifted, ConditionChains& chains) {
  return lifted ? conditionBlocks<Avx2Ops, ConditionRegisterAvx, true>(x, n, chains)
                : conditionBlocks<Avx2Ops, ConditionRegisterAvx, false>(x, n, chains);
}
