if(NOT TARGET kv318_tango_core)
  return()
endif()
# The boards in a Tango control system: the device's logic (windows, states,
# runs, files) against a scripted board, with no Tango.
kv318_add_test(tango_core_test SOURCES tango/windows_test.cpp tango/device_state_test.cpp
               tango/board_device_test.cpp LIBS kv318_tango_core kv318_pipeline)
target_include_directories(tango_core_test PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/cli)
# Recordings are read back with HDF5's own API.
find_package(HDF5 REQUIRED COMPONENTS C)
target_link_libraries(tango_core_test PRIVATE hdf5::hdf5)

# kv318-tango, the device server, in a Tango control system of the test's
# own: a private MariaDB with the Tango database and DataBaseds, all in one
# temporary directory on loopback ports of its own, with PyTango clients.
# The target exists only where cppTango was found; a machine without the
# database server or PyTango skips the test with one line naming the
# packages.  Every board is a private simulator's, so no lock.
if(TARGET kv318-tango AND TARGET kv318-server)
  add_test(NAME tango_end_to_end_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/tango/end_to_end.py
            --tango-server $<TARGET_FILE:kv318-tango> --server $<TARGET_FILE:kv318-server> --sim $<TARGET_FILE:kv318-sim>)
  set_tests_properties(tango_end_to_end_test PROPERTIES TIMEOUT 600
    SKIP_REGULAR_EXPRESSION "setUpModule \\(__main__\\) \\.\\.\\. skipped")
  kv318_script_test_environment(tango_end_to_end_test)
endif()
if(KV318_BUILD_TANGO AND NOT TARGET kv318-tango AND NOT WIN32)
  # Where libtango-dev could not be installed the device server is not
  # built; the test still stands in the list, skipped with the reason.
  add_test(NAME tango_end_to_end_test
    COMMAND sh -c "echo 'tango_end_to_end_test: skipped: kv318-tango was not built (cppTango, libtango-dev, was not found)'; exit 77")
  set_tests_properties(tango_end_to_end_test PROPERTIES SKIP_RETURN_CODE 77)
endif()
