// Processor feature detection: the real answers against the compiler's own detection,
// and the decision rules on invented processors (recorded CPUID and XCR0 values). x86-64
// only: elsewhere the module is not built (no CPUID; the dispatch keeps the scalar family,
// which simd_dispatch_test checks).
#if defined(__x86_64__)
#include <cstring>
#include <map>
#include <string>
#include <utility>

#include "runtimecheck.h"
#include "test_util.h"

using namespace sela;

namespace {

// An invented processor: CPUID answers by (leaf, subleaf), an XCR0 value, and counters of
// the instructions the checks executed.
struct FakeCpu {
  std::map<std::pair<uint32_t, uint32_t>, CpuidRegisters> leaves;
  uint64_t xcr0 = 0;
  int cpuidCalls = 0;
  int xgetbvCalls = 0;
  std::vector<std::pair<uint32_t, uint32_t>> asked;

  CpuidRegisters& at(uint32_t leaf, uint32_t sub) { return leaves[{leaf, sub}]; }
  void setBit(uint32_t leaf, uint32_t sub, int reg, int bit) { at(leaf, sub)[static_cast<size_t>(reg)] |= 1u << bit; }

  bool check(uint32_t set) {
    return checkInstructionSetsUsing(
        set,
        [this](uint32_t leaf, uint32_t sub) {
          ++cpuidCalls;
          asked.emplace_back(leaf, sub);
          auto it = leaves.find({leaf, sub});
          return it == leaves.end() ? CpuidRegisters{} : it->second;
        },
        [this] {
          ++xgetbvCalls;
          return xcr0;
        });
  }
  bool osAvx512() {
    return osSupportsAvx512Using(
        [this](uint32_t leaf, uint32_t sub) {
          ++cpuidCalls;
          return leaves[{leaf, sub}];
        },
        [this] {
          ++xgetbvCalls;
          return xcr0;
        });
  }
};

constexpr int EAX = 0, EBX = 1, ECX = 2, EDX = 3;

// A modern processor with an AVX-512-enabling operating system: highest leaf 0x20,
// leaf 7 with one extra subleaf, OSXSAVE and FMA, XCR0 with x87, SSE, AVX and AVX-512
// state.
FakeCpu modernCpu() {
  FakeCpu c;
  c.at(0, 0)[EAX] = 0x20;
  c.at(7, 0)[EAX] = 1;
  c.setBit(1, 0, ECX, kLeaf1EcxFma);
  c.setBit(1, 0, ECX, kLeaf1EcxOsxsave);
  c.xcr0 = 0xE7;
  for (int i = 0; i < kInstructionSetCount; ++i) {
    const CheckInfo& info = checkInfos[i];
    c.setBit(static_cast<uint32_t>(info.leaf), static_cast<uint32_t>(info.subleaf), static_cast<int>(info.registerIndex),
             static_cast<int>(info.bit));
  }
  return c;
}

const uint32_t kAvx2 = maskOf(InstructionSet::AVX2);
const uint32_t kAvx512F = maskOf(InstructionSet::AVX512F);

}  // namespace

