# Loading and unloading the shared library again and again: a program of
# its own that links neither library and reaches the shared one only through
# dlopen, so that every dlclose unloads it. (Linux: dlopen.)
if(NOT WIN32)
  add_executable(unload_tests ${CMAKE_CURRENT_SOURCE_DIR}/unload/unload_checks.cc)
  target_include_directories(unload_tests PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(unload_tests PRIVATE ${VARNFILE_WARNINGS})
  target_compile_definitions(unload_tests PRIVATE VARNFILE_SHARED_PATH="$<TARGET_FILE:varnfile>")
  target_link_libraries(unload_tests PRIVATE GTest::gtest_main ${CMAKE_DL_LIBS})
  add_dependencies(unload_tests varnfile)
  gtest_discover_tests(unload_tests DISCOVERY_TIMEOUT 60)
endif()
