# The C quick start against kv318-sim in a private driver directory (Linux;
# the Windows builds only compile it).
if(NOT WIN32)
  add_test(NAME example_c_quick_start_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/examples/c_quick_start.py
            --example $<TARGET_FILE:stream_volts> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(example_c_quick_start_test PROPERTIES TIMEOUT 300 ENVIRONMENT "${KV318_TEST_PYTHONPATH}")
endif()
