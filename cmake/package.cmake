# What `cmake --install` puts in place and what `cpack` packs:
#   Linux:   include/KV318.h, lib/libKV318.so.1.3.0 (SONAME libKV318.so.1)
#            with its two links, lib/libKV318-remote.so.1.3.0 with its
#            SONAME link, the CMake package KV318 (KV318::KV318),
#            lib/pkgconfig/kv318.pc, the programs in bin/ with their man
#            pages, the Python package and the docs; cpack makes the four
#            Debian packages of cmake/debian.cmake, one per component.
#   Windows: bin/KV318.dll and KV318Remote.dll with the programs beside
#            them, lib/libKV318.dll.a, include/KV318.h and the docs; cpack makes a zip.  The DLL and
#            programs are the stripped copies of kv318_stripped_file
#            (cmake/install.cmake); their debug sections stay in the build
#            folder, in stripped/*.debug, and are shipped nowhere.
# The install components, named after what a Debian package holds:
#   lib     the shared library a program needs at run time
#   dev     what building against the library needs
#   tools   the programs, their man pages and the docs
#   python  the Python package (Linux only)
#   tango   the Tango device server kv318-tango, its man page and example
#           (Linux, where cppTango is found)
# Programs are installed by kv318_install_program (cmake/install.cmake).
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/library/include/KV318.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)

if(WIN32)
  # Installed as files, not as a target: the 32-bit import library that
  # callers need is the one made from the .def after the link, not the
  # linker's own, and both widths leave the right one under this name.
  # The DLL without its debug sections (kv318_stripped_file).
  kv318_stripped_file(kv318_dll KV318)
  install(FILES ${kv318_dll} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
  install(FILES $<TARGET_FILE_DIR:KV318>/libKV318.dll.a DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  # The served boards' client beside the DLL that loads it.
  if(TARGET KV318Remote)
    kv318_stripped_file(kv318_remote_dll KV318Remote)
    install(FILES ${kv318_remote_dll} DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT lib)
  endif()
else()
  set(KV318_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KV318)
  # The real file and its SONAME link go with the run-time package, the
  # unversioned link only with the development one.
  install(TARGETS KV318 EXPORT KV318Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT KV318Targets NAMESPACE KV318:: DESTINATION ${KV318_CMAKE_DIR} COMPONENT dev)
  # The served boards' client beside the library that loads it (by its
  # SONAME, so no unversioned link: nothing builds against it).
  if(TARGET KV318Remote)
    install(TARGETS KV318Remote LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_SKIP)
  endif()
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KV318Config.cmake.in
    ${PROJECT_BINARY_DIR}/KV318Config.cmake INSTALL_DESTINATION ${KV318_CMAKE_DIR})
  # 1.x callers keep working with any later 1.y: the exports only grow.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/KV318ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/KV318Config.cmake ${PROJECT_BINARY_DIR}/KV318ConfigVersion.cmake
    DESTINATION ${KV318_CMAKE_DIR} COMPONENT dev)

  # The prefix is found from the .pc file's own place, so the same file is
  # right in /usr from the Debian package and under any --prefix.
  file(RELATIVE_PATH KV318_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" KV318_PC_TO_PREFIX "${KV318_PC_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kv318.pc.in ${PROJECT_BINARY_DIR}/kv318.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kv318.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endif()

kv318_install_program(kv318-sim kv318-cli)
# The panel and the scope are optional, each with its own option:
# KV318_BUILD_PANEL and KV318_BUILD_SCOPE.  Their man pages and
# Start-menu shortcuts are in cmake/manpages.cmake and cmake/msi/kv318.wxs.
foreach(t kv318 kv318-scope kv318-server)
  if(TARGET ${t})
    kv318_install_program(${t})
  endif()
endforeach()
# The Tango device server goes in a package of its own: only a Tango
# facility wants it, and it brings cppTango and omniORB with it.
if(TARGET kv318-tango)
  kv318_install_program(kv318-tango COMPONENT tango)
endif()
# kv318-server's user unit (installed, not enabled: sharing a board is the
# user's choice), naming the kv318-server of the prefix it is installed to
# (cmake/systemd/install_unit.cmake).
if(TARGET kv318-server AND NOT WIN32)
  install(CODE "
    set(KV318_UNIT_TEMPLATE [[${PROJECT_SOURCE_DIR}/cmake/systemd/kv318-server.service.in]])
    set(KV318_UNIT_WORK [[${PROJECT_BINARY_DIR}/systemd]])
    set(KV318_UNIT_BINDIR [[${CMAKE_INSTALL_BINDIR}]])
    set(KV318_UNIT_DOCDIR [[${CMAKE_INSTALL_DOCDIR}]])
    include([[${PROJECT_SOURCE_DIR}/cmake/systemd/install_unit.cmake]])"
    COMPONENT tools)
endif()

# Every page under docs/ ships, in the install, the packages and the MSI
# (cmake/msi.cmake takes this same list).  Pages are not sources: a page
# added there belongs in every package without anyone remembering a list.
file(GLOB KV318_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KV318_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT tools)

# The licence (MIT), one file at the tree's root.  The install tree and the
# zips carry it beside the docs, the MSI beside README.md, the wheel in its
# dist-info; the Debian packages carry its text in their copyright files
# instead (cmake/debian.cmake), as Debian wants no second copy, so it is a
# component of its own that no Debian package takes.
set(KV318_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
install(FILES ${KV318_LICENSE} DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)

# The examples a user starts from, globbed like the docs so a new one ships
# without a list to update: the C ones in examples/c, the Python ones in
# python/examples (the wheel and the Debian packages carry them).
file(GLOB KV318_C_EXAMPLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/examples/c/*.c)
file(GLOB KV318_PYTHON_EXAMPLES CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/python/examples/*.py)

set(CPACK_PACKAGE_NAME kv318)
set(CPACK_PACKAGE_VENDOR "KV318 project")
set(CPACK_PACKAGE_CONTACT "KV318 developers <kv318@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KV318 USB data-acquisition board: library, test panel, scope and simulator")
set(CPACK_PACKAGE_DESCRIPTION
  "libKV318 with its C header, CMake package and pkg-config file; the bench test panel kv318; the live trace kv318-scope; the command-line tool kv318-cli; the board server kv318-server; the board simulator kv318-sim, which serves simulated boards to the library when no board is attached.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  math(EXPR kv318_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kv318-${PROJECT_VERSION}-win${kv318_bits})
else()
  # gzip -9n for the man pages and the Debian changelogs alike; found
  # here because the man pages are skipped in sanitizer builds, while the
  # changelogs are made in every Linux build.
  find_program(KV318_GZIP gzip REQUIRED)
  include(${PROJECT_SOURCE_DIR}/cmake/python_install.cmake)
  include(${PROJECT_SOURCE_DIR}/cmake/manpages.cmake)
  include(${PROJECT_SOURCE_DIR}/cmake/debian.cmake)
endif()
include(CPack)
include(${PROJECT_SOURCE_DIR}/cmake/wheel.cmake)
if(WIN32)
  include(${PROJECT_SOURCE_DIR}/cmake/msi.cmake)
endif()
