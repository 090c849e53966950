# The Debian packages, one per install component, split the way Debian
# splits a shared library and its users:
#   libkv318-1     libKV318.so.1 and its real file (component lib)
#   libkv318-dev   header, libKV318.so, CMake package, kv318.pc (dev)
#   kv318-tools    kv318-cli, kv318-sim, kv318-server, the panel, kv318-scope, man pages,
#                  docs (tools)
#   python3-kv318  the Python package (python)
#   kv318-tango    the Tango device server kv318-tango, its man page and
#                  PyTango example (tango; only where cppTango was found)
# Each carries the copyright file, changelog and lintian overrides Debian
# asks of every package (cmake/debian/).
#
# Each package's synopsis is the first line of its component's description:
# the one summary of cmake/package.cmake is for the zips, and CPack would
# put it in front of every description here, giving every package the
# same synopsis.
unset(CPACK_PACKAGE_DESCRIPTION_SUMMARY)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(kv318_deb_components lib dev tools python)
if(TARGET kv318-tango)
  list(APPEND kv318_deb_components tango)
endif()
set(CPACK_COMPONENTS_ALL ${kv318_deb_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Depends of the binaries comes from what they link (dpkg-shlibdeps); the
# library package gets a shlibs file and the ldconfig trigger.  The
# programs' own library is not installed on the machine that packs them,
# so dpkg-shlibdeps is shown the build's copy and the programs' package
# names libkv318-1 itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/library)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(kv318_deb_version ${PROJECT_VERSION})
set(CPACK_DEBIAN_LIB_PACKAGE_NAME libkv318-1)
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
# ldconfig runs through dpkg's trigger, once for a whole install run.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers)
set(CPACK_COMPONENT_LIB_DESCRIPTION "KV318 USB data-acquisition board: shared library
libKV318.so.1, the library programs use to drive the KV318 board (or the
simulated boards of kv318-sim).")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkv318-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkv318-1 (= ${kv318_deb_version})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "KV318 USB data-acquisition board: development files
The C header KV318.h, the libKV318.so link, the CMake package KV318
(KV318::KV318), the pkg-config file kv318.pc, and the C example
stream_volts.c in /usr/share/doc/libkv318-dev/examples.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME kv318-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION electronics)
# The panel's captions are Chinese; without a CJK font they show as boxes.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS fonts-wqy-microhei)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "KV318 USB data-acquisition board: panel, scope, command line, server, simulator
The bench test panel kv318, the oscilloscope kv318-scope (a live trace of
the analog input with trigger, measurements and export), the command-line
tool kv318-cli, the board server kv318-server, which shares a board with
every program on the machine and across the network (a systemd user unit,
not enabled), and the board simulator kv318-sim, which serves simulated
boards to the library when no board is attached.")
# Of the same version: the programs and the library are one release.
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "libkv318-1 (= ${kv318_deb_version})")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kv318)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3:any, python3-numpy, libkv318-1 (>= ${kv318_deb_version})")
# kv318.Simulator runs kv318-sim, from kv318-tools; kv318.connect reaches a
# kv318-server through pyzmq.
set(CPACK_DEBIAN_PYTHON_PACKAGE_RECOMMENDS "kv318-tools, python3-zmq")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "KV318 USB data-acquisition board: Python package
The module kv318: the board from Python with numpy samples and exceptions,
and kv318.Simulator with a pytest fixture to test scripts without a board.
Examples in /usr/share/doc/python3-kv318/examples.")

# The copyright file in Debian's machine-readable format, with the terms
# and the copyright line of the tree's LICENSE, so there is one text of
# them: the licence text is indented by one space, an empty line written
# as " .".  Debian knows the MIT licence as Expat.
file(READ ${KV318_LICENSE} kv318_license)
if(NOT kv318_license MATCHES "Copyright \\(c\\) ([^\n]+)")
  message(FATAL_ERROR "${KV318_LICENSE} has no 'Copyright (c) ...' line")
