# The varnfile command-line tool (built on the public C and C++ API) and the
# C++ example.
include(GNUInstallDirs)
if(VARNFILE_TOOLS)
  find_package(CLI11 CONFIG REQUIRED)
  file(GLOB VARNFILE_TOOL_SOURCES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/tools/varnfile/*.cc)
  add_executable(varnfile_tool ${VARNFILE_TOOL_SOURCES})
  set_target_properties(varnfile_tool PROPERTIES OUTPUT_NAME varnfile
    RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin)
  target_compile_options(varnfile_tool PRIVATE ${VARNFILE_WARNINGS})
  # --version prints the package version of project() beside the format version.
  target_compile_definitions(varnfile_tool PRIVATE VARNFILE_PACKAGE_VERSION="${PROJECT_VERSION}")
  target_include_directories(varnfile_tool PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_link_libraries(varnfile_tool PRIVATE varnfile_static CLI11::CLI11)
  if(MINGW)  # printf with %zu and %llu, as on every other system
    target_compile_definitions(varnfile_tool PRIVATE __USE_MINGW_ANSI_STDIO=1)
  endif()
  install(TARGETS varnfile_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

add_executable(varnfile_cpp_demo examples/cpp_demo.cc)
target_compile_options(varnfile_cpp_demo PRIVATE ${VARNFILE_WARNINGS})
target_link_libraries(varnfile_cpp_demo PRIVATE varnfile)
