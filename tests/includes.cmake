# Every include under src/ points down the rooms (api, store, codec and io,
# platform, base); the script names each one that points up.
add_test(NAME include_rules
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/check_includes.sh ${PROJECT_SOURCE_DIR}/src)
