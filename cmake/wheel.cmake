# The target `wheel`: the platform wheel of the Python package, carrying
# this build's library and kv318-sim, into the build folder:
#   Linux       kv318-<version>-py3-none-linux_<machine>.whl
#               (libKV318.so, under the name the package's loader looks for
#               beside itself, libKV318-remote.so.N beside it, and kv318-sim,
#               which needs no library)
#   windows64   kv318-<version>-py3-none-win_amd64.whl  (x64 KV318.dll, KV318Remote.dll, kv318-sim.exe)
#   windows     kv318-<version>-py3-none-win32.whl      (32-bit ones)
# It is built offline from a staging copy of python/ whose pyproject.toml
# carries this build's version, by Debian's pip, setuptools and wheel.
# Beside the modules it carries python/examples as kv318/examples (package
# data, found from kv318.__file__), and the tree's LICENSE in its dist-info
# (setuptools takes a LICENSE beside pyproject.toml by default).
if(WIN32)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(KV318_WHEEL_PLATFORM win_amd64)
  else()
    set(KV318_WHEEL_PLATFORM win32)
  endif()
  set(kv318_wheel_library KV318.dll)
  set(kv318_wheel_remote KV318Remote.dll)
else()
  string(TOLOWER "linux_${CMAKE_SYSTEM_PROCESSOR}" KV318_WHEEL_PLATFORM)
  set(kv318_wheel_library libKV318.so)
  set(kv318_wheel_remote libKV318-remote.so.${PROJECT_VERSION_MAJOR})
endif()
# The library's client of kv318-server goes beside it, where it looks
# first; a build without ZeroMQ has none to carry.
set(kv318_wheel_remote_copy)
set(kv318_wheel_remote_file)
set(kv318_wheel_remote_target)
if(TARGET KV318Remote)
  set(kv318_wheel_remote_file ${PROJECT_BINARY_DIR}/wheel-stage/kv318/${kv318_wheel_remote})
  set(kv318_wheel_remote_copy COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KV318Remote> ${kv318_wheel_remote_file})
  set(kv318_wheel_remote_target KV318Remote)
endif()
# kv318-server beside the library, so the pytest plugin's kv318_server
# fixture finds it in a fresh venv.  On Linux it finds the library beside
# itself by $ORIGIN (server/CMakeLists.txt), under its SONAME, which the
# wheel therefore carries too.
set(kv318_wheel_server_copy)
set(kv318_wheel_server_files)
set(kv318_wheel_server_target)
if(TARGET kv318-server)
  set(kv318_wheel_server_files ${PROJECT_BINARY_DIR}/wheel-stage/kv318/$<TARGET_FILE_NAME:kv318-server>)
  set(kv318_wheel_server_copy COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kv318-server> ${kv318_wheel_server_files})
  if(NOT WIN32)
    set(soname ${PROJECT_BINARY_DIR}/wheel-stage/kv318/$<TARGET_SONAME_FILE_NAME:KV318>)
    list(APPEND kv318_wheel_server_copy COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KV318> ${soname})
    list(APPEND kv318_wheel_server_files ${soname})
  endif()
  set(kv318_wheel_server_target kv318-server)
endif()
set(KV318_WHEEL_FILE ${PROJECT_BINARY_DIR}/kv318-${PROJECT_VERSION}-py3-none-${KV318_WHEEL_PLATFORM}.whl)
set(kv318_wheel_stage ${PROJECT_BINARY_DIR}/wheel-stage)
set(kv318_python /usr/bin/python3)

# The package's modules, relative to python/; the wheel's contents test
# checks the wheel against this same list.
set(KV318_PYTHON_MODULES
  kv318/__init__.py
  kv318/_checks.py
  kv318/_interrupts.py
  kv318/_lib.py
  kv318/_loader.py
  kv318/_places.py
  kv318/_version.py
  kv318/acquisition.py
  kv318/board.py
  kv318/errors.py
  kv318/recorder.py
  kv318/served.py
  kv318/simulator.py)
