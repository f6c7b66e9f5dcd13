#!/usr/bin/env bash
# Installs a built kit into a temporary prefix and builds and runs the two
# host examples against that prefix alone: examples/consumer-cpp through
# find_package(pelk), examples/consumer-c through pkg-config.  Also holds the
# installed tree to what a host relies on: the SONAME and its links, the
# public headers, package files that point into the prefix and nowhere else,
# and exports that are only the public API.
#
#   scripts/check-install.sh BUILD_DIR
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: $0 BUILD_DIR}" && pwd)
start=$(date +%s)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
prefix=$tmp/prefix
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$prefix" >"$tmp/install.log"

# The library, its SONAME and the links a host's linker and loader follow.
lib=$(find "$prefix" -name 'libpelk.so.0' -print -quit)
[ -n "$lib" ] || { echo "FAIL: no libpelk.so.0 installed" >&2; cat "$tmp/install.log" >&2; exit 1; }
libdir=$(dirname "$lib")
version=$(sed -nE 's/^Version: *//p' "$libdir/pkgconfig/pelk.pc")
[ -f "$libdir/libpelk.so.$version" ] && [ ! -L "$libdir/libpelk.so.$version" ] ||
  fail "libpelk.so.$version is not the installed file"
[ "$(readlink "$libdir/libpelk.so.0")" = "libpelk.so.$version" ] || fail "libpelk.so.0 does not point at libpelk.so.$version"
[ "$(readlink "$libdir/libpelk.so")" = "libpelk.so.0" ] || fail "libpelk.so does not point at libpelk.so.0"
readelf -d "$lib" | grep -q 'SONAME.*\[libpelk\.so\.0\]' || fail "SONAME is not libpelk.so.0"
if readelf -d "$lib" | grep -qE 'RPATH|RUNPATH'; then fail "installed library keeps a build-tree run path"; fi

# Installed without its debug information (the build type's), and small.
if readelf -S "$lib" | grep -qE '\.debug_|\.zdebug_'; then fail "installed library carries debug information"; fi
size=$(stat -c %s "$lib")
[ "$size" -lt $((10 * 1024 * 1024)) ] || fail "installed library is $size bytes"

# Every public header, and nothing of the layers.
for h in "$src"/include/pelk/*.h; do
  [ -f "$prefix/include/pelk/$(basename "$h")" ] || fail "header $(basename "$h") not installed"
done
[ "$(find "$prefix/include" -type f | wc -l)" -eq "$(find "$src/include/pelk" -name '*.h' | wc -l)" ] ||
  fail "headers other than the public ones installed"

# Package files may point into the prefix only.
if grep -rlF -e "$src" -e "$build" "$libdir/cmake" "$libdir/pkgconfig"; then
  fail "package files name the source or build tree"
fi
bash "$src/scripts/check-exports.sh" "$lib" "$prefix/include" || fail "installed library exports more than the public API"

# The examples are copied out, so that nothing can reach the source tree.
mkdir -p "$tmp/examples"
cp -r "$src/examples/consumer-cpp" "$src/examples/consumer-c" "$tmp/examples/"
home=$tmp/home
mkdir -p "$home"
# Only the prefix: no package registry, no path from the caller's environment.
export CMAKE_PREFIX_PATH=$prefix
unset PKG_CONFIG_LIBDIR pelk_DIR
export PKG_CONFIG_PATH=$libdir/pkgconfig

echo "--- C++ host: find_package(pelk)"
cmake -S "$tmp/examples/consumer-cpp" -B "$tmp/examples/consumer-cpp/build" -G Ninja -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF \
  >"$tmp/cpp-configure.log" || { cat "$tmp/cpp-configure.log" >&2; exit 1; }
grep -qxF "pelk_DIR:PATH=$libdir/cmake/pelk" "$tmp/examples/consumer-cpp/build/CMakeCache.txt" ||
  fail "find_package(pelk) found a kit outside the prefix"
cmake --build "$tmp/examples/consumer-cpp/build" -- -v >"$tmp/cpp-build.log" || { cat "$tmp/cpp-build.log" >&2; exit 1; }

# The C host is built with the very command the README gives (its prefix
# replaced by this one's), with nothing of ours in the environment.
documented=$(grep -E '^ *make -C examples/consumer-c PKG_CONFIG_PATH=/opt/pelk/lib/pkgconfig$' "$src/README.md" |
  head -n 1 | sed -E 's/^ +//' || true)
if [ -z "$documented" ]; then
  fail "README gives no command to build examples/consumer-c"
else
  command=${documented//\/opt\/pelk/$prefix}
  echo "--- C host: $command"
  (cd "$tmp" && env -u PKG_CONFIG_PATH bash -c "$command") >"$tmp/c-build.log" 2>&1 ||
    { cat "$tmp/c-build.log" >&2; fail "the README's command for the C host failed"; }
fi

# A C host needs no C++ package: pelk resolves with nothing but the kit's own
# pkg-config folder in reach.
PKG_CONFIG_LIBDIR=$libdir/pkgconfig PKG_CONFIG_PATH= pkg-config --exists --print-errors pelk ||
  fail "pkg-config pelk asks for more than the kit"
# A C++ host links the same library through pelk-cpp.
pkg-config --libs pelk-cpp | grep -qw -- -lpelk || fail "pkg-config pelk-cpp does not link libpelk"

# The JSON type's mangled name carries nlohmann-json's version: a C++ host with
# another version of it must be refused by the package, not fail at link time.
mkdir -p "$tmp/other-json"
sed -E 's/^Version:.*/Version: 99.0.0/' "$(pkg-config --variable=pcfiledir nlohmann_json)/nlohmann_json.pc" \
  >"$tmp/other-json/nlohmann_json.pc"
if PKG_CONFIG_PATH=$tmp/other-json:$PKG_CONFIG_PATH pkg-config --exists pelk-cpp; then
  fail "pkg-config accepts pelk-cpp beside another nlohmann-json version"
fi

if grep -hF -e "$src" -e "$build" "$tmp/cpp-build.log" "$tmp/c-build.log"; then
  fail "a host build used a path of the source or build tree"
fi

# A port on loopback that nothing listens on.
port=9
while ss -Htln "sport = :$port" | grep -q .; do port=$((port + 1)); done
for app in "$tmp/examples/consumer-cpp/build/pelk_consumer_cpp" "$tmp/examples/consumer-c/pelk_consumer_c"; do
  readelf -d "$app" | grep -q 'NEEDED.*\[libpelk\.so\.0\]' || fail "$(basename "$app") does not ask for libpelk.so.0"
  echo "--- run $(basename "$app")"
  # The kit keeps its files under HOME; the run leaves nothing outside the temporary tree.
  if ! env -u XDG_DATA_HOME -u XDG_CACHE_HOME -u XDG_CONFIG_HOME HOME="$home" LD_LIBRARY_PATH="$libdir" \
    timeout 120 "$app" "http://127.0.0.1:$port" "ws://127.0.0.1:$port/mqtt"; then
    fail "$(basename "$app") failed"
  fi
done

echo "install check: $failures failure(s), $(($(date +%s) - start)) s"
[ "$failures" -eq 0 ]
