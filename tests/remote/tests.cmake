# kv318-server and its clients: the wire format on every platform.
kv318_add_test(remote_wire_test SOURCES remote/wire_test.cpp LIBS kv318_remote_wire kv318_protocol)
# The client's logic against a fake server behind a scripted link.
kv318_add_test(remote_client_test SOURCES remote/remote_client_test.cpp remote/local_keys_test.cpp
               LIBS kv318_remote_logic)
# The served boards' table of libKV318 against the same fake server.
kv318_add_test(remote_served_table_test SOURCES remote/served_table_test.cpp LIBS kv318_served_table)

# The same format against the vectors the Python client meets too; the
# table is compiled in, as for sample_units_test.
set(kv318_remote_wire_csv ${CMAKE_CURRENT_SOURCE_DIR}/vectors/remote_wire.csv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kv318_remote_wire_csv})
file(READ ${kv318_remote_wire_csv} KV318_REMOTE_WIRE_CSV)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vectors/remote_wire_csv.inc
  CONTENT "R\"csv(@KV318_REMOTE_WIRE_CSV@)csv\"\n" @ONLY)
kv318_add_test(remote_wire_vectors_test SOURCES remote/wire_vectors_test.cpp LIBS kv318_remote_wire kv318_protocol)
target_include_directories(remote_wire_vectors_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/vectors)

# ZeroMQ, the transport of kv318-server, on every platform whose build found
# it (cmake/zeromq.cmake): on Windows it checks the static libzmq built for
# that width, under Wine.
if(NOT KV318_HAVE_ZMQ)
  return()
endif()

add_executable(remote_zmq_transport_test remote/zmq_transport_test.cpp)
target_link_libraries(remote_zmq_transport_test PRIVATE kv318_zmq kv318_protocol Threads::Threads GTest::gtest_main)
target_include_directories(remote_zmq_transport_test PRIVATE support)
target_link_libraries(remote_zmq_transport_test PRIVATE kv318_warnings)
add_test(NAME remote_zmq_transport_test COMMAND remote_zmq_transport_test)
set_tests_properties(remote_zmq_transport_test PROPERTIES TIMEOUT 120)
if(KV318_ZMQ_TEST_ENVIRONMENT)
  set_tests_properties(remote_zmq_transport_test PROPERTIES ENVIRONMENT "${KV318_ZMQ_TEST_ENVIRONMENT}")
endif()

if(TARGET kv318_remote_client AND NOT WIN32)
  # kv318-cli's commands through libKV318 and the served boards' library it
  # loads, over ZeroMQ against a fake server in a thread, on ipc:// sockets
  # in a temporary directory.
  # The exports are linked in, so the served boards' library is found by
  # the dynamic linker's path, not beside libKV318.
  kv318_add_test(remote_cli_test SOURCES remote/remote_cli_test.cpp LIBS kv318_cli_core kv318_zmq kv318_remote_wire)
  add_dependencies(remote_cli_test KV318Remote)
  set_tests_properties(remote_cli_test PROPERTIES TIMEOUT 120 ENVIRONMENT
                                                  "LD_LIBRARY_PATH=$<TARGET_FILE_DIR:KV318Remote>")
  if(KV318_ZMQ_TEST_ENVIRONMENT)
    set_property(TEST remote_cli_test APPEND PROPERTY ENVIRONMENT "${KV318_ZMQ_TEST_ENVIRONMENT}")
  endif()
endif()
