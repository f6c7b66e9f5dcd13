# What `cmake --install` puts in place for a host: the shared library (with its
# SONAME links), the public headers, a CMake package (`find_package(pelk)`
# gives pelk::pelk) and a pkg-config file (`pkg-config pelk`).
include(CMakePackageConfigHelpers)

set(PELK_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/pelk)

install(TARGETS pelk EXPORT pelkTargets LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
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
configure_file(${CMAKE_CURRENT_LIST_DIR}/pelk.pc.in ${CMAKE_CURRENT_BINARY_DIR}/pelk.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/pelk.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
