if(NOT TARGET kv318_tango_core)
  return()
endif()
# The boards in a Tango control system: the device's logic (windows, states,
# runs, files) against a scripted board, with no Tango.
kv318_add_test(tango_core_test SOURCES tango/windows_test.cpp tango/device_state_test.cpp
               tango/board_device_test.cpp LIBS kv318_tango_core kv318_pipeline)
target_include_directories(tango_core_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/cli)