// Every member against GCC's __builtin_cpu_supports, which reads the same bits with its
// own tables (and, like this module, requires the OS-enabled state for AVX-512 and AVX2).
TEST(FeatureDetection, AgreesWithTheCompilersDetection) {
  __builtin_cpu_init();
  const std::pair<InstructionSet, bool> expected[] = {
      {InstructionSet::SSE3, __builtin_cpu_supports("sse3") != 0},
      {InstructionSet::SSSE3, __builtin_cpu_supports("ssse3") != 0},
      {InstructionSet::SSE41, __builtin_cpu_supports("sse4.1") != 0},
      {InstructionSet::SSE42, __builtin_cpu_supports("sse4.2") != 0},
      {InstructionSet::AVX, __builtin_cpu_supports("avx") != 0},
      {InstructionSet::AVX2, __builtin_cpu_supports("avx2") != 0 && __builtin_cpu_supports("fma") != 0},
      {InstructionSet::PCLMULQDQ, __builtin_cpu_supports("pclmul") != 0},
      {InstructionSet::SHA, __builtin_cpu_supports("sha") != 0},
      {InstructionSet::AES, __builtin_cpu_supports("aes") != 0},
      {InstructionSet::CMPXCHG16B, __builtin_cpu_supports("cmpxchg16b") != 0},
      {InstructionSet::F16C, __builtin_cpu_supports("f16c") != 0},
      {InstructionSet::BMI1, __builtin_cpu_supports("bmi") != 0},
      {InstructionSet::BMI2, __builtin_cpu_supports("bmi2") != 0},
      {InstructionSet::AVX512F, __builtin_cpu_supports("avx512f") != 0},
      {InstructionSet::AVX512CD, __builtin_cpu_supports("avx512cd") != 0},
      {InstructionSet::AVX512DQ, __builtin_cpu_supports("avx512dq") != 0},
      {InstructionSet::AVX512BW, __builtin_cpu_supports("avx512bw") != 0},
      {InstructionSet::AVX512VL, __builtin_cpu_supports("avx512vl") != 0},
      {InstructionSet::AVX512_VNNI, __builtin_cpu_supports("avx512vnni") != 0},
      {InstructionSet::AVX512_IFMA, __builtin_cpu_supports("avx512ifma") != 0},
      {InstructionSet::AVX512_VBMI, __builtin_cpu_supports("avx512vbmi") != 0},
      {InstructionSet::AVX512_VBMI2, __builtin_cpu_supports("avx512vbmi2") != 0},
      {InstructionSet::AVX512_VPOPCNTDQ, __builtin_cpu_supports("avx512vpopcntdq") != 0},
      {InstructionSet::AVX512_BITALG, __builtin_cpu_supports("avx512bitalg") != 0},
      {InstructionSet::AVX512_BF16, __builtin_cpu_supports("avx512bf16") != 0},
      {InstructionSet::AVX512_FP16, __builtin_cpu_supports("avx512fp16") != 0},
      {InstructionSet::AVX512_VP2INTERSECT, __builtin_cpu_supports("avx512vp2intersect") != 0},
      {InstructionSet::GFNI, __builtin_cpu_supports("gfni") != 0},
      {InstructionSet::VPCLMULQDQ, __builtin_cpu_supports("vpclmulqdq") != 0},
      {InstructionSet::VAES, __builtin_cpu_supports("vaes") != 0},
  };
  uint32_t all = 0;
  bool allSupported = true;
  for (const auto& [member, supported] : expected) {
    EXPECT_EQ(supported, checkInstructionSets(maskOf(member))) << "member " << static_cast<int>(member);
    all |= maskOf(member);
    allSupported = allSupported && supported;
  }
  EXPECT_EQ(allSupported, checkInstructionSets(all));
  if (__builtin_cpu_supports("avx512f")) {
    EXPECT_TRUE(osSupportsAvx512());
  }
}

TEST(FeatureDetection, CpuidReturnsRegistersInTheOrderEaxEbxEcxEdx) {
  // Leaf 0 spells the vendor in EBX, EDX, ECX.
  const CpuidRegisters r = cpuid(0, 0);
  char vendor[13] = {};
  std::memcpy(vendor, &r[1], 4);
  std::memcpy(vendor + 4, &r[3], 4);
  std::memcpy(vendor + 8, &r[2], 4);
  const std::string v = vendor;
  EXPECT_TRUE(v == "GenuineIntel" || v == "AuthenticAMD" || v == "HygonGenuine") << v;
  EXPECT_GE(r[0], 1u);
}

TEST(FeatureDetection, EmptySetAndUnusedMaskBitsAreTrue) {
  EXPECT_TRUE(checkInstructionSets(0));
  EXPECT_TRUE(checkInstructionSets(3u << 30));
  FakeCpu bare;  // supports nothing at all
  EXPECT_TRUE(bare.check(0));
  EXPECT_TRUE(bare.check(3u << 30));
  EXPECT_EQ(0, bare.xgetbvCalls);
}

TEST(FeatureDetection, EveryMemberIsReadFromItsOwnBit) {
  for (int i = 0; i < kInstructionSetCount; ++i) {
    FakeCpu c = modernCpu();
    const CheckInfo& info = checkInfos[i];
    c.at(static_cast<uint32_t>(info.leaf), static_cast<uint32_t>(info.subleaf))[static_cast<size_t>(info.registerIndex)] &=
        ~(1u << info.bit);
    for (int j = 0; j < kInstructionSetCount; ++j) EXPECT_EQ(i != j, c.check(1u << j)) << i << " cleared, asked " << j;
  }
}

