# Windows-only suites.  Every cross-built test runs under Wine (the
# emulator set by tests/wine.cmake) in one throwaway prefix per test run:
# a CTest fixture creates it before the first Wine test and removes it,
# with its wineserver, after the last.
if(NOT WIN32)
  return()
endif()

add_test(NAME windows_wine_prefix_create COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix create ${KV318_WINEPREFIX} --arch ${KV318_WINE_ARCH})
add_test(NAME windows_wine_prefix_remove COMMAND ${CMAKE_SOURCE_DIR}/tools/wine-prefix remove ${KV318_WINEPREFIX})
set_tests_properties(windows_wine_prefix_create PROPERTIES FIXTURES_SETUP wine LABELS host)
set_tests_properties(windows_wine_prefix_remove PROPERTIES FIXTURES_CLEANUP wine LABELS host)

# KV318.dll loaded at run time, each export by name and by ordinal.
add_executable(windows_dll_entry_test windows/dll_entry_test.cpp)
target_link_libraries(windows_dll_entry_test PRIVATE kv318_headers GTest::gtest_main)
string(REPLACE ";" "," kv318_export_list "${KV318_EXPORTS}")
target_compile_definitions(windows_dll_entry_test PRIVATE KV318_EXPORTS="${kv318_export_list}")
add_dependencies(windows_dll_entry_test KV318)
target_link_libraries(windows_dll_entry_test PRIVATE kv318_warnings)
add_test(NAME windows_dll_entry_test COMMAND windows_dll_entry_test)

# Handles as 32-bit integers on either Windows: an opened handle through
# every export of the DLL, and -1 both ways.
kv318_add_test(windows_handle_test
  SOURCES windows/handle_test.cpp
  LIBS kv318_sim_win32)
target_include_directories(windows_handle_test PRIVATE simulator_win32)
add_dependencies(windows_handle_test KV318)
set_tests_properties(windows_handle_test PROPERTIES RESOURCE_LOCK kv318_board0 TIMEOUT 120)

# The device service's fallback to a driver process's named pipe.
kv318_add_test(windows_pipe_channel_test SOURCES windows/pipe_channel_test.cpp)

# Every test of this directory that runs a Windows program (all but the
# host-labelled ones) needs the prefix.  Deferred to the end of the
# directory so that suites registered after this file are covered too.
function(kv318_tests_need_wine)
  get_property(tests DIRECTORY PROPERTY TESTS)
  foreach(t IN LISTS tests)
    get_test_property(${t} LABELS labels)
    if(NOT "host" IN_LIST labels)
      set_property(TEST ${t} APPEND PROPERTY FIXTURES_REQUIRED wine)
    endif()
  endforeach()
endfunction()
cmake_language(DEFER CALL kv318_tests_need_wine)

# KV318.dll's kernel path, against a test driver Wine hosts in a prefix of
# its own.
add_subdirectory(${CMAKE_CURRENT_SOURCE_DIR}/windows/driver ${CMAKE_CURRENT_BINARY_DIR}/windows/driver)
