# The helpers of tools/, run by the system's Python on the Linux host.
if(WIN32)
  return()
endif()

# The compilation database lint.sh gives clang-tidy for the win32 files.
add_test(NAME tools_win32_tidy_db_test
  COMMAND /usr/bin/python3 -m pytest -p no:cacheprovider -q ${CMAKE_CURRENT_SOURCE_DIR}/tools/win32_tidy_db_test.py)
set_tests_properties(tools_win32_tidy_db_test PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")

# The benchmark scripts' check for the Python modules they import.
add_test(NAME tools_needed_modules_test
  COMMAND /usr/bin/python3 -m pytest -p no:cacheprovider -q ${CMAKE_CURRENT_SOURCE_DIR}/tools/needed_modules_test.py)
set_tests_properties(tools_needed_modules_test PROPERTIES ENVIRONMENT "PYTHONDONTWRITEBYTECODE=1")
