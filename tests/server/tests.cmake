# kv318-server: its rules against a scripted board (every platform).
kv318_add_test(server_core_test SOURCES server/control_test.cpp server/endpoints_test.cpp server/envelope_test.cpp
                                        server/key_files_test.cpp server/replug_test.cpp server/serve_lock_test.cpp
               LIBS kv318_server_core kv318_protocol)
target_include_directories(server_core_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/cli)
# docs/server-protocol.md against the protocol's table (pipeline/remote/protocol.h).
kv318_add_test(server_protocol_doc_test SOURCES server/protocol_doc_test.cpp LIBS kv318_remote_wire)
target_compile_definitions(server_protocol_doc_test PRIVATE
                           KV318_PROTOCOL_DOC="${CMAKE_SOURCE_DIR}/docs/server-protocol.md")
if(TARGET kv318-server AND NOT WIN32)
  # The program against kv318-sim, with bare pyzmq clients in processes of
  # their own.
  add_test(NAME server_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/end_to_end.py
            --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim> --cli $<TARGET_FILE:kv318-cli>)
  set_tests_properties(server_end_to_end_test PROPERTIES TIMEOUT 400)
  # PACKAGE: the server's user and another one reach it with the package
  # too (not in sanitizer builds, whose library the package cannot load).
  kv318_script_test_environment(server_end_to_end_test PACKAGE)
  if(TARGET kv318-cli)
    # A board that goes away and comes back (kv318-sim killed and started
    # again), and one that appears after the server started.
    add_test(NAME server_replug_end_to_end_test
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/replug_end_to_end.py
              --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim> --cli $<TARGET_FILE:kv318-cli>)
    set_tests_properties(server_replug_end_to_end_test PROPERTIES TIMEOUT 400)
    kv318_script_test_environment(server_replug_end_to_end_test)
  endif()
  if(TARGET kv318-scope AND TARGET kv318_remote_client AND NOT KV318_SANITIZE)
    # One stream, every program: kv318-cli controls it while kv318-cli, the
    # kv318 package and kv318-scope follow.  Not in sanitizer builds: the
    # package cannot load an instrumented library.
    add_test(NAME server_tools_end_to_end_test
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/tools_end_to_end.py
              --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim> --server $<TARGET_FILE:kv318-server>
              --scope $<TARGET_FILE:kv318-scope>)
    set_tests_properties(server_tools_end_to_end_test PROPERTIES TIMEOUT 400)
    kv318_script_test_environment(server_tools_end_to_end_test PACKAGE)
  endif()
endif()
if(TARGET kv318-server AND TARGET KV318Remote AND NOT WIN32 AND NOT KV318_SANITIZE)
  # The served boards' library, loaded as libKV318 loads it, against the
  # program serving kv318-sim.  Not in sanitizer builds: Python cannot load
  # an instrumented library.
  add_test(NAME server_backend_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/served_backend_end_to_end.py
            --backend $<TARGET_SONAME_FILE:KV318Remote> --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(server_backend_end_to_end_test PROPERTIES TIMEOUT 300)
  kv318_script_test_environment(server_backend_end_to_end_test)
  # A program written against libKV318, unchanged, on a board the server
  # holds: through KV318_SERVER, and found by itself on this machine.
  add_test(NAME server_library_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/library_end_to_end.py
            --library $<TARGET_FILE:KV318> --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(server_library_end_to_end_test PROPERTIES TIMEOUT 300)
  kv318_script_test_environment(server_library_end_to_end_test)
endif()
if(TARGET kv318-server AND WIN32 AND CMAKE_CROSSCOMPILING)
  # kv318-server.exe and kv318-sim.exe under Wine in the run's prefix (the
  # board reached through the simulator's named pipe), read by this host's
  # Python clients over loopback TCP, and by the Linux kv318-cli when a
  # build of it that takes --server is there.  Not labelled host: it needs
  # the prefix, and a machine that cannot run the 32-bit build skips it.
  add_test(NAME server_wine_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/server/wine_end_to_end.py
            --wine-run ${CMAKE_SOURCE_DIR}/tools/wine-run --prefix ${KV318_WINEPREFIX}
            --dll-dir $<TARGET_FILE_DIR:KV318> --sim $<TARGET_FILE:kv318-sim> --server $<TARGET_FILE:kv318-server>
            --cli ${CMAKE_SOURCE_DIR}/build/linux/cli/kv318-cli --example $<TARGET_FILE:stream_volts>)
  # Board 0's pipe is global within the prefix.
  set_tests_properties(server_wine_end_to_end_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 400)
endif()
if(TARGET kv318-server AND NOT WIN32)
  # The server's sockets with CURVE keys, on ipc sockets.
  kv318_add_test(server_transport_test SOURCES server/transport_test.cpp ${CMAKE_SOURCE_DIR}/server/platform/transport.cpp
                 LIBS kv318_server_core kv318_zmq kv318_protocol)
  target_include_directories(server_transport_test PRIVATE ${CMAKE_SOURCE_DIR}/server/platform)
  set_tests_properties(server_transport_test PROPERTIES TIMEOUT 120)
  # libzmq's own threads, unseen by the thread checker (see zeromq.cmake).
  if(KV318_ZMQ_TEST_ENVIRONMENT)
    set_tests_properties(server_transport_test PROPERTIES ENVIRONMENT "${KV318_ZMQ_TEST_ENVIRONMENT}")
  endif()
endif()
