# The install tree and the packages, checked as their users would use them.
# cpack and `cmake --install` take the whole build, so these tests expect it
# built (as the preset's full build leaves it).  Not in sanitizer builds:
# their binaries need the sanitizer runtimes, which no user program loads.
if(KV318_SANITIZE)
  return()
endif()

get_property(kv318_programs GLOBAL PROPERTY KV318_INSTALLED_PROGRAMS)
set(kv318_program_files)
foreach(t ${kv318_programs})
  list(APPEND kv318_program_files $<TARGET_FILE_NAME:${t}>)
endforeach()
set(kv318_cpack_config ${CMAKE_BINARY_DIR}/CPackConfig.cmake)

# The platform wheel of the preset (cmake/wheel.cmake): its tags, files and
# the machine type of the binaries inside.
if(WIN32)
  set(kv318_wheel_binaries kv318/KV318.dll kv318/KV318Remote.dll kv318/kv318-sim.exe)
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(kv318_wheel_machine PE32+)
  else()
    set(kv318_wheel_machine PE32)
  endif()
else()
  set(kv318_wheel_binaries kv318/libKV318.so kv318/libKV318-remote.so.${PROJECT_VERSION_MAJOR} kv318/kv318-sim)
  set(kv318_wheel_machine ELF-${CMAKE_SYSTEM_PROCESSOR})
endif()
if(TARGET kv318-server)
  list(APPEND kv318_wheel_binaries kv318/$<TARGET_FILE_NAME:kv318-server>)
  if(NOT WIN32)
    list(APPEND kv318_wheel_binaries kv318/$<TARGET_SONAME_FILE_NAME:KV318>)
  endif()
endif()
add_test(NAME wheel_contents_test
  COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/install/wheel_check.py ${KV318_WHEEL_FILE} ${KV318_LICENSE}
    ${KV318_WHEEL_PLATFORM} ${kv318_wheel_machine} ${KV318_PYTHON_MODULES} ${KV318_WHEEL_EXAMPLES} pytest_kv318.py
    ${kv318_wheel_binaries})
set_tests_properties(wheel_contents_test PROPERTIES LABELS "host;static")

# No doc spells a release version: they write VERSION, so a bump touches
# no doc.  Once, in the linux preset's run.
if(NOT WIN32)
  add_test(NAME docs_version_test
    COMMAND /usr/bin/python3 ${CMAKE_CURRENT_SOURCE_DIR}/install/docs_version_check.py ${CMAKE_SOURCE_DIR})
  set_tests_properties(docs_version_test PROPERTIES LABELS "host;static")
endif()

