#!/usr/bin/env bash
# Installs what is missing, builds the kit and runs the example host app.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh plain
dir=$(bash scripts/build.sh --dir plain)
"$dir/examples/pelk_demo" "$@"
