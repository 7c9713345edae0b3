// Processor feature detection: does this processor, with its operating system, support a
// set of x86-64 instruction-set extensions? Answers are read from CPUID (and XGETBV for
// the enabled register state) on every call; the dispatch layer keeps what it needs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace sela {

// Numbered as the rows of checkInfos; a set is a 32-bit mask with bit i for member i
// (bits 30 and 31 stand for nothing and are ignored).
enum class InstructionSet : int {
  SSE3 = 0,
  SSSE3 = 1,
  SSE41 = 2,
  SSE42 = 3,
  AVX = 4,
  AVX2 = 5,
  PCLMULQDQ = 6,
  SHA = 7,
  AES = 8,
  CMPXCHG16B = 9,
  F16C = 10,
  BMI1 = 11,
  BMI2 = 12,
  AVX512F = 13,
  AVX512CD = 14,
  AVX512DQ = 15,
  AVX512BW = 16,
  AVX512VL = 17,
  AVX512_VNNI = 18,
  AVX512_IFMA = 19,
  AVX512_VBMI = 20,
  AVX512_VBMI2 = 21,
  AVX512_VPOPCNTDQ = 22,
  AVX512_BITALG = 23,
  AVX512_BF16 = 24,
  AVX512_FP16 = 25,
  AVX512_VP2INTERSECT = 26,
  GFNI = 27,
  VPCLMULQDQ = 28,
  VAES = 29,
};

constexpr int kInstructionSetCount = 30;

constexpr uint32_t maskOf(InstructionSet s) { return uint32_t{1} << static_cast<int>(s); }

// Members 13 to 26: asking for any of them adds the operating-system test for the
// AVX-512 register state.
constexpr uint32_t kAvx512FamilyMask = 0x7FFE000;

// Where a member's feature bit lies: CPUID leaf (EAX in) and subleaf (ECX in), the output
// register (0 EAX, 1 EBX, 2 ECX, 3 EDX) and the bit within it.
struct CheckInfo {
  int64_t leaf;
  int64_t subleaf;
  int64_t registerIndex;
  int64_t bit;
};

extern const CheckInfo checkInfos[kInstructionSetCount];

// CPUID output in the order EAX, EBX, ECX, EDX, so registerIndex indexes it directly.
using CpuidRegisters = std::array<uint32_t, 4>;

CpuidRegisters cpuid(uint32_t leaf, uint32_t subleaf);

// XCR0, the operating system's enabled-state mask (EDX:EAX). Only valid once CPUID leaf
// 1 has reported OSXSAVE.
uint64_t xgetbv0();

// Register-state bits of XCR0 that the extensions need enabled by the operating system.
constexpr uint64_t kXcr0AvxState = 0x6;      // SSE (bit 1) and the upper YMM halves (bit 2)
constexpr uint64_t kXcr0Avx512State = 0xE0;  // opmask (5), ZMM0-15 upper (6), ZMM16-31 (7)

// Leaf 1 ECX bits outside the member table that the checks below consult.
constexpr int kLeaf1EcxFma = 12;
constexpr int kLeaf1EcxOsxsave = 27;

// True when the operating system has enabled the AVX-512 register state: OSXSAVE is set
// (otherwise XGETBV is not executed) and XCR0 bits 5, 6 and 7 are all set.
bool osSupportsAvx512();

// True when every member of `set` is supported (the empty set gives true). Members are
// examined in ascending order and the first unsupported one ends the test. The AVX-512
// family members also need osSupportsAvx512(). AVX2 additionally requires FMA (leaf 1
// ECX bit 12), OSXSAVE and the OS-enabled AVX state (XCR0 bits 1 and 2): the code that
// asks for AVX2 executes FMA3 on YMM registers, which would fault without them. A
// processor whose highest basic CPUID leaf is below 7 supports no leaf-7 member.
bool checkInstructionSets(uint32_t set);

// The same tests over any source of CPUID and XCR0 values (the library passes the real
// instructions; tests pass recorded or invented processors). `readCpuid(leaf, subleaf)`
// returns CpuidRegisters, `readXcr0()` returns uint64_t.
template <typename ReadCpuid, typename ReadXcr0>
bool osSupportsAvx512Using(ReadCpuid&& readCpuid, ReadXcr0&& readXcr0) {
  const CpuidRegisters leaf1 = readCpuid(1u, 0u);
  if (((leaf1[2] >> kLeaf1EcxOsxsave) & 1u) == 0) return false;
  return (readXcr0() & kXcr0Avx512State) == kXcr0Avx512State;
}

template <typename ReadCpuid, typename ReadXcr0>
bool checkInstructionSetsUsing(uint32_t set, ReadCpuid&& readCpuid, ReadXcr0&& readXcr0) {
  if ((set & kAvx512FamilyMask) != 0 && !osSupportsAvx512Using(readCpuid, readXcr0)) return false;
  const CpuidRegisters leaf1 = readCpuid(1u, 0u);
  // Leaf 7 exists only when the highest basic leaf (leaf 0 EAX) reaches 7; on older
  // processors reading it returns the data of some other leaf.
  CpuidRegisters leaf7sub0{};
  CpuidRegisters leaf7sub1{};
  const bool hasLeaf7 = readCpuid(0u, 0u)[0] >= 7u;
  if (hasLeaf7) {
    leaf7sub0 = readCpuid(7u, 0u);
    leaf7sub1 = readCpuid(7u, 1u);
  }
  // Leaf 7 subleaf 0 EAX is the highest subleaf of leaf 7.
  const bool hasLeaf7Sub1 = hasLeaf7 && static_cast<int32_t>(leaf7sub0[0]) >= 1;
  for (int i = 0; i < kInstructionSetCount; ++i) {
    if (((set >> i) & 1u) == 0) continue;
    const CheckInfo& info = checkInfos[i];
    const CpuidRegisters* regs;
    if (info.leaf == 1) {
      regs = &leaf1;
    } else if (info.leaf == 7 && info.subleaf == 0 && hasLeaf7) {
      regs = &leaf7sub0;
    } else if (info.leaf == 7 && info.subleaf == 1 && hasLeaf7Sub1) {
      regs = &leaf7sub1;
    } else {
      return false;
    }
    if (info.registerIndex < 0 || info.registerIndex > 3) return false;
    const uint32_t reg = (*regs)[static_cast<std::size_t>(info.registerIndex)];
    if (((reg >> (info.bit & 31)) & 1u) == 0) return false;
    if (i == static_cast<int>(InstructionSet::AVX2)) {
      if (((leaf1[2] >> kLeaf1EcxFma) & 1u) == 0) return false;
      if (((leaf1[2] >> kLeaf1EcxOsxsave) & 1u) == 0) return false;
      if ((readXcr0() & kXcr0AvxState) != kXcr0AvxState) return false;
    }
  }
  return true;
}

}  // namespace sela
