# The tool tests run the built `varnfile` binary: they get its path as a
# compile definition and build it first.
if(TARGET tools_tests)
  if(TARGET varnfile_tool)
    add_dependencies(tools_tests varnfile_tool)
    target_compile_definitions(tools_tests PRIVATE VARNFILE_TOOL_PATH="$<TARGET_FILE:varnfile_tool>"
      VARNFILE_PACKAGE_VERSION="${PROJECT_VERSION}")
  endif()
  target_include_directories(tools_tests PRIVATE ${PROJECT_SOURCE_DIR}/include)
endif()
