#!/usr/bin/env bash
# Configures and builds one flavour of the kit, showing the build's output:
#   scripts/build.sh [plain|asan|tsan]
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
  *) echo "unknown flavour $flavour" >&2; exit 2 ;;
esac
if $only_dir; then
  echo "$dir"
  exit 0
fi
cmake -S . -B "$dir" -G Ninja -DPELK_SANITIZE="$san" -DPELK_WERROR=ON >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
echo "$dir"
