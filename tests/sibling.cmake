# The server clock against real stand-ins for libqz3net0.so.
#
# Two variants of the sibling library are built under tests/sibling/<variant>:
# "controlled" answers with a date and time that the test sets, "day_zero"
# answers success with the day byte 0. One test program holds the checks;
# ctest runs each group with the loader's search path pointing at one
# variant, or at a folder that starts empty (the library appears while the
# program runs, so the load is seen to be retried). The programs do not link
# the sibling: the library finds it only through dlopen.

set(VARNFILE_SIBLING_DIR ${CMAKE_CURRENT_BINARY_DIR}/sibling)
foreach(variant controlled day_zero)
  add_library(qz3net0_${variant} SHARED ${CMAKE_CURRENT_SOURCE_DIR}/sibling/qz3net0_sibling.cc)
  set_target_properties(qz3net0_${variant} PROPERTIES
    OUTPUT_NAME qz3net0
    LIBRARY_OUTPUT_DIRECTORY ${VARNFILE_SIBLING_DIR}/${variant})
  if(WIN32)
    # QZ3NET0.DLL, its entry point exported under the plain name.
    set_target_properties(qz3net0_${variant} PROPERTIES PREFIX "" OUTPUT_NAME QZ3NET0
      RUNTIME_OUTPUT_DIRECTORY ${VARNFILE_SIBLING_DIR}/${variant})
    target_link_options(qz3net0_${variant} PRIVATE -Wl,--kill-at)
  endif()
  target_include_directories(qz3net0_${variant} PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_options(qz3net0_${variant} PRIVATE ${VARNFILE_WARNINGS})
endforeach()
target_compile_definitions(qz3net0_day_zero PRIVATE QZ3NET_DAY_ZERO)
# The loader skips search folders that did not exist when it first looked.
file(MAKE_DIRECTORY ${VARNFILE_SIBLING_DIR}/late)

add_executable(server_clock_tests ${CMAKE_CURRENT_SOURCE_DIR}/sibling/server_clock_checks.cc)
target_include_directories(server_clock_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_options(server_clock_tests PRIVATE ${VARNFILE_WARNINGS})
target_link_libraries(server_clock_tests PRIVATE varnfile_static GTest::gtest_main ${CMAKE_DL_LIBS})
add_dependencies(server_clock_tests qz3net0_controlled qz3net0_day_zero)

foreach(group ControlledSibling DayZeroSibling LateSibling)
  if(group STREQUAL "ControlledSibling")
    set(search_dir ${VARNFILE_SIBLING_DIR}/controlled)
  elseif(group STREQUAL "DayZeroSibling")
    set(search_dir ${VARNFILE_SIBLING_DIR}/day_zero)
  else()
    set(search_dir ${VARNFILE_SIBLING_DIR}/late)
  endif()
  add_test(NAME server_clock.${group} COMMAND server_clock_tests --gtest_filter=${group}.*)
  # Windows takes the folder from VARNFILE_SIBLING_DIR (the test adds it to
  # the DLL search path).
  set_tests_properties(server_clock.${group} PROPERTIES
    ENVIRONMENT "LD_LIBRARY_PATH=${search_dir};VARNFILE_SIBLING_DIR=${search_dir};VARNFILE_SIBLING_SOURCE=$<TARGET_FILE:qz3net0_controlled>;VARNFILE_TEST_TMP=${CMAKE_CURRENT_BINARY_DIR}/tmp")
endforeach()
