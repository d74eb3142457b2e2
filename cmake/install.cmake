# SPDX-License-Identifier: MIT
# cmake --install: the shared library with its SONAME links, the public
# headers, a CMake package (find_package(kine) -> kine::kine), kine.pc and
# the udev rule. The kine tool installs itself from tools/.
include(CMakePackageConfigHelpers)

set(KINE_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/kine CACHE STRING
  "Where the CMake package files are installed, relative to the prefix")
set(KINE_INSTALL_UDEVRULESDIR lib/udev/rules.d CACHE STRING
  "Where the udev rule is installed, relative to the prefix (udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d)")

install(TARGETS kine EXPORT kineTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY include/kine include/serial DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_BINARY_DIR}/include/kine/kine_library_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kine)

install(EXPORT kineTargets NAMESPACE kine:: DESTINATION ${KINE_INSTALL_CMAKEDIR})
configure_package_config_file(cmake/kineConfig.cmake.in ${PROJECT_BINARY_DIR}/kineConfig.cmake
  INSTALL_DESTINATION ${KINE_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kineConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kineConfig.cmake ${PROJECT_BINARY_DIR}/kineConfigVersion.cmake
  DESTINATION ${KINE_INSTALL_CMAKEDIR})

# kine.pc finds the prefix from its own place, so an installed tree can move.
file(RELATIVE_PATH KINE_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KINE_PC_TO_PREFIX "${KINE_PC_TO_PREFIX}")
configure_file(cmake/kine.pc.in ${PROJECT_BINARY_DIR}/kine.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kine.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES packaging/udev/60-kine.rules DESTINATION ${KINE_INSTALL_UDEVRULESDIR})
