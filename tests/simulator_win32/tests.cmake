# The simulator on Windows: the named-pipe transport in-process, and
# kv318-sim.exe as a child process, streaming to the library's multimedia
# timer under Wine.  (Its command line, portable code, is tested with the
# rest of the simulator.)
if(NOT WIN32)
  return()
endif()

# Both serve board 0's pipe, whose name is global within the Wine prefix,
# as the Win32 window test does: one of them at a time.
kv318_add_test(simulator_win32_pipe_test
  SOURCES simulator_win32/pipe_server_test.cpp
  LIBS kv318_sim_win32)
set_tests_properties(simulator_win32_pipe_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 120)

kv318_add_test(simulator_win32_exe_test
  SOURCES simulator_win32/sim_exe_test.cpp)
target_compile_definitions(simulator_win32_exe_test PRIVATE KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>")
add_dependencies(simulator_win32_exe_test kv318-sim)
set_tests_properties(simulator_win32_exe_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 180)
