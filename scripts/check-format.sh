#!/usr/bin/env bash
# Fails, naming each file, when a C or C++ file of the kit differs from what
# .clang-format makes of it (the files of scripts/format.sh --list):
#   scripts/check-format.sh [ROOT]      check the tree at ROOT (default: this one)
#   scripts/check-format.sh --self-test plant a badly formatted line in a temp
#                                       copy and show the file is named
# scripts/format.sh mends what it names.  Uses clang-format-14, or CLANG_FORMAT.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
clang_format=${CLANG_FORMAT:-clang-format-14}

# Prints each file under ROOT, from the list on stdin, that formatting would
# change; fails when clang-format fails for another reason (a file it cannot
# read, a configuration it cannot parse), so that such a tree never passes.
unformatted() {
  local root=$1 out status=0 files
  out=$(cd "$root" && xargs -r -d '\n' -n 50 "$clang_format" --dry-run -Werror --style=file 2>&1 >/dev/null) ||
    status=$?
  files=$(sed -nE 's/^(.+):[0-9]+:[0-9]+: error: code should be clang-formatted.*/\1/p' <<<"$out" | sort -u)
  if [ "$status" -ne 0 ] && [ -z "$files" ]; then
    printf '%s\n' "$out" >&2
    echo "check-format: $clang_format failed" >&2
    return 2
  fi
  [ -z "$files" ] || printf '%s\n' "$files"
}

check() {
  local root=$1 files out
  # Without the style file clang-format would fall back to a style of its own.
  [ -f "$root/.clang-format" ] || { echo "check-format: no .clang-format in $root" >&2; return 2; }
  files=$(bash "$here/scripts/format.sh" --list "$root") || {
    echo "check-format: the files of $root could not be listed" >&2
    return 2
  }
  out=$(printf '%s\n' "$files" | unformatted "$root")
  if [ -n "$out" ]; then
    printf '%s\n' "$out" | sed 's/^/not formatted: /' >&2
    echo "check-format: $(printf '%s\n' "$out" | wc -l) file(s) differ from .clang-format; scripts/format.sh mends them" >&2
    return 1
  fi
  echo "check-format: $(printf '%s\n' "$files" | wc -l) files formatted"
}

self_test() {
  local tmp status=0
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  # A small tree of its own: two formatted files, one of them then spoilt.
  mkdir -p "$tmp/src/platform" "$tmp/fuzz/corpus/x"
  cp "$here/.clang-format" "$tmp/"
  printf 'int one() { return 1; }\n' >"$tmp/src/platform/One.cpp"
  printf '#pragma once\nint two();\n' >"$tmp/src/platform/Two.h"
  # Seeds are data: never checked, however they look.
  printf 'int   seed ( ) ;\n' >"$tmp/fuzz/corpus/x/seed.c"
  # A build tree in the tree (a host example configured in place, one whose
  # configure was cut short before it wrote its cache) holds generated
  # sources, not the kit's: never checked either.
  local generated
  mkdir -p "$tmp/examples/consumer-cpp/build/CMakeFiles/3.25.1/CompilerIdCXX" "$tmp/examples/consumer-cpp/build/gen" \
    "$tmp/tests/cut-short/CMakeFiles/3.25.1/CompilerIdC"
  : >"$tmp/examples/consumer-cpp/build/CMakeCache.txt"
  # An example configured in its own folder: its generated files are left
  # out, its own sources are not.
  mkdir -p "$tmp/examples/in-place/CMakeFiles/3.25.1/CompilerIdCXX"
  : >"$tmp/examples/in-place/CMakeCache.txt"
  : >"$tmp/examples/in-place/CMakeLists.txt"
  printf 'int main() { return 0; }\n' >"$tmp/examples/in-place/main.cpp"
  for generated in examples/consumer-cpp/build/CMakeFiles/3.25.1/CompilerIdCXX/CMakeCXXCompilerId.cpp \
    examples/consumer-cpp/build/gen/Generated.h tests/cut-short/CMakeFiles/3.25.1/CompilerIdC/CMakeCCompilerId.c \
    examples/in-place/CMakeFiles/3.25.1/CompilerIdCXX/CMakeCXXCompilerId.cpp; do
    printf 'int   generated ( ) ;\n' >"$tmp/$generated"
  done
  # No repository: an exported tree (a release tarball) is checked as a clone is.
  if check "$tmp" >/dev/null 2>&1; then
    echo "self-test: formatted tree passes, as it should"
  else
    echo "self-test: formatted tree refused" >&2
    status=1
  fi
  printf 'int   three ( ) {return 3;}\n' >>"$tmp/src/platform/One.cpp"
  printf 'int   four ( ) {return 4;}\n' >>"$tmp/examples/in-place/main.cpp"
  local out
  if out=$(check "$tmp" 2>&1); then
    echo "self-test: a badly formatted file passed" >&2
    status=1
  elif [ "$(grep '^not formatted: ' <<<"$out")" != "$(printf 'not formatted: %s\n' examples/in-place/main.cpp src/platform/One.cpp)" ]; then
    echo "self-test: the wrong files named: $out" >&2
    status=1
  else
    echo "self-test: the badly formatted files are named, and only they"
  fi
  # A walk that cannot enter a folder (one this user may not read) lists only
  # the rest of the tree: that is no pass, whatever the rest holds.  The walk
  # here leaves out the folder of the badly formatted file.
  mkdir -p "$tmp/bin"
  printf '#!/usr/bin/env bash\n%q "$@" | grep -v "^src/platform/"\n' "$(command -v find)" >"$tmp/bin/find"
  printf 'echo "find: src/platform: Permission denied" >&2\nexit 1\n' >>"$tmp/bin/find"
  chmod +x "$tmp/bin/find"
  if PATH="$tmp/bin:$PATH" check "$tmp" >/dev/null 2>&1; then
    echo "self-test: a tree walked only in part passed" >&2
    status=1
  else
    echo "self-test: a tree walked only in part fails"
  fi
  return $status
}

command -v "$clang_format" >/dev/null || { echo "check-format: $clang_format not found (scripts/setup.sh installs it)" >&2; exit 2; }
if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "$(cd "${1:-$here}" && pwd)"
fi
