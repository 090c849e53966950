# Analog acquisition: streaming and polled, against the recording device.
# Ticks of the test timer are fired by hand, so these run the same anywhere.
kv318_add_test(acquisition_start_test SOURCES acquisition/start_test.cpp)
kv318_add_test(acquisition_stream_test SOURCES acquisition/stream_test.cpp)
kv318_add_test(acquisition_polled_test SOURCES acquisition/polled_test.cpp)
# Draining until the board runs dry, and the drain statistics.
kv318_add_test(acquisition_drain_test SOURCES acquisition/drain_test.cpp)
# The timer's period as it follows the rate the FIFO levels show.
kv318_add_test(acquisition_period_test SOURCES acquisition/period_test.cpp)
# The board lock as the start, stop and close calls take and give it back.
kv318_add_test(acquisition_board_lock_test SOURCES acquisition/board_lock_test.cpp)

if(NOT WIN32)
  # The real timer thread against a fast substitute board; also run by the
  # tsan preset.
  kv318_add_test(acquisition_concurrency_test SOURCES acquisition/concurrency_test.cpp)
  # Exit and unload while a stream runs, through the built libKV318.so.
  kv318_add_test(acquisition_lifetime_test SOURCES acquisition/lifetime_test.cpp LIBS ${CMAKE_DL_LIBS})
  target_compile_definitions(acquisition_lifetime_test PRIVATE KV318_SO_PATH="$<TARGET_FILE:KV318>")
  add_dependencies(acquisition_lifetime_test KV318)
  # A hang at exit shows as a timeout, long before the preset's own.
  set_tests_properties(acquisition_lifetime_test acquisition_concurrency_test PROPERTIES TIMEOUT 240)
  # The library's device service lives for the whole process and is never
  # freed; once dlclose unmaps the pointer to it, LeakSanitizer counts it as
  # lost.  That is the unload itself, not a fault under test.
  set_tests_properties(acquisition_lifetime_test PROPERTIES ENVIRONMENT "ASAN_OPTIONS=detect_leaks=0")
endif()

# The board simulator as a child process that exits in the middle of a
# run: on the Unix socket natively, on the named pipe under Wine.
kv318_add_test(acquisition_driver_exit_test SOURCES acquisition/driver_exit_test.cpp)
target_compile_definitions(acquisition_driver_exit_test PRIVATE KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>")
add_dependencies(acquisition_driver_exit_test kv318-sim)
set_tests_properties(acquisition_driver_exit_test PROPERTIES TIMEOUT 180)
if(WIN32)
  # kv318-sim.exe serves board 0's pipe, global within the Wine prefix.
  set_tests_properties(acquisition_driver_exit_test PROPERTIES RESOURCE_LOCK kv318_board0)
endif()
# The wait for a drain in progress, lowered at every moment of the look.
kv318_add_test(acquisition_flag_wait_test SOURCES acquisition/flag_wait_test.cpp)
# A lost wakeup hangs a reader for ever: fail it long before the preset's
# own timeout, which a whole matrix cannot afford to wait out.
set_tests_properties(acquisition_drain_test acquisition_flag_wait_test PROPERTIES TIMEOUT 180)
