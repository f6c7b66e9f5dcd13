#!/usr/bin/env bash
# Configures and builds one flavour of the kit, showing the build's output:
#   scripts/build.sh [plain|asan|tsan|threads]
# `threads` builds only the kit's library, with clang and its thread-safety
# analysis, and fails on any warning: a lock the code forgot, or guarded state
# touched without it (src/platform/ThreadSafety.h).
# The build directory is printed on the last line; `scripts/build.sh --dir
# FLAVOUR` prints only that directory's name, building nothing.
set -euo pipefail
cd "$(dirname "$0")/.."
only_dir=false
if [ "${1:-}" = "--dir" ]; then
  only_dir=true
  shift
fi
flavour=${1:-plain}
case "$flavour" in
  plain) dir=build;      san="" ;;
  asan)  dir=build-asan; san=address ;;
  tsan)  dir=build-tsan; san=thread ;;
  threads) dir=build-threads; san="" ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
if $only_dir; then
  echo "$dir"
  exit 0
fi
if [ "$flavour" = threads ]; then
  # Unoptimised and without debug info: only the compiler's analysis matters.
  cmake -S . -B "$dir" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_FLAGS_DEBUG=-O0 -DCMAKE_CXX_FLAGS_DEBUG=-O0 \
    -DCMAKE_CXX_FLAGS="-Wthread-safety -Werror" -DPELK_BUILD_TESTS=OFF -DPELK_BUILD_EXAMPLES=OFF \
    -DPELK_BUILD_BENCH=OFF >/dev/null
  cmake --build "$dir" --target pelk --parallel "$(nproc)"
else
  cmake -S . -B "$dir" -G Ninja -DPELK_SANITIZE="$san" -DPELK_WERROR=ON >/dev/null
  cmake --build "$dir" --parallel "$(nproc)"
fi
echo "$dir"
