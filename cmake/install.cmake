# Installation: the library, the public headers and the module contract, a
# CMake package (find_package(vexlin CONFIG) gives vexlin::vexlin) and a
# pkg-config file that stays right under any prefix.
include(CMakePackageConfigHelpers)

set(VEXLIN_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vexlin)

install(TARGETS vexlin_shared EXPORT vexlin-targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/vexlin DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT vexlin-targets NAMESPACE vexlin:: DESTINATION ${VEXLIN_CMAKE_DIR})

configure_package_config_file(cmake/vexlin-config.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/vexlin-config.cmake
  INSTALL_DESTINATION ${VEXLIN_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/vexlin-config-version.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexlin-config.cmake ${CMAKE_CURRENT_BINARY_DIR}/vexlin-config-version.cmake
  DESTINATION ${VEXLIN_CMAKE_DIR})

# The pkg-config file finds its prefix from its own place, so a package
# moved to another prefix still points at itself.
file(RELATIVE_PATH VEXLIN_PC_TO_PREFIX
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" VEXLIN_PC_TO_PREFIX "${VEXLIN_PC_TO_PREFIX}")
configure_file(cmake/vexlin.pc.in ${CMAKE_CURRENT_BINARY_DIR}/vexlin.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/vexlin.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
