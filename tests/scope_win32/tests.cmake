# kv318-scope.exe under Wine: its screenshot on kv318-sim.exe, and closing
# its window with the recording stand-in for KV318.dll (tests/CMakeLists.txt).
if(NOT WIN32 OR NOT TARGET kv318-scope)
  return()
endif()

add_executable(scope_win32_window_test scope_win32/window_test.cpp)
target_include_directories(scope_win32_window_test PRIVATE simulator_win32)
target_link_libraries(scope_win32_window_test PRIVATE kv318_scope_core kv318_test_support GTest::gtest_main Threads::Threads)
target_compile_definitions(scope_win32_window_test PRIVATE
  KV318_SCOPE_EXE="$<TARGET_FILE:kv318-scope>"
  KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>"
  KV318_RECORDING_LIBRARY="$<TARGET_FILE:kv318_recording_library>"
  KV318_SCOPE_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
add_dependencies(scope_win32_window_test kv318-scope kv318-sim kv318_recording_library)
target_link_libraries(scope_win32_window_test PRIVATE kv318_warnings)
# Board 0's pipe is served by the simulator this test starts.
add_test(NAME scope_win32_window_test COMMAND scope_win32_window_test)
set_tests_properties(scope_win32_window_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 600)
