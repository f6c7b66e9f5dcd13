#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in a Release build of their
# own (build-bench) and runs them; prints one table of the kit's figures beside
# their baselines: the store road beside plain SQLite, the MQTT road beside the
# Paho client used directly, on disk and (when /dev/shm can be written) on
# tmpfs, and the peak memory of the probes.  Extra arguments go to both
# benchmark programs (Google Benchmark flags).
# PELK_JOBS sets the build's parallelism (default: every core).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

dir=build-bench
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DPELK_SANITIZE= \
  -DPELK_BUILD_TESTS=OFF -DPELK_BUILD_EXAMPLES=OFF -DPELK_BUILD_BENCH=ON >/dev/null
cmake --build "$dir" --parallel "${PELK_JOBS:-$(nproc)}" --target pelk_bench pelk_bench_mqtt
# Both print the same columns; the second table's heading is left out.
status=0
"$dir/bench/pelk_bench" "$@" || status=1
"$dir/bench/pelk_bench_mqtt" "$@" | tail -n +2 || status=1
exit "$status"
