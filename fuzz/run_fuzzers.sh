#!/bin/sh
# Fuzzes every libFuzzer target in BUILD/fuzzers for a share of TOTAL seconds, starting from
# its regression inputs in SOURCE/fuzz/corpus/<target>/ (read, never written: new coverage
# goes to a scratch directory). A crash or a broken contract stops the run; the input that
# found it is kept in ARTIFACTS (default: BUILD/fuzz-artifacts), ready to be added to the
# target's corpus directory as a regression input.
# Usage: run_fuzzers.sh BUILD SOURCE [TOTAL_SECONDS] [ARTIFACTS]
set -eu
build=$1
src=$2
total=${3:-60}
artifacts=${4:-$build/fuzz-artifacts}
mkdir -p "$artifacts"
fuzzers=$(find "$build/fuzzers" -maxdepth 1 -type f -perm -u+x | sort)
count=$(echo "$fuzzers" | grep -c . || true)
[ "$count" -gt 0 ] || { echo "no fuzzers in $build/fuzzers"; exit 1; }
each=$(( total / count ))
[ "$each" -ge 1 ] || each=1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for f in $fuzzers; do
  name=$(basename "$f")
  mkdir -p "$scratch/$name" "$artifacts/$name"
  seeds="$src/fuzz/corpus/$name"
  [ -d "$seeds" ] || seeds=
  echo "== $name: $each s"
  # shellcheck disable=SC2086
  if ! "$f" -max_total_time="$each" -max_len=4096 -len_control=0 -timeout=20 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/$name/" "$scratch/$name" $seeds > "$scratch/$name.log" 2>&1; then
    tail -40 "$scratch/$name.log"
    echo "$name found a failing input, kept in $artifacts/$name/; add it to fuzz/corpus/$name/"
    exit 1
  fi
  grep -E 'stat::number_of_executed_units|stat::new_units_added' "$scratch/$name.log" | tr '\n' ' '
  echo
done
