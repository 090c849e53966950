# kv318-server: its rules against a scripted board (every platform).
kv318_add_test(server_core_test SOURCES server/control_test.cpp server/endpoints_test.cpp
               LIBS kv318_server_core kv318_protocol)
target_include_directories(server_core_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/cli)
