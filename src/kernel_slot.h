// The dispatch table, one slot at a time. Each kernel with copies for several instruction
// sets has a slot next to its kernels: the copies each family offers (or none), and a
// pointer that starts empty and is filled by the first call that needs it with the
// widest family this processor and its operating system support. The pointer is never
// changed after that (tests may store into it to reach another family).
//
// The pointers are atomic words read and written with relaxed ordering. Threads racing
// through their first calls may each run the selection; every one computes the same
// choice from the same processor and stores the same value, and a thread that finds a
// pointer empty runs the selection itself, so no thread depends on another's stores.
//
// Only baseline translation units include this header (it has inline functions with
// external linkage); the kernels' own files include their module's declarations only.
#pragma once

#include <atomic>

#if defined(__x86_64__)
#include "runtimecheck.h"
#endif

namespace sela {

// The AVX2 family needs AVX2, FMA and the operating system's AVX state (all part of the
// AVX2 test), the AVX-512 family AVX-512F and its operating-system state. Both exist only
// on x86-64: elsewhere every slot holds its scalar (baseline) copy.
#if defined(__x86_64__)
inline bool avx2FamilySupported() { return checkInstructionSets(maskOf(InstructionSet::AVX2)); }
inline bool avx512FamilySupported() { return checkInstructionSets(maskOf(InstructionSet::AVX512F)); }
#else
inline bool avx2FamilySupported() { return false; }
inline bool avx512FamilySupported() { return false; }
#endif

// A copy built for an x86-64 extension (a <module>_avx2, _avx512 or _fma file): the
// kernel on x86-64, and null elsewhere, where those files are not compiled
// (cmake/kernels.cmake) and the slot never selects the copy.
#if defined(__x86_64__)
#define SELA_X86_KERNEL(kernel) (kernel)
#else
#define SELA_X86_KERNEL(kernel) nullptr
#endif

// What each family offers for one kernel; null where a family offers none (the scalar
// entry is always set, and is baseline code).
template <typename Kernel>
struct KernelChoices {
  Kernel scalar;
  Kernel avx2;
  Kernel avx512;
};

template <typename Kernel>
class KernelSlot {
 public:
  constexpr explicit KernelSlot(KernelChoices<Kernel> choices) : choices_(choices) {}

  // The kernel for this processor: the stored one, or the selection's on the first call.
  Kernel get() {
    const Kernel k = load();
    return k != nullptr ? k : select();
  }
  // The selection: the AVX-512 copy where that family runs, else the AVX2 copy where that
  // family runs, else the scalar one; stored and returned.
  Kernel select() {
    Kernel k = choices_.scalar;
    if (choices_.avx512 != nullptr && avx512FamilySupported()) {
      k = choices_.avx512;
    } else if (choices_.avx2 != nullptr && avx2FamilySupported()) {
      k = choices_.avx2;
    }
    store(k);
    return k;
  }
  // The stored pointer, null before the first selection.
  Kernel load() const { return impl_.load(std::memory_order_relaxed); }
  void store(Kernel k) { impl_.store(k, std::memory_order_relaxed); }
  // What each family offers (benchmarks store one family's copies to time it elsewhere).
  const KernelChoices<Kernel>& choices() const { return choices_; }

 private:
  std::atomic<Kernel> impl_{nullptr};
  KernelChoices<Kernel> choices_;
};

}  // namespace sela
