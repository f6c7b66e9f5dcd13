#!/usr/bin/env bash
# Holds the dynamic symbols of libpelk against the public headers, both ways:
#   - every exported symbol is public API: a C function declared in
#     include/pelk/pelk.h, or a C++ name under pelk:: (with typeinfo and
#     vtables) whose every pelk:: name is a class, struct, enum or free
#     function of include/pelk/*.h, so that pelk::platform::..., an internal
#     class, an internal overload of a public function name, nlohmann-json,
#     SQLiteCpp and standard-library template code are all refused;
#   - every C function of pelk.h is exported, and every global definition of
#     public API in the kit's layer archives is exported (a public class or
#     free function missing from cmake/pelk.map fails here, not in a host).
# Each symbol out of place is printed and the exit status is 1.
#
#   scripts/check-exports.sh LIBRARY INCLUDE_DIR [ARCHIVE...]
#   scripts/check-exports.sh --self-test INCLUDE_DIR
#                       feeds planted symbol tables and shows each misplaced
#                       symbol is caught and the public ones pass
set -euo pipefail

# Public names of the headers, one "kind<TAB>name" a line: "type" for classes,
# structs and enums, "fn" for free functions declared at namespace scope (the
# headers keep namespace members at column 0), "c" for the C functions.
public_names() {
  local dir=$1
  cat "$dir"/pelk/*.h | awk '
    /^[ \t]*(\/\/|\/\*|\*)/ { next }
    {
      line = $0
      sub(/\/\/.*/, "", line)
      if (line ~ /^[ \t]*template/) line = ""
      while (match(line, /(^|[^A-Za-z0-9_])(class|struct|enum class|enum)[ \t]+[A-Za-z_][A-Za-z0-9_]*/)) {
        decl = substr(line, RSTART, RLENGTH)
        sub(/^[^A-Za-z]/, "", decl)
        n = split(decl, parts, /[ \t]+/)
        print "type\t" parts[n]
        line = substr(line, RSTART + RLENGTH)
      }
    }
    /^(typedef|#|namespace|template|class|struct|enum|extern|static|using|}|\/)/ { next }
    /^[A-Za-z]/ && match($0, /[A-Za-z_][A-Za-z0-9_]*\(/) {
      name = substr($0, RSTART, RLENGTH - 1)
      print ((name ~ /^pelk_/) ? "c" : "fn") "\t" name
    }' | sort -u
}

# Reads the public names (file 1), the exported symbols (file 2, one demangled
# name a line) and the global definitions of the archives (file 3), and prints
# one complaint a line.
judge() {
  awk -F'\t' '
    FILENAME == ARGV[1] {
      if ($1 == "c") cfn[$2] = 1; else cxx[$2] = 1
      next
    }
    # True when the demangled name is public API.
    function public(s,    rest, name) {
      if (s ~ /^[A-Za-z_][A-Za-z0-9_]*$/) return (s in cfn)
      sub(/^(typeinfo name for|typeinfo for|vtable for) /, "", s)
      if (s !~ /^pelk::/) return 0
      # Entities local to a function are nobody else'"'"'s business.
      if (index(s, "{lambda") || index(s, "(anonymous namespace)") || index(s, "{unnamed")) return 0
      rest = s
      while (match(rest, /pelk::[A-Za-z_][A-Za-z0-9_]*/)) {
        name = substr(rest, RSTART + 6, RLENGTH - 6)
        if (!(name in cxx)) return 0
        rest = substr(rest, RSTART + RLENGTH)
      }
      return 1
    }
    FILENAME == ARGV[2] {
      exported[$0] = 1
      if (!public($0)) print "exported but not public API: " $0
      next
    }
    FILENAME == ARGV[3] {
      if (public($0) && !($0 in exported)) print "public API defined by the kit but not exported: " $0
      next
    }
    END {
      for (f in cfn) if (!(f in exported)) print "C function of pelk.h not exported: " f
    }' "$1" "$2" "$3"
}

# Demangled names of the defined dynamic symbols of a library.
exported_of() {
  nm -D --defined-only -C "$1" | sed -E 's/^[0-9a-fA-F]* *[A-Za-z] //'
}

# Demangled names of the strong global definitions (code and data) in
# archives; weak ones are inline code any user may emit itself.
defined_of() {
  [ $# -gt 0 ] || return 0
  nm -C --defined-only "$@" 2>/dev/null | grep -E '^[0-9a-fA-F]+ [TDBR] ' | sed -E 's/^[0-9a-fA-F]+ [TDBR] //' | sort -u
}

run() {
  local names=$1 exported=$2 defined=$3 out
  out=$(judge "$names" "$exported" "$defined")
  if [ -n "$out" ]; then
    echo "$out" | sort >&2
    return 1
  fi
}

self_test() {
  local include=$1 tmp failures=0
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' RETURN
  public_names "$include" >"$tmp/names"
  # Public symbols of each kind: none may be reported.
  cat >"$tmp/good" <<'EOF'
pelk_initialize
pelk::Pelk::initialize(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, std::optional<std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > > const&, std::optional<std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > > const&)
pelk::Pelk::createUser(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&, std::function<void (std::shared_ptr<pelk::PelkUser>, std::optional<pelk::PelkError>)>)
pelk::rawValue[abi:cxx11](pelk::ErrorCode)
pelk::greatCircleDistance(pelk::Coordinate const&, pelk::Coordinate const&)
pelk::PelkNumber::int64Value() const
typeinfo for pelk::PelkDelegate
typeinfo name for pelk::PelkDelegate
vtable for pelk::PelkDelegate
EOF
  # Each line a symbol that must be reported, after the word it must be reported with.
  cat >"$tmp/bad" <<'EOF'
pelk::platform::Dispatch::main()
pelk::PelkManager::sharedInstance()
pelk::rawValue[abi:cxx11](pelk::Model)
pelk::Pelk::initialize(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)::{lambda()#1}::operator()() const
pelk::(anonymous namespace)::shielded()
vtable for pelk::DeviceInfo
typeinfo for nlohmann::json_abi_v3_11_2::detail::type_error
SQLite::Database::exec(char const*)
std::_Sp_counted_ptr<pelk::PelkUser*, (__gnu_cxx::_Lock_policy)2>::_M_dispose()
pelk_not_in_the_header
sqlite3_open
EOF
  # Good and bad exported, with the C interface otherwise complete.
  awk -F'\t' '$1 == "c" { print $2 }' "$tmp/names" >"$tmp/exported"
  cat "$tmp/good" "$tmp/bad" >>"$tmp/exported"
  # The archives define a public function the library does not export.
  printf '%s\n' 'pelk::PelkUser::fromDictionary(int const&)' 'pelk::platform::Paths::root()' >"$tmp/defined"
  judge "$tmp/names" "$tmp/exported" "$tmp/defined" >"$tmp/out" || true
  while IFS= read -r sym; do
    if ! grep -qxF "exported but not public API: $sym" "$tmp/out"; then
      echo "self-test: not caught: $sym" >&2
      failures=$((failures + 1))
    fi
  done <"$tmp/bad"
  while IFS= read -r sym; do
    if grep -qF ": $sym" "$tmp/out"; then
      echo "self-test: public symbol refused: $sym" >&2
      failures=$((failures + 1))
    fi
  done <"$tmp/good"
  if ! grep -qxF 'public API defined by the kit but not exported: pelk::PelkUser::fromDictionary(int const&)' "$tmp/out"; then
    echo "self-test: a public definition missing from the exports is not caught" >&2
    failures=$((failures + 1))
  fi
  if grep -qF 'pelk::platform::Paths::root()' "$tmp/out"; then
    echo "self-test: an internal definition is asked to be exported" >&2
    failures=$((failures + 1))
  fi
  # A C function of the header missing from the library.
  grep -vx pelk_initialize "$tmp/exported" >"$tmp/exported-short"
  if ! judge "$tmp/names" "$tmp/exported-short" /dev/null | grep -qxF 'C function of pelk.h not exported: pelk_initialize'; then
    echo "self-test: a missing C function is not caught" >&2
    failures=$((failures + 1))
  fi
  if [ "$failures" -gt 0 ]; then
    return 1
  fi
  echo "self-test: $(wc -l <"$tmp/bad") misplaced symbols and both kinds of missing export caught"
}

if [ "${1:-}" = "--self-test" ]; then
  self_test "$2"
  exit
fi

[ $# -ge 2 ] || { echo "usage: $0 LIBRARY INCLUDE_DIR [ARCHIVE...]" >&2; exit 2; }
lib=$1 include=$2
shift 2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
public_names "$include" >"$tmp/names"
exported_of "$lib" | sort -u >"$tmp/exported"
defined_of "$@" >"$tmp/defined"
run "$tmp/names" "$tmp/exported" "$tmp/defined"
echo "$(wc -l <"$tmp/exported") symbols exported, all public API; $(grep -c . "$tmp/defined" || true) global definitions checked"
