#!/usr/bin/env bash
# Installs what is missing, builds the kit and runs the example host app.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=$(bash scripts/build.sh plain | tail -n 1)
"$dir/examples/pelk_demo" "$@"
