# The target `msi`: the Windows installer of this preset, built with wixl
# from cmake/msi/kv318.wxs into the build folder:
#   windows64   kv318-<version>-x64.msi  (the x64 build, plus the 32-bit
#               KV318.dll and import library for SysWOW64 and lib\x86)
#   windows     kv318-<version>-x86.msi  (the 32-bit build only)
# The x64 installer's 32-bit library comes from a sub-build of the library
# alone with the 32-bit toolchain, inside this build folder, so one preset
# makes its whole installer.  Part of the full build when wixl is found
# (KV318_BUILD_MSI), so the installer tests find it made.

# The installer tests' program that loads KV318.dll by name alone: built
# with the tests, and by the x64 installer's 32-bit sub-build for the
# 32-bit half of those tests (the one 32-bit toolchain of a 64-bit build).
option(KV318_BUILD_LOAD_TEST "Build kv318_load_by_name for the installer tests" OFF)
if(KV318_BUILD_TESTS OR KV318_BUILD_LOAD_TEST)
  add_executable(kv318_load_by_name ${PROJECT_SOURCE_DIR}/tests/install/load_by_name.c)
  target_link_libraries(kv318_load_by_name PRIVATE kv318_headers)
  target_link_libraries(kv318_load_by_name PRIVATE kv318_warnings)
endif()

find_program(KV318_WIXL wixl)
if(KV318_WIXL AND TARGET kv318 AND TARGET kv318-scope AND NOT KV318_SANITIZE)
  set(kv318_msi_default ON)
else()
  set(kv318_msi_default OFF)
endif()
option(KV318_BUILD_MSI "Build the Windows installer (needs wixl, the panel and the scope)" ${kv318_msi_default})
if(NOT KV318_BUILD_MSI)
  return()
endif()
if(NOT KV318_WIXL)
  message(FATAL_ERROR "KV318_BUILD_MSI needs wixl (Debian package wixl)")
endif()
# The installer carries both windowed programs.
if(NOT TARGET kv318 OR NOT TARGET kv318-scope)
  message(FATAL_ERROR "KV318_BUILD_MSI needs the panel and the scope (KV318_BUILD_PANEL, KV318_BUILD_SCOPE)")
endif()

if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KV318_MSI_ARCH x64)
else()
  set(KV318_MSI_ARCH x86)
endif()
set(KV318_MSI_FILE ${PROJECT_BINARY_DIR}/kv318-${PROJECT_VERSION}-${KV318_MSI_ARCH}.msi)
set(stage ${PROJECT_BINARY_DIR}/msi-stage)

# The docs' components, one per file, and their references in the feature.
set(components "")
set(refs "")
set(i 0)
foreach(doc ${KV318_DOCS})
  get_filename_component(name ${doc} NAME)
  string(APPEND components
    "  <Component Id=\"Doc${i}\" Guid=\"*\" Win64=\"$(var.Win64)\">\n"
    "    <File Id=\"Doc${i}\" Name=\"${name}\" Source=\"docs/${name}\" KeyPath=\"yes\"/>\n"
    "  </Component>\n")
  string(APPEND refs "  <ComponentRef Id=\"Doc${i}\"/>\n")
  math(EXPR i "${i} + 1")
endforeach()
set(head "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!-- Made by cmake/msi.cmake from docs/*.md. -->\n<Include>\n")
file(WRITE ${PROJECT_BINARY_DIR}/msi-docs.wxi "${head}${components}</Include>\n")
file(WRITE ${PROJECT_BINARY_DIR}/msi-doc-refs.wxi "${head}${refs}</Include>\n")

set(kv318_msi_defines
  -D Version=${PROJECT_VERSION} -D Arch=${KV318_MSI_ARCH}
  -D Dll=KV318.dll -D ImportLib=libKV318.dll.a -D Cli=kv318-cli.exe -D Sim=kv318-sim.exe
  -D Panel=kv318.exe -D Scope=kv318-scope.exe -D Header=KV318.h -D Readme=README.md -D License=LICENSE)
