# The Python package kv318 (python/), its pytest suite run by the system's
# Python against the built libKV318.so and kv318-sim.  Not in sanitizer
# builds: an instrumented library cannot be loaded into a plain interpreter.
if(WIN32 OR KV318_SANITIZE)
  return()
endif()

# pytest ends with 5 when it collected nothing; like any other non-zero
# exit that fails the test, so a suite that ran nothing never passes.
# The suite runs as two tests, the server client's modules and the rest,
# so that ctest -j runs the two halves side by side.
file(GLOB kv318_python_remote_tests CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/python/tests/test_remote_*.py)
set(kv318_pytest /usr/bin/python3 -m pytest -p no:cacheprovider -q -rfEs)
add_test(NAME python_kv318_test
  COMMAND ${kv318_pytest} --ignore-glob=*/test_remote_*.py ${CMAKE_SOURCE_DIR}/python/tests)
add_test(NAME python_kv318_remote_test
  COMMAND ${kv318_pytest} ${kv318_python_remote_tests})
set_tests_properties(python_kv318_test python_kv318_remote_test PROPERTIES
  ENVIRONMENT "KV318_LIBRARY=$<TARGET_FILE:KV318>;KV318_SIM=$<TARGET_FILE:kv318-sim>;KV318_SERVER_PROGRAM=$<TARGET_FILE:kv318-server>;KV318_CLI=$<TARGET_FILE:kv318-cli>;PYTHONDONTWRITEBYTECODE=1"
  TIMEOUT 600)
