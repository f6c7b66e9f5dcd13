#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in a Release build of their
# own (build-bench) and runs them; prints one table of the kit's figures beside
# plain SQLite, on disk and (when /dev/shm can be written) on tmpfs.  Extra
# arguments go to the benchmark program (Google Benchmark flags).
# PELK_JOBS sets the build's parallelism (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELK_SANITIZE= \
  -DPELK_BUILD_TESTS=OFF -DPELK_BUILD_EXAMPLES=OFF -DPELK_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --parallel "${PELK_JOBS:-$(nproc)}" --target pelk_bench
"$dir/bench/pelk_bench" "$@"