if(WIN32)
  math(EXPR kv318_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  if(kv318_bits EQUAL 64)
    set(kv318_machine PE32+)
  else()
    set(kv318_machine PE32)
  endif()
  set(kv318_program_paths)
  foreach(t ${kv318_programs})
    list(APPEND kv318_program_paths $<TARGET_FILE:${t}>)
  endforeach()
  add_test(NAME version_resource_test
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/version_test.sh ${CMAKE_CURRENT_SOURCE_DIR}/install/pe_info.py
      ${kv318_machine} ${PROJECT_VERSION} $<TARGET_FILE:KV318> ${kv318_program_paths})
  set_tests_properties(version_resource_test PROPERTIES LABELS "host;static")
  # The installer, installed into a fresh Wine prefix of its own.
  if(TARGET msi)
    set(kv318_msi_32 -)
    if(KV318_MSI_ARCH STREQUAL x64)
      set(kv318_msi_32 ${KV318_LOAD_TEST_32})
    endif()
    # The same installer as the next patch release, from a second build of
    # this source with KV318_VERSION raised, to install over the first.
    math(EXPR kv318_next_patch "${PROJECT_VERSION_PATCH} + 1")
    set(kv318_next_version ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${kv318_next_patch})
    set(kv318_next_dir ${CMAKE_CURRENT_BINARY_DIR}/msi_upgrade_build)
    add_test(NAME msi_upgrade_build
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/build_release.sh ${CMAKE_COMMAND} ${CMAKE_SOURCE_DIR}
        ${kv318_next_dir} ${CMAKE_GENERATOR} ${CMAKE_TOOLCHAIN_FILE} ${CMAKE_BUILD_TYPE} ${kv318_next_version} msi)
    set_tests_properties(msi_upgrade_build PROPERTIES LABELS host TIMEOUT 1500 FIXTURES_SETUP msi_upgrade)
    add_test(NAME msi_install_test
      COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/msi_test.sh ${CMAKE_SOURCE_DIR}/tools
        ${CMAKE_CURRENT_SOURCE_DIR}/install/pe_info.py ${CMAKE_CURRENT_BINARY_DIR}/msi_install_test
        ${KV318_MSI_ARCH} ${KV318_MSI_FILE} ${PROJECT_VERSION} $<TARGET_FILE:kv318_load_by_name> ${kv318_msi_32}
        ${kv318_next_dir}/kv318-${kv318_next_version}-${KV318_MSI_ARCH}.msi ${kv318_next_version})
    # Its own prefix, so not the suite's Wine fixture; host-labelled so the
    # fixture is not added.
    set_tests_properties(msi_install_test PROPERTIES LABELS host TIMEOUT 900 RESOURCE_LOCK kv318_board0
      FIXTURES_REQUIRED msi_upgrade)
    if(TARGET kv318-server)
      # The installer carries kv318-server.exe: check it is there and runs.
      set_tests_properties(msi_install_test PROPERTIES ENVIRONMENT KV318_MSI_SERVER=1)
    endif()
  endif()
  # The client of served boards sits in bin/ beside KV318.dll, as a program does.
  set(kv318_zip_files ${kv318_program_files})
  if(TARGET KV318Remote)
    list(APPEND kv318_zip_files $<TARGET_FILE_NAME:KV318Remote>)
  endif()
  add_test(NAME package_zip_test
    COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/zip_test.sh ${CMAKE_CPACK_COMMAND} ${kv318_cpack_config}
      ${CMAKE_CURRENT_BINARY_DIR}/package_zip_test ${CMAKE_OBJDUMP} ${kv318_bits} ${PROJECT_VERSION}
      $<TARGET_FILE_DIR:KV318>/libKV318.dll.a ${kv318_zip_files})
  # Run by the host shell with no Wine, so it runs where 32-bit programs cannot.
  set_tests_properties(package_zip_test PROPERTIES LABELS "host;static" TIMEOUT 600)
  return()
endif()

add_test(NAME install_consumer_test
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/install_test.sh ${CMAKE_COMMAND} ${CMAKE_BINARY_DIR}
    ${CMAKE_CURRENT_BINARY_DIR}/install_consumer_test ${CMAKE_CURRENT_SOURCE_DIR}/install/consumer
    ${CMAKE_C_COMPILER} ${PROJECT_VERSION} ${kv318_program_files})
add_test(NAME package_deb_test
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/deb_test.sh ${CMAKE_CPACK_COMMAND} ${kv318_cpack_config}
    ${CMAKE_CURRENT_BINARY_DIR}/package_deb_test ${CMAKE_CURRENT_SOURCE_DIR}/install/consumer ${CMAKE_C_COMPILER}
    ${CMAKE_CURRENT_SOURCE_DIR}/install/python_smoke.py ${PROJECT_VERSION} ${kv318_program_files})
set_tests_properties(install_consumer_test package_deb_test PROPERTIES TIMEOUT 600)
# Where cppTango was found cpack makes kv318-tango's package too
# (cmake/debian.cmake), and the test checks it.
get_property(kv318_tango_programs GLOBAL PROPERTY KV318_INSTALLED_PROGRAMS_TANGO)
if(kv318_tango_programs)
  set_tests_properties(package_deb_test PROPERTIES ENVIRONMENT KV318_DEB_TANGO=1)
endif()
add_test(NAME wheel_venv_test
  COMMAND sh ${CMAKE_CURRENT_SOURCE_DIR}/install/wheel_venv_test.sh ${KV318_WHEEL_FILE}
    ${CMAKE_CURRENT_BINARY_DIR}/wheel_venv_test ${CMAKE_CURRENT_SOURCE_DIR}/install/python_smoke.py ${PROJECT_VERSION})
set_tests_properties(wheel_venv_test PROPERTIES TIMEOUT 600)
