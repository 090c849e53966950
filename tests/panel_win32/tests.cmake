# kv318.exe under Wine: its loader and text helpers without a window, and
# the real window driven from a second process under Xvfb.
if(NOT WIN32 OR NOT TARGET kv318)
  return()
endif()

# The Windows binding and the UTF-8/UTF-16 texts.
add_library(panel_win32_stub_library SHARED panel_win32/stub_library.cpp)
kv318_stand_in_exports(panel_win32_stub_library KV318_OpenDevice)
target_link_libraries(panel_win32_stub_library PRIVATE kv318_headers kv318_warnings)

kv318_add_test(panel_win32_loader_test
  SOURCES panel_win32/loader_test.cpp
  LIBS kv318_panel_win32)
target_compile_definitions(panel_win32_loader_test PRIVATE
  KV318_STUB_LIBRARY="$<TARGET_FILE:panel_win32_stub_library>")
add_dependencies(panel_win32_loader_test KV318 panel_win32_stub_library)

# Boards for the window to open: the simulator's model and pipe transport
# inside the test, and kv318-sim.exe beside it.
add_executable(panel_win32_window_test
  panel_win32/window_test.cpp panel_win32/panel_driver.cpp panel_win32/png_file.cpp)
target_include_directories(panel_win32_window_test PRIVATE simulator_win32)
target_link_libraries(panel_win32_window_test PRIVATE
  kv318_panel_win32 kv318_sim_win32 kv318_test_support kv318_scope_core GTest::gtest_main Threads::Threads)
target_compile_definitions(panel_win32_window_test PRIVATE
  KV318_PANEL_EXE="$<TARGET_FILE:kv318>"
  KV318_STUB_LIBRARY="$<TARGET_FILE:panel_win32_stub_library>"
  KV318_RECORDING_LIBRARY="$<TARGET_FILE:kv318_recording_library>"
  KV318_SIM_EXE="$<TARGET_FILE:kv318-sim>"
  KV318_PANEL_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
add_dependencies(panel_win32_window_test kv318 kv318-sim panel_win32_stub_library kv318_recording_library)
target_link_libraries(panel_win32_window_test PRIVATE kv318_warnings)
# The window draws on the Wine prefix's own Xvfb display.  Board 0's pipe is
# served by this test and the simulator it starts, so no other test may
# serve it meanwhile.
add_test(NAME panel_win32_window_test COMMAND panel_win32_window_test)
set_tests_properties(panel_win32_window_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 600)
