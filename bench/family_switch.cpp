// The kernel family of sela_family_bench, chosen by the environment of the benchmark
// binary (the library itself reads nothing): SELA_BENCH_FAMILY=avx2 stores the AVX2
// family's copies into every dispatch slot before the first benchmark runs, so that a
// processor with AVX-512 times what an AVX2-only processor would run; =scalar stores the
// baseline copies; unset or =native leaves the slots to their own selection. The binary
// links the library's objects (not the shared object) to reach the slots; the chosen
// family is printed in the run's context.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "algorithms/certifiedsum.h"
#include "algorithms/conditionnumber.h"
#include "algorithms/cumsum.h"
#include "algorithms/dotproduct.h"
#include "algorithms/exactengine.h"
#include "algorithms/exactsum.h"
#include "algorithms/shortsum.h"
#include "algorithms/statistical_reductions.h"
#include "bench_util.h"
#include "kernel_slot.h"
#include "simd_dispatch.h"

namespace {

enum class Wanted { Native, Avx2, Scalar };

// The family's copy, or the scalar one where the family offers none (as the selection
// does on a processor of that family).
template <typename Kernel>
void storeFamily(sela::KernelSlot<Kernel>& slot, Wanted wanted) {
  const sela::KernelChoices<Kernel>& c = slot.choices();
  slot.store(wanted == Wanted::Avx2 && c.avx2 != nullptr ? c.avx2 : c.scalar);
}

// Every slot of the library (a slot missing here keeps its widest copy: the list is
// checked against the sources by grep in tests/check_family_switch.sh).
void storeAll(Wanted w) {
  storeFamily(sela::certifiedSumImpl, w);
  storeFamily(sela::certifiedDotImpl, w);
  storeFamily(sela::certifiedCenteredImpl, w);
  storeFamily(sela::extractionSumImpl, w);
  storeFamily(sela::extractionDotImpl, w);
  storeFamily(sela::shortSumImpl, w);
  storeFamily(sela::shortDotImpl, w);
  storeFamily(sela::productSplitImpl, w);
  storeFamily(sela::limbsShiftedOrImpl, w);
  storeFamily(sela::limbsSurveyImpl, w);
  storeFamily(sela::limbsMergeImpl, w);
  storeFamily(sela::clearRecordImpl, w);
  storeFamily(sela::depositFiniteImpl, w);
  storeFamily(sela::conditionBlocksImpl, w);
  storeFamily(sela::naiveDotImpl, w);
  storeFamily(sela::dot2Impl, w);
  storeFamily(sela::dotK3Impl, w);
  storeFamily(sela::dot2ArrangementImpl, w);
  storeFamily(sela::exactSpanImpl, w);
  storeFamily(sela::boundSpanImpl, w);
  storeFamily(sela::normalizeLanesImpl, w);
  storeFamily(sela::maxMagnitudeLanesImpl, w);
  storeFamily(sela::normalizePairWithNormsImpl, w);
  storeFamily(sela::projectionLanesImpl, w);
}

const char* chooseFamily() {
  const char* asked = std::getenv("SELA_BENCH_FAMILY");
  if (asked == nullptr || std::strcmp(asked, "native") == 0) return "native";
  if (std::strcmp(asked, "scalar") == 0) {
    storeAll(Wanted::Scalar);
    return "scalar";
  }
  if (std::strcmp(asked, "avx2") == 0) {
    if (!sela::avx2FamilySupported()) {
      std::fprintf(stderr, "SELA_BENCH_FAMILY=avx2: this processor does not run the AVX2 family\n");
      std::exit(2);
    }
    storeAll(Wanted::Avx2);
    return "avx2";
  }
  std::fprintf(stderr, "SELA_BENCH_FAMILY=%s: expected native, avx2 or scalar\n", asked);
  std::exit(2);
}

const bool chosen = [] {
  benchmark::AddCustomContext("kernel_family", chooseFamily());
  return true;
}();

}  // namespace
