# kv318_version(TARGET DESCRIPTION): gives a program or the library the
# project's version.  Every target gets KV318_PROJECT_VERSION, the string a
# program prints for --version; on Windows the file also gets a VERSIONINFO
# resource, so Explorer's Details tab, a script reading the file version, and
# an installer deciding whether to replace a file all see the same number.
#
# The python package keeps a copy of the release number (in
# python/pyproject.toml, or kv318/_version.py where pyproject.toml reads it
# from), because a plain `pip install python/` reads nothing else; it is
# checked against the release number here, so the two cannot
# drift apart, and the packages built here stage a copy of python/ with the
# build's own version written in.
if(WIN32)
  enable_language(RC)
endif()

foreach(kv318_py_file pyproject.toml kv318/_version.py)
  if(EXISTS ${PROJECT_SOURCE_DIR}/python/${kv318_py_file})
    file(STRINGS ${PROJECT_SOURCE_DIR}/python/${kv318_py_file} kv318_py_version
      REGEX "^(__version__|version) *= *\"")
    if(kv318_py_version)
      string(REGEX REPLACE "^[_a-z]+ *= *\"([^\"]*)\".*" "\\1" kv318_py_version "${kv318_py_version}")
      if(NOT kv318_py_version STREQUAL KV318_RELEASE_VERSION)
        message(FATAL_ERROR "python/${kv318_py_file} says version ${kv318_py_version}, CMakeLists.txt ${KV318_RELEASE_VERSION}")
      endif()
    endif()
  endif()
endforeach()

function(kv318_version target description)
  target_compile_definitions(${target} PRIVATE KV318_PROJECT_VERSION="${PROJECT_VERSION}")
  if(NOT WIN32)
    return()
  endif()
  get_target_property(type ${target} TYPE)
  if(type STREQUAL "SHARED_LIBRARY")
    set(KV318_RC_FILETYPE VFT_DLL)
    set(KV318_RC_FILE ${target}.dll)
  else()
    set(KV318_RC_FILETYPE VFT_APP)
    set(KV318_RC_FILE ${target}.exe)
  endif()
  set(KV318_RC_NAME ${target})
  set(KV318_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()
