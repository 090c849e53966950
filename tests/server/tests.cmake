# kv318-server: its rules against a scripted board (every platform).
kv318_add_test(server_core_test SOURCES server/control_test.cpp server/endpoints_test.cpp
               LIBS kv318_server_core kv318_protocol)
target_include_directories(server_core_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/cli)
if(TARGET kv318-server AND NOT WIN32)
  # The program against kv318-sim, with bare pyzmq clients in processes of
  # their own.
  add_test(NAME server_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/end_to_end.py
            --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim>)
  set(kv318_server_test_env "${KV318_TEST_PYTHONPATH}" "KV318_SANITIZE=${KV318_SANITIZE}")
  if(KV318_ZMQ_TEST_ENVIRONMENT)
    list(APPEND kv318_server_test_env "${KV318_ZMQ_TEST_ENVIRONMENT}")
  endif()
  set_tests_properties(server_end_to_end_test PROPERTIES TIMEOUT 400 ENVIRONMENT "${kv318_server_test_env}")
endif()
