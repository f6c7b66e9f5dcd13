# The libFuzzer build (clang only, its own build directory: scripts/fuzz.sh
# configures it).  Everything compiled in it carries the fuzzer's coverage
# hooks and AddressSanitizer+UBSan; only the fuzz targets add libFuzzer's main.
option(PELK_BUILD_FUZZ "Build the libFuzzer targets (needs clang)" OFF)
if(PELK_BUILD_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "PELK_BUILD_FUZZ needs clang (configure with CMAKE_CXX_COMPILER=clang++)")
  endif()
  if(PELK_SANITIZE)
    message(FATAL_ERROR "PELK_BUILD_FUZZ brings its own sanitizers: leave PELK_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()
