# Installation: the shared library, both public headers, the CMake package
# (find_package(varnfile) gives varnfile::varnfile), a pkg-config file and the
# command-line tool.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS varnfile EXPORT varnfileTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/varnfile.h ${PROJECT_SOURCE_DIR}/include/varnfile.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(VARNFILE_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/varnfile)
install(EXPORT varnfileTargets NAMESPACE varnfile:: DESTINATION ${VARNFILE_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/varnfileConfig.cmake.in
  ${PROJECT_BINARY_DIR}/varnfileConfig.cmake INSTALL_DESTINATION ${VARNFILE_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/varnfileConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/varnfileConfig.cmake
  ${PROJECT_BINARY_DIR}/varnfileConfigVersion.cmake DESTINATION ${VARNFILE_CMAKE_DIR})

# pkg-config wants paths relative to ${prefix} where it can have them, so the
# installed tree can be moved.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(VARNFILE_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(VARNFILE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VARNFILE_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VARNFILE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnfile.pc.in ${PROJECT_BINARY_DIR}/varnfile.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnfile.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
