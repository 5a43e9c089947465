# The Python package's tests: pytest over python/tests, against the library,
# its batch helper and the tool of this build. Not in sanitizer builds: their
# libraries need the sanitizer runtime loaded before the interpreter starts.
# Nor in a Windows build: the package loads the library of this system.
if(NOT VARNFILE_SANITIZE AND NOT VARNFILE_TSAN AND NOT VARNFILE_FUZZ AND NOT WIN32 AND TARGET varnfile_py)
  # The first python3 that has pytest: Debian's (python3-pytest), then PATH's.
  set(VARNFILE_PYTEST_PYTHON "")
  find_program(VARNFILE_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
  find_program(VARNFILE_PATH_PYTHON python3)
  foreach(candidate ${VARNFILE_SYSTEM_PYTHON} ${VARNFILE_PATH_PYTHON})
    if(NOT VARNFILE_PYTEST_PYTHON)
      execute_process(COMMAND ${candidate} -c "import pytest" RESULT_VARIABLE no_pytest
        OUTPUT_QUIET ERROR_QUIET)
      if(no_pytest EQUAL 0)
        set(VARNFILE_PYTEST_PYTHON ${candidate})
      endif()
    endif()
  endforeach()
  if(VARNFILE_PYTEST_PYTHON)
    set(python_env "VARNFILE_LIBRARY=$<TARGET_FILE:varnfile>" "PYTHONDONTWRITEBYTECODE=1")
    if(TARGET varnfile_tool)
      list(APPEND python_env "VARNFILE_TOOL=$<TARGET_FILE:varnfile_tool>")
    endif()
    add_test(NAME python_package
      COMMAND ${VARNFILE_PYTEST_PYTHON} -m pytest -q -rs -p no:cacheprovider
        ${PROJECT_SOURCE_DIR}/python/tests)
    set_tests_properties(python_package PROPERTIES ENVIRONMENT "${python_env}" TIMEOUT 300)
  else()
    message(STATUS "Python package tests left out: no python3 with pytest (python3-pytest)")
  endif()
endif()
