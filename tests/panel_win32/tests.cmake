# kv318.exe under Wine: its loader and text helpers without a window, and
# the real window driven from a second process under Xvfb.
if(NOT WIN32 OR NOT TARGET kv318)
  return()
endif()

# The Windows binding and the UTF-8/UTF-16 texts.
add_library(panel_win32_stub_library SHARED panel_win32/stub_library.cpp)
target_link_options(panel_win32_stub_library PRIVATE -static -Wl,--kill-at)
kv318_warnings(panel_win32_stub_library)

kv318_add_test(panel_win32_loader_test
  SOURCES panel_win32/loader_test.cpp
  LIBS kv318_panel_win32)
target_compile_definitions(panel_win32_loader_test PRIVATE
  KV318_STUB_LIBRARY="$<TARGET_FILE:panel_win32_stub_library>")
add_dependencies(panel_win32_loader_test KV318 panel_win32_stub_library)

# A board for the window to open: the simulator's model served on the
# board's named pipe from inside the test.  The model is portable; it is
# built here from its sources while the simulator has no Windows build.
if(TARGET kv318_sim_server)
  set(panel_win32_board_lib kv318_sim_server)
else()
  file(GLOB panel_win32_model_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/simulator/model/*.cpp)
  add_library(panel_win32_board_model STATIC ${panel_win32_model_sources} ${CMAKE_SOURCE_DIR}/simulator/server/session.cpp)
  target_include_directories(panel_win32_board_model PUBLIC
    ${CMAKE_SOURCE_DIR}/simulator/model ${CMAKE_SOURCE_DIR}/simulator/server)
  target_link_libraries(panel_win32_board_model PUBLIC kv318_core)
  kv318_warnings(panel_win32_board_model)
  set(panel_win32_board_lib panel_win32_board_model)
endif()

add_executable(panel_win32_window_test
  panel_win32/window_test.cpp panel_win32/panel_driver.cpp panel_win32/pipe_board.cpp panel_win32/png_file.cpp)
target_link_libraries(panel_win32_window_test PRIVATE
  kv318_panel_win32 ${panel_win32_board_lib} GTest::gtest_main Threads::Threads)
target_compile_definitions(panel_win32_window_test PRIVATE
  KV318_PANEL_EXE="$<TARGET_FILE:kv318>"
  KV318_STUB_LIBRARY="$<TARGET_FILE:panel_win32_stub_library>"
  KV318_PANEL_SHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
add_dependencies(panel_win32_window_test kv318 panel_win32_stub_library)
kv318_warnings(panel_win32_window_test)
# The window draws on the Wine prefix's own Xvfb display.  Board 0's pipe is
# served by this test, so no other test may serve it meanwhile.
add_test(NAME panel_win32_window_test COMMAND panel_win32_window_test)
set_tests_properties(panel_win32_window_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 600)