endif()
set(KV318_COPYRIGHT "${CMAKE_MATCH_1}")
string(FIND "${kv318_license}" "Permission is hereby granted" kv318_terms_at)
if(kv318_terms_at LESS 0)
  message(FATAL_ERROR "${KV318_LICENSE} is not the MIT licence text this copyright file expects")
endif()
string(SUBSTRING "${kv318_license}" ${kv318_terms_at} -1 kv318_terms)
string(STRIP "${kv318_terms}" kv318_terms)
string(REGEX REPLACE "\n[ \t]*\n" "\n.\n" kv318_terms "${kv318_terms}")
string(REPLACE "\n" "\n " KV318_LICENSE_TEXT " ${kv318_terms}")
set(kv318_copyright ${PROJECT_BINARY_DIR}/debian/copyright)
configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/copyright.in ${kv318_copyright} @ONLY)

set(CPACK_DEBIAN_TANGO_PACKAGE_NAME kv318-tango)
set(CPACK_DEBIAN_TANGO_PACKAGE_SECTION electronics)
# cppTango and omniORB come from what the program links (dpkg-shlibdeps,
# libtango9 among them); the library is this release's, as for the tools.
set(CPACK_DEBIAN_TANGO_PACKAGE_DEPENDS "libkv318-1 (= ${kv318_deb_version})")
set(CPACK_COMPONENT_TANGO_DESCRIPTION "KV318 USB data-acquisition board: Tango device server
kv318-tango makes each KV318 board a device of the Tango class KV318 in a
Tango control system: settings and counters as attributes, runs as
commands, the analog input as waveform events, on a board of this machine
or one shared by kv318-server.  A PyTango example in
/usr/share/doc/kv318-tango/examples.")

# Every package's /usr/share/doc/<package>: copyright and a compressed
# changelog, made at configure time from the templates.
foreach(comp ${kv318_deb_components})
  string(TOUPPER ${comp} COMP)
  set(pkg ${CPACK_DEBIAN_${COMP}_PACKAGE_NAME})
  set(dir ${PROJECT_BINARY_DIR}/debian/${pkg})
  file(REMOVE_RECURSE ${dir})
  file(MAKE_DIRECTORY ${dir})
  set(KV318_DEB_PACKAGE ${pkg})
  configure_file(${PROJECT_SOURCE_DIR}/cmake/debian/changelog.in ${dir}/changelog @ONLY)
  execute_process(COMMAND ${KV318_GZIP} -9n ${dir}/changelog COMMAND_ERROR_IS_FATAL ANY)
  install(FILES ${kv318_copyright} ${dir}/changelog.gz
    DESTINATION share/doc/${pkg} COMPONENT ${comp})
  if(EXISTS ${PROJECT_SOURCE_DIR}/cmake/debian/${pkg}.lintian-overrides)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/${pkg}.lintian-overrides
      DESTINATION share/lintian/overrides RENAME ${pkg} COMPONENT ${comp})
  endif()
endforeach()

# The examples, where Debian puts a package's examples: the C ones with
# the development files, the Python ones with the Python package, the
# PyTango one with the Tango device server.
install(FILES ${KV318_C_EXAMPLES} DESTINATION share/doc/${CPACK_DEBIAN_DEV_PACKAGE_NAME}/examples COMPONENT dev)
install(FILES ${KV318_PYTHON_EXAMPLES} DESTINATION share/doc/${CPACK_DEBIAN_PYTHON_PACKAGE_NAME}/examples
  COMPONENT python)
if(TARGET kv318-tango)
  file(GLOB kv318_tango_examples CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/tango/*.py)
  install(FILES ${kv318_tango_examples} DESTINATION share/doc/${CPACK_DEBIAN_TANGO_PACKAGE_NAME}/examples
    COMPONENT tango)
endif()
