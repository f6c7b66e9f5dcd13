#!/usr/bin/env bash
# Formats every C and C++ file of the kit in place with .clang-format:
#   scripts/format.sh           format the tree
#   scripts/format.sh --list [ROOT]
#                               print the files it formats, one a line, of the
#                               tree at ROOT (default: this one)
# clang-format's output differs between its versions, so one version is used:
# clang-format-14 (Debian 12), or the program named by CLANG_FORMAT.
set -euo pipefail
cd "$(dirname "$0")/.."

# The kit's C and C++ sources, less the files that are not hand-written code:
# fuzz seeds are data whatever their name, and *.in files are templates that
# CMake fills in.  The folders are walked, not asked of git: an exported tree
# (a release tarball) has no repository, and the check must see the same files
# there.  Hidden folders (an editor's or a tool's own) are not the kit's, nor
# is a build tree inside these folders (a host example configured in place):
# git never listed what CMake generates there, and the walk must not either.
# A build tree is a folder with a CMakeCache.txt and no CMakeLists.txt, or a
# CMakeFiles folder (a configure cut short before it wrote its cache, or one
# run in the source folder itself, whose sources stay checked).
format_files() {
  local dirs=() d found
  for d in src include tests examples fuzz bench tools; do
    [ -d "$d" ] && dirs+=("$d")
  done
  [ ${#dirs[@]} -gt 0 ] || return 0
  # A folder the walk cannot enter would leave its files out unseen: a walk
  # that fails lists nothing.
  found=$(find "${dirs[@]}" \( -name '.*' -o -type d \( -name CMakeFiles -o \( -exec test -e '{}/CMakeCache.txt' \; ! -exec test -e '{}/CMakeLists.txt' \; \) \) \) \
    -prune -o -type f -print) || {
    echo "format: the kit's folders could not be walked in full" >&2
    return 2
  }
  printf '%s\n' "$found" |
    grep -E '\.(c|cc|cpp|h|hh|hpp)$' |
    grep -vE '^fuzz/corpus/|\.in$' |
    LC_ALL=C sort || true
}

if [ "${1:-}" = "--list" ]; then
  cd "${2:-.}"
  format_files
  exit 0
fi
[ $# -eq 0 ] || { echo "usage: $0 [--list]" >&2; exit 2; }

clang_format=${CLANG_FORMAT:-clang-format-14}
command -v "$clang_format" >/dev/null || { echo "format: $clang_format not found (scripts/setup.sh installs it)" >&2; exit 2; }
format_files | xargs -r -d '\n' -n 50 -P "$(nproc)" "$clang_format" -i --style=file
echo "format: $(format_files | wc -l) files formatted"
