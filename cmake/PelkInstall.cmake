# What `cmake --install` puts in place for a host: the shared library (with its
# SONAME links), the public headers, a CMake package (`find_package(pelk)`
# gives pelk::pelk) and a pkg-config file (`pkg-config pelk`).
include(CMakePackageConfigHelpers)

set(PELK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/pelk)

install(TARGETS pelk EXPORT pelkTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# The installed library carries no debug information (the default build type
# keeps it: some 60 MB of it against 2 MB of code).  With
# PELK_INSTALL_DEBUG_INFO it goes to <libdir>/.debug/<library>.debug beside
# it, named in the library (.gnu_debuglink), where gdb finds it on its own.
# The library in the build tree keeps its debug information.
option(PELK_INSTALL_DEBUG_INFO "Install the library's debug information as a separate file" OFF)
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(_pelk_installed_libdir "${CMAKE_INSTALL_LIBDIR}")
else()
  set(_pelk_installed_libdir "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(NOT CMAKE_STRIP)
  message(WARNING "No strip program found: the installed libpelk keeps its debug information")
else()
  install(CODE "
    set(_lib \"\$ENV{DESTDIR}${_pelk_installed_libdir}/$<TARGET_FILE_NAME:pelk>\")
    set(_keep_debug $<BOOL:${PELK_INSTALL_DEBUG_INFO}>)
    if(_keep_debug)
      get_filename_component(_dir \"\${_lib}\" DIRECTORY)
      set(_debug \"\${_dir}/.debug/$<TARGET_FILE_NAME:pelk>.debug\")
      file(MAKE_DIRECTORY \"\${_dir}/.debug\")
      message(STATUS \"Debug information: \${_debug}\")
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --only-keep-debug \"\${_lib}\" \"\${_debug}\" COMMAND_ERROR_IS_FATAL ANY)
    endif()
    message(STATUS \"Stripping: \${_lib}\")
    execute_process(COMMAND \"${CMAKE_STRIP}\" --strip-unneeded \"\${_lib}\" COMMAND_ERROR_IS_FATAL ANY)
    if(_keep_debug)
      execute_process(COMMAND \"${CMAKE_OBJCOPY}\" --add-gnu-debuglink=\${_debug} \"\${_lib}\"
                      COMMAND_ERROR_IS_FATAL ANY)
    endif()
  ")
endif()
install(DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR}/include/pelk DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
install(EXPORT pelkTargets NAMESPACE pelk:: DESTINATION ${PELK_INSTALL_CMAKEDIR})

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/pelkConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/pelkConfig.cmake INSTALL_DESTINATION ${PELK_INSTALL_CMAKEDIR})
# The SONAME stays libpelk.so.0 across 0.x, so every 0.x release answers a
# request for an earlier one.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/pelkConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pelkConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/pelkConfigVersion.cmake
  DESTINATION ${PELK_INSTALL_CMAKEDIR})

# pkg-config: paths relative to the prefix the file is installed under, so an
# install with `--prefix` elsewhere still points at itself.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(PELK_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(PELK_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(PELK_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH _up /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" _up "${_up}")
  set(PELK_PC_PREFIX "\${pcfiledir}/${_up}")
  set(PELK_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(PELK_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# Two files: pelk for a C host (the library and its headers, nothing more),
# pelk-cpp for a C++ host, which also needs the very nlohmann-json version
# the kit was built with (the JSON type is in the kit's exported functions).
configure_file(${CMAKE_CURRENT_LIST_DIR}/pelk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pelk.pc @ONLY)
configure_file(${CMAKE_CURRENT_LIST_DIR}/pelk-cpp.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pelk-cpp.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pelk.pc ${CMAKE_CURRENT_BINARY_DIR}/pelk-cpp.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
