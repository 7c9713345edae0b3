// x86-64 only: elsewhere there is no CPUID, no x86 extension to look for, and the
// dispatch (kernel_slot.h) does not include this module.
#if defined(__x86_64__)

#include "runtimecheck.h"

#include <cpuid.h>

namespace sela {

// Indexed by InstructionSet; each row names the CPUID leaf, subleaf, register and bit
// that the processor vendor documents for the extension.
const CheckInfo checkInfos[kInstructionSetCount] = {
    {1, 0, 2, 0},   // SSE3
    {1, 0, 2, 9},   // SSSE3
    {1, 0, 2, 19},  // SSE4.1
    {1, 0, 2, 20},  // SSE4.2
    {1, 0, 2, 28},  // AVX
    {7, 0, 1, 5},   // AVX2
    {1, 0, 2, 1},   // PCLMULQDQ
    {7, 0, 1, 29},  // SHA
    {1, 0, 2, 25},  // AES
    {1, 0, 2, 13},  // CMPXCHG16B
    {1, 0, 2, 29},  // F16C
    {7, 0, 1, 3},   // BMI1
    {7, 0, 1, 8},   // BMI2
    {7, 0, 1, 16},  // AVX512F
    {7, 0, 1, 28},  // AVX512CD
    {7, 0, 1, 17},  // AVX512DQ
    {7, 0, 1, 30},  // AVX512BW
    {7, 0, 1, 31},  // AVX512VL
    {7, 0, 2, 11},  // AVX512_VNNI
    {7, 0, 1, 21},  // AVX512_IFMA
    {7, 0, 2, 1},   // AVX512_VBMI
    {7, 0, 2, 6},   // AVX512_VBMI2
    {7, 0, 2, 14},  // AVX512_VPOPCNTDQ
    {7, 0, 2, 12},  // AVX512_BITALG
    {7, 1, 0, 5},   // AVX512_BF16
    {7, 0, 3, 23},  // AVX512_FP16
    {7, 0, 3, 8},   // AVX512_VP2INTERSECT
    {7, 0, 2, 8},   // GFNI
    {7, 0, 2, 10},  // VPCLMULQDQ
    {7, 0, 2, 9},   // VAES
};

CpuidRegisters cpuid(uint32_t leaf, uint32_t subleaf) {
  unsigned a, b, c, d;
  __cpuid_count(leaf, subleaf, a, b, c, d);
  return {a, b, c, d};
}

uint64_t xgetbv0() {
  // Written as the instruction itself: the intrinsic needs the XSAVE target flag, and
  // this module is compiled for the baseline instruction set.
  uint32_t lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0u));
  return (uint64_t{hi} << 32) | lo;
}

namespace {
CpuidRegisters realCpuid(uint32_t leaf, uint32_t subleaf) { return cpuid(leaf, subleaf); }
uint64_t realXcr0() { return xgetbv0(); }
}  // namespace

bool osSupportsAvx512() { return osSupportsAvx512Using(realCpuid, realXcr0); }

bool checkInstructionSets(uint32_t set) { return checkInstructionSetsUsing(set, realCpuid, realXcr0); }

}  // namespace sela

#endif  // __x86_64__
