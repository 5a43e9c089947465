# The Python package's native helper: batch reads over the public C API, so
# that Python makes one foreign call per batch of items instead of several
# per item. It is loaded with ctypes beside libvarnfile.so and installed next
# to it; the package itself is pure Python and installs with pip.
include(GNUInstallDirs)
add_library(varnfile_py SHARED ${PROJECT_SOURCE_DIR}/python/native/varnfile_py.c)
target_compile_options(varnfile_py PRIVATE ${VARNFILE_WARNINGS} -fvisibility=hidden)
set_target_properties(varnfile_py PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON
  # Finds libvarnfile.so beside itself, in the build tree and when installed.
  BUILD_RPATH "$ORIGIN" INSTALL_RPATH "$ORIGIN")
target_link_libraries(varnfile_py PRIVATE varnfile)
install(TARGETS varnfile_py LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
