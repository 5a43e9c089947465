# Installation: the shared and the static library, both public headers, the
# CMake package (find_package(varnfile) gives varnfile::varnfile and
# varnfile::varnfile_static), a pkg-config file (--static for the static
# library), the documents and the command-line tool.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS varnfile varnfile_static EXPORT varnfileTargets
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

# The pkg-config file finds its prefix relative to where it is installed
# (${pcfiledir}), so `cmake --install --prefix` and moved trees both work.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VARNFILE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(VARNFILE_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(VARNFILE_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH VARNFILE_PC_UP "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" VARNFILE_PC_UP "${VARNFILE_PC_UP}")
  set(VARNFILE_PC_PREFIX "\${pcfiledir}/${VARNFILE_PC_UP}")
  set(VARNFILE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VARNFILE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# What a static link needs besides libvarnfile.a: the loader library, threads
# and the C++ runtime (the library is C++ behind its C interface).
set(VARNFILE_PC_LIBS_PRIVATE "")
foreach(lib ${CMAKE_DL_LIBS})
  string(APPEND VARNFILE_PC_LIBS_PRIVATE " -l${lib}")
endforeach()
string(APPEND VARNFILE_PC_LIBS_PRIVATE " ${CMAKE_THREAD_LIBS_INIT} -lstdc++")
string(STRIP "${VARNFILE_PC_LIBS_PRIVATE}" VARNFILE_PC_LIBS_PRIVATE)
configure_file(${CMAKE_CURRENT_LIST_DIR}/varnfile.pc.in ${PROJECT_BINARY_DIR}/varnfile.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/varnfile.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Documents for users and operators.
file(GLOB VARNFILE_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE
  ${PROJECT_SOURCE_DIR}/CHANGELOG.md ${VARNFILE_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})

# With the tool: its manual page and its bash completion. The page names the
# version in its title line, so that `man docs/varnfile.1` in the source tree
# reads as the installed page does; a page left behind by a version change
# stops the configure here rather than shipping the old number.
if(VARNFILE_TOOLS)
  file(STRINGS ${PROJECT_SOURCE_DIR}/docs/varnfile.1 VARNFILE_MAN_TITLE REGEX "^\\.TH ")
  if(NOT VARNFILE_MAN_TITLE MATCHES "\"varnfile ${PROJECT_VERSION}\"")
    message(FATAL_ERROR "docs/varnfile.1 does not name version ${PROJECT_VERSION}: "
      "${VARNFILE_MAN_TITLE}")
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/docs/varnfile.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/completion/varnfile.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME varnfile)
endif()
