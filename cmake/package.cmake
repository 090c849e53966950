# What `cmake --install` puts in place and what `cpack` packs:
#   Linux:   include/KV318.h, lib/libKV318.so.1.0.0 (SONAME libKV318.so.1)
#            with its two links, the CMake package KV318 (KV318::KV318),
#            lib/pkgconfig/kv318.pc, the programs in bin/ and the docs; cpack
#            makes the Debian package kv318.
#   Windows: bin/KV318.dll with the programs beside it, lib/libKV318.dll.a,
#            include/KV318.h and the docs; cpack makes a zip.
# Programs are installed by kv318_install_program (cmake/install.cmake).
include(CMakePackageConfigHelpers)

install(FILES ${PROJECT_SOURCE_DIR}/library/include/KV318.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

if(WIN32)
  # Installed as files, not as a target: the 32-bit import library that
  # callers need is the one made from the .def after the link, not the
  # linker's own, and both widths leave the right one under this name.
  install(FILES $<TARGET_FILE:KV318> DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES $<TARGET_FILE_DIR:KV318>/libKV318.dll.a DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  set(KV318_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KV318)
  install(TARGETS KV318 EXPORT KV318Targets
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT KV318Targets NAMESPACE KV318:: DESTINATION ${KV318_CMAKE_DIR})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/KV318Config.cmake.in
    ${PROJECT_BINARY_DIR}/KV318Config.cmake INSTALL_DESTINATION ${KV318_CMAKE_DIR})
  # 1.x callers keep working with any later 1.y: the exports only grow.
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/KV318ConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/KV318Config.cmake ${PROJECT_BINARY_DIR}/KV318ConfigVersion.cmake
    DESTINATION ${KV318_CMAKE_DIR})

  # The prefix is found from the .pc file's own place, so the same file is
  # right in /usr from the Debian package and under any --prefix.
  file(RELATIVE_PATH KV318_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
  string(REGEX REPLACE "/$" "" KV318_PC_TO_PREFIX "${KV318_PC_TO_PREFIX}")
  configure_file(${PROJECT_SOURCE_DIR}/cmake/kv318.pc.in ${PROJECT_BINARY_DIR}/kv318.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/kv318.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()

kv318_install_program(kv318-sim kv318-cli)
# The panel is optional (KV318_BUILD_PANEL).
if(TARGET kv318)
  kv318_install_program(kv318)
endif()

file(GLOB KV318_DOCS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KV318_DOCS} DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_PACKAGE_NAME kv318)
set(CPACK_PACKAGE_VENDOR "KV318 project")
set(CPACK_PACKAGE_CONTACT "KV318 developers <kv318@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "KV318 USB data-acquisition board: library, test panel and simulator")
set(CPACK_PACKAGE_DESCRIPTION
  "libKV318 with its C header, CMake package and pkg-config file; the bench test panel kv318; the command-line tool kv318-cli; the board simulator kv318-sim, which serves simulated boards to the library when no board is attached.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
if(WIN32)
  math(EXPR kv318_bits "${CMAKE_SIZEOF_VOID_P} * 8")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME kv318-${PROJECT_VERSION}-win${kv318_bits})
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
  # Depends comes from what the binaries link (dpkg-shlibdeps); a shlibs
  # file and the ldconfig trigger come with the shared library.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
  # The panel's captions are Chinese; without a CJK font they show as boxes.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fonts-wqy-microhei)
endif()
include(CPack)