set(kv318_msi_extra_copies)
set(kv318_msi_extra_depends)
if(KV318_MSI_ARCH STREQUAL x64)
  include(ExternalProject)
  set(x86_dir ${PROJECT_BINARY_DIR}/x86-library)
  set(x86_targets KV318_stripped)
  # The 32-bit client of kv318-server beside the 32-bit KV318.dll, when
  # this build has one: the x86 build finds ZeroMQ for i686 as this one
  # found it for x86_64 (tools/zeromq-mingw.sh builds both).
  set(x86_remote_byproducts)
  if(TARGET KV318Remote)
    list(APPEND x86_targets KV318Remote_stripped)
    set(x86_remote_byproducts ${x86_dir}/stripped/KV318Remote.dll)
  endif()
  if(KV318_BUILD_TESTS)
    list(APPEND x86_targets kv318_load_by_name)
  endif()
  ExternalProject_Add(kv318_x86_library
    SOURCE_DIR ${PROJECT_SOURCE_DIR}
    BINARY_DIR ${x86_dir}
    CMAKE_ARGS
      -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-i686-posix.cmake
      -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
      -DKV318_VERSION=${KV318_VERSION}
      -DKV318_BUILD_TESTS=OFF -DKV318_BUILD_BENCHMARKS=OFF -DKV318_BUILD_PANEL=OFF -DKV318_BUILD_SCOPE=OFF
      -DKV318_BUILD_MSI=OFF
      -DKV318_BUILD_LOAD_TEST=${KV318_BUILD_TESTS}
    BUILD_COMMAND ${CMAKE_COMMAND} --build ${x86_dir} --target ${x86_targets}
    INSTALL_COMMAND ""
    # The library's sources are not known to this step; its own make
    # decides what to rebuild.
    BUILD_ALWAYS ON
    EXCLUDE_FROM_ALL ON
    BUILD_BYPRODUCTS ${x86_dir}/stripped/KV318.dll ${x86_dir}/library/libKV318.dll.a ${x86_remote_byproducts})
  list(APPEND kv318_msi_defines -D Dll32=x86/KV318.dll -D ImportLib32=x86/libKV318.dll.a -D RemoteDll32=x86/KV318Remote.dll)
  set(kv318_msi_extra_copies
    COMMAND ${CMAKE_COMMAND} -E make_directory ${stage}/x86
    COMMAND ${CMAKE_COMMAND} -E copy ${x86_dir}/stripped/KV318.dll ${x86_dir}/library/libKV318.dll.a
      ${x86_remote_byproducts} ${stage}/x86/)
  set(kv318_msi_extra_depends kv318_x86_library ${x86_dir}/stripped/KV318.dll)
  set(KV318_LOAD_TEST_32 ${x86_dir}/kv318_load_by_name.exe)
endif()

# wixl finds each Source relative to its working directory, so everything
# is staged under fixed names first; only the files the .wxs and the
# generated .wxi name are packed, so stale files in the stage do no harm.
# The DLL and programs are the stripped copies the zip ships too
# (kv318_stripped_file in cmake/install.cmake).
file(MAKE_DIRECTORY ${stage}/docs)
set(kv318_msi_binaries)
foreach(t KV318 kv318-cli kv318-sim kv318 kv318-scope)
  kv318_stripped_file(shipped ${t})
  list(APPEND kv318_msi_binaries ${shipped})
endforeach()
# kv318-server and the client of served boards are built only where
# ZeroMQ is (cmake/zeromq.cmake); the installer carries them, and the
# server's Start-menu entry, when they are.
if(TARGET KV318Remote)
  kv318_stripped_file(shipped KV318Remote)
  list(APPEND kv318_msi_binaries ${shipped})
  list(APPEND kv318_msi_defines -D HaveRemote=yes -D RemoteDll=KV318Remote.dll)
else()
  list(APPEND kv318_msi_defines -D HaveRemote=no)
endif()
if(TARGET kv318-server)
  kv318_stripped_file(shipped kv318-server)
  list(APPEND kv318_msi_binaries ${shipped})
  list(APPEND kv318_msi_defines -D HaveServer=yes -D Server=kv318-server.exe)
else()
  list(APPEND kv318_msi_defines -D HaveServer=no)
endif()
add_custom_command(OUTPUT ${KV318_MSI_FILE}
  COMMAND ${CMAKE_COMMAND} -E copy ${kv318_msi_binaries} $<TARGET_FILE_DIR:KV318>/libKV318.dll.a
    ${PROJECT_SOURCE_DIR}/library/include/KV318.h ${PROJECT_SOURCE_DIR}/README.md ${KV318_LICENSE} ${stage}/
  COMMAND ${CMAKE_COMMAND} -E copy ${KV318_DOCS} ${stage}/docs/
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/msi-docs.wxi ${stage}/docs.wxi
  COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_BINARY_DIR}/msi-doc-refs.wxi ${stage}/doc-refs.wxi
  ${kv318_msi_extra_copies}
  COMMAND ${KV318_WIXL} -a ${KV318_MSI_ARCH} ${kv318_msi_defines} -o ${KV318_MSI_FILE}
    ${PROJECT_SOURCE_DIR}/cmake/msi/kv318.wxs
  WORKING_DIRECTORY ${stage}
  DEPENDS ${kv318_msi_binaries} ${kv318_msi_extra_depends} ${KV318_DOCS}
    ${PROJECT_SOURCE_DIR}/cmake/msi/kv318.wxs ${PROJECT_SOURCE_DIR}/README.md ${KV318_LICENSE}
    ${PROJECT_SOURCE_DIR}/library/include/KV318.h
  COMMENT "Windows installer ${KV318_MSI_FILE}"
  VERBATIM)
add_custom_target(msi ALL DEPENDS ${KV318_MSI_FILE})
