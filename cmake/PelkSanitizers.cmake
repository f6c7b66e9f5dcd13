if(PELK_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(PELK_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT PELK_SANITIZE STREQUAL "")
  message(FATAL_ERROR "PELK_SANITIZE must be empty, address or thread")
endif()
# GCC's sanitizer instrumentation makes -Wmaybe-uninitialized guess wrong inside
# the standard library (std::function in <regex>, std::variant); under
# PELK_WERROR those guesses stay warnings in the sanitizer flavours.
if(PELK_SANITIZE AND CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-Wno-error=maybe-uninitialized)
endif()
# The main-queue assertions (PELK_ASSERT_ON_MAIN) run in the sanitizer builds
# too, which are optimised and so would drop them with NDEBUG.
if(PELK_SANITIZE)
  add_compile_definitions(PELK_THREAD_CHECKS=1)
endif()
