# The Python package kv318 as Debian installs Python modules: into
# lib/python3/dist-packages, where /usr/bin/python3 finds it with nothing
# set, with a dist-info directory so importlib.metadata and pip see its
# version and pytest finds its plugin.
#
# The loader looks for libKV318.so beside the package before the system's
# search path, and the run-time package holds only libKV318.so.1 (the
# unversioned name belongs to the development package), so the package
# carries a relative link kv318/libKV318.so to the installed libKV318.so.1.
set(KV318_PYTHON_DIR ${CMAKE_INSTALL_LIBDIR}/python3/dist-packages)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/kv318 DESTINATION ${KV318_PYTHON_DIR} COMPONENT python
  FILES_MATCHING PATTERN "*.py")
install(FILES ${PROJECT_SOURCE_DIR}/python/pytest_kv318.py DESTINATION ${KV318_PYTHON_DIR} COMPONENT python)

file(RELATIVE_PATH kv318_py_to_lib /${KV318_PYTHON_DIR}/kv318 /${CMAKE_INSTALL_LIBDIR})
string(REGEX REPLACE "/$" "" kv318_py_to_lib "${kv318_py_to_lib}")
# Made afresh at each configure, so a changed version leaves no stale
# dist-info behind.
set(kv318_py_stage ${PROJECT_BINARY_DIR}/python-install)
file(REMOVE_RECURSE ${kv318_py_stage})
set(kv318_dist_info ${kv318_py_stage}/kv318-${PROJECT_VERSION}.dist-info)
file(MAKE_DIRECTORY ${kv318_dist_info})
file(CREATE_LINK ${kv318_py_to_lib}/libKV318.so.${PROJECT_VERSION_MAJOR} ${kv318_py_stage}/libKV318.so SYMBOLIC)
# libKV318 looks for its client of kv318-server beside itself first, and
# the link is where it finds itself: a second link puts the client there.
file(CREATE_LINK ${kv318_py_to_lib}/libKV318-remote.so.${PROJECT_VERSION_MAJOR}
  ${kv318_py_stage}/libKV318-remote.so.${PROJECT_VERSION_MAJOR} SYMBOLIC)
install(FILES ${kv318_py_stage}/libKV318.so ${kv318_py_stage}/libKV318-remote.so.${PROJECT_VERSION_MAJOR}
  DESTINATION ${KV318_PYTHON_DIR}/kv318 COMPONENT python)
file(WRITE ${kv318_dist_info}/METADATA
  "Metadata-Version: 2.1\nName: kv318\nVersion: ${PROJECT_VERSION}\n"
  "Summary: The KV318 data-acquisition board from Python\nLicense: MIT\nRequires-Dist: numpy\n")
file(WRITE ${kv318_dist_info}/entry_points.txt "[pytest11]\nkv318 = pytest_kv318\n")
file(WRITE ${kv318_dist_info}/top_level.txt "kv318\npytest_kv318\n")
file(WRITE ${kv318_dist_info}/INSTALLER "dpkg\n")
install(DIRECTORY ${kv318_dist_info} DESTINATION ${KV318_PYTHON_DIR} COMPONENT python)
