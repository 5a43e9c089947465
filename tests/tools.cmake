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

# The library the CLI tests preload into the tool to make a file fail at a
# chosen moment (tools/fault_shim.c): Linux only.
if(TARGET tools_tests AND TARGET varnfile_tool AND CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_library(cli_fault_shim MODULE ${CMAKE_CURRENT_SOURCE_DIR}/tools/fault_shim.c)
  target_compile_options(cli_fault_shim PRIVATE ${VARNFILE_WARNINGS})
  target_link_libraries(cli_fault_shim PRIVATE ${CMAKE_DL_LIBS})
  add_dependencies(tools_tests cli_fault_shim)
  target_compile_definitions(tools_tests PRIVATE VARNFILE_FAULT_SHIM="$<TARGET_FILE:cli_fault_shim>")
endif()
