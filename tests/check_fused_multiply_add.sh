#!/bin/sh
# No multiplication and addition contracted into a fused multiply-add on aarch64, where
# GCC contracts a*b + c by default and every processor has the instruction: the results
# are fixed by separately rounded operations except where the code asks for std::fma (to
# form an exact product error). The library's sources are built a second time with
# -fno-builtin-fma, which turns every std::fma the code writes into a call of the C
# library's fma; that build must hold no fused instruction at all (scalar fmadd, fmsub,
# fnmadd, fnmsub or vector fmla, fmls), so none of the real build's came from
# contraction. The real build must hold some (the explicit ones): else the pattern
# below would not recognise them and this check would prove nothing.
# Arguments: objdump for the target, the real objects and the rebuilt ones (each joined
# by ':').
set -eu
objdump=$1
fused='^ +[0-9a-f]+:[[:space:]]+[0-9a-f]{8}[[:space:]]+(fn?madd|fn?msub|fmla|fmls)[[:space:]]'
count() {
  total=0
  old_ifs=$IFS
  IFS=:
  for obj in $1; do
    IFS=$old_ifs
    c=$("$objdump" -d "$obj" | grep -cE "$fused" || true)
    if [ "$2" = report ] && [ "$c" -ne 0 ]; then
      echo "$c fused multiply-adds not written as std::fma in $obj:"
      "$objdump" -d "$obj" | grep -E "$fused" | head -5
    fi
    total=$((total + c))
  done
  IFS=$old_ifs
  echo "$total"
}
real=$(count "$2" quiet)
if [ "$real" -eq 0 ]; then
  echo "no fused multiply-add found in the library: the explicit ones (std::fma) should be there"
  exit 1
fi
out=$(count "$3" report)
contracted=$(echo "$out" | tail -n 1)
if [ "$contracted" -ne 0 ]; then
  echo "$out" | sed '$d'
  exit 1
fi
echo "$real fused multiply-adds in the library, all written as std::fma; none contracted"
