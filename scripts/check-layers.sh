#!/usr/bin/env bash
# Checks the kit's include rules without building anything:
#   - a layer under src/ includes only its own and lower layers' headers, in
#     the order platform, foundation, models, device, network, storage,
#     messaging, tracking, manager; the platform layer includes nothing of the
#     kit but its own headers and public headers;
#   - includes of the kit are rooted at src/ ("platform/Dispatch.h"), never
#     relative ("../platform/Dispatch.h");
#   - public headers (include/pelk/) include only other public headers.
# Every rule broken is printed as file:line: text, and the exit status is 1.
#
#   scripts/check-layers.sh [ROOT]      check the tree at ROOT (default: this one)
#   scripts/check-layers.sh --self-test plant a broken include of each kind in
#                                       temp copies and show each one is caught
set -euo pipefail

layers=(platform foundation models device network storage messaging tracking manager)

# Rank of a layer name, or -1.
rank() {
  local i
  for i in "${!layers[@]}"; do
    if [ "${layers[$i]}" = "$1" ]; then
      echo "$i"
      return
    fi
  done
  echo -1
}

# Prints "line<TAB>path<TAB>form" for each #include of a file; form is " for
# #include "..." and < for #include <...>.
includes_of() {
  grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<][^">]+[">]' "$1" |
    sed -E 's@^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*(["<])([^">]+)[">].*@\1\t\3\t\2@'
}

check() {
  local root=$1 failures=0 file rel own own_rank line target first target_rank
  # Layer sources.
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    own=$(echo "$rel" | cut -d/ -f2)
    own_rank=$(rank "$own")
    [ "$own_rank" -ge 0 ] || continue
    while IFS=$'\t' read -r line target form; do
      [ -n "$target" ] || continue
      if [[ "$target" == *..* ]]; then
        echo "$rel:$line: relative include \"$target\": root it at src/" >&2
        failures=$((failures + 1))
        continue
      fi
      first=${target%%/*}
      [ "$first" != "$target" ] || continue  # system or generated header
      [ "$first" != pelk ] || continue       # public headers are open to every layer
      target_rank=$(rank "$first")
      [ "$target_rank" -ge 0 ] || continue   # a library's header (<nlohmann/json.hpp>)
      if [ "$target_rank" -gt "$own_rank" ]; then
        echo "$rel:$line: the $own layer includes \"$target\" of the $first layer above it" >&2
        failures=$((failures + 1))
      fi
    done < <(includes_of "$file")
  done < <(find "$root/src" -mindepth 2 -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
  # Public headers.
  while IFS= read -r -d '' file; do
    rel=${file#"$root"/}
    while IFS=$'\t' read -r line target form; do
      [ -n "$target" ] || continue
      first=${target%%/*}
      # Quoted includes name the kit's own headers: only pelk/ ones are public.
      if [[ "$target" == *..* ]] || [ "$(rank "$first")" -ge 0 ] || { [ "$form" = '"' ] && [ "$first" != pelk ]; }; then
        echo "$rel:$line: a public header includes \"$target\", which is not a public header" >&2
        failures=$((failures + 1))
      fi
    done < <(includes_of "$file")
  done < <(find "$root/include" -type f -name '*.h' -print0 | sort -z)
  if [ "$failures" -gt 0 ]; then
    echo "check-layers: $failures include(s) break the layer rules" >&2
    return 1
  fi
  echo "check-layers: include rules hold"
}

self_test() {
  local here tmp status=0
  here=$(cd "$(dirname "$0")/.." && pwd)
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  # Each plant: file to append to, include to plant, and whether it must fail.
  local plants=(
    "src/platform/Location.h|#include \"foundation/SharedUtil.h\"|fail"
    "src/foundation/SharedUtil.cpp|#include \"storage/PelkCoreDataStack.h\"|fail"
    "src/models/PelkNumber.cpp|#include <device/DeviceInfo.h>|fail"
    "src/storage/PelkCoreDataStack.cpp|#include \"../network/Endpoints.h\"|fail"
    "include/pelk/PelkNumber.h|#include \"platform/Clock.h\"|fail"
    "src/storage/PelkCoreDataStack.cpp|#include \"network/Endpoints.h\"|pass"
    "src/device/DeviceInfo.cpp|#include \"pelk/PelkNumber.h\"|pass"
  )
  local plant file text expect copy
  for plant in "" "${plants[@]}"; do
    copy="$tmp/copy"
    rm -rf "$copy"
    mkdir -p "$copy"
    cp -r "$here/src" "$here/include" "$copy/"
    expect=pass
    if [ -n "$plant" ]; then
      IFS='|' read -r file text expect <<<"$plant"
      printf '%s\n' "$text" >>"$copy/$file"
    fi
    if check "$copy" >/dev/null 2>&1; then got=pass; else got=fail; fi
    if [ "$got" = "$expect" ]; then
      echo "self-test: ${plant:-unchanged tree}: $got, as it should"
    else
      echo "self-test: ${plant:-unchanged tree}: $got, expected $expect" >&2
      status=1
    fi
  done
  return $status
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "$(cd "${1:-$(dirname "$0")/..}" && pwd)"
fi
