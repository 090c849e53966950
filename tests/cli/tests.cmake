# kv318-cli: its logic against a scripted board (every platform), the
# program against kv318-sim (Linux), and against kv318-sim.exe under Wine.
if(NOT TARGET kv318_cli_core)
  return()
endif()

kv318_add_test(cli_core_test SOURCES cli/core_test.cpp LIBS kv318_cli_core)

if(NOT WIN32 AND TARGET kv318-sim)
  add_test(NAME cli_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(cli_end_to_end_test PROPERTIES TIMEOUT 300)
endif()