# A module added to the package but not here would be missing from the wheel
# alone, found only when an installed wheel is imported: say so at configure.
file(GLOB kv318_package_files RELATIVE ${PROJECT_SOURCE_DIR}/python ${PROJECT_SOURCE_DIR}/python/kv318/*.py)
foreach(f ${kv318_package_files})
  if(NOT f IN_LIST KV318_PYTHON_MODULES)
    message(FATAL_ERROR "python/${f} is not in KV318_PYTHON_MODULES (cmake/wheel.cmake)")
  endif()
endforeach()
# The examples as the wheel holds them, for the same test.
set(KV318_WHEEL_EXAMPLES)
foreach(f ${KV318_PYTHON_EXAMPLES})
  get_filename_component(name ${f} NAME)
  list(APPEND KV318_WHEEL_EXAMPLES kv318/examples/${name})
endforeach()
list(TRANSFORM KV318_PYTHON_MODULES PREPEND ${PROJECT_SOURCE_DIR}/python/ OUTPUT_VARIABLE kv318_wheel_sources)
add_custom_command(OUTPUT ${KV318_WHEEL_FILE}
  COMMAND ${CMAKE_COMMAND} -E rm -rf ${kv318_wheel_stage} ${KV318_WHEEL_FILE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kv318_wheel_stage}/kv318
  COMMAND ${CMAKE_COMMAND} -E copy ${kv318_wheel_sources} ${kv318_wheel_stage}/kv318
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/python/pytest_kv318.py ${PROJECT_SOURCE_DIR}/python/README.md
    ${PROJECT_SOURCE_DIR}/cmake/wheel/setup.py ${kv318_wheel_stage}
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/python/pyproject.toml ${KV318_LICENSE} ${kv318_wheel_stage}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${kv318_wheel_stage}/kv318/examples
  COMMAND ${CMAKE_COMMAND} -E copy ${KV318_PYTHON_EXAMPLES} ${kv318_wheel_stage}/kv318/examples
  COMMAND ${CMAKE_COMMAND} -DSTAGE=${kv318_wheel_stage} -DVERSION=${PROJECT_VERSION}
    -P ${PROJECT_SOURCE_DIR}/cmake/wheel/set_version.cmake
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:KV318> ${kv318_wheel_stage}/kv318/${kv318_wheel_library}
  ${kv318_wheel_remote_copy}
  ${kv318_wheel_server_copy}
  COMMAND ${CMAKE_COMMAND} -E copy $<TARGET_FILE:kv318-sim> ${kv318_wheel_stage}/kv318/
  # Debug information is for the build tree; a wheel is downloaded and
  # installed many times.
  COMMAND ${CMAKE_STRIP} --strip-unneeded ${kv318_wheel_stage}/kv318/${kv318_wheel_library} ${kv318_wheel_remote_file}
    ${kv318_wheel_stage}/kv318/$<TARGET_FILE_NAME:kv318-sim> ${kv318_wheel_server_files}
  COMMAND ${CMAKE_COMMAND} -E env KV318_WHEEL_PLATFORM=${KV318_WHEEL_PLATFORM} PIP_NO_INDEX=1
    ${kv318_python} -m pip wheel --quiet --no-deps --no-build-isolation --no-cache-dir -w ${PROJECT_BINARY_DIR} ${kv318_wheel_stage}
  DEPENDS KV318 ${kv318_wheel_remote_target} ${kv318_wheel_server_target} kv318-sim ${kv318_wheel_sources} ${KV318_PYTHON_EXAMPLES} ${KV318_LICENSE}
    ${PROJECT_SOURCE_DIR}/python/pyproject.toml
    ${PROJECT_SOURCE_DIR}/cmake/wheel/setup.py ${PROJECT_SOURCE_DIR}/cmake/wheel/set_version.cmake
  COMMENT "Python wheel ${KV318_WHEEL_FILE}"
  VERBATIM)
# Part of the full build (a few seconds), so the wheel tests find it made;
# not in sanitizer builds, whose binaries no user loads.
if(KV318_SANITIZE)
  add_custom_target(wheel DEPENDS ${KV318_WHEEL_FILE})
else()
  add_custom_target(wheel ALL DEPENDS ${KV318_WHEEL_FILE})
endif()
