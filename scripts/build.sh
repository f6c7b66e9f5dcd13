#!/usr/bin/env bash
# Configures and builds one flavour of the kit: scripts/build.sh [plain|asan|tsan]
set -euo pipefail
cd "$(dirname "$0")/.."
flavour=${1:-plain}
case "$flavour" in
  plain) dir=build;      san="" ;;
  asan)  dir=build-asan; san=address ;;
  tsan)  dir=build-tsan; san=thread ;;
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -G Ninja -DPELK_SANITIZE="$san" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
echo "$dir"