TEST(FeatureDetection, Avx512NeedsTheOperatingSystemsRegisterState) {
  FakeCpu c = modernCpu();
  EXPECT_TRUE(c.check(kAvx512F));
  EXPECT_TRUE(c.osAvx512());
  for (uint64_t missing : {0x20u, 0x40u, 0x80u}) {
    c.xcr0 = 0xE7 & ~missing;
    EXPECT_FALSE(c.check(kAvx512F)) << missing;
    EXPECT_FALSE(c.check(maskOf(InstructionSet::AVX512_FP16))) << missing;
    EXPECT_FALSE(c.osAvx512());
    EXPECT_TRUE(c.check(maskOf(InstructionSet::GFNI)));  // not in the family
  }
  // OSXSAVE clear: false without executing XGETBV (which would fault).
  c = modernCpu();
  c.at(1, 0)[ECX] &= ~(1u << kLeaf1EcxOsxsave);
  EXPECT_FALSE(c.check(kAvx512F));
  EXPECT_FALSE(c.osAvx512());
  EXPECT_EQ(0, c.xgetbvCalls);
}

// Selecting FMA3 code on the AVX2 bit alone would fault where FMA or the AVX state is
// missing, so AVX2 also needs them.
TEST(FeatureDetection, Avx2NeedsFmaAndTheOsEnabledAvxState) {
  FakeCpu c = modernCpu();
  c.xcr0 = 0x7;  // no AVX-512 state: irrelevant for AVX2
  EXPECT_TRUE(c.check(kAvx2));
  EXPECT_FALSE(c.check(kAvx512F));
  c.at(1, 0)[ECX] &= ~(1u << kLeaf1EcxFma);
  EXPECT_FALSE(c.check(kAvx2));
  c = modernCpu();
  for (uint64_t xcr0 : {0x1u, 0x3u, 0x5u}) {
    c.xcr0 = xcr0;
    EXPECT_FALSE(c.check(kAvx2)) << xcr0;
  }
  c = modernCpu();
  c.at(1, 0)[ECX] &= ~(1u << kLeaf1EcxOsxsave);
  c.xgetbvCalls = 0;
  EXPECT_FALSE(c.check(kAvx2));
  EXPECT_EQ(0, c.xgetbvCalls);
  // The other members keep their CPUID-only meaning: AVX itself does not read XCR0.
  EXPECT_TRUE(c.check(maskOf(InstructionSet::AVX)));
  EXPECT_EQ(0, c.xgetbvCalls);
}

TEST(FeatureDetection, SubleafOneNeedsItToExist) {
  FakeCpu c = modernCpu();
  const uint32_t bf16 = maskOf(InstructionSet::AVX512_BF16);
  EXPECT_TRUE(c.check(bf16));
  c.at(7, 0)[EAX] = 0;  // highest subleaf 0; subleaf 1's EAX still reads bit 5 set
  EXPECT_FALSE(c.check(bf16));
  EXPECT_TRUE(c.check(kAvx512F));
  c.at(7, 0)[EAX] = 0x80000000u;  // negative as a signed value
  EXPECT_FALSE(c.check(bf16));
}

TEST(FeatureDetection, NoLeafSevenBelowMaximumBasicLeafSeven) {
  FakeCpu c = modernCpu();
  c.at(0, 0)[EAX] = 6;
  c.at(7, 0) = {~0u, ~0u, ~0u, ~0u};  // what an old processor might return: unrelated data
  c.at(7, 1) = {~0u, ~0u, ~0u, ~0u};
  for (int i = 0; i < kInstructionSetCount; ++i) {
    c.asked.clear();
    EXPECT_EQ(checkInfos[i].leaf == 1, c.check(1u << i)) << i;
    for (const auto& a : c.asked) EXPECT_NE(7u, a.first) << "leaf 7 read for member " << i;
  }
}

TEST(FeatureDetection, StopsAtTheLowestUnsupportedMember) {
  FakeCpu c = modernCpu();
  c.at(1, 0)[ECX] &= ~1u;  // no SSE3
  const uint32_t set = maskOf(InstructionSet::SSE3) | kAvx2;
  EXPECT_FALSE(c.check(set));
  EXPECT_EQ(0, c.xgetbvCalls);  // AVX2's state test was never reached
  c = modernCpu();
  EXPECT_TRUE(c.check(set));
  EXPECT_EQ(1, c.xgetbvCalls);
}

#endif  // __x86_64__
