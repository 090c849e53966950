# kv318-server and its clients: the wire format on every platform.
kv318_add_test(remote_wire_test SOURCES remote/wire_test.cpp LIBS kv318_remote_wire kv318_protocol)
# The client's logic against a fake server behind a scripted link.
kv318_add_test(remote_client_test SOURCES remote/remote_client_test.cpp LIBS kv318_remote_logic)
if(TARGET kv318_remote_client)
  # kv318-cli's commands over ZeroMQ against a fake server in a thread.
  kv318_add_test(remote_cli_test SOURCES remote/remote_cli_test.cpp LIBS kv318_cli_core kv318_remote_client)
  set_tests_properties(remote_cli_test PROPERTIES TIMEOUT 120 ENVIRONMENT
    "TSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/remote/libzmq.tsan.supp")
endif()
