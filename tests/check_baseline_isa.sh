#!/bin/sh
# Only the kernel objects (<module>_avx2, _avx512 and _fma, built with their family's
# target flags) may hold VEX or EVEX instructions (in AT&T syntax every one of them starts
# with "v"); all other library code must run on baseline x86-64, since it runs before
# (and regardless of) the processor check. The kernel objects must hold their family's
# code (else this check would prove nothing), the AVX2 ones without ZMM registers, and
# they must define no weak function: an inline function or template with external
# linkage compiled there could be the copy the linker keeps for the baseline callers
# too. (Weak data, such as the exception personality's reference, holds no code.)
# Argument: the object files, joined by ':'.
set -eu
status=0
old_ifs=$IFS
IFS=:
for obj in $1; do
  IFS=$old_ifs
  vex=$(objdump -d --no-show-raw-insn "$obj" | grep -cE '^ +[0-9a-f]+:[[:space:]]+v[a-z0-9]+' || true)
  case "$obj" in
    *_avx2.cpp.o | *_avx512.cpp.o | *_fma.cpp.o)
      weak=$(nm --defined-only "$obj" | grep -E ' [Ww] ' || true)
      if [ -n "$weak" ]; then echo "weak functions in kernel object $obj:"; echo "$weak" | head -5; status=1; fi ;;
  esac
  case "$obj" in
    *_avx2.cpp.o)
      if [ "$vex" -eq 0 ]; then echo "no vector code in $obj"; status=1; fi
      if objdump -d "$obj" | grep -q '%zmm'; then echo "ZMM registers in $obj"; status=1; fi ;;
    *_fma.cpp.o)
      if ! objdump -d "$obj" | grep -qE 'vfn?m(add|sub)'; then echo "no fused multiply-add in $obj"; status=1; fi ;;
    *_avx512.cpp.o)
      if ! objdump -d "$obj" | grep -q '%zmm'; then echo "no 512-bit code in $obj"; status=1; fi ;;
    *)
      if [ "$vex" -ne 0 ]; then
        echo "$vex VEX/EVEX instructions in baseline object $obj:"
        objdump -d --no-show-raw-insn "$obj" | grep -E '^ +[0-9a-f]+:[[:space:]]+v[a-z0-9]+' | head -5
        status=1
      fi ;;
  esac
done
[ "$status" -eq 0 ] && echo "vector instructions only in the kernel objects, and no weak functions there"
exit "$status"
