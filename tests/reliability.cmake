# The crash test runs the built `varnfile` tool (verify, recover) on the
# files its killed writers leave: it gets the tool's path as a compile
# definition and builds it first.
if(TARGET reliability_tests)
  if(TARGET varnfile_tool)
    add_dependencies(reliability_tests varnfile_tool)
    target_compile_definitions(reliability_tests PRIVATE VARNFILE_TOOL_PATH="$<TARGET_FILE:varnfile_tool>")
  endif()
endif()
