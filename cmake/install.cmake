# Install rules of the library: the library, its public headers, a CMake
# package (tessalyConfig.cmake with a version file) and a pkg-config file.
include(CMakePackageConfigHelpers)

set(TESSALY_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tessaly)
install(TARGETS tessaly EXPORT tessalyTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/tessaly DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tessalyTargets NAMESPACE tessaly:: DESTINATION ${TESSALY_CMAKE_DIR})
# The same targets for a host that uses this build folder without installing.
export(EXPORT tessalyTargets NAMESPACE tessaly::
  FILE ${CMAKE_CURRENT_BINARY_DIR}/tessalyTargets.cmake)

# A static library brings its link dependencies along; a shared one has them
# linked in already. The public headers need only the standard library.
get_target_property(TESSALY_LIBRARY_TYPE tessaly TYPE)
if(TESSALY_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(TESSALY_STATIC ON)
  set(TESSALY_PC_REQUIRES_PRIVATE "spdlog fmt")
  set(TESSALY_PC_LIBS_PRIVATE "-pthread")
else()
  set(TESSALY_STATIC OFF)
  set(TESSALY_PC_REQUIRES_PRIVATE "")
  set(TESSALY_PC_LIBS_PRIVATE "")
endif()

configure_package_config_file(cmake/tessalyConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tessalyConfig.cmake INSTALL_DESTINATION ${TESSALY_CMAKE_DIR})
# Before 1.0 a minor release may break the interface.
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tessalyConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessalyConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tessalyConfigVersion.cmake DESTINATION ${TESSALY_CMAKE_DIR})

# The pkg-config file finds the prefix from its own place, so the installed
# tree can be moved or installed with `cmake --install --prefix`.
file(RELATIVE_PATH TESSALY_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" TESSALY_PC_TO_PREFIX "${TESSALY_PC_TO_PREFIX}")
configure_file(cmake/tessaly.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tessaly.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tessaly.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
