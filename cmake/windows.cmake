# Windows: varnfile.dll exports exactly the names of src/api/varnfile.def,
# undecorated, and comes with the import library varnfile.lib. 32-bit
# builds use __stdcall for the exports and callbacks unless VARNFILE_CDECL
# is on (see VARNFILE_CALL in include/varnfile.h).
if(WIN32)
  option(VARNFILE_CDECL "32-bit Windows: __cdecl instead of __stdcall exports and callbacks" OFF)
  if(VARNFILE_CDECL)
    target_compile_definitions(varnfile_objects PUBLIC VARNFILE_CDECL)
    target_compile_definitions(varnfile INTERFACE VARNFILE_CDECL)
  endif()
  set(VARNFILE_STDCALL OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND NOT VARNFILE_CDECL)
    set(VARNFILE_STDCALL ON)
  endif()

  # The .def names carry the __stdcall argument sizes; without __stdcall
  # there is nothing to decorate.
  file(READ ${PROJECT_SOURCE_DIR}/src/api/varnfile.def VARNFILE_DEF)
  if(NOT VARNFILE_STDCALL)
    string(REGEX REPLACE "@[0-9]+" "" VARNFILE_DEF "${VARNFILE_DEF}")
  endif()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/varnfile.def CONTENT "${VARNFILE_DEF}" @ONLY)
  target_sources(varnfile PRIVATE ${PROJECT_BINARY_DIR}/varnfile.def)
  set_target_properties(varnfile PROPERTIES PREFIX "" IMPORT_PREFIX "" IMPORT_SUFFIX ".lib")
  if(VARNFILE_STDCALL)
    target_link_options(varnfile PRIVATE -Wl,--kill-at)
    # ld names the import library's symbols as it exported them, without
    # decoration, but callers compiled for __stdcall look for the decorated
    # names: dlltool makes the import library again from the decorated .def.
    add_custom_command(TARGET varnfile POST_BUILD
      COMMAND ${CMAKE_DLLTOOL} --kill-at --def ${PROJECT_BINARY_DIR}/varnfile.def
        --dllname varnfile.dll --output-lib $<TARGET_LINKER_FILE:varnfile>
      VERBATIM)
  endif()
endif()
