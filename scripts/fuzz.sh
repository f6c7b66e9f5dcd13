#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer+UBSan, in build-fuzz)
# and runs every one of them, all at once, for the given time:
#   scripts/fuzz.sh [seconds]        (default 600)
# Each target starts from a scratch copy of its seed corpus in fuzz/corpus/;
# the inputs it finds are kept in build-fuzz/scratch/<target>/ (replaced by the
# next run).  Crashing inputs go to build-fuzz/findings/<target>/, printed at
# the end; the script exits non-zero when any target found one.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-600}
case "$seconds" in
  ''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds]" >&2; exit 2 ;;
esac
[ "$seconds" -gt 0 ] || { echo "usage: scripts/fuzz.sh [seconds]" >&2; exit 2; }

bash scripts/setup.sh

dir=build-fuzz
build_start=$(date +%s)
cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DPELK_BUILD_FUZZ=ON -DPELK_WERROR=ON \
  -DPELK_BUILD_TESTS=OFF -DPELK_BUILD_EXAMPLES=OFF -DPELK_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" --target fuzz_all --parallel "$(nproc)"
build_end=$(date +%s)

targets=()
for corpus in fuzz/corpus/*/; do
  targets+=("$(basename "$corpus")")
done
for t in "${targets[@]}"; do
  [ -x "$dir/fuzz/fuzz_$t" ] || { echo "fuzz: no target fuzz_$t for fuzz/corpus/$t" >&2; exit 2; }
done

scratch=$PWD/$dir/scratch
findings=$PWD/$dir/findings
rm -rf "$scratch" "$findings"
# The settings the targets write are durable: on tmpfs that costs nothing.
tmp_parent=/dev/shm
[ -d "$tmp_parent" ] && [ -w "$tmp_parent" ] || tmp_parent=${TMPDIR:-/tmp}
tmp=$(mktemp -d "$tmp_parent/pelk-fuzz-XXXXXX")

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
echo "=== fuzzing ${#targets[@]} targets for ${seconds} s each, in parallel ==="
run_start=$(date +%s)
for t in "${targets[@]}"; do
  mkdir -p "$scratch/$t/corpus" "$findings/$t" "$tmp/$t"
  cp fuzz/corpus/"$t"/* "$scratch/$t/corpus/"
  # The kit's status lines go to stdout; closed, so only libFuzzer speaks.
  # Targets that read JSON share one dictionary of its syntax and the kit's keys.
  dict=()
  [ "$t" = setting_value ] || dict=(-dict=fuzz/json.dict)
  TMPDIR="$tmp/$t" "$dir/fuzz/fuzz_$t" "$scratch/$t/corpus" "${dict[@]}" \
    -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -close_fd_mask=1 -print_final_stats=1 \
    -artifact_prefix="$findings/$t/" >"$scratch/$t/log" 2>&1 &
  pids+=($!)
done

declare -A status
for i in "${!targets[@]}"; do
  rc=0
  wait "${pids[$i]}" || rc=$?
  status[${targets[$i]}]=$rc
done
pids=()
run_end=$(date +%s)

failed=0
printf '%-18s %12s %8s %8s\n' target executions time crashes
for t in "${targets[@]}"; do
  log=$scratch/$t/log
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  took=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -1)
  crashes=$(find "$findings/$t" -type f | wc -l)
  # A target that stopped without a finding file (killed, out of memory
  # before writing one) failed all the same.
  if [ "${status[$t]}" -ne 0 ] && [ "$crashes" -eq 0 ]; then crashes=1; fi
  [ "$crashes" -eq 0 ] || failed=$((failed + 1))
  printf '%-18s %12s %7ss %8s\n' "$t" "${execs:-?}" "${took:-?}" "$crashes"
done
echo "build $((build_end - build_start)) s, fuzzing $((run_end - run_start)) s"
echo "new inputs: $scratch/<target>/corpus"
if [ "$failed" -ne 0 ]; then
  echo "findings: $findings"
  for t in "${targets[@]}"; do
    if [ "${status[$t]}" -ne 0 ] || [ -n "$(ls -A "$findings/$t")" ]; then
      echo "--- $t (log $scratch/$t/log)"
      grep -E '^(==[0-9]+==ERROR|SUMMARY|.*runtime error)' "$scratch/$t/log" | head -5 || true
      ls "$findings/$t"
    fi
  done
else
  echo "findings: none ($findings is empty)"
fi
echo "fuzz: $(( ${#targets[@]} - failed )) passed, $failed failed"
[ "$failed" -eq 0 ]
