# kv318-server and its clients: the wire format on every platform.
kv318_add_test(remote_wire_test SOURCES remote/wire_test.cpp LIBS kv318_remote_wire kv318_protocol)

# The same format against the vectors the Python client meets too; the
# table is compiled in, as for sample_units_test.
set(kv318_remote_wire_csv ${CMAKE_CURRENT_SOURCE_DIR}/vectors/remote_wire.csv)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${kv318_remote_wire_csv})
file(READ ${kv318_remote_wire_csv} KV318_REMOTE_WIRE_CSV)
file(CONFIGURE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/vectors/remote_wire_csv.inc
  CONTENT "R\"csv(@KV318_REMOTE_WIRE_CSV@)csv\"\n" @ONLY)
kv318_add_test(remote_wire_vectors_test SOURCES remote/wire_vectors_test.cpp LIBS kv318_remote_wire kv318_protocol)
target_include_directories(remote_wire_vectors_test PRIVATE ${CMAKE_CURRENT_BINARY_DIR}/vectors)
