# kv318-cli: its logic against a scripted board (every platform), the
# program against kv318-sim (Linux), and against kv318-sim.exe under Wine.
kv318_add_test(cli_core_test SOURCES cli/core_test.cpp cli/reader_test.cpp cli/recording_test.cpp cli/run_end_test.cpp
               cli/sample_store_test.cpp LIBS kv318_cli_core)
kv318_add_test(cli_capture_test SOURCES cli/capture_test.cpp LIBS kv318_cli_core)
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The HDF5 recording, read back with HDF5's own API.
  find_package(HDF5 REQUIRED COMPONENTS C)
  kv318_add_test(cli_hdf5_store_test SOURCES cli/hdf5_store_test.cpp LIBS kv318_cli_core hdf5::hdf5)
endif()
if(NOT WIN32)
  # The words for a board its lock keeps out, against a real lock file.
  kv318_add_test(cli_board_api_test SOURCES cli/board_api_test.cpp LIBS kv318_cli_core kv318_protocol)
endif()

if(NOT WIN32)
  add_test(NAME cli_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(cli_end_to_end_test PROPERTIES TIMEOUT 300 ENVIRONMENT "${KV318_TEST_PYTHONPATH}")
  add_test(NAME cli_capture_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/capture_end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(cli_capture_end_to_end_test PROPERTIES TIMEOUT 300 ENVIRONMENT "${KV318_TEST_PYTHONPATH}")
  # HDF5 recordings read back with h5py, a killed run included.
  add_test(NAME cli_hdf5_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/hdf5_end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(cli_hdf5_end_to_end_test PROPERTIES TIMEOUT 300)
  # With the package too: its recorder writes the file kv318-cli's must match.
  kv318_script_test_environment(cli_hdf5_end_to_end_test PACKAGE)
  # Recordings to a disk that fills up: only what reached it, and said so.
  add_test(NAME cli_full_disk_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/full_disk_end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(cli_full_disk_end_to_end_test PROPERTIES TIMEOUT 300)
  kv318_script_test_environment(cli_full_disk_end_to_end_test)
  # The FIFO verdict against the simulator's own count of dropped samples.
  add_test(NAME cli_fifo_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/fifo_end_to_end.py
            --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim>)
  # The sanitizer, if any, so the top-rate case can tell a build that
  # cannot keep up at all from a tool that misjudges a stop.
  set_tests_properties(cli_fifo_end_to_end_test PROPERTIES TIMEOUT 300)
  kv318_script_test_environment(cli_fifo_end_to_end_test)
  if(TARGET kv318-server AND TARGET kv318_remote_client)
    # kv318-cli --server against the real server and kv318-sim: controller,
    # follower, a stopped follower, a refused controller, a killed server.
    add_test(NAME cli_server_end_to_end_test
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/server_end_to_end.py
              --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim> --server $<TARGET_FILE:kv318-server>)
    set_tests_properties(cli_server_end_to_end_test PROPERTIES TIMEOUT 400)
    kv318_script_test_environment(cli_server_end_to_end_test)
  endif()
  # Two kv318-cli processes on one board: the second is refused.  It also
  # loads the library into Python through ctypes, which an instrumented
  # library cannot join, so not in sanitizer builds.
  if(NOT KV318_SANITIZE)
    add_test(NAME cli_board_lock_test
      COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/cli/board_lock.py
              --cli $<TARGET_FILE:kv318-cli> --sim $<TARGET_FILE:kv318-sim> --lib $<TARGET_FILE:KV318>)
    set_tests_properties(cli_board_lock_test PROPERTIES TIMEOUT 300 ENVIRONMENT "${KV318_TEST_PYTHONPATH}")
  endif()
endif()

if(WIN32)
  # Both programs as child processes under Wine; board 0's pipe is global
  # within the prefix, so this holds the same lock as the other tests that
  # serve it.
  kv318_add_test(cli_wine_test SOURCES cli/wine_test.cpp)
  target_include_directories(cli_wine_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/simulator_win32)
  target_compile_definitions(cli_wine_test PRIVATE KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>"
                                                   KV318_CLI_EXE="$<TARGET_FILE:kv318-cli>")
  add_dependencies(cli_wine_test kv318-sim kv318-cli)
  set_tests_properties(cli_wine_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 240)
  # Two kv318-cli.exe processes on one board: the second is refused.
  kv318_add_test(cli_wine_lock_test SOURCES cli/wine_lock_test.cpp)
  target_include_directories(cli_wine_lock_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/simulator_win32)
  target_compile_definitions(cli_wine_lock_test PRIVATE KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>"
                                                        KV318_CLI_EXE="$<TARGET_FILE:kv318-cli>")
  add_dependencies(cli_wine_lock_test kv318-sim kv318-cli)
  set_tests_properties(cli_wine_lock_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 400)
endif()
