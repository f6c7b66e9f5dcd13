#!/usr/bin/env bash
# Installs what is missing, builds the kit and runs every test suite: first a
# plain build, then the same suites under AddressSanitizer+UBSan and under
# ThreadSanitizer, then the library alone with clang's thread-safety analysis
# (no tests: it is a compile-time check), then every fuzz target for 20 s
# (scripts/fuzz.sh).  Pass one flavour (plain, asan, tsan, threads, fuzz) to run
# only that one.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

# The include rules and the format are checked before anything is built.
bash scripts/check-layers.sh
bash scripts/check-format.sh

flavours=("$@")
[ ${#flavours[@]} -gt 0 ] || flavours=(plain asan tsan threads fuzz)

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$PWD/tests/lsan.supp}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp}

for flavour in "${flavours[@]}"; do
  if [ "$flavour" = fuzz ]; then
    # Short runs: enough to catch a reader broken by a change, not a hunt.
    bash scripts/fuzz.sh "${PELK_FUZZ_SECONDS:-20}"
    continue
  fi
  echo "=== $flavour build ==="
  # The build's own output (compiler errors included) goes to the terminal.
  bash scripts/build.sh "$flavour"
  [ "$flavour" != threads ] || continue
  dir=$(bash scripts/build.sh --dir "$flavour")
  echo "=== $flavour tests ==="
  runner=()
  # ThreadSanitizer cannot map its shadow memory with the kernel's widest
  # address randomisation; run it without randomisation where that is allowed.
  if [ "$flavour" = tsan ] && command -v setarch >/dev/null && setarch "$(uname -m)" -R true 2>/dev/null; then
    runner=(setarch "$(uname -m)" -R)
  fi
  "${runner[@]}" ctest --test-dir "$dir" --output-on-failure --parallel "$(nproc)" --timeout 300
done
